#include "finder/redirect.hpp"

#include "finder/limits.hpp"
#include "runtime/imports.hpp"

namespace pic::finder {

namespace {

Object urllib_parse() { return import_module("urllib.parse"); }

// (scheme, host, port) of a URL, the port made explicit.
Object origin(const Object& url) {
    Object parts = urllib_parse().call_method("urlsplit"_id, url);
    Object scheme = parts.attr("scheme"_id).call_method("lower"_id);
    Object port = parts.attr("port"_id);
    if (port.is_none()) {
        if (PyUnicode_CompareWithASCIIString(scheme.get(), "https") == 0) port = integer(443);
        else if (PyUnicode_CompareWithASCIIString(scheme.get(), "http") == 0) port = integer(80);
    }
    return tuple(scheme, parts.attr("hostname"_id), port);
}

bool is_web_url(const Object& url) {
    Object scheme = urllib_parse().call_method("urlsplit"_id, url).attr("scheme"_id).call_method("lower"_id);
    return PyUnicode_CompareWithASCIIString(scheme.get(), "http") == 0 ||
           PyUnicode_CompareWithASCIIString(scheme.get(), "https") == 0;
}

// The headers without those that carry credentials.
Object without_credentials(const Object& headers) {
    Object kept = new_dict();
    for (Object name : iterate(headers)) {
        Object folded = name.call_method("lower"_id);
        if (PyUnicode_CompareWithASCIIString(folded.get(), "authorization") == 0 ||
            PyUnicode_CompareWithASCIIString(folded.get(), "cookie") == 0)
            continue;
        kept.set_item(name, headers.item(name));
    }
    return kept;
}

}  // namespace

std::optional<Hop> next_hop(const Object& first, const Object& url, long status, const Object& location,
                            const Object& headers, int made) {
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return std::nullopt;
    if (location.is_none()) return std::nullopt;
    Object next = urllib_parse().call_method("urljoin"_id, url, location);
    if (made >= limits::kRedirects) {
        PyErr_Format(PyExc_ValueError, "%S: more than %d redirects", first.get(), limits::kRedirects);
        throw_error();
    }
    if (!is_web_url(next)) {
        PyErr_Format(PyExc_ValueError, "%S redirected to %S, which is not an http or https URL", first.get(),
                     next.get());
        throw_error();
    }
    int same = PyObject_RichCompareBool(origin(url).get(), origin(next).get(), Py_EQ);
    if (same < 0) throw_error();
    return Hop{next, same ? headers : without_credentials(headers)};
}

}  // namespace pic::finder
