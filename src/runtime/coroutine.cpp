#include "runtime/coroutine.hpp"

#include <new>

#include "runtime/compat.hpp"

#ifdef PIC_FRAME_AUDIT
#include <cstdio>
#include <cstdlib>
#include <map>
#include <unordered_map>
#include <unordered_set>
#endif

namespace pic {

namespace {

using RootHandle = Task<Object>::Handle;

enum class State : unsigned char { created, suspended, running, finished };

// One step of a coroutine: it yielded `value`, or finished with it. An error
// is thrown as PyError.
struct Step {
    bool finished = false;
    Object value;
};

// Marks whose frames run on this thread, for the Locals they create.
class RunningScope {
public:
    explicit RunningScope(LocalList& locals) : previous_(std::exchange(detail::running_locals, &locals)) {}
    ~RunningScope() { detail::running_locals = previous_; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

private:
    LocalList* previous_;
};

// The error indicator, put aside while a finaliser runs and restored after.
class SavedError {
public:
    SavedError() : exception_(Object::steal_or_null(compat::fetch_exception())) {}
    ~SavedError() {
        if (exception_) compat::set_exception(exception_.release());
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    Object exception_;
};

}  // namespace

#ifdef PIC_FRAME_AUDIT
namespace frame_audit {
namespace {
struct Frame {
    std::size_t size;
    const LocalList* owner;  // the coroutine object that runs it
};
std::map<const char*, Frame>& frames() {
    static auto* all = new std::map<const char*, Frame>;
    return *all;
}
// Every Object that lives in a frame, and the Objects of each coroutine object's frames.
std::unordered_map<const void*, const LocalList*>& owner_of() {
    static auto* all = new std::unordered_map<const void*, const LocalList*>;
    return *all;
}
std::unordered_map<const LocalList*, std::unordered_set<const void*>>& held_by() {
    static auto* all = new std::unordered_map<const LocalList*, std::unordered_set<const void*>>;
    return *all;
}
const Frame* frame_of(const void* address) {
    auto p = static_cast<const char*>(address);
    auto it = frames().upper_bound(p);
    if (it == frames().begin()) return nullptr;
    --it;
    return p < it->first + it->second.size ? &it->second : nullptr;
}
}  // namespace

void created(const void* object) noexcept {
    if (!detail::running_locals) return;
    if (const Frame* frame = frame_of(object)) {
        owner_of()[object] = frame->owner;
        held_by()[frame->owner].insert(object);
    }
}

void destroyed(const void* object) noexcept {
    if (owner_of().empty()) return;
    auto it = owner_of().find(object);
    if (it == owner_of().end()) return;
    auto held = held_by().find(it->second);
    held->second.erase(object);
    if (held->second.empty()) held_by().erase(held);
    owner_of().erase(it);
}

// Every Object in the frames of `owner` is empty now that they are suspended.
void check_suspended(const LocalList& owner, PyObject* qualname) {
    auto held = held_by().find(&owner);
    if (held == held_by().end()) return;
    for (const void* address : held->second) {
        PyObject* value = static_cast<const Object*>(address)->get();
        if (!value) continue;
        std::fprintf(stderr, "frame audit: suspended coroutine %s keeps a '%s' in a frame Object, not in a Local\n",
                     qualname ? PyUnicode_AsUTF8(qualname) : "?", Py_TYPE(value)->tp_name);
        std::abort();
    }
}
}  // namespace frame_audit

void* PromiseBase::operator new(std::size_t size) {
    void* frame = ::operator new(size);
    frame_audit::frames()[static_cast<const char*>(frame)] = {size, detail::running_locals};
    return frame;
}

void PromiseBase::operator delete(void* frame, std::size_t size) noexcept {
    frame_audit::frames().erase(static_cast<const char*>(frame));
    ::operator delete(frame, size);
}
#endif

// The C++ side of a native coroutine object: the method's arguments, the
// outermost frame, and while suspended the Python iterator it delegates to.
class Driver {
public:
    Driver(PyObject* name, PyObject* qualname, ResultCheck check_result)
        : name_(Object::borrow(name)), qualname_(Object::borrow(qualname)), check_result_(check_result) {}
    ~Driver() { destroy_frame(); }

    void start(AwaitableBody body, Object* args, int nargs) {
        for (int i = 0; i < nargs; ++i) args_[i] = std::move(args[i]);
        RunningScope scope(locals_);
        root_ = body(args_).release();
        state_ = State::created;
    }

    void suspend_on(Object iterator, Object value, std::coroutine_handle<> h, PyAwait* awaiter) {
        delegate_ = std::move(iterator);
        yielded_ = std::move(value);
        current_ = h;
        pending_ = awaiter;
    }

