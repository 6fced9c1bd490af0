// The finder road of the single-index operations, for indexes without a JSON
// API pattern, written once:
//
//     if not UNEARTH_AVAILABLE:
//         logger.debug(f"No API pattern and unearth not available for {index_url}")
//         return <the operation's empty answer>
//     try:
//         return read(await asyncio.get_event_loop().run_in_executor(None, self.<method>, *args))
//     except Exception as e:
//         return failed(e)    # the operation's own log line and answer
#pragma once

#include "index_api/request.hpp"

namespace pic::index_api {

enum class Quiet : bool { no, yes };

// True when the finder library is missing; the debug line unless quiet.
bool unearth_missing(const Object& index_url, Quiet quiet = Quiet::no);

// The failure line of the versions and package information roads:
// error "Unearth failed for {package_name} at {index_url}: {e}".
void log_finder_failure(const PyError& e, const Object& package_name, const Object& index_url);

template <class Read, class Failed, class... A>
Task<Object> ask_finder(const Object& self, Read read, Failed failed, PyObject* method, const A&... args) {
    try {
        Object answer = co_await in_executor(self, method, args...);
        co_return read(answer);
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        co_return failed(e);
    }
}

}  // namespace pic::index_api
