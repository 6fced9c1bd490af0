// The requirements one version of a package declares at one index, as
// dependency records; the documents of the JSON road are cached per client.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::index_api {

Task<Object> get_dependencies_from_index(const Object& self, const Object& package_name, const Object& version,
                                         const Object& index_url);

}  // namespace pic::index_api
