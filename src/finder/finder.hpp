// One package finder per call, bound to one index, and its release.
#pragma once

#include "runtime/guard.hpp"
#include "runtime/ref.hpp"

namespace pic::finder {

// PackageFinder(index_urls=[index_url]), with the module global read now.
Object new_finder(const Object& index_url);

// Switches off the finder library's password prompt on the authentication of
// the finder's session, where the library offers that switch: its netrc and
// keyring look-ups still apply, but an index that answers 401 fails the road
// instead of asking on the host's terminal and waiting on stdin.
void never_prompt(const Object& finder);

// Closes the finder's HTTP session, if it made one, and drops the atexit
// registration that unearth makes for it: that registration would keep every
// per-call session (its sockets and SSL context) alive until the process ends.
void release_session(const Object& finder);

// use(finder) with a finder built for `index_url` that never prompts, whose
// session is released on the way out, whether `use` returns or raises.
template <class Use>
auto with_finder(const Object& index_url, Use&& use) {
    Object finder = new_finder(index_url);
    auto result = [&] {
        try {
            never_prompt(finder);
            return use(finder);
        } catch (...) {
            // The first failure is the one to report.
            guarded([&] { release_session(finder); }, [](const PyError&) {});
            throw;
        }
    }();
    release_session(finder);  // once: a release that fails is not tried again
    return result;
}

}  // namespace pic::finder
