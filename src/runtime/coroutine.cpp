#include "runtime/coroutine.hpp"

#include <new>

namespace pic {

namespace {

using RootHandle = Task<Object>::Handle;

enum class State : unsigned char { created, suspended, running, finished };

}  // namespace

struct CoroutineObject {
    PyObject_HEAD
    RootHandle root;                 // the method body; null once destroyed
    std::coroutine_handle<> current; // innermost frame, waiting on `delegate`
    PyAwait* pending;                // the await expression that `delegate` will answer
    PyObject* delegate;              // iterator being awaited, like `yield from`
    PyObject* yielded;               // value to hand to the caller on suspension
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    ResultCheck check_result;
    State state;

    void suspend_on(PyObject* iterator, PyObject* value, std::coroutine_handle<> h, PyAwait* awaiter) {
        delegate = iterator;
        yielded = value;
        current = h;
        pending = awaiter;
    }
};

namespace {

extern PyTypeObject coroutine_type;

CoroutineObject* as_coro(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

void destroy_frame(CoroutineObject* c) {
    if (c->root) {
        auto root = std::exchange(c->root, RootHandle{});
        root.destroy();
    }
    c->current = {};
    c->pending = nullptr;
    Py_CLEAR(c->delegate);
}

void set_stop_iteration(PyObject* value) {
    // Wrap in an instance so a tuple or an exception as the value survives.
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) {
        PyErr_SetObject(PyExc_StopIteration, exc);
        Py_DECREF(exc);
    }
}

PySendResult finish(CoroutineObject* c, PyObject** out) {
    c->state = State::finished;
    auto& promise = c->root.promise();
    if (promise.error) {
        PyError error = python_error(promise.error);
        destroy_frame(c);
        if (error.matches(PyExc_StopIteration)) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            return PYGEN_ERROR;
        }
        error.restore();
        return PYGEN_ERROR;
    }
    Object result = std::move(*promise.value);
    destroy_frame(c);
    if (c->check_result) {
        try {
            c->check_result(result);
        } catch (const PyError& e) {
            e.restore();
            return PYGEN_ERROR;
        }
    }
    *out = result.release();
    return PYGEN_RETURN;
}

// Resumes C++ code until it finishes or waits on a Python iterator that yielded.
PySendResult run(CoroutineObject* c, std::coroutine_handle<> h, PyObject** out) {
    h.resume();
    if (c->root.done()) return finish(c, out);
    c->state = State::suspended;
    *out = std::exchange(c->yielded, nullptr);
    return PYGEN_NEXT;
}

// The delegate answered (returned or raised): hand the answer to the awaiting
// frame and go on.
PySendResult resume_with_delegate_outcome(CoroutineObject* c, PySendResult r, PyObject* value, PyObject** out) {
    if (r == PYGEN_NEXT) {
        c->state = State::suspended;
        *out = value;
        return PYGEN_NEXT;
    }
    Py_CLEAR(c->delegate);
    if (r == PYGEN_RETURN)
        c->pending->deliver(Object::steal_or_null(value));
    else
        c->pending->deliver_error(PyError());
    return run(c, c->current, out);
}

PySendResult coro_send(PyObject* self, PyObject* arg, PyObject** out) {
    CoroutineObject* c = as_coro(self);
    switch (c->state) {
        case State::running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case State::finished:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case State::created:
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            c->state = State::running;
            c->root.promise().driver = c;
            return run(c, c->root, out);
        case State::suspended:
            break;
    }
    c->state = State::running;
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(c->delegate, arg, &value);
    return resume_with_delegate_outcome(c, r, value, out);
}

// CPython's rule for closing a sub-iterator: close() when it has one.
bool close_iterator(PyObject* it) {
    PyObject* close = nullptr;
    if (_PyObject_LookupAttr(it, "close"_id, &close) < 0) PyErr_WriteUnraisable(it);
    if (!close) return true;
    PyObject* r = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!r) return false;
    Py_DECREF(r);
    return true;
}

// Raises `error` at the suspension point: the awaited iterator sees it first.
PySendResult coro_throw_error(CoroutineObject* c, const PyError& error, PyObject** out) {
    switch (c->state) {
        case State::running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case State::finished:
            error.restore();
            return PYGEN_ERROR;
        case State::created:
            // Never started: nothing can handle it, so the coroutine ends here.
            c->state = State::finished;
            destroy_frame(c);
            error.restore();
            return PYGEN_ERROR;
        case State::suspended:
            break;
    }
    c->state = State::running;
    PyObject* delegate = c->delegate;
    if (error.matches(PyExc_GeneratorExit)) {
        if (close_iterator(delegate)) {
            Py_CLEAR(c->delegate);
            c->pending->deliver_error(error);
        } else {
            Py_CLEAR(c->delegate);
            c->pending->deliver_error(PyError());
        }
        return run(c, c->current, out);
    }
    PyObject* throw_method = nullptr;
    if (_PyObject_LookupAttr(delegate, "throw"_id, &throw_method) < 0) {
        Py_CLEAR(c->delegate);
        c->pending->deliver_error(PyError());
        return run(c, c->current, out);
    }
    if (!throw_method) {
        Py_CLEAR(c->delegate);
        c->pending->deliver_error(error);
        return run(c, c->current, out);
    }
    PyObject* value = PyObject_CallOneArg(throw_method, error.value());
    Py_DECREF(throw_method);
    if (value) return resume_with_delegate_outcome(c, PYGEN_NEXT, value, out);
    PyObject* returned = nullptr;
    if (_PyGen_FetchStopIterationValue(&returned) == 0)
        return resume_with_delegate_outcome(c, PYGEN_RETURN, returned, out);
    return resume_with_delegate_outcome(c, PYGEN_ERROR, nullptr, out);
}

