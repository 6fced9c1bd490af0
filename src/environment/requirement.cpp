#include "environment/requirement.hpp"

#include "config/text.hpp"
#include "module/originals.hpp"
#include "runtime/globals.hpp"

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

// The record of an exact str, with the native match standing in for re.match
// and str.split/strip done in place on the one string.
Object parse_natively(const Object& req) {
    using fastpath::Span;
    PyObject* text = req.get();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t semicolon = PyUnicode_FindChar(text, ';', 0, length, 1);
    if (semicolon == -2) throw_error();
    Span pkg_part = fastpath::strip_span(text, {0, semicolon < 0 ? length : semicolon});
    Object marker_part = semicolon < 0 ? Object::borrow(""_id)
                                       : fastpath::substring(text, fastpath::strip_span(text, {semicolon + 1, length}));

    auto match = fastpath::match_requirement(text, pkg_part);
    if (!match) {
        log_warning(format("Could not parse requirement: %U", text));
        return Object::none();
    }
    Object name = fastpath::substring(text, match->name);
    Object version_spec = fastpath::substring(text, fastpath::strip_span(text, match->rest));
    Object pkg_extras = new_list();
    if (match->extras) {
        // extras_str.strip("[]").split(","), each piece stripped; empty pieces kept.
        Span inner = *match->extras;
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        auto bracket = [&](Py_ssize_t i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            return c == '[' || c == ']';
        };
        while (inner.start < inner.end && bracket(inner.start)) ++inner.start;
        while (inner.end > inner.start && bracket(inner.end - 1)) --inner.end;
        Py_ssize_t piece = inner.start;
        for (Py_ssize_t i = inner.start; i <= inner.end; ++i) {
            if (i < inner.end && PyUnicode_READ(kind, data, i) != ',') continue;
            append(pkg_extras, fastpath::substring(text, fastpath::strip_span(text, {piece, i})));
            piece = i + 1;
        }
    }
    Object record = new_dict();
    record.set_item("name"_id, name.get());
    record.set_item("version_spec"_id, version_spec.get());
    record.set_item("extras"_id, pkg_extras.get());
    record.set_item("markers"_id, marker_part.get());
    return record;
}

}  // namespace

Object parse_requirement(Object, Object req) {
    if (fastpath::stdlib_re(fastpath::ReFunction::match)) return parse_natively(req);
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
    if (PyUnicode_CheckExact(req.get()) && fastpath::stdlib_re(fastpath::ReFunction::search)) {
        auto group = fastpath::search_extra(req.get());
        return group ? fastpath::substring(req.get(), *group) : Object();
    }
    Object match = global("re"_id).attr("search"_id)(R"(extra\s*==\s*['\"]([^'\"]+)['\"])"_id, req);
    if (!match.truthy()) return {};
    static PyObject* const one = PyLong_FromLong(1);
    return match.call_method("group"_id, one);
}

}  // namespace pic::environment
