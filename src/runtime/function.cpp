#include "runtime/function.hpp"

#include <algorithm>
#include <cstddef>
#include <string>

#include <structmember.h>

#include "runtime/boundary.hpp"
#include "runtime/compat.hpp"

namespace pic {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodEntry* entry;
    int nparams;  // self included
    int nrequired;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* code;
    PyObject* defaults;
    PyObject* dict;
    PyObject* weakrefs;
};

// direct_vectorcall (function.hpp) reads the entry through the head alone.
static_assert(offsetof(FunctionObject, vectorcall) == offsetof(FunctionHead, vectorcall) &&
              offsetof(FunctionObject, entry) == offsetof(FunctionHead, entry));

extern PyTypeObject function_type;

FunctionObject* as_func(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

const char* required_type_name(Returns rule) {
    switch (rule) {
        case Returns::str: return "str";
        case Returns::list: return "list";
        case Returns::dict: return "dict";
        case Returns::set: return "set";
        case Returns::any: break;
    }
    return nullptr;
}

[[noreturn]] void count_error(const MethodEntry& entry, const char* bound, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", entry.name, bound,
                 expected, expected == 1 ? "" : "s", given);
    throw_error();
}

// A missing required parameter is reported first, "given" being the number of
// parameters before it (self included). Only a call that binds every required
// parameter can be reported for surplus, and then every argument counts,
// positional and keyword.
[[noreturn]] void missing(const FunctionObject* f, Py_ssize_t bound) {
    count_error(*f->entry, f->nrequired == f->nparams ? "exactly" : "at least", f->nrequired, bound);
}

[[noreturn]] void surplus(const FunctionObject* f, Py_ssize_t given) {
    count_error(*f->entry, f->nrequired == f->nparams ? "exactly" : "at most", f->nparams, given);
}

[[noreturn]] void repeated_keyword(const MethodEntry& entry, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", entry.name, keyword);
    throw_error();
}

void check_argument(const Param& p, PyObject* value) {
    PyTypeObject* want = nullptr;
    switch (p.rule) {
        case Arg::any: return;
        case Arg::str: want = &PyUnicode_Type; break;
        case Arg::optional_str:
            if (value == Py_None) return;
            want = &PyUnicode_Type;
            break;
        case Arg::optional_list:
            if (value == Py_None) return;
            want = &PyList_Type;
            break;
    }
    if (Py_TYPE(value) == want) return;
    if (PyType_IsSubtype(Py_TYPE(value), want)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                     "Subclasses of built-in types are rejected: pass an exact %.200s",
                     p.name, want->tp_name, Py_TYPE(value)->tp_name, want->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                     want->tp_name, Py_TYPE(value)->tp_name);
    }
    throw_error();
}

// 0 for self, i for the i-th parameter after it, -1 for no parameter.
int param_index(const FunctionObject* f, PyObject* keyword) {
    if (PyUnicode_CompareWithASCIIString(keyword, "self") == 0) return 0;
    const MethodEntry& entry = *f->entry;
    for (int i = 0; i < f->nparams - 1; ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, entry.params[i].name) == 0) return i + 1;
    return -1;
}

// Binds keyword arguments into `argv` (positional ones are there already),
// then judges the counts: a missing required parameter first, then surplus,
// a repeated keyword, an unknown one.
void bind_keywords(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Object* argv) {
    const MethodEntry& entry = *f->entry;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* repeated = nullptr;
    bool unknown = false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        int index = param_index(f, keyword);
        if (entry.variadic && index != 0) continue;  // **kwargs takes it
        if (index < 0)
            unknown = true;
        else if (argv[index])
            repeated = repeated ? repeated : keyword;
        else
            argv[index] = Object::borrow(args[nargs + k]);
    }
    if (entry.variadic) {
        // (self, *args, **kwargs): self alone is required.
        if (!argv[0]) count_error(entry, "at least", 1, 0);
        if (repeated) repeated_keyword(entry, repeated);
        return;
    }
    for (int i = 0; i < f->nrequired; ++i)
        if (!argv[i]) missing(f, i);
    if (nargs + nkw > f->nparams) surplus(f, nargs + nkw);
    if (repeated) repeated_keyword(entry, repeated);
    if (unknown) surplus(f, nargs + nkw);
}

