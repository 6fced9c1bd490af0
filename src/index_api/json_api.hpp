// The JSON API road of a single-index request, written once:
//
//     try:
//         api_url = <build>
//         session = await self._get_session()
//         async with session.get(api_url, timeout=ClientTimeout(total=10)) as response:
//             if response.status == 404: debug "Package {package_name} not found at {index_url}"
//             elif response.status != 200: error "API returned status {status} for {api_url}"
//             else: return read(await response.json())
//     except asyncio.TimeoutError: error "Timeout querying {index_url} for {package_name}"
//     except Exception as e: error "Failed to query {index_url} for {package_name}: {e}"
//
// Each operation says what it answers in the cases without a document.
#pragma once

#include "config/redact.hpp"
#include "index_api/request.hpp"
#include "runtime/guard.hpp"

namespace pic::index_api {

struct NoDocumentAnswers {
    Object (*not_found)(const Object& package_name, const Object& index_url);
    Object (*bad_status)(long status);
    Object (*timed_out)();
    Object (*failed)(const PyError& error);
};

// Every case without a document answers a new empty list / set.
inline constexpr NoDocumentAnswers kEmptyList = {
    [](const Object&, const Object&) { return new_list(); },
    [](long) { return new_list(); },
    [] { return new_list(); },
    [](const PyError&) { return new_list(); },
};
inline constexpr NoDocumentAnswers kEmptySet = {
    [](const Object&, const Object&) { return new_set(); },
    [](long) { return new_set(); },
    [] { return new_set(); },
    [](const PyError&) { return new_set(); },
};

// Whether a caught error is asyncio.TimeoutError, looked up on the module
// global `asyncio` now, as an `except asyncio.TimeoutError:` clause does.
inline bool is_timeout(const PyError& error) {
    return error.matches(global("asyncio"_id).attr("TimeoutError"_id).get());
}

// `build_url()` gives the API URL; `read(document)` gives the answer. Both run
// inside the handlers, so their failures are failed queries too.
template <class BuildUrl, class Read>
Task<Object> ask_json_api(const Object& self, const Object& package_name, const Object& index_url,
                          const NoDocumentAnswers& answers, BuildUrl build_url, Read read) {
    auto answer = co_await guarded_await(
        [&]() -> Task<Object> {
            Local api_url = build_url();
            auto answer = co_await get(self, api_url, [&](const Object& response) -> Task<Object> {
                long status = response_status(response);
                if (status == 404) {
                    log_debug(format("Package %U not found at %U", package_name.get(), config::redact(index_url).get()));
                    co_return answers.not_found(package_name, index_url);
                }
                if (status != 200) {
                    log_error(format("API returned status %ld for %U", status, config::redact(api_url).get()));
                    co_return answers.bad_status(status);
                }
                Object document = co_await py_await(response.call_method("json"_id));
                co_return read(document);
            });
            // No answer only when the request context's exit swallowed an error:
            // the block is left without a return, and so is the operation.
            co_return answer ? std::move(*answer) : Object::none();
        },
        [&](const PyError& e) {
            if (is_timeout(e)) {
                log_error(format("Timeout querying %U for %U", config::redact(index_url).get(), package_name.get()));
                return answers.timed_out();
            }
            log_error(format("Failed to query %U for %U: %U", config::redact(index_url).get(), package_name.get(),
                             config::error_text(e).get()));
            return answers.failed(e);
        });
    co_return answer;
}

}  // namespace pic::index_api