    Step send(PyObject* arg);
    Step throw_in(const PyError& error);
    void close();
    void finalize(PyObject* self);

    int traverse(visitproc visit, void* arg) const;
    void clear();

    State state() const { return state_; }
    const Object& name() const { return name_; }
    const Object& qualname() const { return qualname_; }
    const Object& delegate() const { return delegate_; }

private:
    Step run(std::coroutine_handle<> h);
    Step finish();
    Step resume_with(PySendResult outcome, Object value);
    void destroy_frame();

    Object args_[kMaxArgs];  // owned here, borrowed by the body
    Object name_, qualname_;
    RootHandle root_;                 // the method body; null once destroyed
    std::coroutine_handle<> current_; // innermost frame, waiting on `delegate_`
    PyAwait* pending_ = nullptr;      // the await expression that `delegate_` will answer
    Object delegate_;                 // iterator being awaited, like `yield from`
    Object yielded_;                  // value to hand to the caller on suspension
    LocalList locals_;                // every Local of the frames
    ResultCheck check_result_;
    State state_ = State::finished;   // until start()
};

struct CoroutineObject {
    PyObject_HEAD
    PyObject* weakrefs;
    Driver driver;  // constructed in place after allocation
};

namespace {

extern PyTypeObject coroutine_type;

Driver& driver_of(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o)->driver; }

[[noreturn]] void already_executing() { raise(PyExc_ValueError, "coroutine already executing"); }

// The value of a StopIteration that is set, taking it; nullopt (the error
// left as it is) when another error is set.
std::optional<Object> take_stop_iteration_value() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return std::nullopt;
    PyError stop;
    return stop.exception().attr("value"_id);
}

// CPython's rule for closing a sub-iterator: close() when it has one. Returns
// the error close() raised, if any.
std::optional<PyError> close_iterator(const Object& it) {
    PyObject* found = nullptr;
    if (compat::get_optional_attr(it.get(), "close"_id, &found) < 0) PyErr_WriteUnraisable(it.get());
    Object close = Object::steal_or_null(found);
    if (!close) return std::nullopt;
    if (!Object::steal_or_null(PyObject_CallNoArgs(close.get()))) return PyError();
    return std::nullopt;
}

}  // namespace

void Driver::destroy_frame() {
    if (root_) std::exchange(root_, RootHandle{}).destroy();
    current_ = {};
    pending_ = nullptr;
    delegate_ = nullptr;
}

// Resumes C++ code until it finishes or waits on a Python iterator that yielded.
Step Driver::run(std::coroutine_handle<> h) {
    {
        RunningScope scope(locals_);
        h.resume();
    }
    if (root_.done()) return finish();
    state_ = State::suspended;
#ifdef PIC_FRAME_AUDIT
    frame_audit::check_suspended(locals_, qualname_.get());
#endif
    return {false, std::move(yielded_)};
}

Step Driver::finish() {
    state_ = State::finished;
    auto& promise = root_.promise();
    if (promise.error) {
        PyError error = python_error(promise.error);
        destroy_frame();
        if (error.matches(PyExc_StopIteration)) raise(PyExc_RuntimeError, "coroutine raised StopIteration");
        throw error;
    }
    Object result = std::move(*promise.value);
    destroy_frame();
    if (check_result_) check_result_(result);
    return {true, std::move(result)};
}

// The delegate answered (returned or raised): hand the answer to the awaiting
// frame and go on.
Step Driver::resume_with(PySendResult outcome, Object value) {
    if (outcome == PYGEN_NEXT) {
        state_ = State::suspended;
        return {false, std::move(value)};
    }
    if (outcome == PYGEN_RETURN)
        pending_->deliver(std::move(value));
    else
        pending_->deliver_error(PyError());
    delegate_ = nullptr;
    return run(current_);
}

Step Driver::send(PyObject* arg) {
    switch (state_) {
        case State::running: already_executing();
        case State::finished: raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        case State::created:
            if (arg != Py_None) raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            state_ = State::running;
            root_.promise().driver = this;
            return run(root_);
        case State::suspended: break;
    }
    state_ = State::running;
    PyObject* value = nullptr;
    PySendResult outcome = PyIter_Send(delegate_.get(), arg, &value);
    return resume_with(outcome, Object::steal_or_null(value));
}

// Raises `error` at the suspension point: the awaited iterator sees it first.
Step Driver::throw_in(const PyError& error) {
    switch (state_) {
        case State::running: already_executing();
        case State::finished: throw error;
        case State::created:
            // Never started: nothing can handle it, so the coroutine ends here.
            state_ = State::finished;
            destroy_frame();
            throw error;
        case State::suspended: break;
    }
    state_ = State::running;
    if (error.matches(PyExc_GeneratorExit)) {
        std::optional<PyError> failed = close_iterator(delegate_);
        pending_->deliver_error(failed ? std::move(*failed) : error);
        delegate_ = nullptr;
        return run(current_);
    }
    PyObject* found = nullptr;
    int has_throw = compat::get_optional_attr(delegate_.get(), "throw"_id, &found);
    Object throw_method = Object::steal_or_null(found);
    if (has_throw <= 0) {
        pending_->deliver_error(has_throw < 0 ? PyError() : error);
        delegate_ = nullptr;
        return run(current_);
    }
    Object yielded = Object::steal_or_null(PyObject_CallOneArg(throw_method.get(), error.value()));
    if (yielded) return resume_with(PYGEN_NEXT, std::move(yielded));
    if (auto returned = take_stop_iteration_value()) return resume_with(PYGEN_RETURN, std::move(*returned));
    return resume_with(PYGEN_ERROR, Object());
}

void Driver::close() {
    switch (state_) {
        case State::created:
            state_ = State::finished;
            destroy_frame();
            return;
        case State::finished: return;
        case State::running: already_executing();
        case State::suspended: break;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyError exit;
    Step step;
    try {
        step = throw_in(exit);
    } catch (const PyError& e) {
        if (e.matches(PyExc_GeneratorExit) || e.matches(PyExc_StopIteration)) return;
        throw;
    }
    if (!step.finished) raise(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
}

// Dropped before it ran: warn; dropped while suspended: close it.
void Driver::finalize(PyObject* self) {
    if (state_ != State::created && state_ != State::suspended) return;
    SavedError saved;
    if (state_ == State::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", qualname_.get()) < 0)
            PyErr_WriteUnraisable(self);
        return;
    }
    if (at_boundary([&] { return (close(), 0); }, -1) < 0) PyErr_WriteUnraisable(self);
}

int Driver::traverse(visitproc visit, void* arg) const {
    for (const Object& a : args_) Py_VISIT(a.get());
    Py_VISIT(delegate_.get());
    Py_VISIT(yielded_.get());
    return locals_.traverse(visit, arg);
}

// Breaks a reference cycle: a frame still alive is destroyed (a running one
// is on the C stack, so the collector never gets here for it).
void Driver::clear() {
    if (state_ == State::running) return;
    state_ = State::finished;
    destroy_frame();
    yielded_ = nullptr;
    for (Object& a : args_) a = nullptr;
}

namespace {

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return at_boundary(
        [&] {
            Step step = driver_of(self).send(arg);
            *out = step.value.release();
            return step.finished ? PYGEN_RETURN : PYGEN_NEXT;
        },
        PYGEN_ERROR);
}

// A finished step as the method-call protocol reports it: StopIteration(value).
PyObject* yielded_or_stop(Step step) {
    if (!step.finished) return step.value.release();
    if (step.value.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
    } else {
        // Wrapped in an instance so a tuple or an exception as the value survives.
        Object stop = Object::steal(PyObject_CallOneArg(PyExc_StopIteration, step.value.get()));
        PyErr_SetObject(PyExc_StopIteration, stop.get());
    }
    return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    return at_boundary([&] { return yielded_or_stop(driver_of(self).send(arg)); }, static_cast<PyObject*>(nullptr));
}

PyObject* coro_iternext(PyObject* self) { return coro_send(self, Py_None); }

// The exception `raise typ(val)` makes, as the interpreter normalises a
// thrown class and value: an instance of typ as it is, a tuple as arguments.
Object instantiate(PyObject* typ, PyObject* val) {
    if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) return Object::borrow(val);
    Object exception = !val || val == Py_None ? Object::steal(PyObject_CallNoArgs(typ))
                       : PyTuple_Check(val)   ? Object::steal(PyObject_Call(typ, val, nullptr))
                                              : Object::steal(PyObject_CallOneArg(typ, val));
    if (!PyExceptionInstance_Check(exception.get())) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", typ,
                     exception.type()->tp_name);
        throw_error();
    }
    return exception;
}

