#include "finder/cancellation.hpp"

#include <atomic>
#include <new>
#include <utility>

#include "runtime/boundary.hpp"
#include "runtime/compat.hpp"
#include "runtime/globals.hpp"

namespace pic::finder {

namespace {

struct StoppableCall {
    PyObject_HEAD
    PyObject* fn;
    PyObject* args;
    std::atomic<bool> stopped;
};

// The flag of the stoppable call running on this thread, if any.
thread_local const std::atomic<bool>* current_flag = nullptr;

StoppableCall* as_call(PyObject* self) { return reinterpret_cast<StoppableCall*>(self); }

// Puts a call in this thread's dict for as long as it runs, and puts back
// whatever stood there before (a call made from inside a call).
class Published {
public:
    explicit Published(PyObject* call) {
        PyObject* dict = PyThreadState_GetDict();  // borrowed; null without an error when unavailable
        if (!dict) return;
        dict_ = Object::borrow(dict);
        outer_ = Object::steal_or_null(Py_XNewRef(PyDict_GetItemWithError(dict, key())));
        if (!outer_ && PyErr_Occurred()) throw_error();
        check(PyDict_SetItem(dict, key(), call));
    }
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;
    // Runs with the call's own error (if any) set: that error is kept, and
    // one of putting back is left unraisable rather than replace it.
    ~Published() {
        if (!dict_) return;
        Object pending = Object::steal_or_null(compat::fetch_exception());
        int failed = outer_ ? PyDict_SetItem(dict_.get(), key(), outer_.get()) : PyDict_DelItem(dict_.get(), key());
        if (failed < 0) PyErr_WriteUnraisable(dict_.get());
        if (pending) compat::set_exception(pending.release());
    }

private:
    static PyObject* key() {
        static PyObject* const name = intern(kPublishedCallKey);
        return name;
    }
    Object dict_;
    Object outer_;
};

PyObject* call_call(PyObject* self, PyObject*, PyObject*) {
    StoppableCall* c = as_call(self);
    return at_boundary(
        [&] {
            Published published(self);
            const std::atomic<bool>* outer = std::exchange(current_flag, &c->stopped);
            PyObject* result = PyObject_Call(c->fn, c->args, nullptr);
            current_flag = outer;
            return result;
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* call_stopped(PyObject* self, void*) { return Py_NewRef(as_call(self)->stopped.load() ? Py_True : Py_False); }

PyGetSetDef call_getset[] = {
    {"stopped", call_stopped, nullptr, "Whether the awaiting coroutine was left and the call should give up.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int call_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_call(self)->fn);
    Py_VISIT(as_call(self)->args);
    return 0;
}

int call_clear(PyObject* self) {
    Py_CLEAR(as_call(self)->fn);
    Py_CLEAR(as_call(self)->args);
    return 0;
}

void call_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    call_clear(self);
    as_call(self)->stopped.~atomic();
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject call_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "quorvel_master.business_layer.packages.package_index_client.finder_call";
    t.tp_basicsize = sizeof(StoppableCall);
    t.tp_dealloc = call_dealloc;
    t.tp_call = call_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "A finder call for the executor that its awaiting coroutine can stop.";
    t.tp_traverse = call_traverse;
    t.tp_clear = call_clear;
    t.tp_getset = call_getset;
    return t;
}();

}  // namespace

Object stoppable_call(const Object& fn, const Object& args) {
    // Readied here under the GIL, at first use.
    if (!(call_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&call_type));
    StoppableCall* c = PyObject_GC_New(StoppableCall, &call_type);
    if (!c) throw_error();
    c->fn = Py_NewRef(fn.get());
    c->args = Py_NewRef(args.get());
    new (&c->stopped) std::atomic<bool>(false);
    PyObject_GC_Track(c);
    return Object::steal(reinterpret_cast<PyObject*>(c));
}

void stop(const Object& call) noexcept {
    if (call && Py_IS_TYPE(call.get(), &call_type)) as_call(call.get())->stopped.store(true);
}

void stop_if_cancelled() {
    if (!current_flag || !current_flag->load()) return;
    Object cancelled = global("asyncio"_id).attr("CancelledError"_id);
    PyErr_SetString(cancelled.get(), "the awaiting task was cancelled");
    throw_error();
}

}  // namespace pic::finder
