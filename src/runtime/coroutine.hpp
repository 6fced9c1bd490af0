// The coroutine bridge: C++20 coroutines that await Python awaitables, driven
// by a native Python coroutine object that asyncio schedules like any other.
//
// A method body is a `Task<Object>`; inside it
//     Local x = co_await py_await(obj);         // like `x = await obj`
//     auto y = co_await other_task(...);        // a nested C++ coroutine
// and `async_with` runs the asynchronous context-manager protocol. The Python
// object (`native_coroutine`) owns the outermost frame and forwards send, throw
// and close to whatever Python iterator the innermost frame is waiting on.
//
// The garbage collector must see every reference a suspended frame holds, and
// it cannot walk C++ frames. So:
// - the coroutine object owns the method's arguments; bodies and the tasks they
//   await take Python values as `const Object&` (a by-value `Object` parameter
//   does not compile);
// - a Python value that lives across a `co_await` is a `Local`, which the
//   coroutine object running the frame can enumerate; a plain `Object` must be
//   empty (moved from) whenever the frame is suspended;
// - lambdas that become coroutines capture by reference.
// Builds with PIC_FRAME_AUDIT check the second rule at every suspension.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>

#include "runtime/boundary.hpp"
#include "runtime/ref.hpp"

namespace pic {

class Driver;  // the C++ side of one native coroutine object

// Self and up to three parameters.
inline constexpr int kMaxArgs = 4;

// The Locals of every frame one coroutine object runs.
class Local;
struct LocalList {
    Local* first = nullptr;
    int traverse(visitproc visit, void* arg) const;
};

namespace detail {
// The list of the coroutine object whose frames run on this thread right now.
inline thread_local LocalList* running_locals = nullptr;
}  // namespace detail

// An owned reference that lives in a coroutine frame across suspensions,
// visible to the collector through the coroutine object running the frame.
// Made outside any coroutine it is a plain owned reference.
class Local : public Object {
public:
    Local() noexcept { link(); }
    Local(Object o) noexcept : Object(std::move(o)) { link(); }
    Local(const Local& o) noexcept : Object(o) { link(); }
    Local(Local&& o) noexcept : Object(std::move(o)) { link(); }
    Local& operator=(Object o) noexcept {
        Object::operator=(std::move(o));
        return *this;
    }
    Local& operator=(const Local& o) noexcept {
        Object::operator=(o);
        return *this;
    }
    ~Local() { unlink(); }

private:
    void link() noexcept {
#ifdef PIC_FRAME_AUDIT
        frame_audit::destroyed(static_cast<Object*>(this));  // accounted for
#endif
        LocalList* list = detail::running_locals;
        if (!list) return;
        next_ = list->first;
        if (next_) next_->pprev_ = &next_;
        list->first = this;
        pprev_ = &list->first;
    }
    void unlink() noexcept {
        if (!pprev_) return;
        *pprev_ = next_;
        if (next_) next_->pprev_ = pprev_;
    }
    Local* next_ = nullptr;
    Local** pprev_ = nullptr;
    friend struct LocalList;
};

inline int LocalList::traverse(visitproc visit, void* arg) const {
    for (const Local* local = first; local; local = local->next_) Py_VISIT(local->get());
    return 0;
}

struct PromiseBase {
    Driver* driver = nullptr;              // the Python object that runs this chain
    std::coroutine_handle<> continuation;  // the frame awaiting this one, if any
    std::exception_ptr error;

#ifdef PIC_FRAME_AUDIT
    static void* operator new(std::size_t size);
    static void operator delete(void* frame, std::size_t size) noexcept;
#endif
};

template <class P>
inline constexpr bool frame_parameter_ok =
    !std::is_same_v<P, Object> && !std::is_same_v<P, Local> && !std::is_same_v<P, PyError>;

template <class T>
class [[nodiscard]] Task {
public:
    struct promise_type : PromiseBase {
        std::optional<T> value;

        // Called with the frame's parameters: Python values must be borrowed.
        template <class... P>
        promise_type(P&...) noexcept {
            static_assert((frame_parameter_ok<P> && ...),
                          "a coroutine takes Python values as const Object&: its frame must not own them");
        }

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
// While suspended the awaited iterator is held by the coroutine object.
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
    bool start(Driver* driver, std::coroutine_handle<> h);
    Object awaitable_;
    Object result_;
    std::optional<PyError> error_;
};

inline PyAwait py_await(Object awaitable) { return PyAwait(std::move(awaitable)); }

// `obj.__aenter__` / `obj.__aexit__`, looked up on the type as `async with` does.
Object lookup_special(const Object& obj, PyObject* name, const char* missing_message);

// exit(type(exception), exception, exception.__traceback__)
Object exit_with(const Object& exit, const Object& exception);

// `async with manager as value: <body(value)>`. The body's result is returned;
// `nullopt` means the exit suppressed an exception raised in the block, and
// the caller goes on after the block.
template <class Body>
Task<std::optional<Object>> async_with(const Object& manager, Body body) {
    Local enter = lookup_special(manager, "__aenter__"_id,
                                 "'%.200s' object does not support the asynchronous context manager protocol");
    Local exit = lookup_special(
        manager, "__aexit__"_id,
        "'%.200s' object does not support the asynchronous context manager protocol (missed __aexit__ method)");
    Local value = co_await py_await(enter());
    Local result;
    Local raised;  // the exception that left the block
    try {
        result = co_await body(value);
    } catch (...) {
        raised = python_error(std::current_exception()).exception();
    }
    if (!raised) {
        Object ignored = co_await py_await(exit(Py_None, Py_None, Py_None));
        co_return std::optional<Object>(std::move(result));
    }
    Object suppress = co_await py_await(exit_with(exit, raised));
    if (!suppress.truthy()) throw PyError(std::move(raised));
    co_return std::nullopt;
}

// Wraps a method body into the Python coroutine object, which takes over the
// `nargs` arguments; the body, not started yet, borrows them from it.
// `check_result` (may be null) applies the method's return-type rule.
using ResultCheck = void (*)(const Object& result);
using AwaitableBody = Task<Object> (*)(Object* args);
Object make_coroutine(AwaitableBody body, Object* args, int nargs, PyObject* name, PyObject* qualname,
                      ResultCheck check_result);

bool is_native_coroutine(PyObject* obj);
void ready_coroutine_type();  // PyType_Ready, once at module exec

}  // namespace pic
