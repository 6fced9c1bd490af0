// get_dependencies: the dependency records of one version, from the first
// index that has any.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::queries {

Task<Object> get_dependencies(const Object& self, const Object& package_name, const Object& version,
                              const Object& index_url);

}  // namespace pic::queries
