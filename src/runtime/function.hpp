// The module's own function type and the declarative description it is built
// from. A `MethodEntry` says everything about one method: its name, parameters
// with their exact-type rules and annotations, its return rule and annotation,
// its docstring, and the C++ body. The function type does the rest: argument
// parsing, the rules, binding as a method, and wrapping awaitable bodies in a
// native coroutine.
#pragma once

#include <utility>

#include "runtime/boundary.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/ref.hpp"

namespace pic {

enum class Arg : unsigned char {
    any,            // untyped
    str,            // exactly str
    optional_str,   // exactly str, or None
    optional_list,  // exactly list, or None
};

// What a result must be (or None): the return annotation's container.
enum class Returns : unsigned char { any, str, list, dict, set };

struct Param {
    const char* name = nullptr;
    Arg rule = Arg::any;
    const char* annotation = nullptr;  // as stored in __annotations__
    bool defaults_to_none = false;
};

struct Impl {
    Object (*plain)(Object* args) = nullptr;  // args[0] is self; the body takes them over
    AwaitableBody awaitable = nullptr;        // the body borrows args from its coroutine object
    int arity = 0;                            // self included
    vectorcallfunc direct = nullptr;          // a plain body's usual call (direct_vectorcall)
};

struct MethodEntry {
    const char* owner;  // class name, for __qualname__ and the signature line
    const char* name;
    Param params[3];    // after self
    const char* return_annotation = nullptr;
    Returns returns = Returns::any;
    const char* doc = nullptr;  // docstring; null: the signature line alone
    Impl impl;
    bool variadic = false;  // (self, *args, **kwargs)
};

// Binds a C++ body into an Impl: `Object fn(Object self, Object a, ...)` for a
// plain method, `Task<Object> fn(const Object& self, const Object& a, ...)`
// for an awaitable one.
template <class R, class... A>
constexpr int arity_of(R (*)(A...)) {
    return int(sizeof...(A));
}
template <auto Fn>
auto invoke_body(Object* args) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (std::is_same_v<decltype(Fn(args[I]...)), Task<Object>>)
            return Fn(args[I]...);
        else
            return Fn(std::move(args[I])...);
    }(std::make_index_sequence<arity_of(Fn)>{});
}

// `self.<name>` as a method call finds it now (instance attribute first, then
// the class, as _PyObject_GetMethod does), without binding it.
struct MethodLookup {
    Object callable;
    bool unbound = false;  // `callable` still takes self as its first argument

    // This module's own function with the body `impl`, reached through the
    // class: a caller may do that body's work in place of the call.
    bool is_own(const Impl& impl) const;

    template <class... A>
    Object call(const Object& self, const A&... args) const {
        if (!unbound) return callable(args...);
        PyObject* argv[] = {nullptr, self.get(), raw(args)...};
        return Object::steal(PyObject_Vectorcall(callable.get(), argv + 1,
                                                 (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
};
MethodLookup lookup_method(const Object& self, PyObject* name);

// Creates the function object for one method of `entry.owner` in `module_name`.
Object make_function(const MethodEntry& entry, PyObject* module_name);
void ready_function_type();

// The return-type rule: `result` must be exactly the required type or None.
[[noreturn]] void returned_wrong_type(Returns rule, const Object& result);
inline void check_returns(Returns rule, const Object& result) {
    PyTypeObject* want = nullptr;
    switch (rule) {
        case Returns::any: return;
        case Returns::str: want = &PyUnicode_Type; break;
        case Returns::list: want = &PyList_Type; break;
        case Returns::dict: want = &PyDict_Type; break;
        case Returns::set: want = &PySet_Type; break;
    }
    if (result.type() != want && !result.is_none()) returned_wrong_type(rule, result);
}
// The same rule for a value a body hands on unchanged (checked where it is
// returned, so an enclosing handler sees the TypeError).
inline const Object& expect(Returns rule, const Object& value) {
    check_returns(rule, value);
    return value;
}

// What every function object of ours starts with (function.cpp).
struct FunctionHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodEntry* entry;
};

// The call in full: arguments bound by position and keyword, counted, their
// rules applied, each failure reported as such.
PyObject* full_vectorcall(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// An argument its rule lets through without a word.
inline bool passes_plainly(Arg rule, PyObject* value) {
    switch (rule) {
        case Arg::any: return true;
        case Arg::str: return PyUnicode_CheckExact(value);
        case Arg::optional_str: return value == Py_None || PyUnicode_CheckExact(value);
        case Arg::optional_list: return value == Py_None || PyList_CheckExact(value);
    }
    return false;
}

// The usual call of a plain method, every parameter by position and each as
// its rule wants it, straight into the body: nothing to bind, count or copy.
// Any other call takes the full road, which says what is wrong with it.
template <auto Fn>
PyObject* direct_vectorcall(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    constexpr int n = arity_of(Fn);
    const MethodEntry& entry = *reinterpret_cast<FunctionHead*>(function)->entry;
    bool usual = !kwnames && PyVectorcall_NARGS(nargsf) == n;
    for (int i = 1; usual && i < n; ++i) usual = passes_plainly(entry.params[i - 1].rule, args[i]);
    if (!usual) return full_vectorcall(function, args, nargsf, kwnames);
    try {
        Object result = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return Fn(Object::borrow(args[I])...);
        }(std::make_index_sequence<n>{});
        check_returns(entry.returns, result);
        return result.release();
    } catch (...) {
        python_error(std::current_exception()).restore();
        return nullptr;
    }
}

template <auto Fn>
constexpr Impl body() {
    using R = decltype(invoke_body<Fn>(nullptr));
    if constexpr (std::is_same_v<R, Task<Object>>)
        return Impl{nullptr, &invoke_body<Fn>, arity_of(Fn)};
    else
        return Impl{&invoke_body<Fn>, nullptr, arity_of(Fn), &direct_vectorcall<Fn>};
}


}  // namespace pic
