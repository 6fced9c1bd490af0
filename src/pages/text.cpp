#include "pages/text.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace pic::pages {

namespace {

struct Entity {
    const char* name;
    const char* text;
};

constexpr Entity kEntities[] = {
#include "pages/entities.inc"
};

const char* entity(std::string_view name) {
    auto it = std::lower_bound(std::begin(kEntities), std::end(kEntities), name,
                               [](const Entity& e, std::string_view n) { return std::string_view(e.name) < n; });
    if (it == std::end(kEntities) || std::string_view(it->name) != name) return nullptr;
    return it->text;
}

// Numeric references 0x80 to 0x9F name windows-1252 characters; the others
// in this table are replaced as listed.
std::uint32_t windows_1252(std::uint32_t n) {
    static constexpr std::uint16_t table[32] = {
        0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    return table[n - 0x80];
}

// Code points a numeric reference yields nothing for.
bool dropped(std::uint32_t n) {
    if ((n >= 0x1 && n <= 0x8) || n == 0xB || (n >= 0xE && n <= 0x1F) || (n >= 0x7F && n <= 0x9F)) return true;
    if (n >= 0xFDD0 && n <= 0xFDEF) return true;
    return (n & 0xFFFE) == 0xFFFE;
}

void append_numeric(std::string& out, std::uint32_t n) {
    if (n == 0) return append_utf8(out, 0xFFFD);
    if (n == 0x0D) return out.push_back('\r');
    if (n >= 0x80 && n <= 0x9F) return append_utf8(out, windows_1252(n));
    if ((n >= 0xD800 && n <= 0xDFFF) || n > 0x10FFFF) return append_utf8(out, 0xFFFD);
    if (dropped(n)) return;
    append_utf8(out, n);
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f'); }
int hex_value(char c) { return c <= '9' ? c - '0' : ascii_lower(c) - 'a' + 10; }

// "#123;" or "#x1F" after '&': appends the character, returns the length
// taken (0 when it is not a numeric reference).
std::size_t numeric_reference(std::string& out, std::string_view s) {
    bool hex = s.size() > 1 && (s[1] == 'x' || s[1] == 'X');
    std::size_t p = hex ? 2 : 1;
    std::size_t start = p;
    std::uint64_t n = 0;
    for (; p < s.size() && (hex ? is_hex(s[p]) : (s[p] >= '0' && s[p] <= '9')); ++p) {
        n = n * (hex ? 16 : 10) + std::uint64_t(hex ? hex_value(s[p]) : s[p] - '0');
        n = std::min<std::uint64_t>(n, 0x110000);  // beyond Unicode: all the same
    }
    if (p == start) return 0;
    if (p < s.size() && s[p] == ';') ++p;
    append_numeric(out, std::uint32_t(n));
    return p;
}

bool is_name_byte(char c) { return c != '\t' && c != '\n' && c != '\f' && c != ' ' && c != '<' && c != '&' && c != '#' && c != ';'; }
bool continues_code_point(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A name after '&': up to 32 characters (code points, as html.unescape
// counts them) and an optional ';'; the longest listed prefix of it wins.
std::size_t named_reference(std::string& out, std::string_view s) {
    std::size_t p = 0;
    for (int chars = 0; p < s.size() && is_name_byte(s[p]);) {
        if (!continues_code_point(s[p]) && ++chars > 32) break;
        ++p;
    }
    if (p == 0) return 0;
    if (p < s.size() && s[p] == ';') ++p;
    std::string_view name = s.substr(0, p);
    if (const char* text = entity(name)) {
        out += text;
        return p;
    }
    for (std::size_t x = name.size() - 1; x >= 2; --x) {
        if (const char* text = entity(name.substr(0, x))) {
            out += text;
            out.append(name.substr(x));
            return p;
        }
    }
    out.push_back('&');
    out.append(name);
    return p;
}

}  // namespace

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

std::string_view strip_ascii_space(std::string_view s) {
    while (!s.empty() && is_ascii_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ascii_space(s.back())) s.remove_suffix(1);
    return s;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

void append_unescaped(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const void* found = std::memchr(text.data(), '&', text.size());
        if (!found) {
            out.append(text);
            return;
        }
        std::size_t at = std::size_t(static_cast<const char*>(found) - text.data());
        out.append(text.substr(0, at));
        std::string_view rest = text.substr(at + 1);
        std::size_t taken = 0;
        if (!rest.empty()) taken = rest[0] == '#' ? numeric_reference(out, rest) : named_reference(out, rest);
        if (taken == 0) out.push_back('&');
        text = rest.substr(taken);
    }
}

Text unescape_into(Arena& arena, Text text) {
    if (text.find('&') == Text::npos) return text;
    return arena.keep(unescape(text));
}

bool same_name(std::string_view name, std::string_view normalized) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < name.size();) {
        char c = name[i++];
        if (c == '-' || c == '_' || c == '.') {
            while (i < name.size() && (name[i] == '-' || name[i] == '_' || name[i] == '.')) ++i;
            c = '-';
        } else {
            c = ascii_lower(c);
        }
        if (j >= normalized.size() || normalized[j++] != c) return false;
    }
    return j == normalized.size();
}

std::string normalize_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        char c = name[i++];
        if (c == '-' || c == '_' || c == '.') {
            while (i < name.size() && (name[i] == '-' || name[i] == '_' || name[i] == '.')) ++i;
            out.push_back('-');
        } else {
            out.push_back(ascii_lower(c));
        }
    }
    return out;
}

}  // namespace pic::pages
