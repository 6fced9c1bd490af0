// Owned references and the one exception type that means "a Python error is set".
//
// Rules of use:
// - `Object` always owns its reference. `Object::steal(p)` takes over a new
//   reference (the result of most C API calls); `Object::borrow(p)` adds one.
//   Both throw `PyError` when `p` is null, so a failed call reads as a throw.
// - A `PyError` carries the fetched error; the indicator is never left set
//   while C++ code runs on. It is put back exactly once, by `restore()`, where
//   control returns to Python.
// - Raw `PyObject*` values are borrowed and never kept across a suspension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace pic {

[[noreturn]] void throw_error();                           // throws the error currently set
[[noreturn]] void raise(PyObject* type, const char* msg);  // sets and throws

inline PyObject* check(PyObject* p) {
    if (!p) throw_error();
    return p;
}
inline int check(int r) {
    if (r < 0) throw_error();
    return r;
}

#ifdef PIC_FRAME_AUDIT
// Checks that no Object inside a suspended coroutine frame holds a reference
// (runtime/coroutine.cpp); compiled into checking builds only.
namespace frame_audit {
void created(const void* object) noexcept;
void destroyed(const void* object) noexcept;
}  // namespace frame_audit
#define PIC_AUDIT(what) frame_audit::what(this)
#else
#define PIC_AUDIT(what) ((void)0)
#endif

class Object {
public:
    Object() noexcept { PIC_AUDIT(created); }
    Object(std::nullptr_t) noexcept { PIC_AUDIT(created); }
    Object(const Object& o) noexcept : p_(o.p_) {
        Py_XINCREF(p_);
        PIC_AUDIT(created);
    }
    Object(Object&& o) noexcept : p_(std::exchange(o.p_, nullptr)) { PIC_AUDIT(created); }
    Object& operator=(Object o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Object() {
        PIC_AUDIT(destroyed);
        Py_XDECREF(p_);
    }

    static Object steal(PyObject* p) { return Object(check(p), Steal{}); }
    static Object borrow(PyObject* p) {
        Py_INCREF(check(p));
        return Object(p, Steal{});
    }
    static Object steal_or_null(PyObject* p) noexcept { return Object(p, Steal{}); }
    static Object borrow_or_null(PyObject* p) noexcept { return Object(Py_XNewRef(p), Steal{}); }
    static Object none() { return borrow(Py_None); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is(const Object& o) const noexcept { return p_ == o.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }

    bool truthy() const { return check(PyObject_IsTrue(p_)) != 0; }
    Object attr(PyObject* name) const { return steal(PyObject_GetAttr(p_, name)); }
    Object optional_attr(PyObject* name) const;  // getattr(o, name, <empty Object>)
    void set_attr(PyObject* name, const Object& v) const { check(PyObject_SetAttr(p_, name, v.get())); }
    Object item(PyObject* key) const { return steal(PyObject_GetItem(p_, key)); }
    Object item(const Object& key) const { return item(key.get()); }
    Object at(Py_ssize_t index) const { return steal(PySequence_GetItem(p_, index)); }
    void set_item(PyObject* key, PyObject* v) const { check(PyObject_SetItem(p_, key, v)); }
    void set_item(const Object& key, const Object& v) const { set_item(key.get(), v.get()); }
    bool contains(PyObject* v) const { return check(PySequence_Contains(p_, v)) != 0; }
    bool contains(const Object& v) const { return contains(v.get()); }
    Py_ssize_t size() const {
        Py_ssize_t n = PyObject_Size(p_);
        if (n < 0) throw_error();
        return n;
    }
    long as_long() const {
        long v = PyLong_AsLong(p_);
        if (v == -1 && PyErr_Occurred()) throw_error();
        return v;
    }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

    template <class... A>
    Object operator()(const A&... args) const;
    template <class... A>
    Object call_method(PyObject* name, const A&... args) const;

private:
    struct Steal {};
    Object(PyObject* p, Steal) noexcept : p_(p) { PIC_AUDIT(created); }
    PyObject* p_ = nullptr;
};

// A fetched Python error: the normalised exception, its traceback attached.
class PyError final : public std::exception {
public:
    // Fetches the error currently set.
    PyError();
    // The error of an exception instance (type and traceback come from it).
    explicit PyError(Object exception) noexcept : exception_(std::move(exception)) {}

    bool matches(PyObject* exc_type) const { return PyErr_GivenExceptionMatches(type(), exc_type); }
    // Exceptions that are not subclasses of Exception (cancellation, GeneratorExit,
    // KeyboardInterrupt) are never handled by the module.
    bool is_ordinary() const { return matches(PyExc_Exception); }
    PyObject* type() const { return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())); }
    PyObject* value() const { return exception_.get(); }
    const Object& exception() const { return exception_; }
    Object traceback() const;  // None when there is none

    void restore() const;  // sets the error indicator to this error
    const char* what() const noexcept override { return "Python exception"; }

private:
    Object exception_;
};

inline PyObject* raw(const Object& o) noexcept { return o.get(); }
inline PyObject* raw(PyObject* o) noexcept { return o; }
template <class T>
    requires std::is_arithmetic_v<T> || std::is_same_v<T, const char*>
T raw(T v) noexcept {
    return v;
}