// throw(typ[, val[, tb]]) with the interpreter's own argument rules.
bool make_thrown_error(PyObject* typ, PyObject* val, PyObject* tb, std::optional<PyError>& error) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_DECREF(typ);
            Py_XDECREF(val);
            Py_XDECREF(tb);
            return false;
        }
        Py_XDECREF(val);
        val = typ;
        typ = reinterpret_cast<PyObject*>(Py_TYPE(val));
        Py_INCREF(typ);
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        Py_DECREF(typ);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        return false;
    }
    if (!val) {
        Py_DECREF(typ);
        Py_XDECREF(tb);
        return false;  // normalisation failed and left its own error
    }
    if (tb) PyException_SetTraceback(val, tb);
    error.emplace(typ, val, tb);
    Py_DECREF(typ);
    Py_DECREF(val);
    Py_XDECREF(tb);
    return true;
}

PyObject* return_or_raise(PySendResult r, PyObject* value) {
    if (r == PYGEN_NEXT) return value;
    if (r == PYGEN_RETURN) {
        if (value == Py_None)
            PyErr_SetNone(PyExc_StopIteration);
        else
            set_stop_iteration(value);
        Py_DECREF(value);
    }
    return nullptr;
}

PyObject* coro_send_method(PyObject* self, PyObject* arg) {
    PyObject* value = nullptr;
    PySendResult r = coro_send(self, arg, &value);
    return return_or_raise(r, value);
}

PyObject* coro_iternext(PyObject* self) { return coro_send_method(self, Py_None); }

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
    std::optional<PyError> error;
    if (!make_thrown_error(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr, error))
        return nullptr;
    PyObject* value = nullptr;
    PySendResult r = coro_throw_error(as_coro(self), *error, &value);
    return return_or_raise(r, value);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coro(self);
    if (c->state == State::created) {
        c->state = State::finished;
        destroy_frame(c);
        Py_RETURN_NONE;
    }
    if (c->state == State::finished) Py_RETURN_NONE;
    if (c->state == State::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyError exit;
    PyObject* value = nullptr;
    PySendResult r = coro_throw_error(c, exit, &value);
    if (r == PYGEN_NEXT) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(value);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

void coro_finalize(PyObject* self) {
    CoroutineObject* c = as_coro(self);
    if (c->state != State::created && c->state != State::suspended) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (c->state == State::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", c->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject* r = coro_close(self, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(type, value, tb);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coro(self);
    Py_VISIT(c->delegate);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    return 0;
}

int coro_clear(PyObject* self) {
    Py_CLEAR(as_coro(self)->delegate);
    return 0;
}

void coro_dealloc(PyObject* self) {
    CoroutineObject* c = as_coro(self);
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    destroy_frame(c);
    Py_CLEAR(c->yielded);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    Py_TYPE(self)->tp_free(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::running); }
PyObject* get_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_coro(self)->state == State::suspended);
}
PyObject* get_await(PyObject* self, void*) {
    PyObject* d = as_coro(self)->delegate;
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef coro_methods[] = {
    {"send", coro_send_method, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
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
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coro_async = {coro_await, nullptr, nullptr, coro_send};

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

// The awaitable protocol of the interpreter's `await`.
PyObject* awaitable_iterator(PyObject* o) {
    if (PyCoro_CheckExact(o)) return Py_NewRef(o);
    if (PyGen_CheckExact(o)) {
        PyObject* code = PyObject_GetAttrString(o, "gi_code");
        if (!code) return nullptr;
        bool iterable_coroutine = reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable_coroutine) return Py_NewRef(o);
    }
    unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it || Py_TYPE(o) == &coroutine_type) return it;
    if (PyCoro_CheckExact(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

}  // namespace

bool PyAwait::start(CoroutineObject* driver, std::coroutine_handle<> h) {
    PyObject* it = awaitable_iterator(awaitable_.get());
    awaitable_ = nullptr;  // only the iterator is kept while waiting
    if (!it) {
        error_.emplace();
        return false;
    }
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &value);
    if (r == PYGEN_NEXT) {
        driver->suspend_on(it, value, h, this);
        return true;
    }
    Py_DECREF(it);
    if (r == PYGEN_RETURN)
        result_ = Object::steal_or_null(value);
    else
        error_.emplace();
    return false;
}

PyError python_error(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const PyError& e) {
        return e;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return PyError();
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

Object make_coroutine(Task<Object> body, PyObject* name, PyObject* qualname, ResultCheck check_result) {
    auto* c = PyObject_GC_New(CoroutineObject, &coroutine_type);
    if (!c) throw_error();
    c->root = body.release();
    c->current = {};
    c->pending = nullptr;
    c->delegate = nullptr;
    c->yielded = nullptr;
    c->name = Py_NewRef(name);
    c->qualname = Py_NewRef(qualname);
    c->weakrefs = nullptr;
    c->check_result = check_result;
    c->state = State::created;
    PyObject_GC_Track(c);
    return Object::steal(reinterpret_cast<PyObject*>(c));
}

bool is_native_coroutine(PyObject* obj) { return Py_TYPE(obj) == &coroutine_type; }

void ready_coroutine_type() { check(PyType_Ready(&coroutine_type)); }

}  // namespace pic
