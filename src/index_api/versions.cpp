#include "config/patterns.hpp"
#include "config/redact.hpp"
#include "fastpath/paths.hpp"
#include "finder/versions.hpp"
#include "index_api/finder_road.hpp"
#include "index_api/json_api.hpp"
#include "index_api/package_lookups.hpp"
#include "runtime/function.hpp"

namespace pic::index_api {

namespace {

// The "releases" keys of an index document, newest first. With packaging the
// keys that are no PEP 440 version are dropped; without it, plain descending
// text order.
Object order_release_keys(Object versions) {
    if (!global("PACKAGING_AVAILABLE"_id).truthy()) {
        call_kw(versions.attr("sort"_id), {}, {{"reverse"_id, Py_True}});
        return versions;
    }
    return fastpath::answer<fastpath::ReleaseOrder>(versions);
}

}  // namespace

Task<Object> get_versions_from_index(const Object& self, const Object& package_name, const Object& index_url) {
    Local api_pattern = self.call_method("_get_api_pattern_for_index"_id, index_url);
    if (api_pattern.truthy()) {
        // A configured pattern commits to the API: no finder fallback on failure.
        auto versions = co_await ask_json_api(
            self, package_name, index_url, kEmptyList,
            [&] { return config::fill_pattern(api_pattern, package_name); },
            [&](const Object& data) {
                Object releases = data.call_method("get"_id, "releases"_id, new_dict());
                Object versions = order_release_keys(Object::steal(PySequence_List(releases.call_method("keys"_id).get())));
                log_debug(format("Found %zd versions via API for %U", versions.size(), package_name.get()));
                return versions;
            });
        co_return versions;
    }
    if (unearth_missing(index_url)) co_return new_list();
    auto versions = co_await ask_finder(
        self, [](const Object& versions) { return expect(Returns::list, versions); },
        [&](const PyError& e) {
            log_finder_failure(e, package_name, index_url);
            return new_list();
        },
        "_get_versions_via_unearth"_id, package_name, index_url);
    co_return versions;
}

}  // namespace pic::index_api
