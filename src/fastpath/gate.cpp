#include "fastpath/gate.hpp"

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "fastpath/pep440.hpp"
#include "fastpath/probes.hpp"
#include "fastpath/text.hpp"
#include "runtime/globals.hpp"

namespace pic::fastpath {

namespace {

// A Python function as proven: the object with its code and defaults.
class FunctionState {
public:
    explicit FunctionState(PyObject* fn)
        : function_(Object::borrow(fn)),
          code_(Object::borrow(PyFunction_GET_CODE(fn))),
          defaults_(Object::steal_or_null(Py_XNewRef(PyFunction_GET_DEFAULTS(fn)))),
          kwdefaults_(Object::steal_or_null(Py_XNewRef(PyFunction_GET_KW_DEFAULTS(fn)))) {}

    bool unchanged() const {
        PyObject* fn = function_.get();
        return PyFunction_GET_CODE(fn) == code_.get() && PyFunction_GET_DEFAULTS(fn) == defaults_.get() &&
               PyFunction_GET_KW_DEFAULTS(fn) == kwdefaults_.get();
    }

private:
    Object function_, code_, defaults_, kwdefaults_;
};

// Where a name added to a namespace after the proof would change what the
// library does: when it hides the same name further along the lookup (a later
// class of the MRO, a module's builtins), or, in a class, when it is a data
// descriptor, which takes over an instance attribute of that name. Other
// additions are harmless: copying a Version adds `__slotnames__` to its class,
// a warning adds `__warningregistry__` to a module.
struct Additions {
    std::vector<Object> later;  // mappings looked up after the namespace
    bool is_class = false;

    bool harmless(PyObject* key, PyObject* value) const {
        if (is_class && Py_TYPE(value)->tp_descr_set) return false;
        for (const Object& mapping : later)
            if (check(PySequence_Contains(mapping.get(), key))) return false;
        return true;
    }
};

// One namespace (a module's or a class's dict) as proven: a few named items,
// or every item, with names added since judged by `Additions`.
class Namespace {
public:
    explicit Namespace(PyObject* dict) : dict_(Object::borrow(dict)) {}
    Namespace(PyObject* dict, Additions additions)
        : dict_(Object::borrow(dict)),
          proven_(items(dict)),
          proven_keys_(Object::steal(PyDict_Copy(dict))),
          additions_(std::move(additions)),
          accepted_(proven_) {}

    PyObject* dict() const { return dict_.get(); }

    // One item of a named-items namespace; a missing one is a KeyError.
    void keep(PyObject* key) { proven_.emplace_back(Object::borrow(key), dict_.item(key)); }

    std::vector<PyObject*> values() const {
        std::vector<PyObject*> out;
        for (const auto& item : proven_) out.push_back(item.second.get());
        return out;
    }

    bool unchanged() {
        if (!additions_) return proven_still();
        // The common case, a walk without lookups: the items as last seen, in order.
        if (PyDict_GET_SIZE(dict_.get()) == Py_ssize_t(accepted_.size()) && as_accepted()) return true;
        if (!proven_still()) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict_.get(), &pos, &key, &value))
            if (!check(PyDict_Contains(proven_keys_.get(), key)) && !additions_->harmless(key, value)) return false;
        accepted_ = items(dict_.get());
        return true;
    }

private:
    using Items = std::vector<std::pair<Object, Object>>;

    static Items items(PyObject* dict) {
        Items out;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) out.emplace_back(Object::borrow(key), Object::borrow(value));
        return out;
    }

    // Every proven item still bound to the same object.
    bool proven_still() const {
        for (const auto& [key, value] : proven_) {
            PyObject* now = PyDict_GetItemWithError(dict_.get(), key.get());
            if (!now && PyErr_Occurred()) throw_error();
            if (now != value.get()) return false;
        }
        return true;
    }

    bool as_accepted() const {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        for (const auto& [k, v] : accepted_) {
            if (!PyDict_Next(dict_.get(), &pos, &key, &value) || key != k.get() || value != v.get()) return false;
        }
        return true;
    }

    Object dict_;
    Items proven_;                        // the items the proof rests on
    Object proven_keys_;                  // a whole namespace: their keys, as a dict
    std::optional<Additions> additions_;  // a whole namespace: how added names are judged
    Items accepted_;                      // a whole namespace: its items when last found unchanged
};

