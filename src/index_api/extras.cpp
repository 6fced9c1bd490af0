#include "config/patterns.hpp"
#include "config/redact.hpp"
#include "environment/requirement.hpp"
#include "index_api/request.hpp"
#include "index_api/requirements.hpp"
#include "module/function.hpp"

namespace pic::index_api {

namespace {

// The extras named by the markers of data["info"]["requires_dist"].
Object extras_in(const Object& data) {
    Object info = data.call_method("get"_id, "info"_id, new_dict());
    Object requires_dist = info.call_method("get"_id, "requires_dist"_id, new_list());
    Object extras = new_set();
    if (!requires_dist.truthy()) return extras;
    for (Object req : iterate(requires_dist))
        if (Object extra = environment::declared_extra(req)) check(PySet_Add(extras.get(), extra.get()));
    return extras;
}

Task<Object> via_finder(Object self, Object package_name, Object version, Object index_url) {
    if (!global("UNEARTH_AVAILABLE"_id).truthy()) {
        log_debug(format("No API pattern and unearth not available for %U", config::redact(index_url).get()));
        co_return new_set();
    }
    try {
        Object extras = co_await in_executor(self, "_get_extras_via_unearth"_id, package_name, version, index_url);
        co_return expect(Returns::set, extras);
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        log_error(format("Unearth failed for extras %U==%U: %U", package_name.get(), version.get(),
                         config::error_text(e).get()));
        co_return new_set();
    }
}

}  // namespace

// Nothing is cached here, and the document is read inside the request's
// handlers: a malformed document is one more failed query.
Task<Object> get_extras_from_index(Object self, Object package_name, Object version, Object index_url) {
    Object api_pattern = self.call_method("_get_api_pattern_for_index"_id, index_url);
    if (!api_pattern.truthy()) {
        auto extras = co_await via_finder(self, package_name, version, index_url);
        co_return extras;
    }

    try {
        Object api_url = config::fill_pattern(api_pattern, package_name, version);
        auto answer = co_await get(self, api_url, [&](Object response) -> Task<std::optional<Object>> {
            long status = status_of(response);
            if (status == 404) {
                log_debug(format("Package %U not found at %U", package_name.get(), config::redact(index_url).get()));
                co_return new_set();
            }
            if (status != 200) {
                log_error(format("API returned status %ld for %U", status, config::redact(api_url).get()));
                co_return new_set();
            }
            Object data = co_await py_await(response.call_method("json"_id));
            Object extras = extras_in(data);
            log_debug(format("Found %zd extras via API for %U", extras.size(), package_name.get()));
            co_return extras;
        });
        if (answer) co_return *answer;
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        if (e.matches(global("asyncio"_id).attr("TimeoutError"_id).get()))
            log_error(format("Timeout querying %U for %U", config::redact(index_url).get(), package_name.get()));
        else
            log_error(format("Failed to query %U for %U: %U", config::redact(index_url).get(), package_name.get(),
                             config::error_text(e).get()));
        co_return new_set();
    }
    co_return new_set();  // only when the request context swallowed an exception
}

}  // namespace pic::index_api
