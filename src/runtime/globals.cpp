#include "runtime/globals.hpp"

namespace pic {

namespace {
PyObject* namespace_dict = nullptr;  // borrowed: the module object lives for the process
}

void set_module_namespace(PyObject* dict) { namespace_dict = dict; }
PyObject* module_namespace() { return namespace_dict; }

Object global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(namespace_dict, name);
    if (value) return Object::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_error();
}

void log(Level level, const Object& message) {
    PyObject* method = nullptr;
    switch (level) {
        case Level::debug: method = "debug"_id; break;
        case Level::info: method = "info"_id; break;
        case Level::warning: method = "warning"_id; break;
        case Level::error: method = "error"_id; break;
    }
    global("logger"_id).call_method(method, message);
}

}  // namespace pic
