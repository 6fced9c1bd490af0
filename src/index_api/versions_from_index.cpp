#include "index_api/versions_from_index.hpp"

#include "config/patterns.hpp"
#include "fastpath/paths.hpp"
#include "index_api/json_api.hpp"
#include "index_api/roads.hpp"

namespace pic::index_api {

namespace {

// The "releases" keys of an index document, newest first. With packaging the
// keys that are no PEP 440 version are dropped; without it, plain descending
// text order.
Object order_release_keys(Object versions) {
    if (!global("PACKAGING_AVAILABLE"_id).truthy()) {
        versions.call_method("sort"_id, "reverse"_kw = Py_True);
        return versions;
    }
    return fastpath::answer<fastpath::ReleaseOrder>(versions);
}

Object versions_in(const Object& data, const Object& package_name) {
    Object releases = data.call_method("get"_id, "releases"_id, new_dict());
    Object versions = order_release_keys(Object::steal(PySequence_List(releases.call_method("keys"_id).get())));
    log_debug(format("Found %zd versions via API for %U", versions.size(), package_name.get()));
    return versions;
}

}  // namespace

Task<Object> get_versions_from_index(const Object& self, const Object& package_name, const Object& index_url) {
    auto versions = co_await api_or_finder(
        self, index_url,
        [&](const Object& api_pattern) {
            return ask_json_api(
                self, package_name, index_url, kEmptyList,
                [&] { return config::fill_pattern(api_pattern, package_name); },
                [&](const Object& data) { return versions_in(data, package_name); });
        },
        new_list,
        [&] {
            return ask_finder(
                self, [](const Object& versions) { return expect(Returns::list, versions); },
                [&](const PyError& e) {
                    log_finder_failure(e, package_name, index_url);
                    return new_list();
                },
                "_get_versions_via_unearth"_id, package_name, index_url);
        });
    co_return versions;
}

}  // namespace pic::index_api
