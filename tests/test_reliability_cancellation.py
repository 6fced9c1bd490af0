"""Cancellation at every point where an awaitable method waits: the request
held by the server at the connect, at the headers or in the body, and the
executor road. The awaiting task sees CancelledError, the session keeps no
connection, nothing is left unawaited, and the same client answers the next
query correctly."""

from __future__ import annotations

import asyncio
import gc
import threading
import time
import warnings

import pytest

from reliability_support import StallingServer, tcp_states

OPEN_STATES = {"01", "02"}  # ESTABLISHED, SYN_SENT

# method, its arguments (before the index URL for the single-index ones), what
# the good index answers, and whether it reads the body
SINGLE = [
    ("_get_versions_from_index", ("demo",), ["2.0", "1.0"], True),
    ("_get_extras_from_index", ("demo", "1.0"), {"x"}, True),
    ("_get_dependencies_from_index", ("demo", "1.0"),
     [{"name": "a", "version_spec": "", "extras": [], "markers": "extra == 'x'"}], True),
    ("_get_package_info_from_index", ("demo",), {"name": "demo", "latest_version": "2.0", "summary": "S"}, True),
    ("_package_exists_in_index", ("demo",), True, False),
    ("_package_version_exists_in_index", ("demo", "1.0"), True, False),
]
WALKS = [
    ("get_versions", ("demo",), ["2.0", "1.0"], True),
    ("get_extras", ("demo", "1.0"), ["x"], True),
    ("get_dependencies", ("demo", "1.0"),
     [{"name": "a", "version_spec": "", "extras": [], "markers": "extra == 'x'"}], True),
    ("get_package_info", ("demo",), {"name": "demo", "latest_version": "2.0", "summary": "S"}, True),
    ("find_repo_for_package", ("demo",), "GOOD", False),
    ("find_repo_for_package_version", ("demo", "1.0"), "GOOD", False),
]


@pytest.fixture
def good(srv):
    srv.add_project("demo", {"1.0": {"requires_dist": ["a; extra == 'x'"], "summary": "S"},
                             "2.0": {"summary": "S"}})
    return srv


class Watch:
    """Collects what a run leaves behind: warnings and loop errors."""

    def __init__(self):
        self.loop_errors = []

    def __enter__(self):
        self._warnings = warnings.catch_warnings(record=True)
        self.warnings = self._warnings.__enter__()
        warnings.simplefilter("always")
        return self

    def handler(self, loop, context):
        self.loop_errors.append(context.get("message"))

    def __exit__(self, *exc):
        gc.collect()
        self._warnings.__exit__(*exc)

    def check(self):
        texts = [str(w.message) for w in self.warnings]
        assert not [t for t in texts if "never awaited" in t], texts
        assert self.loop_errors == []


async def wait_until(condition, seconds=30.0):
    """Polls the condition with the loop running on; fails after *seconds*."""
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"not so after {seconds} s: {condition}")
        await asyncio.sleep(0.01)


def awaiting(task):
    """The names of the coroutines the task is suspended in, outermost first
    (the native coroutine shows what it awaits as Python coroutines do)."""
    names, awaited = [], task.get_coro()
    while awaited is not None:
        code = getattr(awaited, "cr_code", None)
        names.append(code.co_name if code else type(awaited).__name__)
        awaited = getattr(awaited, "cr_await", None)
    return names


# Where the task awaits when the request is held at each stage: aiohttp's
# connector, the response's start (the request is sent), the body's reader.
AWAITED_AT = {"connect": "connect", "headers": "start", "body": "_wait"}


def held_at(stall, stage, task):
    """True once the server holds the request at the stage and the task has
    reached its await there."""
    def server_side():
        if stage == "connect":
            return stall.half_open() >= 1
        if stage == "headers":
            return stall.requests_waiting() >= 1
        return stall.answered >= 1
    return lambda: server_side() and AWAITED_AT[stage] in awaiting(task)


def open_client_sockets(stall):
    states = tcp_states(stall.port)
    filler = 1 if stall.stage == "connect" else 0
    return sum(1 for s in states if s in OPEN_STATES) - filler


