// When a native stand-in may answer in place of the library call it replaces.
//
// Proof: at import, each stand-in and its library call answer a fixed set of
// probe inputs (probes.hpp), the library call made through the module global
// just bound, by the very function the module calls when the stand-in is off
// (paths.hpp). The stand-in is kept only when
// every answer is identical (same type, equal value); otherwise it stays off
// for the life of the process and the library answers. So a library release
// whose behaviour differs, or a library patched before the import, is caught
// on the inputs the probes cover.
//
// Watch: a proven stand-in answers only while what its proof rested on is
// still in place, checked at every call (watch.hpp): the module global (`re`,
// `Version`) is the object probed, and so is everything the library call
// reads when it runs: the `re` function called and the names its code reads
// (`re._compile` and on); for `Version`, the namespaces of the class and its
// bases, and the global names their functions read (`_cmpkey` and on), each
// function followed through `__wrapped__` to the one doing the work; every
// function reached keeps its code and defaults. Replacing any of these hands
// the work back to the library at the next call; putting the original back
// brings the stand-in back.
//
// Not watched: changes made after import inside objects (items of a dict or a
// set the library consults, a method of a class defined elsewhere), and
// changes beyond what the probe inputs exercise in a library patched before
// the import.
#pragma once

#include <cstddef>

#include "fastpath/watch.hpp"
#include "runtime/ref.hpp"

namespace pic::fastpath {

// What one stand-in's proof rests on.
struct Proof {
    Object bound;  // the module global as probed; null while the stand-in is off
    Watch watch;
};

namespace detail {
inline Proof* proofs = nullptr;  // one per fast path, set by prove(); kept for the life of the process
}  // namespace detail

// Runs the probes of every fast path (paths.hpp) and records what each proof
// rests on. Called once by the module body after `re` and `Version` are
// bound. A probe that raises leaves its stand-in off; only an exception that
// is not a subclass of Exception leaves this function.
void prove();

// The stand-in at `index` of the list of fast paths is proven and nothing its
// proof rested on has changed.
inline bool open(std::size_t index) {
    if (!detail::proofs) return false;
    Proof& proof = detail::proofs[index];
    return proof.bound && proof.watch.unchanged();
}

}  // namespace pic::fastpath
