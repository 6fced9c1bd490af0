// Stand-ins shaped like an installed distribution, for standard-library modules.
#pragma once

#include "runtime/ref.hpp"

namespace pic::fallbacks {

Object metadata_get_all();
Object dist_init(Object self, Object name, Object version);

}  // namespace pic::fallbacks