// throw(typ[, val[, tb]]) with the interpreter's own argument rules.
PyError thrown_error(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s%d argument%s, got %zd", nargs < 1 ? "at least " : "at most ",
                     nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
        throw_error();
    }
    if constexpr (compat::py312) {
        if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                      "the (type, exc, tb) signature of throw() is deprecated, "
                                      "use the single-arg signature instead.",
                                      1) < 0)
            throw_error();
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
    if (tb && !PyTraceBack_Check(tb)) raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    Object exception;
    if (PyExceptionClass_Check(typ)) {
        exception = instantiate(typ, val);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
        exception = Object::borrow(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        throw_error();
    }
    if (tb) check(PyException_SetTraceback(exception.get(), tb));
    return PyError(std::move(exception));
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return at_boundary([&] { return yielded_or_stop(driver_of(self).throw_in(thrown_error(args, nargs))); },
                       static_cast<PyObject*>(nullptr));
}

PyObject* coro_close(PyObject* self, PyObject*) {
    return at_boundary(
        [&] {
            driver_of(self).close();
            return Py_NewRef(Py_None);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

void coro_finalize(PyObject* self) { driver_of(self).finalize(self); }

int coro_traverse(PyObject* self, visitproc visit, void* arg) { return driver_of(self).traverse(visit, arg); }

int coro_clear(PyObject* self) {
    driver_of(self).clear();
    return 0;
}

void coro_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<CoroutineObject*>(self);
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    c->driver.~Driver();
    Py_TYPE(self)->tp_free(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", driver_of(self).qualname().get(), self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(driver_of(self).name().get()); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(driver_of(self).qualname().get()); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(driver_of(self).state() == State::running); }
PyObject* get_suspended(PyObject* self, void*) {
    return PyBool_FromLong(driver_of(self).state() == State::suspended);
}
PyObject* get_await(PyObject* self, void*) {
    const Object& d = driver_of(self).delegate();
    return Py_NewRef(d ? d.get() : Py_None);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", none_getter, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coro_async = {coro_await, nullptr, nullptr, coro_am_send};

PyTypeObject coroutine_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "quorvel_master.business_layer.packages.package_index_client.native_coroutine";
    t.tp_basicsize = sizeof(CoroutineObject);
    t.tp_dealloc = coro_dealloc;
    t.tp_as_async = &coro_async;
    t.tp_repr = coro_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "Coroutine object of a native asynchronous method.";
    t.tp_traverse = coro_traverse;
    t.tp_clear = coro_clear;
    t.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
    t.tp_iternext = coro_iternext;
    t.tp_methods = coro_methods;
    t.tp_getset = coro_getset;
    t.tp_finalize = coro_finalize;
    return t;
}();

bool iterable_coroutine(PyObject* generator) {
    Object code = Object::steal(PyObject_GetAttrString(generator, "gi_code"));
    return reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE;
}

// The awaitable protocol of the interpreter's `await`.
Object awaitable_iterator(const Object& o) {
    if (PyCoro_CheckExact(o.get())) return o;
    if (PyGen_CheckExact(o.get()) && iterable_coroutine(o.get())) return o;
    unaryfunc getter = o.type()->tp_as_async ? o.type()->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", o.type()->tp_name);
        throw_error();
    }
    Object it = Object::steal(getter(o.get()));
    if (o.type() == &coroutine_type) return it;
    if (PyCoro_CheckExact(it.get())) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", it.type()->tp_name);
        throw_error();
    }
    return it;
}

}  // namespace

bool PyAwait::start(Driver* driver, std::coroutine_handle<> h) {
    Object it;
    try {
        it = awaitable_iterator(std::exchange(awaitable_, nullptr));  // only the iterator is kept while waiting
    } catch (const PyError& e) {
        error_.emplace(e);
        return false;
    }
    PyObject* value = nullptr;
    PySendResult outcome = PyIter_Send(it.get(), Py_None, &value);
    if (outcome == PYGEN_NEXT) {
        driver->suspend_on(std::move(it), Object::steal_or_null(value), h, this);
        return true;
    }
    if (outcome == PYGEN_RETURN)
        result_ = Object::steal_or_null(value);
    else
        error_.emplace();
    return false;
}

Object lookup_special(const Object& obj, PyObject* name, const char* missing_message) {
    PyObject* descr = _PyType_Lookup(obj.type(), name);
    if (!descr) {
        PyErr_Format(PyExc_TypeError, missing_message, obj.type()->tp_name);
        throw_error();
    }
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (!get) return Object::borrow(descr);
    return Object::steal(get(descr, obj.get(), reinterpret_cast<PyObject*>(obj.type())));
}

Object exit_with(const Object& exit, const Object& exception) {
    PyError error(exception);
    return exit(error.type(), error.value(), error.traceback());
}

Object make_coroutine(AwaitableBody body, Object* args, int nargs, PyObject* name, PyObject* qualname,
                      ResultCheck check_result) {
    auto* c = PyObject_GC_New(CoroutineObject, &coroutine_type);
    if (!c) throw_error();
    c->weakrefs = nullptr;
    new (&c->driver) Driver(name, qualname, check_result);
    Object coroutine = Object::steal(reinterpret_cast<PyObject*>(c));  // from here dealloc cleans up
    c->driver.start(body, args, nargs);
    PyObject_GC_Track(c);
    return coroutine;
}

bool is_native_coroutine(PyObject* obj) { return Py_TYPE(obj) == &coroutine_type; }

void ready_coroutine_type() { check(PyType_Ready(&coroutine_type)); }

}  // namespace pic
