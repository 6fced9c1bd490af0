#include "queries/find_repo.hpp"
#include "queries/walk.hpp"

namespace pic::queries {

namespace {

// The plainest walk: nothing is logged here.
const WalkMessages kSilent{};

Object url_or_none(const std::optional<Found>& found) { return found ? found->index_url : Object::none(); }

bool says_yes(const Object& answer) { return answer.truthy(); }

}  // namespace

Task<Object> find_repo_for_package(const Object& self, const Object& package_name) {
    auto found = co_await walk_indexes(
        self, package_name, kSilent,
        [&](const Object& url) { return py_await(self.call_method("_package_exists_in_index"_id, package_name, url)); },
        says_yes);
    co_return url_or_none(found);
}

Task<Object> find_repo_for_package_version(const Object& self, const Object& package_name, const Object& version) {
    auto found = co_await walk_indexes(
        self, package_name, kSilent,
        [&](const Object& url) {
            return py_await(self.call_method("_package_version_exists_in_index"_id, package_name, version, url));
        },
        says_yes);
    co_return url_or_none(found);
}

}  // namespace pic::queries
