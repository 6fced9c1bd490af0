// The versions of a package at one index: its JSON API's release keys, or the
// finder's list.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::index_api {

Task<Object> get_versions_from_index(const Object& self, const Object& package_name, const Object& index_url);

}  // namespace pic::index_api
