// get_package_info: name, latest version and summary from the first index
// that knows the package.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::queries {

Task<Object> get_package_info(const Object& self, const Object& package_name);

}  // namespace pic::queries
