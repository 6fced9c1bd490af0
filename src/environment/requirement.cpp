#include "environment/requirement.hpp"

#include "module/runtime.hpp"

namespace pic::environment {

namespace {

Object strip(const Object& text) { return text.call_method("strip"_id); }

// extras_str.strip("[]").split(","), each piece stripped; empty pieces kept.
Object split_extras(const Object& extras_str) {
    Object inner = extras_str.call_method("strip"_id, "[]"_id);
    Object pieces = Object::steal(PyUnicode_Split(inner.get(), ","_id, -1));
    Object extras = new_list();
    for (Object piece : iterate(pieces)) append(extras, strip(piece));
    return extras;
}

}  // namespace

Object parse_requirement(Object, Object req) {
    Object parts = Object::steal(PyUnicode_Split(req.get(), ";"_id, 1));
    Object pkg_part = strip(Object::borrow(PyList_GET_ITEM(parts.get(), 0)));
    Object marker_part = PyList_GET_SIZE(parts.get()) > 1 ? strip(Object::borrow(PyList_GET_ITEM(parts.get(), 1)))
                                                          : Object::borrow(""_id);

    Object match = global("re"_id).attr("match"_id)(R"(^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*))"_id, pkg_part);
    if (!match.truthy()) {
        log_warning(format("Could not parse requirement: %U", req.get()));
        return Object::none();
    }
    static PyObject* const one = PyLong_FromLong(1);
    static PyObject* const two = PyLong_FromLong(2);
    static PyObject* const three = PyLong_FromLong(3);
    Object name = match.call_method("group"_id, one);
    Object extras_str = match.call_method("group"_id, two);
    if (!extras_str.truthy()) extras_str = Object::borrow(""_id);
    Object version_spec = strip(match.call_method("group"_id, three));
    Object pkg_extras = extras_str.truthy() ? split_extras(extras_str) : new_list();

    Object record = new_dict();
    record.set_item("name"_id, name.get());
    record.set_item("version_spec"_id, version_spec.get());
    record.set_item("extras"_id, pkg_extras.get());
    record.set_item("markers"_id, marker_part.get());
    return record;
}

Object declared_extra(const Object& req) {
    if (!req.contains("extra =="_id)) return {};
    Object match = global("re"_id).attr("search"_id)(R"(extra\s*==\s*['\"]([^'\"]+)['\"])"_id, req);
    if (!match.truthy()) return {};
    static PyObject* const one = PyLong_FromLong(1);
    return match.call_method("group"_id, one);
}

}  // namespace pic::environment