// The body of an awaitable method, wrapped in a coroutine object that applies
// the return-type rule to its result.
Object start_coroutine(FunctionObject* f, Object* argv) {
    ResultCheck rule = nullptr;
    switch (f->entry->returns) {
        case Returns::any: break;
        case Returns::str: rule = [](const Object& r) { check_returns(Returns::str, r); }; break;
        case Returns::list: rule = [](const Object& r) { check_returns(Returns::list, r); }; break;
        case Returns::dict: rule = [](const Object& r) { check_returns(Returns::dict, r); }; break;
        case Returns::set: rule = [](const Object& r) { check_returns(Returns::set, r); }; break;
    }
    return make_coroutine(f->entry->impl.awaitable, argv, f->nparams, f->name, f->qualname, rule);
}

// The usual call of a plain method: every parameter by position, nothing to
// bind by keyword nor to count.
Object call_plain(FunctionObject* f, PyObject* const* args) {
    const MethodEntry& entry = *f->entry;
    const int n = f->nparams;
    Object argv[kMaxArgs];
    argv[0] = Object::borrow(args[0]);
    for (int i = 1; i < n; ++i) {
        const Param& p = entry.params[i - 1];
        // An exact str where one is required passes without a call.
        if (p.rule != Arg::str || !PyUnicode_CheckExact(args[i])) check_argument(p, args[i]);
        argv[i] = Object::borrow(args[i]);
    }
    Object result = entry.impl.plain(argv);
    check_returns(entry.returns, result);
    return result;
}

// Arguments are bound by position and keyword, then the counts are judged,
// then the types: a call with too few arguments is reported as such even when
// one of those it has is of the wrong type. The usual call, every parameter
// by position, has nothing to bind by keyword nor to count.
Object call_function(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const MethodEntry& entry = *f->entry;
    if (!kwnames && nargs == f->nparams && entry.impl.plain && !entry.variadic) return call_plain(f, args);
    static_assert(kMaxArgs == 4, "argv below lists every slot");
    auto positional = [&](Py_ssize_t i) { return i < std::min<Py_ssize_t>(nargs, f->nparams) ? args[i] : nullptr; };
    Object argv[kMaxArgs] = {Object::borrow_or_null(positional(0)), Object::borrow_or_null(positional(1)),
                             Object::borrow_or_null(positional(2)), Object::borrow_or_null(positional(3))};
    if (kwnames || nargs != f->nparams || entry.variadic) {
        bind_keywords(f, args, nargs, kwnames, argv);
        if (entry.variadic) return entry.impl.plain(nullptr);
    }
    for (int i = 1; i < f->nparams; ++i) {
        if (!argv[i]) argv[i] = Object::none();
        check_argument(entry.params[i - 1], argv[i].get());
    }
    if (entry.impl.awaitable) return start_coroutine(f, argv);
    Object result = entry.impl.plain(argv);
    check_returns(entry.returns, result);
    return result;
}


PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    // Every field function_clear drops: __module__, __doc__ and
    // __annotations__ can be set to anything, so any of them may close a cycle.
    FunctionObject* f = as_func(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_func(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_func(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), 0, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", none_getter, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "quorvel_master.business_layer.packages.package_index_client.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "Native method of the package index client.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

std::string signature_line(const MethodEntry& entry, int nparams) {
    std::string line = std::string(entry.owner) + "." + entry.name + "(self";
    if (entry.variadic) line += ", *args, **kwargs";
    for (int i = 0; i < nparams; ++i) {
        const Param& p = entry.params[i];
        line += std::string(", ") + p.name;
        if (p.annotation) line += std::string(": ") + p.annotation;
        if (p.defaults_to_none) line += p.annotation ? " = None" : "=None";
    }
    line += ")";
    if (entry.return_annotation) line += std::string(" -> ") + entry.return_annotation;
    return line;
}

// A code object that describes the signature (never executed), so that inspect
// sees the parameters and, for awaitable methods, a coroutine function.
Object signature_code(const MethodEntry& entry, int nparams, PyObject* module_name, PyObject* name,
                      PyObject* qualname) {
    Object varnames = Object::steal(PyTuple_New(entry.variadic ? 3 : nparams + 1));
    PyTuple_SET_ITEM(varnames.get(), 0, Py_NewRef("self"_id));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (entry.variadic) {
        PyTuple_SET_ITEM(varnames.get(), 1, check(PyUnicode_FromString("args")));
        PyTuple_SET_ITEM(varnames.get(), 2, check(PyUnicode_FromString("kwargs")));
        flags |= CO_VARARGS | CO_VARKEYWORDS;
    } else {
        for (int i = 0; i < nparams; ++i)
            PyTuple_SET_ITEM(varnames.get(), i + 1, check(PyUnicode_InternFromString(entry.params[i].name)));
    }
    if (entry.impl.awaitable) flags |= CO_COROUTINE;
    Object filename = Object::steal(PyUnicode_FromFormat("<%U>", module_name));
    Object empty = Object::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(PyUnicode_AsUTF8(filename.get()), entry.name, 0)));
    return empty.call_method("replace"_id, "co_argcount"_kw = integer(entry.variadic ? 1 : nparams + 1),
                             "co_varnames"_kw = varnames, "co_nlocals"_kw = integer(PyTuple_GET_SIZE(varnames.get())),
                             "co_flags"_kw = integer(flags), "co_name"_kw = name, "co_qualname"_kw = qualname);
}

}  // namespace

