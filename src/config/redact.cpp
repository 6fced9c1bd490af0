#include "config/redact.hpp"

#include "config/url_parts.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace pic::config {

namespace {

using url::npos;
using url::netloc_end;
using url::netloc_start;

// Appends the netloc with its secret masked: after the first ':' of the
// user-info, or the whole user-info; unchanged without an '@'.
void append_netloc(std::string& out, std::string_view netloc) {
    std::size_t at = netloc.rfind('@');
    if (at == npos) {
        out.append(netloc);
        return;
    }
    std::size_t colon = netloc.substr(0, at).find(':');
    out.append(netloc.substr(0, colon == npos ? 0 : colon + 1)).append("****").append(netloc.substr(at));
}

// Free text: every "//" starts a netloc, whether a scheme precedes it or not.
std::string mask_text(std::string_view text) {
    std::string out;
    std::size_t pos = 0;
    for (std::size_t slashes = text.find("//"); slashes != npos; slashes = text.find("//", pos)) {
        std::size_t begin = slashes + 2;
        std::size_t end = netloc_end(text, begin);
        out.append(text.substr(pos, begin - pos));
        append_netloc(out, text.substr(begin, end - begin));
        pos = end;
    }
    return out.append(text.substr(pos));
}

// The netloc (or authority-like part) starting at `begin` masked, what precedes
// it kept, what follows it searched as free text.
std::string mask_from(std::string_view url, std::size_t begin) {
    std::size_t end = netloc_end(url, begin);
    std::string out(url.substr(0, begin));
    append_netloc(out, url.substr(begin, end - begin));
    return out.append(mask_text(url.substr(end)));
}

// The URL's own netloc as urlsplit finds it; what follows it (a URL in the
// query, say), or the whole value when urlsplit finds no netloc, as free text.
std::string mask_url(std::string_view url) {
    std::size_t begin = netloc_start(url);
    return begin == npos ? mask_text(url) : mask_from(url, begin);
}

// Where the authority of a URL someone typed would be, had it been typed right:
// after "scheme:" when slashes follow it (any number, either kind), else after
// the leading slashes, else at the start (then "user:pass@host", no scheme,
// keeps its user name and nothing more).
std::size_t authority_start(std::string_view url) {
    auto skip_slashes = [&](std::size_t i) {
        while (i < url.size() && (url[i] == '/' || url[i] == '\\' || url::dropped(url[i]))) ++i;
        return i;
    };
    std::size_t i = 0;
    while (i < url.size() && static_cast<unsigned char>(url[i]) <= ' ') ++i;
    std::size_t colon = url::scheme_end(url, i);
    if (colon != npos) {
        std::size_t after = skip_slashes(colon + 1);
        if (url.substr(colon + 1, after - colon - 1).find_first_of("/\\") != npos) return after;
    }
    return skip_slashes(i);
}

std::string mask_given_url(std::string_view url) {
    std::size_t begin = netloc_start(url);
    if (begin != npos && url.substr(begin, netloc_end(url, begin) - begin).find('@') != npos)
        return mask_from(url, begin);
    return mask_from(url, authority_start(url));
}

// Applies `mask` to the UTF-8 of `text`; the same object when nothing changed.
Object masked(const Object& text, std::string (*mask)(std::string_view)) {
    if (!PyUnicode_Check(text.get())) return text;
    Py_ssize_t at = PyUnicode_FindChar(text.get(), '@', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (at == -2) throw_error();
    if (at == -1) return text;
    // surrogatepass: a lone surrogate in the text must not stop the masking
    Object bytes = Object::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    std::string_view raw(PyBytes_AS_STRING(bytes.get()), std::size_t(PyBytes_GET_SIZE(bytes.get())));
    std::string out = mask(raw);
    if (out == raw) return text;
    return Object::steal(PyUnicode_Decode(out.data(), Py_ssize_t(out.size()), "utf-8", "surrogatepass"));
}

}  // namespace

Object redact(const Object& url) { return masked(url, mask_url); }

Object redact_text(const Object& text) { return masked(text, mask_text); }

Object redact_given_url(const Object& url) { return masked(url, mask_given_url); }

Object error_text(const PyError& error) {
    static PyObject* const empty = intern("");
    return redact_text(Object::steal(PyObject_Format(error.value(), empty)));
}

}  // namespace pic::config
