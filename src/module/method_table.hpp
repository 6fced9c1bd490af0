// The classes of the module, as data: every method with its parameters, rules,
// annotations and docstring, in definition order.
#pragma once

#include <span>

#include "module/function.hpp"

namespace pic {

std::span<const MethodSpec> client_methods();
std::span<const MethodSpec> dummy_metadata_methods();
std::span<const MethodSpec> dummy_dist_methods();

}  // namespace pic
