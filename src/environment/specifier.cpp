#include "environment/specifier.hpp"

#include "config/redact.hpp"
#include "fastpath/paths.hpp"
#include "runtime/globals.hpp"
#include "runtime/guard.hpp"

namespace pic::environment {

namespace {

// The names of the extras the distribution declares, lower-cased. Only the
// first quoted name after "extra ==" counts, so `extra == "a" or extra == "b"`
// offers a alone.
Object declared_extras(const Object& dist) {
    Object requirements = dist.attr("metadata"_id).call_method("get_all"_id, "Requires-Dist"_id);
    if (!requirements.truthy()) requirements = new_list();
    Object available_extras = new_set();
    static PyObject* const marker = intern("extra ==");
    for (Object req : iterate(requirements)) {
        if (!req.contains(marker)) continue;
        if (Object extra = fastpath::answer<fastpath::InstalledExtra>(req))
            check(PySet_Add(available_extras.get(), extra.get()));
    }
    return available_extras;
}

}  // namespace

Object check_specifier_in_dist(Object self, Object package_name, Object version_spec, Object extras) {
    if (!global("PACKAGING_AVAILABLE"_id).truthy()) {
        log_debug(str("packaging library not available, cannot check distributions"));
        return Object::none();
    }

    Object distributions = self.call_method("_get_current_distributions"_id);
    Object normalized_name = self.call_method("_normalize_name"_id, package_name);
    Object dist = distributions.call_method("get"_id, normalized_name);
    if (dist.is_none()) return Object::none();

    Object dist_version_str = dist.attr("metadata"_id).call_method("get"_id, "Version"_id);
    if (!dist_version_str.truthy()) return Object::none();

    if (version_spec.truthy() && version_spec.call_method("strip"_id).truthy()) {
        bool satisfied = guarded(
            [&] {
                Object specifier = global("SpecifierSet"_id)(version_spec);
                Object dist_version = global("Version"_id)(dist_version_str);
                return specifier.contains(dist_version);
            },
            [&](const PyError& e) {
                log_debug(format("Error checking version spec for %U: %U", package_name.get(),
                                 config::error_text(e).get()));
                return false;
            });
        if (!satisfied) return Object::none();
    }

    if (extras.truthy()) {
        Object available_extras = declared_extras(dist);
        for (Object extra : iterate(extras)) {
            if (!available_extras.contains(extra.call_method("lower"_id))) return Object::none();
        }
    }
    return dist_version_str;
}

}  // namespace pic::environment
