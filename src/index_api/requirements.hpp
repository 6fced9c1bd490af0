// Requirements of one exact version at one index: its dependency records and
// the extras its requirements are restricted to.
#pragma once

#include "runtime/coroutine.hpp"
#include "runtime/function.hpp"

namespace pic::index_api {

Task<Object> get_dependencies_from_index(const Object& self, const Object& package_name, const Object& version,
                                         const Object& index_url);
Task<Object> get_extras_from_index(const Object& self, const Object& package_name, const Object& version,
                                   const Object& index_url);

// The finder road of both: `self.<method>(package_name, version, index_url)`
// in the loop's default executor. `what` names the query in the failure line
// ("Unearth failed for <what> {package_name}=={version}: {e}"); the result
// must be `rule`'s type (or None), else that is a failure too; every failure
// answers `empty()`.
Task<Object> requirements_via_finder(const Object& self, PyObject* method, const char* what, Returns rule,
                                     Object (*empty)(), const Object& package_name, const Object& version,
                                     const Object& index_url);

}  // namespace pic::index_api
