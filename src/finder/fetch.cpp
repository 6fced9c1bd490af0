#include "finder/fetch.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "finder/finder.hpp"
#include "finder/headers.hpp"
#include "finder/limits.hpp"
#include "finder/redirect.hpp"
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
        std::optional<Hop> hop;
        try {
            stop_if_cancelled();
            pace.check(target);
            Object response = opened.response;
            hop = next_hop(url, target, stream_status(response),
                           response.attr("headers"_id).call_method("get"_id, "location"_id), sent, redirects);
            if (!hop) return opened;
        } catch (...) {
            PyError error = python_error(std::current_exception());
            opened.exit(error.type(), error.value(), error.traceback());
            throw;
        }
        opened.exit(Py_None, Py_None, Py_None);
        target = hop->url;
        sent = hop->headers;
    }
}

long stream_status(const Object& response) { return response.attr("status_code"_id).as_long(); }

std::string header(const Object& response, const char* name) {
    return header_value(response.attr("headers"_id), name);
}

void expect_status(const Object& response, long wanted) {
    response.call_method("raise_for_status"_id);
    long status = stream_status(response);
    if (status != wanted) {
        PyErr_Format(PyExc_ValueError, "unexpected status %ld for %S", status, response.attr("url"_id).get());
        throw_error();
    }
}

int64_t content_length(const Object& response) { return declared_length(response.attr("headers"_id)); }

Body::Body(const Object& response, const Object& url, bool decode) : url_(url) {
    // iter_bytes() decodes whole chunks at once; iter_raw() leaves that to us.
    Object raw = response.optional_attr("iter_raw"_id);
    if (!raw) {
        chunks_ = Object::steal(PyObject_GetIter(response.call_method("iter_bytes"_id).get()));
        return;
    }
    chunks_ = Object::steal(PyObject_GetIter(raw().get()));
    as_sent_ = !decode;
    if (decode) inflater_ = content_decoder(header(response, "Content-Encoding"), url);
}

Object link_hashes(const Object& link) {
    Object known = import_module("hashlib").attr("algorithms_available"_id);
    Object hashes = new_dict();
    Object parse = import_module("urllib.parse");
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
