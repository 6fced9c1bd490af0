#include "environment/requirement.hpp"

#include "fastpath/paths.hpp"
#include "runtime/globals.hpp"

namespace pic::environment {

Object parse_requirement(Object, Object req) {
    using namespace fastpath;
    MarkerSplit split = split_markers(req.get());
    Object marker_part = split.markers ? substring(req.get(), *split.markers) : Object::borrow(""_id);
    RequirementParts::Result parts = answer<RequirementParts>(req, split.requirement);
    if (!parts.name) {
        log_warning(format("Could not parse requirement: %U", req.get()));
        return Object::none();
    }
    Object record = new_dict();
    record.set_item("name"_id, parts.name.get());
    record.set_item("version_spec"_id, parts.version_spec.get());
    record.set_item("extras"_id, parts.extras.get());
    record.set_item("markers"_id, marker_part.get());
    return record;
}

Object declared_extra(const Object& req) {
    if (!req.contains("extra =="_id)) return {};
    return fastpath::answer<fastpath::IndexExtra>(req);
}

}  // namespace pic::environment
