// The table of installed distributions, keyed by normalised name, with the
// standard-library modules standing in as installed at the interpreter's version.
#pragma once

#include "runtime/ref.hpp"

namespace pic::environment {

Object get_current_distributions(Object self);
Object clear_distributions_cache(Object self);

}  // namespace pic::environment
