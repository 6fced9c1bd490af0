// The extras one version of a package offers at one index.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::index_api {

Task<Object> get_extras_from_index(const Object& self, const Object& package_name, const Object& version,
                                   const Object& index_url);

}  // namespace pic::index_api
