#include "index_api/finder_road.hpp"

#include "config/redact.hpp"

namespace pic::index_api {

bool unearth_missing(const Object& index_url, Quiet quiet) {
    if (global("UNEARTH_AVAILABLE"_id).truthy()) return false;
    if (quiet == Quiet::no)
        log_debug(format("No API pattern and unearth not available for %U", config::redact(index_url).get()));
    return true;
}

void log_finder_failure(const PyError& e, const Object& package_name, const Object& index_url) {
    log_error(format("Unearth failed for %U at %U: %U", package_name.get(), config::redact(index_url).get(),
                     config::error_text(e).get()));
}

Task<Object> requirements_via_finder(const Object& self, PyObject* method, const char* what, Returns rule,
                                     Object (*empty)(), const Object& package_name, const Object& version,
                                     const Object& index_url) {
    auto answer = co_await ask_finder(
        self, [&](const Object& answer) { return expect(rule, answer); },
        [&](const PyError& e) {
            log_error(format("Unearth failed for %s %U==%U: %U", what, package_name.get(), version.get(),
                             config::error_text(e).get()));
            return empty();
        },
        method, package_name, version, index_url);
    co_return answer;
}

}  // namespace pic::index_api
