// Single-index questions about a package: its versions, whether it (or one
// version of it) is there, and its short description. Each asks the index's
// JSON API when a pattern is configured for it, else the finder.
#pragma once

#include "runtime/coroutine.hpp"
#include "runtime/globals.hpp"

namespace pic::index_api {

Task<Object> get_versions_from_index(const Object& self, const Object& package_name, const Object& index_url);
Task<Object> package_exists_in_index(const Object& self, const Object& package_name, const Object& index_url);
Task<Object> package_version_exists_in_index(const Object& self, const Object& package_name, const Object& version,
                                             const Object& index_url);
Task<Object> get_package_info_from_index(const Object& self, const Object& package_name, const Object& index_url);

}  // namespace pic::index_api
