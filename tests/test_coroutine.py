"""The native coroutine objects of the awaitable methods, against the protocol of
Python coroutines and under real asyncio scheduling.

`close()` awaits `self._session.close()`; giving the client a stand-in session
whose `close()` returns a scripted awaitable lets the tests see exactly what
the coroutine forwards to the object it awaits.
"""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import sys
import warnings
import weakref

import aiohttp
import pytest

from conftest import arrived
from quorvel_master.sampleindex.server import IndexServer


class Scripted:
    """Awaitable whose iterator yields `yields` times, then returns `result`.

    `on_throw` decides what its throw() does: "raise" (let the exception out),
    "return" (finish with "recovered"), or "yield" (yield "again").
    """

    def __init__(self, yields=1, result="done", on_throw="raise", has_throw=True, ticks=True):
        self.yields, self.result, self.on_throw = yields, result, on_throw
        self.events = []
        self.has_throw = has_throw
        self.ticks = ticks  # False: bare yields (None), as asyncio expects

    def __await__(self):
        return ScriptedIterator(self) if self.has_throw else IteratorWithoutThrow(self)


class IteratorWithoutThrow:
    def __init__(self, owner):
        self.owner = owner
        self.left = owner.yields

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.owner.events.append(("send", value))
        if self.left:
            self.left -= 1
            return f"tick{self.left}" if self.owner.ticks else None
        raise StopIteration(self.owner.result)

    def close(self):
        self.owner.events.append(("close", None))


class ScriptedIterator(IteratorWithoutThrow):
    def throw(self, exc, *rest):
        self.owner.events.append(("throw", type(exc).__name__))
        if self.owner.on_throw == "yield":
            return "again"
        if self.owner.on_throw == "return":
            raise StopIteration("recovered")
        raise exc


class StandInSession:
    closed = False

    def __init__(self, awaitable):
        self.awaitable = awaitable

    def close(self):
        return self.awaitable


def closing(m, awaitable):
    client = m.PackageIndexClient(None)
    client._session = StandInSession(awaitable)
    return client.close()


def test_is_a_coroutine_to_asyncio(m):
    coro = closing(m, Scripted(yields=0))
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert coro.__qualname__ == "PackageIndexClient.close" and coro.__name__ == "close"
    assert coro.__await__() is coro
    assert repr(coro).startswith("<coroutine object PackageIndexClient.close at ")
    coro.close()


def test_send_reaches_the_awaited_object(m):
    script = Scripted(yields=2)
    coro = closing(m, script)
    assert coro.send(None) == "tick1"
    assert coro.cr_await is not None
    assert coro.send("hello") == "tick0"
    with pytest.raises(StopIteration) as info:
        coro.send(42)
    assert info.value.value is None  # close() returns None
    assert script.events == [("send", None), ("send", "hello"), ("send", 42)]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


@pytest.mark.parametrize("on_throw,outcome", [
    ("raise", "ValueError"),      # the awaited object lets it out: the coroutine ends with it
    ("return", "StopIteration"),  # the awaited object recovers: the coroutine goes on and finishes
    ("yield", "again"),           # the awaited object yields again: so does the coroutine
])
def test_throw_goes_to_the_awaited_object_first(m, on_throw, outcome):
    script = Scripted(yields=1, on_throw=on_throw)
    coro = closing(m, script)
    coro.send(None)
    try:
        result = coro.throw(ValueError("boom"))
    except (ValueError, StopIteration) as e:
        result = type(e).__name__
    assert result == outcome
    assert ("throw", "ValueError") in script.events
    coro.close()


def test_throw_into_an_awaited_object_without_throw(m):
    script = Scripted(yields=1, has_throw=False)
    coro = closing(m, script)
    coro.send(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError("k"))
    assert [e for e in script.events if e[0] == "throw"] == []


@pytest.mark.parametrize("args", [
    (ValueError,), (ValueError, "text"), (ValueError("inst"),), (ValueError, ValueError("v"), None),
])
def test_throw_argument_forms(m, args):
    # and the same warnings as a Python coroutine (3.12 and later deprecate
    # the forms with more than one argument)
    async def peer():
        await Scripted(yields=1)

    def warned(coro):
        coro.send(None)
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            with pytest.raises(ValueError):
                coro.throw(*args)
        return [(w.category, str(w.message)) for w in seen]

    assert warned(closing(m, Scripted(yields=1))) == warned(peer())


