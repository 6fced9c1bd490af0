// PEP 440 ordering of release keys: packaging's own road, and a native one
// that gives the same order without building Version objects.
#pragma once

#include <optional>

#include "runtime/ref.hpp"

namespace pic::fastpath {

// `pairs` is a list of (parsed version, text) tuples. Sorts it with
// `pairs.sort(key=lambda p: p[0], reverse=True)`, so equal versions keep their
// given order, and returns the list of the texts.
Object texts_newest_first(const Object& pairs);

// The library's road: (version_class(t), t) for every text of `texts` that it
// accepts (any Exception leaves the text out), newest first.
Object newest_first_by(const Object& version_class, const Object& texts);

// The native road: what newest_first_by(Version, texts) gives for packaging's
// Version, without calling it. nullopt when an item lies outside what this
// parser decides (not an exact str, a number of more than 18 digits, a letter
// that only Unicode case folding makes ASCII); the caller then takes the
// library's road. Taken through the ReleaseOrder entry (paths.hpp).
std::optional<Object> newest_first(const Object& texts);

}  // namespace pic::fastpath
