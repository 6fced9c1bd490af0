// Requirements of one exact version at one index: its dependency records and
// the extras its requirements are restricted to.
#pragma once

#include "module/coroutine.hpp"

namespace pic::index_api {

Task<Object> get_dependencies_from_index(Object self, Object package_name, Object version, Object index_url);
Task<Object> get_extras_from_index(Object self, Object package_name, Object version, Object index_url);

}  // namespace pic::index_api
