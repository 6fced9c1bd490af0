// Version listing and version existence through the unearth finder, for
// indexes without a JSON API pattern. Blocking: callers run them in the
// loop's default executor.
#pragma once

#include "runtime/ref.hpp"

namespace pic::finder {

Object get_versions_via_unearth(Object self, Object package_name, Object index_url);
Object package_version_exists_via_unearth(Object self, Object package_name, Object version, Object index_url);

// `pairs` is a list of (parsed version, text) tuples. Sorts it with
// `pairs.sort(key=lambda p: p[0], reverse=True)`, so equal versions keep their
// given order, and returns the list of the texts.
Object texts_newest_first(const Object& pairs);

}  // namespace pic::finder
