#include "queries/get_package_info.hpp"
#include "queries/walk.hpp"

namespace pic::queries {

namespace {

const WalkMessages kInfoMessages{
    .primary = "Querying primary index for package info: %U",
    .trying = "No info from primary, trying %zd secondary indexes",
    .each_secondary = true,
    .not_found_level = Level::warning,
    .not_found = "Could not retrieve package info for %U from any index",
};

}  // namespace

Task<Object> get_package_info(const Object& self, const Object& package_name) {
    auto found = co_await walk_indexes(
        self, package_name, kInfoMessages,
        [&](const Object& url) {
            return py_await(self.call_method("_get_package_info_from_index"_id, package_name, url));
        },
        [](const Object& result) { return !result.contains("error"_id); });
    if (found) co_return found->answer;
    // The per-index error texts are only in the log; the caller gets one record.
    co_return dict({{"error"_id, format("Package '%U' not found in any configured index", package_name.get())}});
}

}  // namespace pic::queries
