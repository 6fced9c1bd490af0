#include "runtime/ref.hpp"

#include <vector>

namespace pic {

PyError::PyError() {
    PyErr_Fetch(&type_, &value_, &traceback_);
    if (!type_) {
        // A C API call failed without setting an error: report that rather than crash.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        PyErr_Fetch(&type_, &value_, &traceback_);
    }
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    if (traceback_ && value_) PyException_SetTraceback(value_, traceback_);
}

PyError::PyError(PyObject* type, PyObject* value, PyObject* traceback)
    : type_(type), value_(value), traceback_(traceback == Py_None ? nullptr : traceback) {
    Py_XINCREF(type_);
    Py_XINCREF(value_);
    Py_XINCREF(traceback_);
}

PyError::PyError(const PyError& other)
    : std::exception(other), type_(other.type_), value_(other.value_), traceback_(other.traceback_) {
    Py_XINCREF(type_);
    Py_XINCREF(value_);
    Py_XINCREF(traceback_);
}

PyError::PyError(PyError&& other) noexcept
    : std::exception(other),
      type_(std::exchange(other.type_, nullptr)),
      value_(std::exchange(other.value_, nullptr)),
      traceback_(std::exchange(other.traceback_, nullptr)) {}

PyError::~PyError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

void PyError::restore() const {
    Py_XINCREF(type_);
    Py_XINCREF(value_);
    Py_XINCREF(traceback_);
    PyErr_Restore(type_, value_, traceback_);
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
