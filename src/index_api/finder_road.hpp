// The finder road of the single-index operations, for indexes without a JSON
// API pattern (roads.hpp checks for the library first):
//
//     try:
//         return read(await asyncio.get_event_loop().run_in_executor(None, self.<method>, *args))
//     except Exception as e:
//         return failed(e)    # the operation's own log line and answer
#pragma once

#include "index_api/request.hpp"
#include "runtime/function.hpp"
#include "runtime/guard.hpp"

namespace pic::index_api {

enum class Quiet : bool { no, yes };

// True when the finder library is missing; the debug line unless quiet.
bool unearth_missing(const Object& index_url, Quiet quiet = Quiet::no);

// The failure line of the versions and package information roads:
// error "Unearth failed for {package_name} at {index_url}: {e}".
void log_finder_failure(const PyError& e, const Object& package_name, const Object& index_url);

template <class Read, class Failed, class... A>
Task<Object> ask_finder(const Object& self, Read read, Failed failed, PyObject* method, const A&... args) {
    auto answer = co_await guarded_await(
        [&]() -> Task<Object> {
            Object found = co_await in_executor(self, method, args...);
            co_return read(found);
        },
        failed);
    co_return answer;
}

// The finder road of the extras and the dependencies of one version:
// `self.<method>(package_name, version, index_url)`. `what` names the query in
// the failure line ("Unearth failed for <what> {package_name}=={version}:
// {e}"); the result must be `rule`'s type (or None), else that is a failure
// too; every failure answers `empty()`.
Task<Object> requirements_via_finder(const Object& self, PyObject* method, const char* what, Returns rule,
                                     Object (*empty)(), const Object& package_name, const Object& version,
                                     const Object& index_url);

}  // namespace pic::index_api
