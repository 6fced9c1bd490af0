#include "config/patterns.hpp"
#include "config/redact.hpp"
#include "index_api/package_lookups.hpp"
#include "index_api/finder_road.hpp"
#include "index_api/json_api.hpp"

namespace pic::index_api {

namespace {

Object error_record(const Object& message) {
    Object record = new_dict();
    record.set_item("error"_id, message.get());
    return record;
}

Object description(const Object& name, const Object& latest_version, const Object& summary) {
    Object record = new_dict();
    record.set_item("name"_id, name.get());
    record.set_item("latest_version"_id, latest_version.get());
    record.set_item("summary"_id, summary.get());
    return record;
}

Object not_found_record(const Object& package_name, const Object& index_url) {
    return error_record(format("Package '%U' not found at %U", package_name.get(), index_url.get()));
}

constexpr NoDocumentAnswers kErrorRecords = {
    [](const Object& package_name, const Object& index_url) { return not_found_record(package_name, index_url); },
    [](long status) { return error_record(format("API returned status %ld", status)); },
    [] { return error_record(str("Request timed out")); },
    [](const PyError& e) { return error_record(Object::steal(PyObject_Str(e.value()))); },
};

}  // namespace

Task<Object> get_package_info_from_index(const Object& self, const Object& package_name, const Object& index_url) {
    Local api_pattern = self.call_method("_get_api_pattern_for_index"_id, index_url);
    if (api_pattern.truthy()) {
        // A configured pattern commits to the API: no finder fallback on failure.
        auto record = co_await ask_json_api(
            self, package_name, index_url, kErrorRecords,
            [&] { return config::fill_pattern(api_pattern, package_name); },
            [&](const Object& data) {
                Object info = data.call_method("get"_id, "info"_id, new_dict());
                static PyObject* const empty = intern("");
                Object name = info.call_method("get"_id, "name"_id, package_name);
                Object latest_version = info.call_method("get"_id, "version"_id, empty);
                Object summary = info.call_method("get"_id, "summary"_id, empty);
                return description(name, latest_version, summary);
            });
        co_return record;
    }
    if (unearth_missing(index_url)) co_return error_record(format("No API pattern configured for %U", index_url.get()));
    auto record = co_await ask_finder(
        self,
        [&](const Object& versions) {
            static PyObject* const empty = intern("");
            return versions.truthy() ? description(package_name, versions.item(integer(0)), Object::borrow(empty))
                                     : not_found_record(package_name, index_url);
        },
        [&](const PyError& e) {
            log_finder_failure(e, package_name, index_url);
            return error_record(Object::steal(PyObject_Str(e.value())));
        },
        "_get_versions_via_unearth"_id, package_name, index_url);
    co_return record;
}

}  // namespace pic::index_api
