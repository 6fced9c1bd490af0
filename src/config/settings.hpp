// Host settings access, URL and name normalisation, API pattern lookup.
#pragma once

#include "runtime/ref.hpp"

namespace pic::config {

Object get_pip_settings(Object self);
Object get_pip_api_list(Object self);
Object normalize_url(Object self, Object url);
Object normalize_name(Object self, Object name);
Object get_api_pattern_for_index(Object self, Object index_url);

}  // namespace pic::config
