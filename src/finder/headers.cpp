#include "finder/headers.hpp"

#include <charconv>

namespace pic::finder {

std::string header_value(const Object& headers, const char* name) {
    Object value = headers.call_method("get"_id, str(name));
    if (value.is_none()) return {};
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (!text) throw_error();
    return std::string(text, size_t(size));
}

int64_t declared_length(const Object& headers) {
    std::string text = header_value(headers, "Content-Length");
    int64_t value = -1;
    auto [next, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && next == text.data() + text.size() && !text.empty() && value >= 0 ? value : -1;
}

std::optional<ContentRange> parse_content_range(std::string_view text) {
    constexpr std::string_view unit = "bytes ";
    if (text.substr(0, unit.size()) != unit) return std::nullopt;
    text.remove_prefix(unit.size());
    ContentRange r{};
    const char* p = text.data();
    const char* end = p + text.size();
    auto number = [&](int64_t& out, char after) {
        auto [next, ec] = std::from_chars(p, end, out);
        if (ec != std::errc() || next == p) return false;
        p = next;
        if (after == '\0') return p == end;
        if (p == end || *p != after) return false;
        ++p;
        return true;
    };
    if (!number(r.first, '-') || !number(r.last, '/') || !number(r.total, '\0')) return std::nullopt;
    if (r.first < 0 || r.first > r.last || r.last >= r.total) return std::nullopt;
    return r;
}

}  // namespace pic::finder
