#include "config/redact.hpp"
#include "index_api/request.hpp"
#include "index_api/requirements.hpp"

namespace pic::index_api {

Task<Object> requirements_via_finder(const Object& self, PyObject* method, const char* what, Returns rule,
                                     Object (*empty)(), const Object& package_name, const Object& version,
                                     const Object& index_url) {
    if (!global("UNEARTH_AVAILABLE"_id).truthy()) {
        log_debug(format("No API pattern and unearth not available for %U", config::redact(index_url).get()));
        co_return empty();
    }
    try {
        Object answer = co_await in_executor(self, method, package_name, version, index_url);
        co_return expect(rule, answer);
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        log_error(format("Unearth failed for %s %U==%U: %U", what, package_name.get(), version.get(),
                         config::error_text(e).get()));
        co_return empty();
    }
}

}  // namespace pic::index_api
