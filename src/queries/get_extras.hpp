// get_extras: the extras one version offers, sorted, from the first index
// that has any.
#pragma once

#include "runtime/coroutine.hpp"

namespace pic::queries {

Task<Object> get_extras(const Object& self, const Object& package_name, const Object& version, const Object& index_url);

}  // namespace pic::queries
