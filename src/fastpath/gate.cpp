#include "fastpath/gate.hpp"

#include <array>
#include <memory>

#include "fastpath/paths.hpp"
#include "fastpath/watch.hpp"
#include "runtime/globals.hpp"
#include "runtime/guard.hpp"

namespace pic::fastpath {

namespace {

// What one stand-in's proof rests on.
struct Proof {
    Object bound;  // the module global as probed; null while the stand-in is off
    Watch watch;
};

std::array<Proof, Paths::size>* proofs = nullptr;  // kept for the life of the process, like the module

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
    proofs = proven.release();
}

bool open(std::size_t index) {
    if (!proofs) return false;
    Proof& proof = (*proofs)[index];
    return proof.bound && proof.watch.unchanged();
}

}  // namespace pic::fastpath
