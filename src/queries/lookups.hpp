// Multi-index queries: versions, the index holding a package (or one version
// of it), and the package's short description.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::queries {

Task<Object> get_versions(const Object& self, const Object& package_name, const Object& index_url);
Task<Object> find_repo_for_package(const Object& self, const Object& package_name);
Task<Object> find_repo_for_package_version(const Object& self, const Object& package_name, const Object& version);
Task<Object> get_package_info(const Object& self, const Object& package_name);

}  // namespace pic::queries
