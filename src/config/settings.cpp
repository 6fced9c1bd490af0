#include "config/settings.hpp"

#include <cstring>

#include "config/url_parts.hpp"
#include "fastpath/paths.hpp"
#include "runtime/compat.hpp"
#include "runtime/function.hpp"
#include "runtime/globals.hpp"

namespace pic::config {

namespace {

// url.rstrip("/\\") == other, for exact str values, without building the
// stripped str. Only slashes go, so the stripped text keeps the kind of `url`,
// and strs of different kinds never compare equal.
bool rstripped_equals(PyObject* url, PyObject* other) {
    Py_ssize_t n = rstripped_length(url);
    if (n != PyUnicode_GET_LENGTH(other) || PyUnicode_KIND(url) != PyUnicode_KIND(other)) return false;
    return std::memcmp(PyUnicode_DATA(url), PyUnicode_DATA(other), std::size_t(n) * PyUnicode_KIND(url)) == 0;
}

// entry.get(key, default): a dict's own lookup for an exact dict, else the method.
Object entry_get(const Object& entry, PyObject* key, PyObject* fallback) {
    if (!PyDict_CheckExact(entry.get())) {
        return fallback ? entry.call_method("get"_id, key, fallback) : entry.call_method("get"_id, key);
    }
    PyObject* value = PyDict_GetItemWithError(entry.get(), key);
    if (value) return Object::borrow(value);
    if (PyErr_Occurred()) throw_error();
    return Object::borrow(fallback ? fallback : Py_None);
}

// entry[key] from an exact dict of a few exact-str keys, found by comparing
// str keys only, so that no Python code can run: false when the dict is
// larger or holds another kind of key (whose __eq__ a lookup might call).
bool quiet_get(PyObject* entry, PyObject* key, PyObject*& value) {
    if (!PyDict_CheckExact(entry) || PyDict_GET_SIZE(entry) > 8) return false;
    value = nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(entry, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        if (!value && (k == key || compat::str_equal(k, key))) value = v;
    }
    return true;
}

}  // namespace

Object get_pip_settings(Object self) {
    return global("get_pip_settings"_id)(self.attr("settings_manager"_id));
}

Object get_pip_api_list(Object self) {
    return global("get_pip_api_list"_id)(self.attr("settings_manager"_id));
}

// url.rstrip("/\\")
Object normalize_url(Object, Object url) { return strip_trailing_slashes(url); }

// re.sub("[-_.]+", "-", name.lower())
Object normalize_name(Object, Object name) { return fastpath::answer<fastpath::NormalizeName>(name); }

// `self._normalize_url` is looked up for every call, as written; while it is
// this module's own method, its work is done in place. A lookup can only give
// something new after Python code has run, so while none can have run (an
// exact list of small exact dicts, the own method, str comparisons, nothing
// allocated that the collector tracks) the last lookup still stands.
Object get_api_pattern_for_index(Object self, Object index_url) {
    static const Impl own_normalize_url = body<normalize_url>();
    Object pip_api_list = self.call_method("_get_pip_api_list"_id);
    MethodLookup normalize = lookup_method(self, "_normalize_url"_id);
    bool own = normalize.is_own(own_normalize_url);
    bool quiet = own && PyList_CheckExact(pip_api_list.get());  // no code has run since the lookup
    Object normalized_index = own ? normalize_url(self, index_url) : normalize.call(self, index_url);
    quiet = quiet && PyUnicode_CheckExact(normalized_index.get());
    static PyObject* const empty = intern("");
    for (Object entry : iterate(pip_api_list)) {
        if (!quiet) {
            normalize = lookup_method(self, "_normalize_url"_id);
            own = normalize.is_own(own_normalize_url);
            quiet = own && PyList_CheckExact(pip_api_list.get()) && PyUnicode_CheckExact(normalized_index.get());
        }
        PyObject* found = nullptr;
        Object url;
        if (quiet && quiet_get(entry.get(), "index_url"_id, found)) {
            url = Object::borrow(found ? found : empty);
        } else {
            url = entry_get(entry, "index_url"_id, empty);
            quiet = false;
        }
        bool match;
        if (own && PyUnicode_CheckExact(url.get()) && PyUnicode_CheckExact(normalized_index.get())) {
            match = rstripped_equals(url.get(), normalized_index.get());
        } else {
            Object entry_index = normalize.call(self, url);
            match = check(PyObject_RichCompareBool(entry_index.get(), normalized_index.get(), Py_EQ));
            quiet = false;
        }
        if (match) return expect(Returns::str, entry_get(entry, "api_pattern"_id, nullptr));
    }
    return Object::none();
}

}  // namespace pic::config
