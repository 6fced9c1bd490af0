#include "finder/digests.hpp"

#include "runtime/imports.hpp"

namespace pic::finder {

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

}  // namespace pic::finder
