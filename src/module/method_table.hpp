// The classes of the module, as data: every method with its parameters, rules,
// annotations and docstring, in definition order.
#pragma once

#include <span>

#include "runtime/function.hpp"

namespace pic {

std::span<const MethodEntry> client_methods();
std::span<const MethodEntry> dummy_metadata_methods();
std::span<const MethodEntry> dummy_dist_methods();

}  // namespace pic
