// Module creation and the module body: imports, optional libraries, the host's
// logger and settings accessors, and the classes.
#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "module/method_table.hpp"
#include "module/originals.hpp"
#include "runtime/compat.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/function.hpp"
#include "runtime/globals.hpp"

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
    explicit Namespace(PyObject* module) : module_(module), dict_(PyModule_GetDict(module)) {}
    PyObject* dict() const { return dict_; }
    void bind(const char* name, const Object& value) const { check(PyDict_SetItemString(dict_, name, value.get())); }
    Object get(const char* name) const {
        PyObject* v = PyDict_GetItemString(dict_, name);
        return v ? Object::borrow(v) : Object::none();
    }

    // import <dotted> (binding the top-level package, as `import a.b` does)
    Object import(const char* dotted) const {
        return Object::steal(PyImport_ImportModuleLevelObject(str(dotted).get(), dict_, dict_, nullptr, 0));
    }
    // from <module> import <names...>, relative when level > 0
    Object import_module_for(const char* module, std::initializer_list<const char*> names, int level) const {
        Object fromlist = Object::steal(PyTuple_New(Py_ssize_t(names.size())));
        Py_ssize_t i = 0;
        for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, check(PyUnicode_FromString(n)));
        return Object::steal(
            PyImport_ImportModuleLevelObject(str(module).get(), dict_, dict_, fromlist.get(), level));
    }

private:
    PyObject* module_;
    PyObject* dict_;
};

// `from module import name`: the attribute, else an already imported submodule.
Object import_from(const Object& module, const char* name) {
    Object attr_name = str(name);
    if (Object value = module.optional_attr(attr_name.get())) return value;
    Object package = Object::steal_or_null(PyObject_GetAttrString(module.get(), "__name__"));
    if (package && PyUnicode_Check(package.get())) {
        Object full = format("%U.%U", package, attr_name);
        PyObject* sub = PyImport_GetModule(full.get());
        if (sub) return Object::steal(sub);
        if (PyErr_Occurred()) throw_error();
    } else {
        PyErr_Clear();
        package = str("<unknown module name>");
    }
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U' (unknown location)", attr_name.get(),
                 package.get());
    throw_error();
}

bool import_error_pending(const PyError& e) { return e.matches(PyExc_ImportError); }

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

void run_body(const Namespace& ns) {
    ready_function_type();
    ready_coroutine_type();
    set_module_namespace(ns.dict());

    ns.bind("asyncio", ns.import("asyncio"));
    ns.bind("re", ns.import("re"));
    ns.bind("sys", ns.import("sys"));
    ns.bind("importlib", ns.import("importlib.metadata"));

    Object typing = ns.import_module_for("typing", {"List", "Optional", "Set", "Dict", "Any", "Tuple", "final"}, 0);
    for (const char* name : {"List", "Optional", "Set", "Dict", "Any", "Tuple", "final"})
        ns.bind(name, import_from(typing, name));
    ns.bind("HTMLParser", import_from(ns.import_module_for("html.parser", {"HTMLParser"}, 0), "HTMLParser"));

    // The three libraries are optional: a missing one shows at call time.
    try {
        ns.bind("aiohttp", ns.import("aiohttp"));
    } catch (const PyError& e) {
        if (!import_error_pending(e)) throw;
        ns.bind("aiohttp", Object::none());
    }
    try {
        ns.bind("PackageFinder", import_from(ns.import_module_for("unearth", {"PackageFinder"}, 0), "PackageFinder"));
        ns.bind("UNEARTH_AVAILABLE", boolean(true));
    } catch (const PyError& e) {
        if (!import_error_pending(e)) throw;
        ns.bind("PackageFinder", Object::none());
        ns.bind("UNEARTH_AVAILABLE", boolean(false));
    }
    try {
        ns.bind("SpecifierSet",
                import_from(ns.import_module_for("packaging.specifiers", {"SpecifierSet"}, 0), "SpecifierSet"));
        ns.bind("Version", import_from(ns.import_module_for("packaging.version", {"Version"}, 0), "Version"));
        ns.bind("PACKAGING_AVAILABLE", boolean(true));
    } catch (const PyError& e) {
        if (!import_error_pending(e)) throw;
        ns.bind("SpecifierSet", Object::none());
        ns.bind("Version", Object::none());
        ns.bind("PACKAGING_AVAILABLE", boolean(false));
    }
    fastpath::capture_originals();

    ns.bind("get_logger", import_from(ns.import_module_for("logging_config", {"get_logger"}, 3), "get_logger"));
    Object pip_settings = ns.import_module_for("pip_settings", {"get_pip_settings", "get_pip_api_list"}, 1);
    ns.bind("get_pip_settings", import_from(pip_settings, "get_pip_settings"));
    ns.bind("get_pip_api_list", import_from(pip_settings, "get_pip_api_list"));
    ns.bind("logger", ns.get("get_logger")(ns.get("__name__")));

    ns.bind("_dummy_metadata", make_class("_dummy_metadata", reinterpret_cast<PyObject*>(&PyDict_Type), ns,
                                          dummy_metadata_methods(), nullptr));
    Object annotations = new_dict();
    check(PyDict_SetItemString(annotations.get(), "metadata", str("Dict[str, str]").get()));
    ns.bind("_dummy_dist", make_class("_dummy_dist", reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns,
                                      dummy_dist_methods(), nullptr, annotations));
    ns.bind("PackageIndexClient", make_class("PackageIndexClient", reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                             ns, client_methods(), kClientDoc));
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
    try {
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
    } catch (const PyError& e) {
        e.restore();
        return nullptr;
    }
}

int exec_module(PyObject* module) {
    if (the_module == module) return 0;  // a reload: the body already ran
    if (the_module) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'package_index_client' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    try {
        run_body(Namespace(module));
        return 0;
    } catch (...) {
        PyError error = python_error(std::current_exception());
        Py_CLEAR(the_module);
        error.restore();
        return -1;
    }
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
