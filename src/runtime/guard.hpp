// The guard of every operation that turns a failure into its empty answer:
//
//     try:
//         return body()
//     except Exception as e:
//         return failed(e)      # a log line and the empty answer, as a rule
//
// Only subclasses of Exception are caught: cancellation, GeneratorExit and
// KeyboardInterrupt always pass through.
#pragma once

#include "runtime/coroutine.hpp"
#include "runtime/ref.hpp"

namespace pic {

template <class Body, class Failed>
auto guarded(Body&& body, Failed&& failed) -> decltype(body()) {
    try {
        return body();
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        return failed(e);
    }
}

// The same around an awaited body: `body()` gives the Task to await.
template <class Body, class Failed>
Task<Object> guarded_await(Body body, Failed failed) {
    try {
        Object answer = co_await body();
        co_return answer;
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;
        co_return failed(e);
    }
}

}  // namespace pic