async def assert_connections_released(client, stall):
    connector = client._session.connector
    assert not connector._acquired
    assert all(not conns for conns in connector._conns.values())
    # A closed transport lets its socket go on a later turn of the loop (on
    # 3.12 wait_for returns before that turn), so the loop must run meanwhile.
    await wait_until(lambda: open_client_sockets(stall) == 0)


def configure(fixed, stall, good):
    stalled = stall.url + "/simple"
    good_index = good.url + "/good/simple"
    fixed.api_list = [
        {"index_url": stalled, "api_pattern": stall.url + "/pypi/{package_name}/{version}/json"},
        {"index_url": good_index, "api_pattern": good.json_api_pattern},
    ]
    return stalled, good_index


def run_cancelled(m, fixed, stall, good, method, args, expected, reads_body, walk, cancel="task"):
    stalled, good_index = configure(fixed, stall, good)
    expected = good_index if expected == "GOOD" else expected
    completes = stall.stage == "body" and not reads_body  # the status alone decides
    client = m.PackageIndexClient(None)

    def request(index):
        if walk:
            fixed.settings = {"index_urls": [{"url": index, "primary": True}, {"url": good_index}],
                              "use_secondary_urls": True}
            return getattr(client, method)(*args)
        return getattr(client, method)(*args, index)

    async def scenario(watch):
        asyncio.get_running_loop().set_exception_handler(watch.handler)
        try:
            if cancel == "task":
                task = asyncio.create_task(request(stalled))
                if completes:
                    assert await asyncio.wait_for(task, 5) == (stalled if walk else True)
                else:
                    await wait_until(held_at(stall, stall.stage, task))
                    assert not task.done()
                    task.cancel()
                    with pytest.raises(asyncio.CancelledError):
                        await task
                    assert task.cancelled()
            elif not completes:
                # The time-out must find the request at the server; on a slow
                # machine it may fire before, so it grows until it does.
                for timeout in (0.3, 1.2, 4.8):
                    with pytest.raises(asyncio.TimeoutError):
                        await asyncio.wait_for(request(stalled), timeout)
                    if stall.requests_waiting():
                        break
                else:
                    pytest.fail("no request reached the server before its time-out")
            if walk:
                # the cancelled walk asked no further index
                assert good.hits() == 0 or completes
            await assert_connections_released(client, stall)
            good.reset_hits()
            assert await request(good_index) == expected
            assert good.hits() >= 1
        finally:
            await client.close()

    with Watch() as watch:
        asyncio.run(scenario(watch))
    watch.check()


STAGES = ["connect", "headers", "body"]


@pytest.mark.parametrize("stage", STAGES)
@pytest.mark.parametrize("method, args, expected, reads_body", SINGLE, ids=[c[0] for c in SINGLE])
def test_single_index_request_cancelled(m, fixed_settings, good, stage, method, args, expected, reads_body):
    with StallingServer(stage) as stall:
        run_cancelled(m, fixed_settings, stall, good, method, args, expected, reads_body, walk=False)


@pytest.mark.parametrize("stage", STAGES)
@pytest.mark.parametrize("method, args, expected, reads_body", WALKS, ids=[c[0] for c in WALKS])
def test_walk_cancelled_in_the_primary_request(m, fixed_settings, good, stage, method, args, expected,
                                              reads_body):
    with StallingServer(stage) as stall:
        run_cancelled(m, fixed_settings, stall, good, method, args, expected, reads_body, walk=True)


@pytest.mark.parametrize("method, args, expected, reads_body", SINGLE + WALKS,
                         ids=[c[0] for c in SINGLE + WALKS])
def test_time_out_of_the_caller(m, fixed_settings, good, method, args, expected, reads_body):
    with StallingServer("headers") as stall:
        run_cancelled(m, fixed_settings, stall, good, method, args, expected, reads_body,
                      walk=method in dict((w[0], w) for w in WALKS), cancel="wait_for")


# -- the executor road ------------------------------------------------------------