PyObject* full_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return at_boundary([&] { return call_function(as_func(self), args, PyVectorcall_NARGS(nargsf), kwnames).release(); },
                       static_cast<PyObject*>(nullptr));
}

void returned_wrong_type(Returns rule, const Object& result) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", required_type_name(rule), result.type()->tp_name);
    throw_error();
}

Object make_function(const MethodEntry& entry, PyObject* module_name) {
    int nparams = 0;
    while (nparams < 3 && entry.params[nparams].name) ++nparams;
    if (!entry.variadic && entry.impl.arity != nparams + 1) {
        PyErr_Format(PyExc_SystemError, "%s.%s: body takes %d arguments, table lists %d", entry.owner, entry.name,
                     entry.impl.arity, nparams + 1);
        throw_error();
    }
    Object name = Object::steal(PyUnicode_InternFromString(entry.name));
    Object qualname = Object::steal(PyUnicode_FromFormat("%s.%s", entry.owner, entry.name));

    std::string doc = signature_line(entry, nparams);
    if (entry.doc) doc += std::string("\n\n") + entry.doc;
    Object doc_text = Object::steal(PyUnicode_FromStringAndSize(doc.data(), Py_ssize_t(doc.size())));

    Object annotations = new_dict();
    int ndefaults = 0;
    for (int i = 0; i < nparams; ++i) {
        const Param& p = entry.params[i];
        if (p.annotation) check(PyDict_SetItemString(annotations.get(), p.name, str(p.annotation).get()));
        if (p.defaults_to_none) ++ndefaults;
    }
    if (entry.return_annotation)
        check(PyDict_SetItemString(annotations.get(), "return", str(entry.return_annotation).get()));
    Object defaults = Object::none();
    if (ndefaults) {
        defaults = Object::steal(PyTuple_New(ndefaults));
        for (int i = 0; i < ndefaults; ++i) PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    }
    Object code = signature_code(entry, nparams, module_name, name.get(), qualname.get());

    auto* f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) throw_error();
    f->vectorcall = entry.impl.direct && !entry.variadic ? entry.impl.direct : full_vectorcall;
    f->entry = &entry;
    f->nparams = nparams + 1;
    f->nrequired = nparams + 1 - ndefaults;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc_text.release();
    f->annotations = annotations.release();
    f->code = code.release();
    f->defaults = defaults.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Object::steal(reinterpret_cast<PyObject*>(f));
}

void ready_function_type() { check(PyType_Ready(&function_type)); }

bool MethodLookup::is_own(const Impl& impl) const {
    if (!unbound || Py_TYPE(callable.get()) != &function_type) return false;
    const Impl& own = as_func(callable.get())->entry->impl;
    return own.plain == impl.plain && own.awaitable == impl.awaitable;
}

MethodLookup lookup_method(const Object& self, PyObject* name) {
    PyObject* found = nullptr;
    int unbound = check(compat::get_method(self.get(), name, &found));
    return MethodLookup{Object::steal(found), unbound == 1};
}

}  // namespace pic
