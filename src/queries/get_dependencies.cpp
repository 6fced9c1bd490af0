#include "queries/get_dependencies.hpp"
#include "queries/walk.hpp"

namespace pic::queries {

namespace {

const WalkMessages kDependencyMessages = {
    .primary = "Querying primary index for dependencies: %U",
    .found_in_primary = "Found %zd dependencies in primary index",
    .trying = "No dependencies in primary, trying %zd secondary indexes",
    .each_secondary = true,
    .found_in_secondary = "Found %zd dependencies in secondary index",
    .not_found_level = Level::debug,
    .not_found = "No dependencies found for %U in any index",
};

}  // namespace

Task<Object> get_dependencies(const Object& self, const Object& package_name, const Object& version,
                              const Object& index_url) {
    auto ask = [&](const Object& url) {
        return py_await(self.call_method("_get_dependencies_from_index"_id, package_name, version, url));
    };
    if (index_url.truthy()) {
        Object deps = co_await ask(index_url);
        co_return deps;
    }
    auto found = co_await walk_indexes(self, package_name, kDependencyMessages, ask,
                                       [](const Object& deps) { return deps.truthy(); });
    co_return found ? found->answer : new_list();
}

}  // namespace pic::queries