// The Python function a namespace item runs: a function itself, or the one
// a property, classmethod or staticmethod wraps; else null.
Object function_in(PyObject* value) {
    Object fn = Object::borrow(value);
    if (PyObject_TypeCheck(value, &PyProperty_Type)) {
        fn = fn.attr("fget"_id);
    } else if (PyObject_TypeCheck(value, &PyClassMethod_Type) || PyObject_TypeCheck(value, &PyStaticMethod_Type)) {
        fn = fn.attr("__func__"_id);
    }
    return PyFunction_Check(fn.get()) ? fn : Object();
}

// What one stand-in's proof rests on.
struct Proof {
    Object bound;  // the module global as probed; null while the stand-in is off
    std::vector<Namespace> namespaces;
    std::vector<FunctionState> functions;

    bool watches(PyObject* dict) const {
        for (const Namespace& ns : namespaces)
            if (ns.dict() == dict) return true;
        return false;
    }
    // The namespace `dict`, whole, and the functions found in it.
    void watch_all(PyObject* dict, Additions additions) {
        if (watches(dict)) return;
        namespaces.emplace_back(dict, std::move(additions));
        watch_functions(namespaces.back());
    }
    void watch_functions(const Namespace& ns) {
        for (PyObject* value : ns.values())
            if (Object fn = function_in(value)) functions.emplace_back(fn.get());
    }
    bool unchanged() {
        for (Namespace& ns : namespaces)
            if (!ns.unchanged()) return false;
        for (const FunctionState& fn : functions)
            if (!fn.unchanged()) return false;
        return true;
    }
};

constexpr std::size_t kPaths = std::size_t(Path::release_order) + 1;
std::array<Proof, kPaths>* proofs = nullptr;  // kept for the life of the process, like the module

Object decode(std::string_view text) {
    return Object::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass"));
}

// The same answer: the same type, and equal (item by item for lists and tuples).
bool same(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyTuple_CheckExact(a) || PyList_CheckExact(a)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(a);
        if (n != PySequence_Fast_GET_SIZE(b)) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!same(PySequence_Fast_GET_ITEM(a, i), PySequence_Fast_GET_ITEM(b, i))) return false;
        return true;
    }
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

bool same(const Object& a, const Object& b) { return same(a.get(), b.get()); }

Object span_or_none(PyObject* text, const std::optional<Span>& span) {
    return span ? substring(text, *span) : Object::none();
}

// group(1) of a match, or None.
Object first_group(const Object& match) { return match.is_none() ? match : match.call_method("group"_id, integer(1)); }

// --- the probes: each stand-in against its library call, the `re` function given -----------

bool names_agree(const Object& sub) {
    static PyObject* const pattern = intern(kNameSeparators);
    for (std::string_view probe : probes::kNames) {
        Object name = decode(probe);
        Object native = collapse_separators(lower(name.get()).get());
        if (!same(native, sub(pattern, "-"_id, name.call_method("lower"_id)))) return false;
    }
    return true;
}

bool urls_agree(const Object& sub) {
    static PyObject* const pattern = intern(kVersionSegment);
    static PyObject* const nothing = intern("");
    for (std::string_view probe : probes::kUrls) {
        Object url = decode(probe);
        if (!same(drop_version_segments(url.get()), sub(pattern, nothing, url))) return false;
    }
    return true;
}

bool requirements_agree(const Object& match) {
    static PyObject* const pattern = intern(kRequirement);
    for (std::string_view probe : probes::kRequirements) {
        Object text = decode(probe);
        PyObject* t = text.get();
        Object native = Object::none();
        if (auto m = match_requirement(t, {0, PyUnicode_GET_LENGTH(t)}))
            native = tuple(substring(t, m->name), span_or_none(t, m->extras), substring(t, m->rest));
        Object found = match(pattern, text);
        Object library = found.is_none() ? found : found.call_method("groups"_id);
        if (!same(native, library)) return false;
    }
    return true;
}

bool markers_agree(const Object& search) {
    static PyObject* const patterns[] = {intern(kExtraOnIndex), intern(kExtraInstalled)};
    for (std::string_view probe : probes::kMarkers) {
        Object text = decode(probe);
        Object native = span_or_none(text.get(), search_extra(text.get()));
        for (PyObject* pattern : patterns)
            if (!same(native, first_group(search(pattern, text)))) return false;
    }
    return true;
}

Object list_of(std::span<const std::string_view> texts) {
    Object list = new_list();
    for (std::string_view text : texts) append(list, decode(text));
    return list;
}

