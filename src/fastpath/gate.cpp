#include "fastpath/gate.hpp"

#include <array>
#include <memory>

#include "fastpath/paths.hpp"
#include "fastpath/watch.hpp"
#include "runtime/globals.hpp"
#include "runtime/guard.hpp"

namespace pic::fastpath {

namespace {

// The module global the entry's library call goes through, what that call
// reads, and the probes answered alike; an empty proof otherwise.
template <class Entry>
Proof prove_entry() {
    Proof proof;
    Object global = proof.watch.item(module_namespace(), Entry::global());
    if (!global) return {};
    Entry::watch(proof.watch, global);
    if (!Entry::probe(Probe<Entry>(global)) || !proof.watch.unchanged()) return {};
    proof.bound = global;
    return proof;
}

}  // namespace

void prove() {
    auto proven = std::make_unique<std::array<Proof, Paths::size>>();
    Paths::each([&]<class Entry>() {
        // A probe that raises leaves the stand-in off.
        (*proven)[Paths::index_of<Entry>()] = guarded(prove_entry<Entry>, [](const PyError&) { return Proof(); });
    });
    detail::proofs = proven.release()->data();
}

}  // namespace pic::fastpath
