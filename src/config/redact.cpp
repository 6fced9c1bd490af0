#include "config/redact.hpp"

#include <string>
#include <string_view>

namespace pic::config {

namespace {

bool ends_authority(char c) {
    switch (c) {
        case '/': case '?': case '#': case ' ': case '\t': case '\n': case '\r':
        case '\'': case '"': case '<': case '>': case '(': case ')': case '[': case ']': case ',':
            return true;
        default:
            return false;
    }
}

// Masks the user-info of every "scheme://user-info@host" in `text`. The
// user-info is everything before the last "@" of the authority, as urllib
// splits it, so a raw "@" inside a password is masked with the rest.
std::string mask_userinfo(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (true) {
        std::size_t sep = text.find("://", pos);
        if (sep == std::string_view::npos) break;
        std::size_t start = sep + 3;
        std::size_t end = start;
        while (end < text.size() && !ends_authority(text[end])) ++end;
        std::string_view authority = text.substr(start, end - start);
        std::size_t at = authority.rfind('@');
        out.append(text.substr(pos, start - pos));
        if (at == std::string_view::npos) {
            out.append(authority);
        } else {
            std::string_view userinfo = authority.substr(0, at);
            std::size_t colon = userinfo.find(':');
            if (colon == std::string_view::npos)
                out.append("****");
            else
                out.append(userinfo.substr(0, colon)).append(":****");
            out.append(authority.substr(at));
        }
        pos = end;
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace

Object redact(const Object& text) {
    if (!PyUnicode_Check(text.get())) return text;
    Py_ssize_t at = PyUnicode_FindChar(text.get(), '@', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (at == -2) throw_error();
    if (at == -1) return text;
    // surrogatepass: a lone surrogate in the text must not stop the masking
    Object bytes = Object::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    std::string_view raw(PyBytes_AS_STRING(bytes.get()), std::size_t(PyBytes_GET_SIZE(bytes.get())));
    std::string masked = mask_userinfo(raw);
    if (masked == raw) return text;
    return Object::steal(PyUnicode_Decode(masked.data(), Py_ssize_t(masked.size()), "utf-8", "surrogatepass"));
}

Object error_text(const PyError& error) {
    static PyObject* const empty = intern("");
    return redact(Object::steal(PyObject_Format(error.value(), empty)));
}

}  // namespace pic::config