// The keys must be decided natively (`decides`), or may be left to the library.
bool orders_agree(const Object& version_class, const Object& keys, bool decides) {
    std::optional<Object> native = newest_first(keys);
    if (!native) return !decides;
    return same(*native, newest_first_by(version_class, keys));
}

bool releases_agree(const Object& version_class) {
    Object keys = list_of(probes::kVersions);
    if (!orders_agree(version_class, keys, true)) return false;
    check(PyList_Reverse(keys.get()));  // equal versions now meet in the other order
    if (!orders_agree(version_class, keys, true)) return false;
    for (const auto& pair : probes::kFoldedVersions)
        if (!orders_agree(version_class, list_of(pair), false)) return false;
    return true;
}

// --- what each proof watches ---------------------------------------------------------------

PyObject* namespace_of(const Object& module) {
    if (PyModule_Check(module.get())) return PyModule_GetDict(module.get());
    return nullptr;
}

struct ReStandIn {
    Path path;
    const char* function;  // the function of `re` it stands in for
    bool (*agrees)(const Object& function);
};

constexpr ReStandIn kReStandIns[] = {
    {Path::normalize_name, "sub", names_agree},
    {Path::fill_pattern, "sub", urls_agree},
    {Path::parse_requirement, "match", requirements_agree},
    {Path::extra_marker, "search", markers_agree},
};

// The `re` function called and `re._compile` behind it; their code and defaults.
Proof prove_re(const ReStandIn& stand_in) {
    Proof proof;
    Object re = global("re"_id);
    PyObject* dict = namespace_of(re);
    if (!dict) return {};
    Namespace& ns = proof.namespaces.emplace_back(dict);
    ns.keep(intern(stand_in.function));
    ns.keep("_compile"_id);
    proof.watch_functions(ns);
    if (!stand_in.agrees(re.attr(intern(stand_in.function))) || !proof.unchanged()) return {};
    proof.bound = re;
    return proof;
}

// A module namespace's builtins, which its functions fall back on.
Object builtins_of(PyObject* globals) {
    PyObject* builtins = PyDict_GetItemWithError(globals, "__builtins__"_id);
    if (!builtins) {
        if (PyErr_Occurred()) throw_error();
        return Object::borrow(PyEval_GetBuiltins());
    }
    return Object::borrow(PyModule_Check(builtins) ? PyModule_GetDict(builtins) : builtins);
}

// Every name of Version and its bases (those defined in Python), and of the
// module namespaces their functions run in.
Proof prove_release_order() {
    Proof proof;
    Object version_class = global("Version"_id);
    if (!PyType_Check(version_class.get())) return {};
    PyObject* mro = reinterpret_cast<PyTypeObject*>(version_class.get())->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) continue;
        Additions additions{.is_class = true};
        for (Py_ssize_t j = i + 1; j < n; ++j)
            additions.later.push_back(Object::borrow(PyTuple_GET_ITEM(mro, j)).attr("__dict__"_id));
        proof.watch_all(type->tp_dict, std::move(additions));
    }
    for (std::size_t i = 0, classes = proof.namespaces.size(); i < classes; ++i) {
        for (PyObject* value : proof.namespaces[i].values()) {
            if (Object fn = function_in(value)) {
                PyObject* globals = PyFunction_GET_GLOBALS(fn.get());
                proof.watch_all(globals, Additions{.later = {builtins_of(globals)}});
            }
        }
    }
    if (!releases_agree(version_class) || !proof.unchanged()) return {};
    proof.bound = version_class;
    return proof;
}

PyObject* global_name(Path path) { return path == Path::release_order ? "Version"_id : "re"_id; }

}  // namespace

void prove() {
    auto* proven = new std::array<Proof, kPaths>{};
    auto attempt = [&](Path path, auto&& run) {
        try {
            (*proven)[std::size_t(path)] = run();
        } catch (const PyError& e) {
            if (!e.is_ordinary()) throw;
        }
    };
    for (const ReStandIn& stand_in : kReStandIns) attempt(stand_in.path, [&] { return prove_re(stand_in); });
    attempt(Path::release_order, prove_release_order);
    proofs = proven;
}

bool open(Path path) {
    if (!proofs) return false;
    Proof& proof = (*proofs)[std::size_t(path)];
    if (!proof.bound) return false;
    PyObject* bound = PyDict_GetItemWithError(module_namespace(), global_name(path));
    if (bound != proof.bound.get()) {
        if (!bound && PyErr_Occurred()) throw_error();
        return false;
    }
    return proof.unchanged();
}

}  // namespace pic::fastpath
