// Whether a requirement is already met by the running interpreter's environment.
#pragma once

#include "runtime/ref.hpp"

namespace pic::environment {

Object check_specifier_in_dist(Object self, Object package_name, Object version_spec, Object extras);

}  // namespace pic::environment
