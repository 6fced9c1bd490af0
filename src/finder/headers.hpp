// Reading the header fields of an answer, from any mapping with a
// case-insensitive `get` (httpx's and aiohttp's headers both are one).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/ref.hpp"

namespace pic::finder {

// headers.get(name): the text, or "" when the field is absent.
std::string header_value(const Object& headers, const char* name);

// The Content-Length, or -1 when there is none (or it is no number).
int64_t declared_length(const Object& headers);

// "bytes FIRST-LAST/TOTAL" of a partial answer; nullopt for any other form
// ("bytes */TOTAL", an unknown total, garbage).
struct ContentRange {
    int64_t first, last, total;
};
std::optional<ContentRange> parse_content_range(std::string_view text);

}  // namespace pic::finder
