#include "runtime/ref.hpp"

#include "runtime/compat.hpp"

namespace pic {

PyError::PyError() : exception_(Object::steal_or_null(compat::fetch_exception())) {
    if (!exception_) {
        // A C API call failed without setting an error: report that rather than crash.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exception_ = Object::steal_or_null(compat::fetch_exception());
    }
}

Object PyError::traceback() const {
    Object traceback = Object::steal_or_null(PyException_GetTraceback(exception_.get()));
    return traceback ? traceback : Object::none();
}

void PyError::restore() const { compat::set_exception(Object(exception_).release()); }

Object Object::optional_attr(PyObject* name) const {
    PyObject* value = nullptr;
    check(compat::get_optional_attr(p_, name, &value));
    return steal_or_null(value);
}

void throw_error() { throw PyError(); }

void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw PyError();
}

PyObject* intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

}  // namespace pic
