// Module creation and the module body: imports, optional libraries, the host's
// logger and settings accessors, and the classes.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "fastpath/gate.hpp"
#include "module/method_table.hpp"
#include "runtime/boundary.hpp"
#include "runtime/compat.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/function.hpp"
#include "runtime/globals.hpp"
#include "runtime/imports.hpp"

namespace pic {

namespace {

constexpr const char* kFullName = "quorvel_master.business_layer.packages.package_index_client";

constexpr const char* kModuleDoc =
    "\n"
    "Package Index Client - Centralized package index querying.\n"
    "\n"
    "This module provides:\n"
    "- PackageIndexClient class for querying package information from configured repositories\n"
    "- Multi-index search: query primary first, then secondaries one by one\n"
    "- API-first approach: prefer API calls over pip commands\n"
    "- Shared aiohttp session for performance\n";

constexpr const char* kClientDoc =
    "\n"
    "    Centralized client for querying package indexes.\n"
    "    \n"
    "    Multi-index search strategy:\n"
    "    1. Query primary index first\n"
    "    2. If empty AND use_secondary_urls is True, query secondaries one by one\n"
    "    3. Stop at first index with results (don't cumulate)\n"
    "    \n"
    "    API-first approach:\n"
    "    - Use pip_api patterns when available\n"
    "    - Fall back to pip commands when API not available\n"
    "    ";

// One module object per process, in one interpreter. Another interpreter may
// run the create step at the same time under its own GIL.
PyObject* the_module = nullptr;
std::atomic<int64_t> loading_interpreter = -1;

class Namespace {
public:
    explicit Namespace(PyObject* module) : dict_(PyModule_GetDict(module)) {}
    PyObject* dict() const { return dict_; }
    void bind(const char* name, const Object& value) const { check(PyDict_SetItemString(dict_, name, value.get())); }
    Object get(const char* name) const {
        PyObject* v = PyDict_GetItemString(dict_, name);
        return v ? Object::borrow(v) : Object::none();
    }

private:
    PyObject* dict_;
};

// found(); but where an import in it fails with ImportError, missing().
template <class Found, class Missing>
void unless_missing(Found found, Missing missing) {
    try {
        found();
    } catch (const PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        missing();
    }
}

Object make_class(const char* name, PyObject* base, const Namespace& ns, std::span<const MethodEntry> methods,
                  const char* doc, const Object& annotations = {}) {
    Object module_name = ns.get("__name__");
    Object body = new_dict();
    check(PyDict_SetItemString(body.get(), "__module__", module_name.get()));
    check(PyDict_SetItemString(body.get(), "__qualname__", str(name).get()));
    if (doc) check(PyDict_SetItemString(body.get(), "__doc__", str(doc).get()));
    if (annotations) check(PyDict_SetItemString(body.get(), "__annotations__", annotations.get()));
    for (const MethodEntry& entry : methods)
        check(PyDict_SetItemString(body.get(), entry.name, make_function(entry, module_name.get()).get()));
    Object bases = tuple(Object::borrow(base));
    Object type = Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(str(name), bases, body);
}

void bind_standard_modules(const Namespace& ns) {
    ns.bind("asyncio", import_package("asyncio"));
    ns.bind("re", import_package("re"));
    ns.bind("sys", import_package("sys"));
    ns.bind("importlib", import_package("importlib.metadata"));
    std::initializer_list<const char*> typing_names = {"List", "Optional", "Set", "Dict", "Any", "Tuple", "final"};
    std::vector<Object> typing = import_from("typing", typing_names);
    for (std::size_t i = 0; const char* name : typing_names) ns.bind(name, typing[i++]);
    ns.bind("HTMLParser", import_from("html.parser", "HTMLParser"));
}

// The three libraries are optional: a missing one shows at call time.
void bind_libraries(const Namespace& ns) {
    unless_missing([&] { ns.bind("aiohttp", import_package("aiohttp")); },
                   [&] { ns.bind("aiohttp", Object::none()); });
    unless_missing(
        [&] {
            ns.bind("PackageFinder", import_from("unearth", "PackageFinder"));
            ns.bind("UNEARTH_AVAILABLE", boolean(true));
        },
        [&] {
            ns.bind("PackageFinder", Object::none());
            ns.bind("UNEARTH_AVAILABLE", boolean(false));
        });
    unless_missing(
        [&] {
            ns.bind("SpecifierSet", import_from("packaging.specifiers", "SpecifierSet"));
            ns.bind("Version", import_from("packaging.version", "Version"));
            ns.bind("PACKAGING_AVAILABLE", boolean(true));
        },
        [&] {
            ns.bind("SpecifierSet", Object::none());
            ns.bind("Version", Object::none());
            ns.bind("PACKAGING_AVAILABLE", boolean(false));
        });
}

void bind_host_services(const Namespace& ns) {
    ns.bind("get_logger", import_from("logging_config", "get_logger", 3));
    std::vector<Object> accessors = import_from("pip_settings", {"get_pip_settings", "get_pip_api_list"}, 1);
    ns.bind("get_pip_settings", accessors[0]);
    ns.bind("get_pip_api_list", accessors[1]);
    ns.bind("logger", ns.get("get_logger")(ns.get("__name__")));
}

void bind_classes(const Namespace& ns) {
    ns.bind("_dummy_metadata", make_class("_dummy_metadata", reinterpret_cast<PyObject*>(&PyDict_Type), ns,
                                          dummy_metadata_methods(), nullptr));
    Object annotations = dict({{"metadata"_id, str("Dict[str, str]")}});
    ns.bind("_dummy_dist", make_class("_dummy_dist", reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns,
                                      dummy_dist_methods(), nullptr, annotations));
    ns.bind("PackageIndexClient", make_class("PackageIndexClient", reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                             ns, client_methods(), kClientDoc));
}

void run_body(const Namespace& ns) {
    ready_function_type();
    ready_coroutine_type();
    set_module_namespace(ns.dict());
    bind_standard_modules(ns);
    bind_libraries(ns);
    fastpath::prove();
    bind_host_services(ns);
    bind_classes(ns);
}

// Copies import_spec.<attr> into the module namespace as <name>.
void copy_import_spec_attr(PyObject* import_spec, PyObject* dict, const char* attr, const char* name, bool allow_none) {
    Object value = Object::steal_or_null(PyObject_GetAttrString(import_spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return;
    }
    if (value.is_none() && !allow_none) return;
    check(PyDict_SetItemString(dict, name, value.get()));
}

PyObject* create_module(PyObject* import_spec, PyModuleDef*) {
    return at_boundary(
        [&] {
            int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
            if (interpreter == -1) throw_error();
            int64_t first = -1;
            if (!loading_interpreter.compare_exchange_strong(first, interpreter) && first != interpreter) {
                raise(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one interpreter per process.");
            }
            if (the_module) return Py_NewRef(the_module);
            Object name = Object::steal(PyObject_GetAttrString(import_spec, "name"));
            Object module = Object::steal(PyModule_NewObject(name.get()));
            PyObject* dict = PyModule_GetDict(module.get());
            copy_import_spec_attr(import_spec, dict, "loader", "__loader__", true);
            copy_import_spec_attr(import_spec, dict, "origin", "__file__", true);
            copy_import_spec_attr(import_spec, dict, "parent", "__package__", true);
            copy_import_spec_attr(import_spec, dict, "submodule_search_locations", "__path__", false);
            return module.release();
        },
        static_cast<PyObject*>(nullptr));
}

int exec_module(PyObject* module) {
    if (the_module == module) return 0;  // a reload: the body already ran
    if (the_module) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'package_index_client' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    int status = at_boundary([&] { return (run_body(Namespace(module)), 0); }, -1);
    if (status < 0) {
        PyError error;  // held while the module is let go
        Py_CLEAR(the_module);
        error.restore();
    }
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    PIC_ANY_INTERPRETER_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "package_index_client", kModuleDoc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace pic

PyMODINIT_FUNC PyInit_package_index_client() {
    const int major = int((Py_Version >> 24) & 0xFF);
    const int minor = int((Py_Version >> 16) & 0xFF);
    if (major != 3 || minor != 11) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 11,
                             pic::kFullName, "does not match", major, minor) < 0)
            return nullptr;
    }
    return PyModuleDef_Init(&pic::module_def);
}
