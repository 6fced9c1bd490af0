#include "runtime/ref.hpp"

#include <vector>

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

Object call_kw(const Object& fn, std::initializer_list<PyObject*> args,
               std::initializer_list<std::pair<PyObject*, PyObject*>> kwargs) {
    std::vector<PyObject*> argv;
    argv.reserve(1 + args.size() + kwargs.size());
    argv.push_back(nullptr);
    argv.insert(argv.end(), args.begin(), args.end());
    Object names = Object::steal(PyTuple_New(Py_ssize_t(kwargs.size())));
    Py_ssize_t i = 0;
    for (auto& [name, value] : kwargs) {
        Py_INCREF(name);
        PyTuple_SET_ITEM(names.get(), i++, name);
        argv.push_back(value);
    }
    return Object::steal(PyObject_Vectorcall(fn.get(), argv.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             names.get()));
}

}  // namespace pic
