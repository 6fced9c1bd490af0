// The coroutine bridge: C++20 coroutines that await Python awaitables, driven
// by a native Python coroutine object that asyncio schedules like any other.
//
// A method body is a `Task<Object>`; inside it
//     Object x = co_await py_await(obj);        // like `x = await obj`
//     auto y = co_await other_task(...);         // a nested C++ coroutine
// and `async_with` runs the asynchronous context-manager protocol. The Python
// object (`native_coroutine`) owns the outermost frame and forwards send, throw
// and close to whatever Python iterator the innermost frame is waiting on.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>

#include "runtime/ref.hpp"

namespace pic {

struct CoroutineObject;

struct PromiseBase {
    CoroutineObject* driver = nullptr;     // the Python object that runs this chain
    std::coroutine_handle<> continuation;  // the frame awaiting this one, if any
    std::exception_ptr error;
};

template <class T>
class [[nodiscard]] Task {
public:
    struct promise_type : PromiseBase {
        std::optional<T> value;

        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct FinalAwaiter {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
                auto next = h.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        FinalAwaiter final_suspend() noexcept { return {}; }
        template <class U>
        void return_value(U&& v) {
            value.emplace(std::forward<U>(v));
        }
        void unhandled_exception() noexcept { error = std::current_exception(); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (h_) h_.destroy();
    }

    // Awaiting a task from another task: start it and transfer control to it.
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> caller) noexcept {
        h_.promise().driver = caller.promise().driver;
        h_.promise().continuation = caller;
        return h_;
    }
    T await_resume() {
        auto& p = h_.promise();
        if (p.error) std::rethrow_exception(p.error);
        return std::move(*p.value);
    }

    Handle release() noexcept { return std::exchange(h_, {}); }

private:
    explicit Task(Handle h) : h_(h) {}
    Handle h_;
};

// `await obj` from C++. The first step of the awaited iterator runs at once, so
// an awaitable that completes without yielding never suspends the caller.
class PyAwait {
public:
    explicit PyAwait(Object awaitable) : awaitable_(std::move(awaitable)) {}
    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) {
        return start(h.promise().driver, h);
    }
    Object await_resume() {
        if (error_) throw PyError(std::move(*error_));
        return std::move(result_);
    }

    void deliver(Object value) { result_ = std::move(value); }
    void deliver_error(PyError error) { error_.emplace(std::move(error)); }

private:
    bool start(CoroutineObject* driver, std::coroutine_handle<> h);
    Object awaitable_;
    Object result_;
    std::optional<PyError> error_;
};

inline PyAwait py_await(Object awaitable) { return PyAwait(std::move(awaitable)); }

// The error behind a caught C++ exception, as a Python error (C++ failures of
// our own become SystemError / MemoryError).
PyError python_error(std::exception_ptr failure);

// `obj.__aenter__` / `obj.__aexit__`, looked up on the type as `async with` does.
Object lookup_special(const Object& obj, PyObject* name, const char* missing_message);

// `async with manager as value: <body(value)>`. The body's result is returned;
// `nullopt` means the block was left without a result (or the exit suppressed
// the exception), and the caller goes on after the block.
template <class Body>
Task<std::optional<Object>> async_with(Object manager, Body body) {
    Object enter = lookup_special(manager, "__aenter__"_id,
                                  "'%.200s' object does not support the asynchronous context manager protocol");
    Object exit = lookup_special(
        manager, "__aexit__"_id,
        "'%.200s' object does not support the asynchronous context manager protocol (missed __aexit__ method)");
    Object value = co_await py_await(enter());
    std::exception_ptr failure;
    std::optional<Object> result;
    try {
        result = co_await body(std::move(value));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        Object ignored = co_await py_await(exit(Py_None, Py_None, Py_None));
        co_return result;
    }
    PyError error = python_error(failure);
    Object suppress = co_await py_await(exit(error.type(), error.value(), error.traceback()));
    if (!suppress.truthy()) std::rethrow_exception(failure);
    co_return std::nullopt;
}

// Wraps a started-nothing method body into the Python coroutine object.
// `check_result` (may be null) applies the method's return-type rule.
using ResultCheck = void (*)(const Object& result);
Object make_coroutine(Task<Object> body, PyObject* name, PyObject* qualname, ResultCheck check_result);

bool is_native_coroutine(PyObject* obj);
void ready_coroutine_type();  // PyType_Ready, once at module exec

}  // namespace pic
