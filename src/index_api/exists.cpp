#include "config/patterns.hpp"
#include "config/redact.hpp"
#include "finder/finder.hpp"
#include "finder/versions.hpp"
#include "index_api/finder_road.hpp"
#include "index_api/package_lookups.hpp"
#include "index_api/request.hpp"

namespace pic::index_api {

namespace {

// Only the status decides; the body is never read.
Task<Object> answers_ok(const Object& self, const Object& api_url) {
    auto answer = co_await get(self, api_url, [](const Object& response) -> Task<Object> {
        co_return boolean(status_of(response) == 200);
    });
    co_return answer ? std::move(*answer) : Object::none();
}

}  // namespace

Task<Object> package_exists_in_index(const Object& self, const Object& package_name, const Object& index_url) {
    Local api_pattern = self.call_method("_get_api_pattern_for_index"_id, index_url);
    if (api_pattern.truthy()) {
        try {
            Local api_url = config::fill_pattern(api_pattern, package_name);
            auto exists = co_await answers_ok(self, api_url);
            co_return exists;
        } catch (const PyError& e) {
            if (!e.is_ordinary()) throw;
            log_debug(format("API check failed for %U at %U: %U", package_name.get(), config::redact(index_url).get(),
                             config::error_text(e).get()));
            co_return boolean(false);
        }
    }
    if (unearth_missing(index_url)) co_return boolean(false);
    try {
        // Runs on the loop's thread: the loop waits while the finder reads the index.
        Object found = finder::with_finder(index_url, [&](const Object& finder) {
            Object packages = finder.call_method("find_all_packages"_id, package_name);
            // Any first item will do; the items themselves are not looked at.
            Object items = Object::steal(PyObject_GetIter(packages.get()));
            Object first = Object::steal_or_null(PyIter_Next(items.get()));
            if (!first && PyErr_Occurred()) throw_error();
            return boolean(bool(first));
        });
        co_return found;
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        log_debug(format("Unearth check failed for %U at %U: %U", package_name.get(), config::redact(index_url).get(),
                         config::error_text(e).get()));
        co_return boolean(false);
    }
}

Task<Object> package_version_exists_in_index(const Object& self, const Object& package_name, const Object& version,
                                             const Object& index_url) {
    Local api_pattern = self.call_method("_get_api_pattern_for_index"_id, index_url);
    if (api_pattern.truthy()) {
        try {
            Local api_url = config::fill_pattern(api_pattern, package_name, version);
            auto exists = co_await answers_ok(self, api_url);
            co_return exists;
        } catch (const PyError& e) {
            if (!e.is_ordinary()) throw;
            log_debug(format("API check failed for %U==%U at %U: %U", package_name.get(), version.get(),
                             config::redact(index_url).get(), config::error_text(e).get()));
            co_return boolean(false);
        }
    }
    // A finder failure and a missing library give the same quiet answer.
    if (unearth_missing(index_url, Quiet::yes)) co_return boolean(false);
    auto exists = co_await ask_finder(
        self, [](const Object& exists) { return exists; }, [](const PyError&) { return boolean(false); },
        "_package_version_exists_via_unearth"_id, package_name, version, index_url);
    co_return exists;
}

}  // namespace pic::index_api
