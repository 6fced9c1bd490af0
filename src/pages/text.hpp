// Text rules of project pages on UTF-8 bytes: HTML character references,
// project name normalisation, ASCII case and white space.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pages/page.hpp"

namespace pic::pages {

inline bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);
std::string_view strip_ascii_space(std::string_view s);

// Appends code point `cp` as UTF-8.
void append_utf8(std::string& out, std::uint32_t cp);

// HTML character references decoded as Python's html.unescape decodes them
// (numeric ones with the standard's replacements, named ones by the longest
// name of the HTML5 list, the legacy ones without ';' too), appended to out.
void append_unescaped(std::string& out, std::string_view text);
inline std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_unescaped(out, text);
    return out;
}

// `text` unescaped: itself when it holds no reference, else kept in `arena`.
Text unescape_into(Arena& arena, Text text);

// PEP 503: runs of '-', '_' and '.' become one '-', ASCII letters lower case.
// Bytes beyond ASCII are kept as they are.
std::string normalize_name(std::string_view name);

// normalize_name(name) == normalized, without making the normalised text.
bool same_name(std::string_view name, std::string_view normalized);

}  // namespace pic::pages
