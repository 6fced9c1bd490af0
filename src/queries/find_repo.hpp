// find_repo_for_package and find_repo_for_package_version: the first index
// that holds a package, or one version of it.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::queries {

Task<Object> find_repo_for_package(const Object& self, const Object& package_name);
Task<Object> find_repo_for_package_version(const Object& self, const Object& package_name, const Object& version);

}  // namespace pic::queries
