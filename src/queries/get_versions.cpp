#include "queries/get_versions.hpp"
#include "queries/walk.hpp"

namespace pic::queries {

namespace {

const WalkMessages kVersionMessages{
    .primary = "Querying primary index for %U versions",
    .found_in_primary = "Found %zd versions in primary index",
    .trying = "No results in primary, trying %zd secondary indexes",
    .each_secondary = true,
    .found_in_secondary = "Found %zd versions in secondary index",
    .not_found_level = Level::warning,
    .not_found = "No versions found for %U in any index",
};

}  // namespace

Task<Object> get_versions(const Object& self, const Object& package_name, const Object& index_url) {
    if (index_url.truthy()) {
        // A named index is asked alone, and its answer stands even when empty.
        Object versions = co_await py_await(self.call_method("_get_versions_from_index"_id, package_name, index_url));
        co_return versions;
    }
    auto found = co_await walk_indexes(
        self, package_name, kVersionMessages,
        [&](const Object& url) { return py_await(self.call_method("_get_versions_from_index"_id, package_name, url)); },
        [](const Object& versions) { return versions.truthy(); });
    if (found) co_return found->answer;
    co_return new_list();
}

}  // namespace pic::queries
