// The request frame shared by the single-index operations.
#pragma once

#include <optional>

#include "finder/cancellation.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/globals.hpp"

namespace pic::index_api {

// session.get(api_url, timeout=aiohttp.ClientTimeout(total=10)), with the
// module global `aiohttp` looked up now.
inline Object session_get(const Object& session, const Object& api_url) {
    static PyObject* const ten = PyLong_FromLong(10);
    Object timeout = global("aiohttp"_id).attr("ClientTimeout"_id)("total"_kw = ten);
    return session.attr("get"_id)(api_url, "timeout"_kw = timeout);
}

// One GET of `api_url` through the client's shared session:
//     session = await self._get_session()
//     async with session.get(api_url, timeout=...) as response: <body(response)>
// The body's result is returned (nullopt: the block was left without one).
template <class Body>
Task<std::optional<Object>> get(const Object& self, const Object& api_url, Body body) {
    Local session = co_await py_await(self.call_method("_get_session"_id));
    Local request = session_get(session, api_url);
    auto answer = co_await async_with(request, std::move(body));
    co_return answer;
}

// await asyncio.get_event_loop().run_in_executor(None, self.<method>, *args)
// The worker's long loops stop when this coroutine is left before the call is
// done (its task cancelled): nobody would wait for their end.
template <class... A>
Task<Object> in_executor(const Object& self, PyObject* method, const A&... args) {
    Local loop = global("asyncio"_id).call_method("get_event_loop"_id);
    Local call = finder::stoppable_call(self.attr(method), tuple(args...));
    finder::StopOnExit stop(call);
    Object result = co_await py_await(loop.call_method("run_in_executor"_id, Py_None, call));
    co_return result;
}

// response.status (aiohttp's name) as a C++ long
inline long response_status(const Object& response) { return response.attr("status"_id).as_long(); }

}  // namespace pic::index_api
