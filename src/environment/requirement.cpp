#include "environment/requirement.hpp"

#include "fastpath/paths.hpp"
#include "runtime/globals.hpp"

namespace pic::environment {

namespace {

Object marker_text(const Object& req, const fastpath::MarkerSplit& split) {
    return split.markers ? fastpath::substring(req.get(), *split.markers) : Object::borrow(""_id);
}

Object record(const fastpath::RequirementParts::Result& parts, const Object& markers) {
    return dict({{"name"_id, parts.name},
                 {"version_spec"_id, parts.version_spec},
                 {"extras"_id, parts.extras},
                 {"markers"_id, markers}});
}

}  // namespace

Object parse_requirement(Object, Object req) {
    using namespace fastpath;
    MarkerSplit split = split_markers(req.get());
    Object marker_part = marker_text(req, split);
    RequirementParts::Result parts = answer<RequirementParts>(req, split.requirement);
    if (!parts.name) {
        log_warning(format("Could not parse requirement: %U", req.get()));
        return Object::none();
    }
    return record(parts, marker_part);
}

Object declared_extra(const Object& req) {
    if (!req.contains("extra =="_id)) return {};
    return fastpath::answer<fastpath::IndexExtra>(req);
}

}  // namespace pic::environment
