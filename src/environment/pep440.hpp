// PEP 440 ordering of release keys without building packaging Version objects.
#pragma once

#include <optional>

#include "runtime/ref.hpp"

namespace pic::fastpath {

// The strings of `texts` (a list) that packaging's Version accepts, newest
// first, equal versions in list order: what sorting (Version(t), t) pairs by
// their first member with reverse=True gives, rejected strings left out.
// nullopt when an item lies outside what this parser handles (not an exact
// str, or a number of more than 18 digits); the caller then uses Version
// itself. Take it only while fastpath::packaging_version() holds.
std::optional<Object> newest_first(const Object& texts);

}  // namespace pic::fastpath
