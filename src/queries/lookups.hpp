// Multi-index queries: versions, the index holding a package (or one version
// of it), and the package's short description.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::queries {

Task<Object> get_versions(Object self, Object package_name, Object index_url);
Task<Object> find_repo_for_package(Object self, Object package_name);
Task<Object> find_repo_for_package_version(Object self, Object package_name, Object version);
Task<Object> get_package_info(Object self, Object package_name);

}  // namespace pic::queries
