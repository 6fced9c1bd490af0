#include "config/url_parts.hpp"

#include <algorithm>

namespace pic::config {

namespace url {

std::size_t scheme_end(std::string_view url, std::size_t begin) {
    std::size_t colon = url.find(':', begin);
    if (colon != npos && colon > begin && ascii_alpha(url[begin]) &&
        std::all_of(url.begin() + begin, url.begin() + colon, [](char c) { return dropped(c) || scheme_char(c); }))
        return colon;
    return npos;
}

std::size_t netloc_end(std::string_view text, std::size_t begin) {
    std::size_t end = text.find_first_of("/?#", begin);
    return end == npos ? text.size() : end;
}

std::size_t netloc_start(std::string_view url) {
    std::size_t i = 0;
    while (i < url.size() && static_cast<unsigned char>(url[i]) <= ' ') ++i;
    std::size_t colon = scheme_end(url, i);
    std::size_t rest = colon == npos ? i : colon + 1;
    // then "//" must follow
    for (int slashes = 0; slashes < 2; ++rest) {
        if (rest == url.size() || !(url[rest] == '/' || dropped(url[rest]))) return npos;
        if (url[rest] == '/') ++slashes;
    }
    return rest;
}

}  // namespace url

namespace {

std::string utf8(const Object& text) {
    // surrogatepass: a lone surrogate must not stop the work, and comes back as it was
    Object bytes = Object::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.get()), std::size_t(PyBytes_GET_SIZE(bytes.get())));
}

Object from_utf8(std::string_view text) {
    return Object::steal(PyUnicode_Decode(text.data(), Py_ssize_t(text.size()), "utf-8", "surrogatepass"));
}

void expect_str(const Object& value) {
    if (!PyUnicode_Check(value.get())) raise(PyExc_TypeError, "expected a str URL");
}

std::string without_dropped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (!url::dropped(c)) out.push_back(c);
    return out;
}

void append_lower(std::string& out, std::string_view text) {
    for (char c : text) out.push_back(c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c);
}

}  // namespace

Py_ssize_t rstripped_length(PyObject* url) {
    Py_ssize_t end = PyUnicode_GET_LENGTH(url);
    const int kind = PyUnicode_KIND(url);
    const void* data = PyUnicode_DATA(url);
    while (end > 0) {
        Py_UCS4 c = PyUnicode_READ(kind, data, end - 1);
        if (c != '/' && c != '\\') break;
        --end;
    }
    return end;
}

Object strip_trailing_slashes(const Object& url) {
    expect_str(url);
    Py_ssize_t end = rstripped_length(url.get());
    if (end == PyUnicode_GET_LENGTH(url.get())) return url;
    return Object::steal(PyUnicode_Substring(url.get(), 0, end));
}

Object without_credentials(const Object& url) {
    expect_str(url);
    std::string raw = utf8(url);
    std::size_t lead = 0;
    while (lead < raw.size() && static_cast<unsigned char>(raw[lead]) <= ' ') ++lead;
    const std::string text = without_dropped(std::string_view(raw).substr(lead));
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    std::size_t colon = url::scheme_end(text, 0);
    if (colon != url::npos) {
        append_lower(out, std::string_view(text).substr(0, colon));
        pos = colon;
    }
    std::size_t begin = url::netloc_start(text);
    if (begin != url::npos) {
        std::size_t end = url::netloc_end(text, begin);
        std::string_view netloc = std::string_view(text).substr(begin, end - begin);
        std::size_t at = netloc.rfind('@');
        out.append(text, pos, begin - pos);
        append_lower(out, at == url::npos ? netloc : netloc.substr(at + 1));
        pos = end;
    }
    std::size_t fragment = text.find('#', pos);
    out.append(text, pos, (fragment == url::npos ? text.size() : fragment) - pos);
    return from_utf8(out);
}

Object user_info(const Object& url) {
    expect_str(url);
    std::string text = utf8(url);
    std::size_t begin = url::netloc_start(text);
    if (begin == url::npos) return Object::none();
    std::string_view netloc = std::string_view(text).substr(begin, url::netloc_end(text, begin) - begin);
    std::size_t at = netloc.rfind('@');
    if (at == url::npos) return Object::none();
    return from_utf8(without_dropped(netloc.substr(0, at)));
}

}  // namespace pic::config
