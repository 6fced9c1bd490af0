// Whether one index holds a package, or one version of it.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::index_api {

Task<Object> package_exists_in_index(const Object& self, const Object& package_name, const Object& index_url);
Task<Object> package_version_exists_in_index(const Object& self, const Object& package_name, const Object& version,
                                             const Object& index_url);

}  // namespace pic::index_api
