// A package's name, latest version and summary at one index.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::index_api {

Task<Object> get_package_info_from_index(const Object& self, const Object& package_name, const Object& index_url);

}  // namespace pic::index_api