@pytest.mark.parametrize("args,message", [
    ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
    ((ValueError("x"), "v"), "instance exception may not have a separate value"),
    ((ValueError, None, 3), "throw() third argument must be a traceback object"),
    ((), "throw expected at least 1 argument, got 0"),
    ((ValueError, None, None, None), "throw expected at most 3 arguments, got 4"),
])
@pytest.mark.filterwarnings(r"ignore:the \(type, exc, tb\) signature:DeprecationWarning")  # 3.12 and later
def test_throw_refuses_bad_arguments(m, args, message):
    coro = closing(m, Scripted(yields=1))
    coro.send(None)
    with pytest.raises(TypeError) as info:
        coro.throw(*args)
    assert str(info.value) == message
    coro.close()


def test_close_closes_the_awaited_object_and_finishes(m):
    script = Scripted(yields=3)
    coro = closing(m, script)
    coro.send(None)
    assert coro.close() is None
    assert script.events[-1] == ("close", None)
    assert coro.close() is None  # closing a finished coroutine does nothing
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_close_of_a_coroutine_that_never_started(m):
    coro = closing(m, Scripted())
    assert coro.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_throw_into_a_coroutine_that_never_started(m):
    script = Scripted()
    coro = closing(m, script)
    with pytest.raises(ZeroDivisionError):
        coro.throw(ZeroDivisionError)
    assert script.events == []  # the body never ran


def test_protocol_errors(m):
    coro = closing(m, Scripted(yields=1))
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    coro.close()

    class Reentrant(Scripted):
        def __await__(self):
            it = ScriptedIterator(self)
            original = it.send

            def send(value):
                outer.send(None)  # re-enter the coroutine that awaits us
                return original(value)

            it.send = send
            return it

    outer = closing(m, Reentrant(yields=1))
    with pytest.raises(ValueError, match="coroutine already executing"):
        outer.send(None)


def test_awaiting_a_non_awaitable_is_a_type_error(m):
    coro = closing(m, 42)
    with pytest.raises(TypeError, match="object int can't be used in 'await' expression"):
        coro.send(None)


def test_close_uses_the_awaited_objects_close_not_its_throw(m):
    script = Scripted(yields=1, on_throw="yield")
    coro = closing(m, script)
    coro.send(None)
    assert coro.close() is None
    assert script.events == [("send", None), ("close", None)]


def test_dropped_coroutines_leak_nothing(m):
    script = Scripted(yields=5)
    client = m.PackageIndexClient(None)
    client._session = StandInSession(script)
    base = sys.getrefcount(client)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for _ in range(200):
            client.close()  # dropped before it runs
    for _ in range(200):
        coro = client.close()
        coro.send(None)
        ref = weakref.ref(coro.cr_await)
        del coro  # dropped while it waits: finalised by closing
        assert ref() is None
    gc.collect()
    assert sys.getrefcount(client) == base


def test_never_awaited_warning(m):
    with pytest.warns(RuntimeWarning, match="coroutine 'PackageIndexClient.close' was never awaited"):
        closing(m, Scripted())
        gc.collect()


@pytest.fixture(scope="module")
def hanging_server():
    with IndexServer() as server:
        server.hang("/hang")
        yield server


def test_asyncio_scheduling(m):
    async def main():
        results = await asyncio.gather(
            closing(m, Scripted(yields=3, ticks=False)),
            asyncio.create_task(closing(m, Scripted(yields=1, ticks=False))),
            asyncio.wait_for(closing(m, Scripted(yields=0)), 5),
        )
        assert results == [None, None, None]

    # bare yields (None) from the awaited object are ticks the task steps through
    class Ticks(Scripted):
        def __await__(self):
            for _ in range(3):
                yield None
            return "ok"

    async def ticks():
        assert await closing(m, Ticks()) is None

    asyncio.run(main())
    asyncio.run(ticks())


def test_cancel_while_awaiting_a_real_request(m, hanging_server):
    async def main():
        async with aiohttp.ClientSession() as session:
            before = hanging_server.hits("/hang")
            request = session.get(hanging_server.url + "/hang")
            task = asyncio.create_task(closing(m, request))
            await arrived(hanging_server, "/hang", before + 1)
            assert hanging_server.hits("/hang") == before + 1
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert task.cancelled()
            # the session works on after the cancellation
            async with session.get(hanging_server.url + "/simple/") as response:
                assert response.status == 200

    asyncio.run(main())


def test_wait_for_times_out_through_the_native_coroutine(m, hanging_server):
    # The time-out must find the request sent; on a slow machine it may fire
    # before, so it grows until the server has seen the request.
    async def main():
        async with aiohttp.ClientSession() as session:
            for timeout in (0.2, 0.8, 3.2, 12.8):
                before = hanging_server.hits("/hang")
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(closing(m, session.get(hanging_server.url + "/hang")), timeout)
                if await asyncio.to_thread(hanging_server.wait_for_hits, "/hang", before + 1, 1.0):
                    return
            pytest.fail("no request reached the server before its time-out")

    asyncio.run(main())
