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
