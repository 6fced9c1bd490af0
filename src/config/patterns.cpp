#include "config/patterns.hpp"

#include "config/text.hpp"
#include "module/originals.hpp"
#include "runtime/globals.hpp"

namespace pic::config {

namespace {
Object replace(const Object& text, PyObject* placeholder, const Object& value) {
    return Object::steal(PyUnicode_Replace(text.get(), placeholder, value.get(), -1));
}
}  // namespace

Object fill_pattern(const Object& pattern, const Object& package_name) {
    Object url = replace(pattern, "{package_name}"_id, package_name);
    if (fastpath::stdlib_re(fastpath::ReFunction::sub)) return fastpath::drop_version_segments(url.get());
    static PyObject* const version_segment = intern("/\\{version\\}");
    static PyObject* const nothing = intern("");
    return global("re"_id).attr("sub"_id)(version_segment, nothing, url);
}

Object fill_pattern(const Object& pattern, const Object& package_name, const Object& version) {
    Object url = replace(pattern, "{package_name}"_id, package_name);
    return replace(url, "{version}"_id, version);
}

}  // namespace pic::config
