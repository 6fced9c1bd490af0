// The interpreter versions the module builds for (3.11 to 3.13), in one place.
// Each shim uses the public call where the running version has one; 3.11 keeps
// the calls its fast paths were measured with.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace pic::compat {

constexpr bool py312 = PY_VERSION_HEX >= 0x030C0000;
constexpr bool py313 = PY_VERSION_HEX >= 0x030D0000;

// getattr(obj, name) without raising AttributeError: 1 found (*result owned),
// 0 missing (*result null), -1 another error.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// `obj.name` looked up as a method call would: returns 1 with the unbound
// function (to be called with obj first), 0 with the attribute itself, -1 on error.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
#if PY_VERSION_HEX >= 0x030D0000
    // No public counterpart: a bound method of obj itself is taken apart again.
    *method = PyObject_GetAttr(obj, name);
    if (!*method) return -1;
    if (PyMethod_Check(*method) && PyMethod_GET_SELF(*method) == obj) {
        PyObject* function = Py_NewRef(PyMethod_GET_FUNCTION(*method));
        Py_SETREF(*method, function);
        return 1;
    }
    return 0;
#else
    return _PyObject_GetMethod(obj, name, method);
#endif
}

// Two exact str objects with equal text.
inline bool str_equal(PyObject* a, PyObject* b) {
#if PY_VERSION_HEX >= 0x030D0000
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), std::size_t(n) * PyUnicode_KIND(a)) == 0;
#else
    return _PyUnicode_Equal(a, b);
#endif
}

// The exception currently set, normalised and with its traceback attached,
// as a new reference; the indicator is cleared. Null when none is set.
inline PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Sets `exception` (an exception instance; the reference is taken over).
inline void set_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// In `dict`, fresh from PyDict_Copy of an exact dict of str keys with no
// deletion (so its own table, entries in the original's order), the value of
// entry `index` replaced by `value` (a new reference, taken over), when that
// entry holds `key` and the value `expected`. Saves the look-up of
// PyDict_SetItem where a copy differs from its original in one known place.
// False, with nothing done, where the table is not the one described (the
// caller then sets the item): only 3.11 to 3.13 builds with a GIL are read.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
namespace detail {
struct DictKeysHead {  // the head of the interpreter's PyDictKeysObject
    Py_ssize_t refcnt;
    std::uint8_t log2_size, log2_index_bytes, kind;
    std::uint32_t version;
    Py_ssize_t usable, nentries;
};
struct DictStrEntry {
    PyObject *key, *value;
};
constexpr std::uint8_t kStrKeys = 1;  // DICT_KEYS_UNICODE
}  // namespace detail

inline bool replace_copied_value(PyObject* dict, Py_ssize_t index, PyObject* key, PyObject* expected,
                                 PyObject* value) {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (!PyDict_CheckExact(dict) || d->ma_values) return false;
    auto* head = reinterpret_cast<detail::DictKeysHead*>(d->ma_keys);
    if (head->refcnt != 1 || head->kind != detail::kStrKeys || index >= head->nentries ||
        head->log2_index_bytes < head->log2_size || head->log2_index_bytes > head->log2_size + 3)
        return false;
    char* indices = reinterpret_cast<char*>(head + 1);
    auto* entry = reinterpret_cast<detail::DictStrEntry*>(indices + (std::size_t(1) << head->log2_index_bytes)) + index;
    if (entry->key != key || entry->value != expected) return false;
    entry->value = value;
    Py_DECREF(expected);  // the copy's reference; the original keeps its own
    return true;
}
#else
inline bool replace_copied_value(PyObject*, Py_ssize_t, PyObject*, PyObject*, PyObject*) { return false; }
#endif

// A stamp of a dict that moves whenever the dict may have changed, so that a
// check of what it holds can be skipped while its stamp stays. 3.11: the
// dict's own version tag (PEP 509), bumped by every change. 3.12 deprecates
// that tag for dict watchers: there, `watch_dict` registers the dict with one
// watcher of ours that counts every change to any dict it watches, and the
// stamp of every watched dict is that count. Without a free watcher slot the
// stamp moves at every read, and every check is made in full.
#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
inline std::uint64_t dict_changes = 0;
inline int dict_watcher = -1;  // -2: no slot was free
inline int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++dict_changes;
    return 0;
}
}  // namespace detail

// 0, or -1 with an error set.
inline int watch_dict(PyObject* dict) {
    if (detail::dict_watcher == -1) {
        detail::dict_watcher = PyDict_AddWatcher(detail::count_dict_change);
        if (detail::dict_watcher < 0) {
            PyErr_Clear();
            detail::dict_watcher = -2;
        }
    }
    return detail::dict_watcher < 0 ? 0 : PyDict_Watch(detail::dict_watcher, dict);
}

inline std::uint64_t dict_stamp(PyObject*) {
    return detail::dict_watcher < 0 ? ++detail::dict_changes : detail::dict_changes;
}
#else
inline int watch_dict(PyObject*) { return 0; }
inline std::uint64_t dict_stamp(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

}  // namespace pic::compat

// Module-def slot: every interpreter, whatever its GIL, reaches the module's own
// create step, which refuses all but the first with the module's own message.
#if PY_VERSION_HEX >= 0x030C0000
#define PIC_ANY_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define PIC_ANY_INTERPRETER_SLOT
#endif
