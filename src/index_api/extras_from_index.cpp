#include "index_api/extras_from_index.hpp"

#include "config/patterns.hpp"
#include "environment/requirement.hpp"
#include "index_api/json_api.hpp"
#include "index_api/roads.hpp"

namespace pic::index_api {

namespace {

// The extras named by the markers of data["info"]["requires_dist"].
Object extras_in(const Object& data, const Object& package_name) {
    Object info = data.call_method("get"_id, "info"_id, new_dict());
    Object requires_dist = info.call_method("get"_id, "requires_dist"_id, new_list());
    Object extras = new_set();
    if (requires_dist.truthy())
        for (Object req : iterate(requires_dist))
            if (Object extra = environment::declared_extra(req)) check(PySet_Add(extras.get(), extra.get()));
    log_debug(format("Found %zd extras via API for %U", extras.size(), package_name.get()));
    return extras;
}

}  // namespace

// Nothing is cached here, and the document is read inside the request's
// handlers: a malformed document is one more failed query.
Task<Object> get_extras_from_index(const Object& self, const Object& package_name, const Object& version,
                                   const Object& index_url) {
    auto extras = co_await api_or_finder(
        self, index_url,
        [&](const Object& api_pattern) {
            return ask_json_api(
                self, package_name, index_url, kEmptySet,
                [&] { return config::fill_pattern(api_pattern, package_name, version); },
                [&](const Object& data) { return extras_in(data, package_name); });
        },
        new_set,
        [&] {
            return requirements_via_finder(self, "_get_extras_via_unearth"_id, "extras", Returns::set, new_set,
                                           package_name, version, index_url);
        });
    co_return extras;
}

}  // namespace pic::index_api
