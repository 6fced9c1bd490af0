#include "config/patterns.hpp"

#include "fastpath/paths.hpp"

namespace pic::config {

namespace {
Object replace(const Object& text, PyObject* placeholder, const Object& value) {
    return Object::steal(PyUnicode_Replace(text.get(), placeholder, value.get(), -1));
}
}  // namespace

Object fill_pattern(const Object& pattern, const Object& package_name) {
    Object url = replace(pattern, "{package_name}"_id, package_name);
    return fastpath::answer<fastpath::DropVersionSegment>(url);
}

Object fill_pattern(const Object& pattern, const Object& package_name, const Object& version) {
    Object url = replace(pattern, "{package_name}"_id, package_name);
    return replace(url, "{version}"_id, version);
}

}  // namespace pic::config
