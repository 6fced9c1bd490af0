#include "index_api/info_from_index.hpp"

#include "config/patterns.hpp"
#include "config/redact.hpp"
#include "index_api/json_api.hpp"
#include "index_api/roads.hpp"

namespace pic::index_api {

namespace {

Object error_record(const Object& message) { return dict({{"error"_id, message}}); }

Object description(const Object& name, const Object& latest_version, const Object& summary) {
    return dict({{"name"_id, name}, {"latest_version"_id, latest_version}, {"summary"_id, summary}});
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

Object description_in(const Object& data, const Object& package_name) {
    static PyObject* const empty = intern("");
    Object info = data.call_method("get"_id, "info"_id, new_dict());
    Object name = info.call_method("get"_id, "name"_id, package_name);
    Object latest_version = info.call_method("get"_id, "version"_id, empty);
    Object summary = info.call_method("get"_id, "summary"_id, empty);
    return description(name, latest_version, summary);
}

}  // namespace

Task<Object> get_package_info_from_index(const Object& self, const Object& package_name, const Object& index_url) {
    auto record = co_await api_or_finder(
        self, index_url,
        [&](const Object& api_pattern) {
            return ask_json_api(
                self, package_name, index_url, kErrorRecords,
                [&] { return config::fill_pattern(api_pattern, package_name); },
                [&](const Object& data) { return description_in(data, package_name); });
        },
        [&] { return error_record(format("No API pattern configured for %U", index_url.get())); },
        [&] {
            return ask_finder(
                self,
                [&](const Object& versions) {
                    return versions.truthy() ? description(package_name, versions.item(integer(0)), Object::borrow(""_id))
                                             : not_found_record(package_name, index_url);
                },
                [&](const PyError& e) {
                    log_finder_failure(e, package_name, index_url);
                    return error_record(Object::steal(PyObject_Str(e.value())));
                },
                "_get_versions_via_unearth"_id, package_name, index_url);
        });
    co_return record;
}

}  // namespace pic::index_api
