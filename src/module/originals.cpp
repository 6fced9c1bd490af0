#include "module/originals.hpp"

#include "runtime/globals.hpp"

namespace pic::fastpath {

namespace {

// packaging.version.VERSION_PATTERN, exactly the grammar fastpath::newest_first
// parses (proven against packaging by tests/test_fast_paths.py). Another text
// (another packaging release, or an interpreter where packaging drops the
// possessive quantifiers) keeps the library's own parser in charge.
constexpr const char* kVersionPattern = R"re(
    v?+                                                   # optional leading v
    (?a:
        (?:(?P<epoch>[0-9]++)!)?+                         # epoch
        (?P<release>[0-9]++(?:\.[0-9]++)*+)               # release segment
        (?P<pre>                                          # pre-release
            [._-]?+
            (?P<pre_l>alpha|a|beta|b|preview|pre|c|rc)
            [._-]?+
            (?P<pre_n>[0-9]++)?+
        )?+
        (?P<post>                                         # post release
            (?:-(?P<post_n1>[0-9]++))
            |
            (?:
                [._-]?+
                (?P<post_l>post|rev|r)
                [._-]?+
                (?P<post_n2>[0-9]++)?+
            )
        )?+
        (?P<dev>                                          # dev release
            [._-]?+
            (?P<dev_l>dev)
            [._-]?+
            (?P<dev_n>[0-9]++)?+
        )?+
    )
    (?a:\+
        (?P<local>                                        # local version
            [a-z0-9]++
            (?:[._-][a-z0-9]++)*+
        )
    )?+
)re";

constexpr long kVersionFlags = 2 | 32 | 64;  // re.IGNORECASE | re.UNICODE | re.VERBOSE

// A plain Python function, as found at import: the object, its code and defaults.
struct Genuine {
    PyObject* function = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;

    bool capture(PyObject* fn, PyObject* home_globals, const char* name) {
        if (!fn || !PyFunction_Check(fn)) return false;
        if (home_globals && PyFunction_GET_GLOBALS(fn) != home_globals) return false;
        PyObject* co = PyFunction_GET_CODE(fn);
        if (!PyUnicode_Check(reinterpret_cast<PyCodeObject*>(co)->co_name) ||
            PyUnicode_CompareWithASCIIString(reinterpret_cast<PyCodeObject*>(co)->co_name, name) != 0)
            return false;
        function = Py_NewRef(fn);
        code = Py_NewRef(co);
        defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(fn));
        return true;
    }
    bool still(PyObject* fn) const {
        return fn && fn == function && PyFunction_GET_CODE(fn) == code && PyFunction_GET_DEFAULTS(fn) == defaults;
    }
};

struct ReOriginals {
    PyObject* module = nullptr;
    PyObject* dict = nullptr;
    Genuine compile, sub, match, search;
    bool ready = false;
};

struct VersionOriginals {
    PyObject* cls = nullptr;
    Genuine init, lt;
    bool ready = false;
};

ReOriginals re_originals;
VersionOriginals version_originals;

PyObject* dict_item(PyObject* dict, const char* name) {
    PyObject* value = PyDict_GetItemString(dict, name);  // borrowed; never raises
    return value;
}

void capture_re() {
    Object re = global("re"_id);
    if (!PyModule_CheckExact(re.get())) return;
    PyObject* dict = PyModule_GetDict(re.get());
    ReOriginals o;
    if (!o.compile.capture(dict_item(dict, "_compile"), dict, "_compile")) return;
    if (!o.sub.capture(dict_item(dict, "sub"), dict, "sub")) return;
    if (!o.match.capture(dict_item(dict, "match"), dict, "match")) return;
    if (!o.search.capture(dict_item(dict, "search"), dict, "search")) return;
    o.module = re.release();  // kept for the life of the process, like the module
    o.dict = dict;
    o.ready = true;
    re_originals = o;
}

void capture_version() {
    Object cls = global("Version"_id);
    if (!PyType_Check(cls.get())) return;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    PyObject* module_name = PyDict_GetItemString(type->tp_dict, "__module__");
    if (!module_name || !PyUnicode_Check(module_name) ||
        PyUnicode_CompareWithASCIIString(module_name, "packaging.version") != 0)
        return;
    Object regex = cls.attr("_regex"_id);
    Object pattern = regex.attr("pattern"_id);
    Object expected = format("\\s*%s\\s*", kVersionPattern);
    if (!PyUnicode_Check(pattern.get()) || !check(PyObject_RichCompareBool(pattern.get(), expected.get(), Py_EQ)))
        return;
    if (regex.attr("flags"_id).as_long() != kVersionFlags) return;
    VersionOriginals o;
    PyObject* init = PyDict_GetItemString(type->tp_dict, "__init__");
    PyObject* lt = PyDict_GetItemString(type->tp_dict, "__lt__");
    if (!init || !o.init.capture(init, PyFunction_Check(init) ? PyFunction_GET_GLOBALS(init) : nullptr, "__init__"))
        return;
    if (!lt || !o.lt.capture(lt, PyFunction_GET_GLOBALS(init), "__lt__")) return;
    o.cls = cls.release();
    o.ready = true;
    version_originals = o;
}

}  // namespace

void capture_originals() {
    for (void (*capture)() : {capture_re, capture_version}) {
        try {
            capture();
        } catch (const PyError& e) {
            if (!e.is_ordinary()) throw;
        }
    }
}

bool stdlib_re(ReFunction fn) {
    const ReOriginals& o = re_originals;
    if (!o.ready) return false;
    PyObject* re = PyDict_GetItemWithError(module_namespace(), "re"_id);
    if (re != o.module) {
        if (!re && PyErr_Occurred()) throw_error();
        return false;
    }
    switch (fn) {
        case ReFunction::sub:
            if (!o.sub.still(PyDict_GetItemWithError(o.dict, "sub"_id))) break;
            return o.compile.still(PyDict_GetItemWithError(o.dict, "_compile"_id));
        case ReFunction::match:
            if (!o.match.still(PyDict_GetItemWithError(o.dict, "match"_id))) break;
            return o.compile.still(PyDict_GetItemWithError(o.dict, "_compile"_id));
        case ReFunction::search:
            if (!o.search.still(PyDict_GetItemWithError(o.dict, "search"_id))) break;
            return o.compile.still(PyDict_GetItemWithError(o.dict, "_compile"_id));
    }
    if (PyErr_Occurred()) throw_error();
    return false;
}

bool packaging_version(PyObject* cls) {
    const VersionOriginals& o = version_originals;
    if (!o.ready || cls != o.cls) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return o.init.still(_PyType_Lookup(type, "__init__"_id)) && o.lt.still(_PyType_Lookup(type, "__lt__"_id));
}

bool packaging_version_global() {
    PyObject* cls = PyDict_GetItemWithError(module_namespace(), "Version"_id);
    if (!cls && PyErr_Occurred()) throw_error();
    return cls && packaging_version(cls);
}

}  // namespace pic::fastpath
