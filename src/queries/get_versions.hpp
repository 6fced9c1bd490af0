// get_versions: the versions of a package, newest first, from the first
// index that has any (or from the one index named).
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::queries {

Task<Object> get_versions(const Object& self, const Object& package_name, const Object& index_url);

}  // namespace pic::queries