class GatedFinder:
    """A finder whose every call waits for the gate; the test holds it shut."""

    gate = threading.Event()
    entered = threading.Event()
    passed = threading.Event()  # a call went through the open gate

    def __init__(self, *, index_urls):
        self.index = index_urls[0]

    def _wait(self):
        GatedFinder.entered.set()
        assert GatedFinder.gate.wait(10)
        GatedFinder.passed.set()

    def find_all_packages(self, name):
        self._wait()
        return iter(())

    def find_best_match(self, requirement):
        self._wait()
        return None


EXECUTOR_ROAD = [
    ("_get_versions_from_index", ("demo",), []),
    ("_get_extras_from_index", ("demo", "1.0"), set()),
    ("_get_dependencies_from_index", ("demo", "1.0"), []),
    ("_get_package_info_from_index", ("demo",), {"error": "Package 'demo' not found at {index}"}),
    ("_package_version_exists_in_index", ("demo", "1.0"), False),
    ("get_versions", ("demo",), []),
    ("get_dependencies", ("demo", "1.0"), []),
]


@pytest.mark.parametrize("method, args, after", EXECUTOR_ROAD, ids=[c[0] for c in EXECUTOR_ROAD])
def test_executor_road_cancelled(m, fixed_settings, log, monkeypatch, method, args, after):
    monkeypatch.setattr(m, "PackageFinder", GatedFinder)
    index = "http://127.0.0.1:9/no-pattern/simple"
    fixed_settings.api_list = []
    fixed_settings.settings = {"index_urls": [{"url": index, "primary": True}], "use_secondary_urls": False}
    walk = not method.startswith("_")
    client = m.PackageIndexClient(None)
    GatedFinder.gate.clear()
    GatedFinder.entered.clear()
    GatedFinder.passed.clear()

    def request():
        return getattr(client, method)(*args) if walk else getattr(client, method)(*args, index)

    async def scenario(watch):
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(watch.handler)
        task = asyncio.create_task(request())
        assert await loop.run_in_executor(None, GatedFinder.entered.wait, 5)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        GatedFinder.gate.set()  # the worker thread finishes; its answer is dropped
        assert await loop.run_in_executor(None, GatedFinder.passed.wait, 10)
        expected = {"error": after["error"].format(index=index)} if isinstance(after, dict) else after
        assert await request() == expected
        await client.close()

    try:
        with Watch() as watch:
            asyncio.run(scenario(watch))
        watch.check()
    finally:
        GatedFinder.gate.set()


# -- close ---------------------------------------------------------------------------

class SlowClosingSession:
    closed = False

    def __init__(self):
        self.started = asyncio.Event()

    async def close(self):
        self.started.set()
        await asyncio.Event().wait()


def test_close_cancelled_while_the_session_closes(m):
    client = m.PackageIndexClient(None)

    async def scenario(watch):
        asyncio.get_running_loop().set_exception_handler(watch.handler)
        session = client._session = SlowClosingSession()
        task = asyncio.create_task(client.close())
        await session.started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert client._session is session
        client._session = None
        real = await client._get_session()
        await client.close()
        assert real.closed

    with Watch() as watch:
        asyncio.run(scenario(watch))
    watch.check()


def test_many_stalled_queries_cancelled_together(m, fixed_settings, good):
    with StallingServer("headers") as stall:
        stalled, good_index = configure(fixed_settings, stall, good)
        client = m.PackageIndexClient(None)

        async def scenario(watch):
            asyncio.get_running_loop().set_exception_handler(watch.handler)
            tasks = [asyncio.create_task(client._get_versions_from_index("demo", stalled)) for _ in range(150)]
            # aiohttp's limit of 100 connections: a hundred requests sent and
            # their tasks awaiting the answer, the others a connection
            await wait_until(lambda: sum("start" in awaiting(t) for t in tasks) >= 100)
            for task in tasks:
                task.cancel()
            results = await asyncio.gather(*tasks, return_exceptions=True)
            assert all(isinstance(r, asyncio.CancelledError) for r in results)
            await assert_connections_released(client, stall)
            assert await client._get_versions_from_index("demo", good_index) == ["2.0", "1.0"]
            await client.close()

        with Watch() as watch:
            asyncio.run(scenario(watch))
        watch.check()
