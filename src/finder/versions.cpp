#include "finder/versions.hpp"

#include "config/redact.hpp"
#include "fastpath/pep440.hpp"
#include "finder/finder.hpp"
#include "runtime/globals.hpp"
#include "runtime/guard.hpp"
#include "runtime/imports.hpp"

namespace pic::finder {

namespace {

Object sorted_by_version(const Object& versions) {
    auto imported = import_from("packaging.version", {"Version", "InvalidVersion"});
    const Object& version_class = imported[0];
    const Object& invalid_version = imported[1];
    Object valid_versions = new_list();
    for (Object v : iterate(versions)) {
        try {
            append(valid_versions, tuple(version_class(v), v));
        } catch (const PyError& e) {
            if (!e.matches(invalid_version.get())) throw;
        }
    }
    return fastpath::texts_newest_first(valid_versions);
}

}  // namespace

Object get_versions_via_unearth(Object, Object package_name, Object index_url) {
    return guarded(
        [&] {
            Object packages = with_finder(index_url, [&](const Object& finder) {
                return Object::steal(PySequence_List(finder.call_method("find_all_packages"_id, package_name).get()));
            });
            // Several files of one version (wheel and sdist, platform wheels) give one entry.
            Object unique = new_set();
            for (Object package : iterate(packages))
                check(PySet_Add(unique.get(), Object::steal(PyObject_Str(package.attr("version"_id).get())).get()));
            Object versions = Object::steal(PySequence_List(unique.get()));
            try {
                return sorted_by_version(versions);
            } catch (const PyError& e) {
                if (!e.matches(PyExc_ImportError)) throw;
                // Without packaging: plain descending text order, nothing dropped.
                versions.call_method("sort"_id, "reverse"_kw = Py_True);
                return versions;
            }
        },
        [](const PyError& e) {
            log_error(format("Unearth _get_versions failed: %U", config::error_text(e).get()));
            return new_list();
        });
}

// A finder failure and a missing version give the same answer.
Object package_version_exists_via_unearth(Object, Object package_name, Object version, Object index_url) {
    return guarded(
        [&] {
            Object requirement = format("%U==%U", package_name.get(), version.get());
            return with_finder(index_url, [&](const Object& finder) {
                Object result = finder.call_method("find_best_match"_id, requirement);
                return boolean(!result.is_none() && !result.attr("best"_id).is_none());
            });
        },
        [](const PyError&) { return boolean(false); });
}

}  // namespace pic::finder
