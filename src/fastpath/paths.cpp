#include "fastpath/paths.hpp"

namespace pic::fastpath {

namespace {

// extras_str.strip("[]").split(","), each piece stripped; empty pieces kept.
Object split_extras(const Object& extras_str) {
    Object inner = extras_str.call_method("strip"_id, "[]"_id);
    Object pieces = inner.call_method("split"_id, ","_id);
    Object extras = new_list();
    for (Object piece : iterate(pieces)) append(extras, piece.call_method("strip"_id));
    return extras;
}

}  // namespace

bool same(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyTuple_CheckExact(a) || PyList_CheckExact(a)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(a);
        if (n != PySequence_Fast_GET_SIZE(b)) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!same(PySequence_Fast_GET_ITEM(a, i), PySequence_Fast_GET_ITEM(b, i))) return false;
        return true;
    }
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

RequirementParts::Result RequirementParts::library(const Object& re, const Object& text, Span span) {
    static PyObject* const pattern = intern(R"(^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*))");
    Object match = re.attr("match"_id)(pattern, substring(text.get(), span));
    if (!match.truthy()) return {};
    Object name = match.call_method("group"_id, integer(1));
    Object extras_str = match.call_method("group"_id, integer(2));
    Object version_spec = match.call_method("group"_id, integer(3)).call_method("strip"_id);
    return {name, version_spec, extras_str.truthy() ? split_extras(extras_str) : new_list()};
}

RequirementParts::Result RequirementParts::requirement_parts(PyObject* text, Span span) {
    std::optional<RequirementMatch> match = match_requirement(text, span);
    if (!match) return {};
    Object name = substring(text, match->name);
    Object version_spec = substring(text, strip_span(text, match->rest));
    return {name, version_spec, match->extras ? extras_list(text, *match->extras) : new_list()};
}

}  // namespace pic::fastpath
