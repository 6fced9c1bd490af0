#include "fastpath/watch.hpp"

#include <algorithm>

#include "runtime/compat.hpp"
#include "runtime/imports.hpp"

namespace pic::fastpath {

namespace {

// d[name], or null when absent.
PyObject* lookup(PyObject* dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value && PyErr_Occurred()) throw_error();
    return value;
}

// The Python function a namespace item runs: a function itself, or the one
// a property's getter, a classmethod or a staticmethod holds; else null.
Object function_in(PyObject* value) {
    Object fn = Object::borrow(value);
    if (PyObject_TypeCheck(value, &PyProperty_Type)) {
        fn = fn.attr("fget"_id);
    } else if (PyObject_TypeCheck(value, &PyClassMethod_Type) || PyObject_TypeCheck(value, &PyStaticMethod_Type)) {
        fn = fn.attr("__func__"_id);
    }
    return PyFunction_Check(fn.get()) ? fn : Object();
}

// A decorator's wrapper is not followed further than this many layers.
constexpr int kMostWrappers = 16;

}  // namespace

// Every proven name still bound to the same object, and every name added since
// harmless.
bool Watch::ClassNamespace::unchanged() const {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(proven.get(), &pos, &name, &value))
        if (lookup(dict.get(), name) != value) return false;
    pos = 0;
    while (PyDict_Next(dict.get(), &pos, &name, &value))
        if (!check(PyDict_Contains(proven.get(), name)) && !harmless(name, value)) return false;
    return true;
}

bool Watch::ClassNamespace::harmless(PyObject* name, PyObject* value) const {
    if (Py_TYPE(value)->tp_descr_set) return false;
    for (const Object& namespace_ : later)
        if (check(PySequence_Contains(namespace_.get(), name))) return false;
    return true;
}

void Watch::stamp(PyObject* dict) {
    for (const Stamp& stamp : stamps_)
        if (stamp.dict == dict) return;
    check(compat::watch_dict(dict));
    stamps_.push_back({dict, compat::dict_stamp(dict)});
}

Object Watch::item(PyObject* dict, PyObject* name) {
    for (const Item& item : items_)
        if (item.dict.get() == dict && item.name.get() == name) return item.value;
    PyObject* value = lookup(dict, name);
    items_.push_back({Object::borrow(dict), Object::borrow(name), value ? Object::borrow(value) : Object()});
    stamp(dict);
    return items_.back().value;
}

Object Watch::attribute(const Object& module, PyObject* name) {
    if (!PyModule_Check(module.get())) {
        PyErr_Format(PyExc_AttributeError, "%R is no module whose attribute %R can be watched", module.get(), name);
        throw_error();
    }
    Object value = item(PyModule_GetDict(module.get()), name);
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "module %R has no attribute %R in its namespace", module.get(), name);
        throw_error();
    }
    return value;
}

Object Watch::read_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    if (Object value = item(globals, name)) return value;
    return item(builtins, name);
}

// The global names a code object loads: the names of its LOAD_GLOBAL
// instructions (from 3.11 on, the argument holds the name's index shifted
// left by one), not every name in co_names, which also holds the attributes
// it reads. Inline caches show in co_code as CACHE units and pass as any
// other unit; EXTENDED_ARG widens the next argument.
void Watch::names_read(const Object& code, PyObject* globals, PyObject* builtins) {
    if (load_global_ < 0) {
        Object opmap = import_from("opcode", "opmap");
        load_global_ = int(opmap.item(str("LOAD_GLOBAL")).as_long());
        extended_arg_ = int(opmap.item(str("EXTENDED_ARG")).as_long());
    }
    Object names = code.attr("co_names"_id);
    Object bytecode = code.attr("co_code"_id);
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    check(PyBytes_AsStringAndSize(bytecode.get(), &bytes, &size));
    unsigned long wider = 0;
    for (Py_ssize_t i = 0; i + 1 < size; i += 2) {
        const int op = static_cast<unsigned char>(bytes[i]);
        const unsigned long arg = static_cast<unsigned char>(bytes[i + 1]) | wider << 8;
        wider = op == extended_arg_ ? arg : 0;
        if (op != load_global_ || Py_ssize_t(arg >> 1) >= PyTuple_GET_SIZE(names.get())) continue;
        if (Object value = read_global(globals, builtins, PyTuple_GET_ITEM(names.get(), Py_ssize_t(arg >> 1))))
            function(value);
    }
    for (Object constant : iterate(code.attr("co_consts"_id)))
        if (PyCode_Check(constant.get())) names_read(constant, globals, builtins);
}

void Watch::function(const Object& fn) {
    Object work = function_in(fn.get());
    for (int layer = 0; work && layer < kMostWrappers; ++layer) {
        PyObject* f = work.get();
        if (std::any_of(functions_.begin(), functions_.end(), [&](const FunctionState& fn) { return fn.function == f; }))
            return;
        owned_.push_back(work);
        owned_.push_back(Object::borrow(PyFunction_GET_CODE(f)));
        if (PyObject* defaults = PyFunction_GET_DEFAULTS(f)) owned_.push_back(Object::borrow(defaults));
        if (PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(f)) owned_.push_back(Object::borrow(kwdefaults));
        functions_.push_back({f, PyFunction_GET_CODE(f), PyFunction_GET_DEFAULTS(f), PyFunction_GET_KW_DEFAULTS(f)});
        Object inner = work.optional_attr("__wrapped__"_id);
        if (!inner || !PyFunction_Check(inner.get())) break;
        work = inner;
    }
    if (!work) return;
    Object builtins = work.attr("__builtins__"_id);
    if (!PyDict_Check(builtins.get())) return;  // never so for a function; nothing to watch there
    names_read(Object::borrow(PyFunction_GET_CODE(work.get())), PyFunction_GET_GLOBALS(work.get()), builtins.get());
}

void Watch::class_and_bases(const Object& type) {
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%R is no class", type.get());
        throw_error();
    }
    PyObject* mro = reinterpret_cast<PyTypeObject*>(type.get())->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    const std::size_t first = classes_.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;
        ClassNamespace& ns = classes_.emplace_back();
        ns.dict = Object::borrow(base->tp_dict);
        ns.proven = Object::steal(PyDict_Copy(base->tp_dict));
        for (Py_ssize_t j = i + 1; j < n; ++j)
            ns.later.push_back(Object::borrow(PyTuple_GET_ITEM(mro, j)).attr("__dict__"_id));
        stamp(base->tp_dict);
    }
    for (std::size_t i = first; i < classes_.size(); ++i) {
        Object proven = classes_[i].proven;
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(proven.get(), &pos, &name, &value)) function(Object::borrow(value));
    }
}

bool Watch::in_place() const {
    for (const Item& item : items_)
        if (lookup(item.dict.get(), item.name.get()) != item.value.get()) return false;
    for (const ClassNamespace& ns : classes_)
        if (!ns.unchanged()) return false;
    return true;
}

// A stamp moved: every item is looked up again, and while all is in place the
// stamps are taken anew (read before the look, so a change made meanwhile
// moves them again).
bool Watch::look_again() {
    std::vector<std::uint64_t> now;
    now.reserve(stamps_.size());
    for (const Stamp& stamp : stamps_) now.push_back(compat::dict_stamp(stamp.dict));
    if (!in_place()) return false;
    for (std::size_t i = 0; i < stamps_.size(); ++i) stamps_[i].value = now[i];
    for (const FunctionState& fn : functions_)
        if (!fn.unchanged()) return false;
    return true;
}

}  // namespace pic::fastpath
