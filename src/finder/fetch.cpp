#include "finder/fetch.hpp"

#include "finder/finder.hpp"

namespace pic::finder {

Session::Session(const Object& finder)
    : session(finder.attr("session"_id)), headers(optional_attr(finder, "headers"_id)) {}

Object Session::headers_with(std::initializer_list<std::pair<const char*, const char*>> extra) const {
    Object merged = Object::steal(PyDict_New());
    if (headers && !headers.is_none()) check(PyDict_Update(merged.get(), headers.get()));
    for (auto [name, value] : extra) merged.set_item(str(name), str(value));
    return merged;
}

long status_of(const Object& response) { return response.attr("status_code"_id).as_long(); }

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
    long status = status_of(response);
    if (status != wanted) {
        PyErr_Format(PyExc_ValueError, "unexpected status %ld for %S", status, response.attr("url"_id).get());
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
    Object hashes = Object::steal(PyDict_New());
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
