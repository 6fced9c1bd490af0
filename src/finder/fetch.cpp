#include "finder/fetch.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "finder/finder.hpp"
#include "finder/limits.hpp"
#include "runtime/imports.hpp"

namespace pic::finder {

namespace {

// The read time-out of the session (httpx: `timeout.read`; a plain number
// is taken as it is), when it is a positive number of seconds.
double configured_timeout(const Object& session) {
    Object timeout = session.optional_attr("timeout"_id);
    if (timeout && !PyFloat_Check(timeout.get()) && !PyLong_Check(timeout.get()))
        timeout = timeout.optional_attr("read"_id);
    if (!timeout || !(PyFloat_Check(timeout.get()) || PyLong_Check(timeout.get()))) return limits::kTimeout;
    double seconds = PyFloat_AsDouble(timeout.get());
    if (seconds == -1 && PyErr_Occurred()) throw_error();
    return std::isfinite(seconds) && seconds > 0 ? seconds : limits::kTimeout;
}

Object seconds_text(double seconds) {
    char* text = PyOS_double_to_string(seconds, 'g', 6, 0, nullptr);
    if (!text) throw_error();
    Object result = str(text);
    PyMem_Free(text);
    return result;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

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

// Where a redirect answer sends us, or a null Object when it is no redirect.
Object redirect_target(const Object& response, const Object& url) {
    long status = stream_status(response);
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return {};
    Object location = response.attr("headers"_id).call_method("get"_id, "location"_id);
    if (location.is_none()) return {};
    return urllib_parse().call_method("urljoin"_id, url, location);
}

}  // namespace

Session::Session(const Object& finder)
    : session(finder.attr("session"_id)),
      headers(finder.optional_attr("headers"_id)),
      timeout(configured_timeout(session)) {}

Object Session::headers_with(std::initializer_list<std::pair<const char*, const char*>> extra) const {
    Object merged = new_dict();
    if (headers && !headers.is_none()) check(PyDict_Update(merged.get(), headers.get()));
    for (auto [name, value] : extra) merged.set_item(str(name), str(value));
    return merged;
}

void Pace::check(const Object& url, int64_t arrived) {
    arrived_ += arrived;
    double elapsed = std::chrono::duration<double>(Clock::now() - since_).count();
    if (elapsed < seconds_) return;
    if (least_ < 0) {
        PyErr_Format(PyExc_TimeoutError, "%S timed out: no whole answer within %U s", url.get(),
                     seconds_text(seconds_).get());
        throw_error();
    }
    if (arrived_ < least_) {
        PyErr_Format(PyExc_TimeoutError, "%S timed out: less than %lld KiB arrived in %U s", url.get(),
                     static_cast<long long>(least_ >> 10), seconds_text(seconds_).get());
        throw_error();
    }
    since_ = Clock::now();
    arrived_ = 0;
}

Opened open_stream(const Session& session, const Object& url, const Object& headers, Pace& pace) {
    Object target = url;
    Object sent = headers;
    for (int redirects = 0;; ++redirects) {
        stop_if_cancelled();
        Object manager = session.session.call_method("get_stream"_id, target, "headers"_kw = sent);
        Opened opened{manager.attr("__exit__"_id), manager.call_method("__enter__"_id)};
        Object next;
        try {
            stop_if_cancelled();
            pace.check(target);
            next = redirect_target(opened.response, target);
            if (!next) return opened;
            if (redirects == limits::kRedirects) {
                PyErr_Format(PyExc_ValueError, "%S: more than %d redirects", url.get(), limits::kRedirects);
                throw_error();
            }
            if (!is_web_url(next)) {
                PyErr_Format(PyExc_ValueError, "%S redirected to %S, which is not an http or https URL", url.get(),
                             next.get());
                throw_error();
            }
            if (PyObject_RichCompareBool(origin(target).get(), origin(next).get(), Py_EQ) != 1) {
                if (PyErr_Occurred()) throw_error();
                sent = without_credentials(sent);
            }
        } catch (...) {
            PyError error = python_error(std::current_exception());
            opened.exit(error.type(), error.value(), error.traceback());
            throw;
        }
        opened.exit(Py_None, Py_None, Py_None);
        target = next;
    }
}

long stream_status(const Object& response) { return response.attr("status_code"_id).as_long(); }

std::string header(const Object& response, const char* name) {
    Object value = response.attr("headers"_id).call_method("get"_id, str(name));
    if (value.is_none()) return {};
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (!text) throw_error();
    return std::string(text, size_t(size));
}

void expect_status(const Object& response, long wanted) {
    response.call_method("raise_for_status"_id);
    long status = stream_status(response);
    if (status != wanted) {
        PyErr_Format(PyExc_ValueError, "unexpected status %ld for %S", status, response.attr("url"_id).get());
        throw_error();
    }
}

int64_t content_length(const Object& response) {
    std::string text = header(response, "Content-Length");
    int64_t value = -1;
    auto [next, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && next == text.data() + text.size() && !text.empty() && value >= 0 ? value : -1;
}

Body::Body(const Object& response, const Object& url) : url_(url) {
    // iter_bytes() decodes whole chunks at once; iter_raw() leaves that to us.
    Object raw = response.optional_attr("iter_raw"_id);
    if (!raw) {
        chunks_ = Object::steal(PyObject_GetIter(response.call_method("iter_bytes"_id).get()));
        return;
    }
    chunks_ = Object::steal(PyObject_GetIter(raw().get()));
    std::string coding;
    std::string codings = lower(header(response, "Content-Encoding"));
    for (size_t begin = 0; begin <= codings.size();) {
        size_t end = std::min(codings.find(',', begin), codings.size());
        std::string one = codings.substr(begin, end - begin);
        one.erase(0, one.find_first_not_of(" \t"));
        one.erase(one.find_last_not_of(" \t") + 1);
        if (!one.empty() && one != "identity") {
            if (!coding.empty()) coding += ", ";
            coding += one;
        }
        begin = end + 1;
    }
    if (coding.empty()) return;
    if (coding == "gzip" || coding == "x-gzip")
        inflater_ = std::make_unique<Inflater>(Inflater::Method::gzip);
    else if (coding == "deflate")
        inflater_ = std::make_unique<Inflater>(Inflater::Method::http_deflate);
    else {
        PyErr_Format(PyExc_ValueError, "%S came with Content-Encoding '%s', which this does not decode", url.get(),
                     coding.c_str());
        throw_error();
    }
}

Digests::Digests(const Object& announced, const Object& url) : url_(url) {
    if (announced.is_none() || !announced.truthy()) return;
    Object hashlib = import_module("hashlib");
    Object known = hashlib.attr("algorithms_available"_id);
    for (Object name : iterate(announced)) {
        if (!known.contains(name)) continue;
        Object expected = announced.item(name).call_method("lower"_id);
        expected_.push_back({name, expected, hashlib.call_method("new"_id, name)});
    }
    if (expected_.empty()) {
        PyErr_Format(PyExc_ValueError, "no hash that hashlib knows among %R for %S",
                     Object::steal(PySequence_List(announced.get())).get(), url.get());
        throw_error();
    }
}

void Digests::update(const Object& chunk) {
    for (const Entry& e : expected_) e.hasher.call_method("update"_id, chunk);
}

void Digests::verify() const {
    for (const Entry& e : expected_) {
        Object got = e.hasher.call_method("hexdigest"_id);
        if (PyUnicode_Compare(got.get(), e.expected.get()) != 0) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_ValueError, "%U mismatch for %S: announced %U, got %U", e.name.get(), url_.get(),
                         e.expected.get(), got.get());
            throw_error();
        }
    }
}

Object link_hashes(const Object& link) {
    Object known = import_module("hashlib").attr("algorithms_available"_id);
    Object hashes = new_dict();
    Object parse = urllib_parse();
    Object fragment = parse.call_method("urlsplit"_id, link.attr("url"_id)).attr("fragment"_id);
    Object listed = link.attr("hashes"_id);
    // The fragment also carries keys that are no hashes (egg=, subdirectory=).
    for (Object pair : iterate(parse.call_method("parse_qsl"_id, fragment)))
        if (known.contains(pair.item(integer(0)))) hashes.set_item(pair.item(integer(0)), pair.item(integer(1)));
    if (listed.truthy())
        for (Object name : iterate(listed))
            if (known.contains(name)) hashes.set_item(name, listed.item(name));
    return hashes;
}

}  // namespace pic::finder
