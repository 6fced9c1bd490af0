// The interpreter versions the module builds for (3.11 to 3.13), in one place.
// Each shim uses the public call where the running version has one; 3.11 keeps
// the calls its fast paths were measured with.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

}  // namespace pic::compat

// Module-def slot: every interpreter, whatever its GIL, reaches the module's own
// create step, which refuses all but the first with the module's own message.
#if PY_VERSION_HEX >= 0x030C0000
#define PIC_ANY_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define PIC_ANY_INTERPRETER_SLOT
#endif
