#include "module/fallbacks.hpp"

#include "runtime/globals.hpp"

namespace pic::fallbacks {

Object metadata_get_all() { return new_list(); }

Object dist_init(Object self, Object name, Object version) {
    self.set_attr("metadata"_id, global("_dummy_metadata"_id)());
    self.attr("metadata"_id).set_item("Name"_id, name.get());
    self.attr("metadata"_id).set_item("Version"_id, version.get());
    return Object::none();
}

}  // namespace pic::fallbacks
