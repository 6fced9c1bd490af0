#include "index_api/exists_in_index.hpp"

#include "config/patterns.hpp"
#include "config/redact.hpp"
#include "finder/finder.hpp"
#include "index_api/roads.hpp"

namespace pic::index_api {

namespace {

// Only the status decides; the body is never read.
Task<Object> answers_ok(const Object& self, const Object& api_url) {
    auto answer = co_await get(self, api_url, [](const Object& response) -> Task<Object> {
        co_return boolean(response_status(response) == 200);
    });
    co_return answer ? std::move(*answer) : Object::none();
}

// The JSON road of both questions: a 200 for the filled pattern, or false
// after the debug line "API check failed for <what> at {index_url}: {e}".
template <class Fill>
Task<Object> api_says_ok(const Object& self, const Object& index_url, Fill fill, const Object& what) {
    auto ok = co_await guarded_await(
        [&]() -> Task<Object> {
            Local api_url = fill();
            auto answer = co_await answers_ok(self, api_url);
            co_return answer;
        },
        [&](const PyError& e) {
            log_debug(format("API check failed for %U at %U: %U", what.get(), config::redact(index_url).get(),
                             config::error_text(e).get()));
            return boolean(false);
        });
    co_return ok;
}

// Runs on the loop's thread: the loop waits while the finder reads the index.
Object finder_lists_package(const Object& package_name, const Object& index_url) {
    return guarded(
        [&] {
            return finder::with_finder(index_url, [&](const Object& finder) {
                Object packages = finder.call_method("find_all_packages"_id, package_name);
                // Any first item will do; the items themselves are not looked at.
                Object items = Object::steal(PyObject_GetIter(packages.get()));
                Object first = Object::steal_or_null(PyIter_Next(items.get()));
                if (!first && PyErr_Occurred()) throw_error();
                return boolean(bool(first));
            });
        },
        [&](const PyError& e) {
            log_debug(format("Unearth check failed for %U at %U: %U", package_name.get(),
                             config::redact(index_url).get(), config::error_text(e).get()));
            return boolean(false);
        });
}

}  // namespace

Task<Object> package_exists_in_index(const Object& self, const Object& package_name, const Object& index_url) {
    auto exists = co_await api_or_finder(
        self, index_url,
        [&](const Object& api_pattern) {
            return api_says_ok(self, index_url, [&] { return config::fill_pattern(api_pattern, package_name); },
                               package_name);
        },
        [] { return boolean(false); },
        [&]() -> Task<Object> { co_return finder_lists_package(package_name, index_url); });
    co_return exists;
}

// A finder failure and a missing library give the same quiet answer.
Task<Object> package_version_exists_in_index(const Object& self, const Object& package_name, const Object& version,
                                             const Object& index_url) {
    auto exists = co_await api_or_finder(
        self, index_url,
        [&](const Object& api_pattern) -> Task<Object> {
            Local what = format("%U==%U", package_name.get(), version.get());
            auto ok = co_await api_says_ok(
                self, index_url, [&] { return config::fill_pattern(api_pattern, package_name, version); }, what);
            co_return ok;
        },
        [] { return boolean(false); },
        [&] {
            return ask_finder(
                self, [](const Object& exists) { return exists; }, [](const PyError&) { return boolean(false); },
                "_package_version_exists_via_unearth"_id, package_name, version, index_url);
        },
        Quiet::yes);
    co_return exists;
}

}  // namespace pic::index_api