// Interned names: `"get"_id` is a borrowed, immortal-for-our-purposes str.
template <std::size_t N>
struct Literal {
    char text[N];
    consteval Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

PyObject* intern(const char* text);

template <Literal L>
PyObject* operator""_id() {
    static PyObject* const name = intern(L.text);
    return name;
}

// A keyword argument, written as in Python: `fn(url, "timeout"_kw = timeout)`.
// Keywords come after the positional arguments; the value is borrowed for the
// call, which the same expression makes.
struct Keyword {
    PyObject* name;
    PyObject* value;
};
struct KeywordName {
    PyObject* name;
    Keyword operator=(const Object& value) const noexcept { return {name, value.get()}; }
    Keyword operator=(PyObject* value) const noexcept { return {name, value}; }
};
template <Literal L>
KeywordName operator""_kw() {
    return {operator""_id<L>()};
}
inline PyObject* raw(const Keyword& k) noexcept { return k.value; }

namespace detail {
template <class... A>
constexpr std::size_t keyword_count = (std::size_t(std::is_same_v<A, Keyword>) + ... + 0);

// No positional argument after a keyword.
template <class... A>
constexpr bool keywords_last() {
    bool keyword = false, ok = true;
    ((std::is_same_v<A, Keyword> ? void(keyword = true) : void(ok = ok && !keyword)), ...);
    return ok;
}

// The names of the keyword arguments among `args`, as the tuple vectorcall takes.
template <class... A>
PyObject* keyword_names(const A&... args) {
    PyObject* names = check(PyTuple_New(Py_ssize_t(keyword_count<A...>)));
    Py_ssize_t i = 0;
    auto add = [&](const auto& arg) {
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(arg)>, Keyword>)
            PyTuple_SET_ITEM(names, i++, Py_NewRef(arg.name));
    };
    (add(args), ...);
    return names;
}
}  // namespace detail

template <class... A>
Object Object::operator()(const A&... args) const {
    static_assert(detail::keywords_last<A...>(), "keyword arguments come after the positional ones");
    constexpr std::size_t keywords = detail::keyword_count<A...>;
    PyObject* argv[] = {nullptr, raw(args)...};
    Object names;
    if constexpr (keywords > 0) names = steal(detail::keyword_names(args...));
    return steal(PyObject_Vectorcall(p_, argv + 1, (sizeof...(A) - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     names.get()));
}

// Looks the method up on the object first (so instance and subclass overrides
// win), like `obj.name(*args, **kwargs)`.
template <class... A>
Object Object::call_method(PyObject* name, const A&... args) const {
    static_assert(detail::keywords_last<A...>(), "keyword arguments come after the positional ones");
    constexpr std::size_t keywords = detail::keyword_count<A...>;
    PyObject* argv[] = {p_, raw(args)...};
    Object names;
    if constexpr (keywords > 0) names = steal(detail::keyword_names(args...));
    return steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A) - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           names.get()));
}

// Small constructors that read like Python literals.
inline Object str(const char* s) { return Object::steal(PyUnicode_FromString(s)); }
inline Object integer(long v) { return Object::steal(PyLong_FromLong(v)); }
inline Object boolean(bool v) { return Object::borrow(v ? Py_True : Py_False); }
inline Object new_list() { return Object::steal(PyList_New(0)); }
inline Object new_dict() { return Object::steal(PyDict_New()); }
inline Object new_set() { return Object::steal(PySet_New(nullptr)); }
template <class... A>
Object tuple(const A&... items) {
    return Object::steal(PyTuple_Pack(sizeof...(A), raw(items)...));
}
inline void append(const Object& list, const Object& item) { check(PyList_Append(list.get(), item.get())); }

// One key and its value, for `dict({...})`.
struct DictItem {
    PyObject* key;
    PyObject* value;
    DictItem(PyObject* k, const Object& v) noexcept : key(k), value(v.get()) {}
    DictItem(PyObject* k, PyObject* v) noexcept : key(k), value(v) {}
};

// {key: value, ...}: a new dict, the pairs inserted in order.
inline Object dict(std::initializer_list<DictItem> items) {
    Object d = new_dict();
    for (const DictItem& item : items) check(PyDict_SetItem(d.get(), item.key, item.value));
    return d;
}
inline Object format(const char* fmt, auto... args) { return Object::steal(PyUnicode_FromFormat(fmt, raw(args)...)); }

// Iterates a Python iterable: `for (Object x : iterate(obj))`.
class Iterate {
public:
    explicit Iterate(const Object& iterable) : it_(Object::steal(PyObject_GetIter(iterable.get()))) {}
    struct Sentinel {};
    class Cursor {
    public:
        explicit Cursor(PyObject* it) : it_(it) { advance(); }
        Object operator*() const { return cur_; }
        Cursor& operator++() {
            advance();
            return *this;
        }
        bool operator!=(Sentinel) const { return bool(cur_); }

    private:
        void advance() {
            cur_ = Object::steal_or_null(PyIter_Next(it_));
            if (!cur_ && PyErr_Occurred()) throw_error();
        }
        PyObject* it_;
        Object cur_;
    };
    Cursor begin() const { return Cursor(it_.get()); }
    Sentinel end() const { return {}; }

private:
    Object it_;
};
inline Iterate iterate(const Object& o) { return Iterate(o); }

}  // namespace pic
