#include "finder/metadata.hpp"

#include "config/redact.hpp"
#include "environment/requirement.hpp"
#include "finder/core_metadata.hpp"
#include "finder/finder.hpp"
#include "runtime/globals.hpp"
#include "runtime/guard.hpp"

namespace pic::finder {

namespace {

// Steps of one finder: best candidate, its link, its metadata, the field.
Object best_match_requires_dist(const Object& finder, const Object& requirement) {
    Object result = finder.call_method("find_best_match"_id, requirement);
    if (!result.truthy() || !result.attr("best"_id).truthy()) return {};
    Object link = result.attr("best"_id).attr("link"_id);
    if (!link.truthy()) return {};
    Object metadata = read_core_metadata(finder, link);
    if (!metadata.truthy()) return {};
    Object requires_dist = metadata.call_method("get_all"_id, "Requires-Dist"_id);
    return requires_dist.truthy() ? requires_dist : new_list();
}

// The "Requires-Dist" values of the best candidate for package==version at the
// one index (a new empty list when the field is absent), or a null Object when
// the index has no such candidate or no readable metadata for it.
Object requires_dist_of(const Object& package_name, const Object& version, const Object& index_url) {
    return with_finder(index_url, [&](const Object& finder) {
        return best_match_requires_dist(finder, format("%U==%U", package_name.get(), version.get()));
    });
}

}  // namespace

Object get_extras_via_unearth(Object, Object package_name, Object version, Object index_url) {
    return guarded(
        [&] {
            Object extras = new_set();
            Object requires_dist = requires_dist_of(package_name, version, index_url);
            if (!requires_dist) return extras;
            for (Object req_str : iterate(requires_dist))
                if (Object extra = environment::declared_extra(req_str)) check(PySet_Add(extras.get(), extra.get()));
            return extras;
        },
        [](const PyError& e) {
            log_debug(format("Unearth get_extras failed: %U", config::error_text(e).get()));
            return new_set();
        });
}

Object get_dependencies_via_unearth(Object self, Object package_name, Object version, Object index_url) {
    return guarded(
        [&] {
            Object dependencies = new_list();
            Object requires_dist = requires_dist_of(package_name, version, index_url);
            if (!requires_dist) return dependencies;
            for (Object req_str : iterate(requires_dist)) {
                Object dep = self.call_method("_parse_requirement"_id, req_str);
                if (dep.truthy()) append(dependencies, dep);
            }
            return dependencies;
        },
        [](const PyError& e) {
            log_debug(format("Unearth get_dependencies failed: %U", config::error_text(e).get()));
            return new_list();
        });
}

}  // namespace pic::finder
