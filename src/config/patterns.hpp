// Filling API URL patterns: plain text replacement, no quoting, no validation.
#pragma once

#include "runtime/ref.hpp"

namespace pic::config {

// "{package_name}" replaced, then every "/{version}" removed (through the
// module global `re`), for package-level requests.
Object fill_pattern(const Object& pattern, const Object& package_name);

// "{package_name}" replaced, then "{version}" replaced, for version requests.
Object fill_pattern(const Object& pattern, const Object& package_name, const Object& version);

}  // namespace pic::config
