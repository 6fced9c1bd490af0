// Extras and dependencies of one exact version, read from its core metadata
// through the package finder, for indexes without a JSON API. Blocking: the
// single-index operations run these in the loop's default executor.
#pragma once

#include "runtime/ref.hpp"

namespace pic::finder {

Object get_extras_via_unearth(Object self, Object package_name, Object version, Object index_url);
Object get_dependencies_via_unearth(Object self, Object package_name, Object version, Object index_url);

}  // namespace pic::finder
