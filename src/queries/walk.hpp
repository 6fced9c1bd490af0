// The search strategy of every multi-index query: the primary index first,
// then, when it gave nothing and the settings allow it, the secondaries one by
// one; the first acceptable answer wins and answers are never merged.
#pragma once

#include <optional>

#include "config/redact.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/globals.hpp"

namespace pic::queries {

// The log lines of one query, as PyUnicode_FromFormat formats: %U is the
// package name, %zd a count. Null: no line at that step.
struct WalkMessages {
    const char* primary = nullptr;          // info, %U
    const char* found_in_primary = nullptr; // info, %zd = len(answer)
    const char* trying = nullptr;           // info, %zd = len(secondary_urls)
    bool each_secondary = false;            // info "Querying secondary index: {url}"
    const char* found_in_secondary = nullptr;
    Level not_found_level = Level::info;
    const char* not_found = nullptr;        // %U
};

struct Found {
    Object answer;
    Object index_url;  // the URL exactly as configured
};

namespace detail {
inline void log_count(const char* fmt, const Object& answer) {
    if (fmt) log_info(format(fmt, answer.size()));
}
}  // namespace detail

// `ask(url)` gives an awaitable answer for one index; `accept(answer)` is the
// query's acceptance test.
template <class Ask, class Accept>
Task<std::optional<Found>> walk_indexes(const Object& self, const Object& package_name, const WalkMessages& m, Ask ask,
                                        Accept accept) {
    Local settings = self.call_method("_get_pip_settings"_id);
    Local primary_url = Object::none();
    Local secondary_urls = new_list();
    for (Object index : iterate(settings.item("index_urls"_id))) {
        if (index.call_method("get"_id, "primary"_id, Py_False).truthy())
            primary_url = index.item("url"_id);
        else
            append(secondary_urls, index.item("url"_id));
    }

    if (primary_url.truthy()) {
        if (m.primary) log_info(format(m.primary, package_name.get()));
        Object answer = co_await ask(primary_url);
        if (accept(answer)) {
            detail::log_count(m.found_in_primary, answer);
            co_return Found{answer, primary_url};
        }
    }

    if (settings.item("use_secondary_urls"_id).truthy() && secondary_urls.size() > 0) {
        if (m.trying) log_info(format(m.trying, secondary_urls.size()));
        for (Py_ssize_t i = 0; i < secondary_urls.size(); ++i) {
            Local url = secondary_urls.at(i);
            if (m.each_secondary) log_info(format("Querying secondary index: %S", config::redact(url).get()));
            Object answer = co_await ask(url);
            if (accept(answer)) {
                detail::log_count(m.found_in_secondary, answer);
                co_return Found{answer, url};
            }
        }
    }

    if (m.not_found) log(m.not_found_level, format(m.not_found, package_name.get()));
    co_return std::nullopt;
}

}  // namespace pic::queries
