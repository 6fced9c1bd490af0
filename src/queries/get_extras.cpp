#include "queries/get_extras.hpp"
#include "queries/walk.hpp"

namespace pic::queries {

namespace {

const WalkMessages kExtraMessages = {
    .primary = "Querying primary index for extras: %U",
    .found_in_primary = "Found %zd extras in primary index",
    .trying = "No extras in primary, trying %zd secondary indexes",
    .each_secondary = true,
    .found_in_secondary = "Found %zd extras in secondary index",
    .not_found_level = Level::info,
    .not_found = "No extras found for %U in any index",
};

// sorted(list(extras)): code point order, so "Docs" < "dev" < "docs".
Object sorted_list(const Object& extras) {
    Object names = Object::steal(PySequence_List(extras.get()));
    check(PyList_Sort(names.get()));
    return names;
}

}  // namespace

Task<Object> get_extras(const Object& self, const Object& package_name, const Object& version,
                        const Object& index_url) {
    auto ask = [&](const Object& url) {
        return py_await(self.call_method("_get_extras_from_index"_id, package_name, version, url));
    };
    if (index_url.truthy()) {
        Object extras = co_await ask(index_url);
        co_return sorted_list(extras);
    }
    auto found = co_await walk_indexes(self, package_name, kExtraMessages, ask,
                                       [](const Object& extras) { return extras.truthy(); });
    co_return found ? sorted_list(found->answer) : new_list();
}

}  // namespace pic::queries
