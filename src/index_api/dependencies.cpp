#include "config/patterns.hpp"
#include "config/redact.hpp"
#include "index_api/request.hpp"
#include "index_api/requirements.hpp"
#include "module/function.hpp"

namespace pic::index_api {

namespace {

// One record per requirement string the parser accepts, in document order.
// No handler here: a document of unexpected shape raises to the caller.
Object dependencies_in(const Object& self, const Object& metadata, const Object& package_name,
                       const Object& version) {
    Object info = metadata.call_method("get"_id, "info"_id, new_dict());
    Object requires_dist = info.call_method("get"_id, "requires_dist"_id, new_list());
    if (!requires_dist.truthy()) return new_list();
    Object dependencies = new_list();
    for (Object req : iterate(requires_dist)) {
        Object dep = self.call_method("_parse_requirement"_id, req);
        if (dep.truthy()) append(dependencies, dep);
    }
    log_debug(format("Found %zd dependencies for %U==%U", dependencies.size(), package_name.get(), version.get()));
    return dependencies;
}

Task<Object> via_finder(Object self, Object package_name, Object version, Object index_url) {
    if (!global("UNEARTH_AVAILABLE"_id).truthy()) {
        log_debug(format("No API pattern and unearth not available for %U", config::redact(index_url).get()));
        co_return new_list();
    }
    try {
        Object deps = co_await in_executor(self, "_get_dependencies_via_unearth"_id, package_name, version, index_url);
        co_return expect(Returns::list, deps);
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        log_error(format("Unearth failed for dependencies %U==%U: %U", package_name.get(), version.get(),
                         config::error_text(e).get()));
        co_return new_list();
    }
}

}  // namespace

// Documents are cached per client by (lower-cased name, version), whatever the
// index: a later call for the same version is answered without a request.
Task<Object> get_dependencies_from_index(Object self, Object package_name, Object version, Object index_url) {
    Object cache_key = tuple(package_name.call_method("lower"_id), version);
    if (self.attr("_metadata_cache"_id).contains(cache_key)) {
        Object metadata = self.attr("_metadata_cache"_id).item(cache_key);
        co_return dependencies_in(self, metadata, package_name, version);
    }

    Object api_pattern = self.call_method("_get_api_pattern_for_index"_id, index_url);
    if (!api_pattern.truthy()) {
        auto deps = co_await via_finder(self, package_name, version, index_url);
        co_return deps;
    }

    Object metadata;
    try {
        Object api_url = config::fill_pattern(api_pattern, package_name, version);
        auto failed = co_await get(self, api_url, [&](Object response) -> Task<std::optional<Object>> {
            long status = status_of(response);
            if (status == 404) {
                log_debug(format("Package %U not found at %U", package_name.get(), config::redact(index_url).get()));
                co_return new_list();
            }
            if (status != 200) {
                log_error(format("API returned status %ld for %U", status, config::redact(api_url).get()));
                co_return new_list();
            }
            Object document = co_await py_await(response.call_method("json"_id));
            // Stored before the block exits, so a document that fails to read stays cached.
            self.attr("_metadata_cache"_id).set_item(cache_key, document);
            metadata = document;
            co_return std::nullopt;
        });
        if (failed) co_return *failed;
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        if (e.matches(global("asyncio"_id).attr("TimeoutError"_id).get()))
            log_error(format("Timeout querying %U for %U", config::redact(index_url).get(), package_name.get()));
        else
            log_error(format("Failed to query %U for %U: %U", config::redact(index_url).get(), package_name.get(),
                             config::error_text(e).get()));
        co_return new_list();
    }
    if (!metadata) co_return new_list();  // only when the request context swallowed an exception
    co_return dependencies_in(self, metadata, package_name, version);
}

}  // namespace pic::index_api
