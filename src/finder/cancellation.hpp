// Stopping finder work that runs in the loop's executor.
//
// A worker thread cannot be interrupted from outside. So the coroutine that
// awaits a finder call hands the executor a `stoppable_call` and holds a
// `StopOnExit` for as long as it waits: when the coroutine is left early (its
// task cancelled, the coroutine closed or dropped) the call's flag goes up,
// and the finder's long loops (a wheel download) check it between steps and
// give up. Nobody awaits the call's result any more by then.
//
// Python code running inside the call (a host's HTTP transport waiting to
// retry, say) reads the same flag: for the duration of the call, the call
// object stands in the interpreter's per-thread dict under
// `kPublishedCallKey`, with a read-only `stopped` attribute;
// quorvel_master._native.finder_call_stopped() reads it. Nothing is added to
// the client module's namespace.
#pragma once

#include "runtime/ref.hpp"

namespace pic::finder {

// The key of the running call in PyThreadState_GetDict().
inline constexpr char kPublishedCallKey[] = "quorvel_master.finder_call";

// A callable for run_in_executor: fn(*args), with the call's flag visible to
// `stop_if_cancelled` on the thread that runs it.
Object stoppable_call(const Object& fn, const Object& args);

// Raises the flag of a call made by `stoppable_call`.
void stop(const Object& call) noexcept;

// On the thread running a stoppable call whose flag is up: raises
// asyncio.CancelledError (not an Exception: no handler of the module catches
// it). Does nothing elsewhere, so the finder methods called directly run on.
void stop_if_cancelled();

// Borrows the call, which the awaiting frame keeps (as a Local) for longer.
class StopOnExit {
public:
    explicit StopOnExit(const Object& call) : call_(call) {}
    StopOnExit(const StopOnExit&) = delete;
    StopOnExit& operator=(const StopOnExit&) = delete;
    // Also after a normal return, when the worker has finished anyway.
    ~StopOnExit() { stop(call_); }

private:
    const Object& call_;
};

}  // namespace pic::finder
