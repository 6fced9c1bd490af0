#include "runtime/imports.hpp"

#include "runtime/globals.hpp"

namespace pic {

namespace {

// builtins.__import__(name, globals, None, fromlist, level)
Object dunder_import(const char* name, const Object& fromlist, int level) {
    PyObject* import = PyDict_GetItemWithError(PyEval_GetBuiltins(), "__import__"_id);
    if (!import) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw_error();
    }
    PyObject* globals = module_namespace() ? module_namespace() : Py_None;
    return Object::borrow(import)(str(name), globals, Py_None, fromlist, integer(level));
}

// The attribute `name` of `module`, else its submodule of that name if imported.
Object member(const Object& module, const char* name) {
    Object attr_name = str(name);
    if (Object value = module.optional_attr(attr_name.get())) return value;
    Object package = module.optional_attr("__name__"_id);
    if (package && PyUnicode_Check(package.get())) {
        PyObject* sub = PyImport_GetModule(format("%U.%U", package.get(), attr_name.get()).get());
        if (sub) return Object::steal(sub);
        if (PyErr_Occurred()) throw_error();
    } else {
        package = str("<unknown module name>");
    }
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U' (unknown location)", attr_name.get(),
                 package.get());
    throw_error();
}

}  // namespace

Object import_package(const char* dotted) { return dunder_import(dotted, Object::none(), 0); }

Object import_module(const char* dotted) {
    dunder_import(dotted, Object::none(), 0);
    PyObject* module = PyImport_GetModule(str(dotted).get());
    if (module) return Object::steal(module);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "import of %s left no module of that name", dotted);
    throw_error();
}

std::vector<Object> import_from(const char* module, std::initializer_list<const char*> names, int level) {
    Object fromlist = new_list();
    for (const char* name : names) append(fromlist, str(name));
    Object imported = dunder_import(module, fromlist, level);
    std::vector<Object> values;
    values.reserve(names.size());
    for (const char* name : names) values.push_back(member(imported, name));
    return values;
}

}  // namespace pic
