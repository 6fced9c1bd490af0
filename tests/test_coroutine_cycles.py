"""Reference cycles through suspended native coroutines are collected.

A suspended coroutine keeps its client, its arguments and the locals it holds
across an await; the collector must see all of them, or every cycle through
such a coroutine lives for ever. Each case builds the cycle twice, with the
module's client and with an `async def` peer doing the same steps, drops every
outside reference and counts what a collection leaves alive: both must leave
nothing.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import gc
import logging
import warnings
import weakref

import aiohttp
import pytest


class Forever:
    """An awaitable that never finishes."""

    def __await__(self):
        while True:
            yield


class StandInSession:
    """A session whose close() and get() hand back awaitables of the test's choosing."""

    closed = False

    def __init__(self, closing=None):
        self.closing = closing

    def close(self):
        return self.closing

    def get(self, url, **kwargs):
        return HangingRequest()


class HangingRequest:
    async def __aenter__(self):
        await Forever()

    async def __aexit__(self, *exc_info):
        return False


class PeerClient:
    """The client's steps written as Python coroutines."""

    def __init__(self, settings_manager):
        self.settings_manager = settings_manager
        self._session = None

    async def _get_session(self):
        if self._session is None or self._session.closed:
            self._session = aiohttp.ClientSession()
        return self._session

    async def close(self):
        if not self._session:
            return None
        if self._session.closed:
            return None
        await self._session.close()

    api_pattern = "http://127.0.0.1:9/pypi/{package_name}/{version}/json"

    async def _get_versions_from_index(self, package_name, index_url):
        api_url = self.api_pattern.replace("{package_name}", package_name).replace("/{version}", "")
        session = await self._get_session()
        async with session.get(api_url, timeout=aiohttp.ClientTimeout(total=10)) as response:
            return list((await response.json())["releases"])

    async def get_versions(self, package_name, index_url=None):
        return await self._get_versions_from_index(package_name, index_url)


def left_alive(build):
    """Calls build(), which returns the objects of a cycle it made and let go
    of; collects; returns how many of them are still alive."""
    with warnings.catch_warnings():
        # sockets and sessions of abandoned requests are reported as they go
        warnings.simplefilter("ignore", ResourceWarning)
        refs = [weakref.ref(o) for o in build()]
        gc.collect()
        gc.collect()
    return sum(r() is not None for r in refs)


def both(m, build):
    return {name: left_alive(functools.partial(build, cls))
            for name, cls in (("async def", PeerClient), ("native", m.PackageIndexClient))}


@pytest.fixture(autouse=True)
def quiet_asyncio(caplog):
    # "Task was destroyed but it is pending!" and unclosed sessions are logged
    # when the abandoned objects go; that is expected here
    caplog.set_level(logging.CRITICAL, logger="asyncio")


def test_client_holding_its_own_pending_close(m):
    def build(cls):
        client = cls(None)
        client._session = StandInSession(Forever())
        client.pending = client.close()
        client.pending.send(None)  # suspended in `await self._session.close()`
        return [client, client.pending]

    assert both(m, build) == {"async def": 0, "native": 0}


def test_session_local_holding_the_coroutine(m, fixed_settings):
    index = "http://127.0.0.1:9/simple"
    fixed_settings.api_list = [{"index_url": index, "api_pattern": PeerClient.api_pattern}]

    def build(cls):
        client = cls(None)
        session = client._session = StandInSession()
        coro = client._get_versions_from_index("pkg", index)
        coro.send(None)  # suspended entering `async with session.get(...)`
        client._session = None  # the session is now only the body's local
        session.coro = coro
        return [session, coro, client]

    assert both(m, build) == {"async def": 0, "native": 0}


def test_future_holding_the_client(m):
    def build(cls):
        loop = asyncio.new_event_loop()
        future = loop.create_future()
        client = cls(None)
        client._session = StandInSession(future)
        client.pending = client.close()
        assert client.pending.send(None) is future  # suspended on the future
        future.add_done_callback(lambda f, client=client: None)
        client._session = None
        loop.close()
        return [client, client.pending, future]

    assert both(m, build) == {"async def": 0, "native": 0}


@pytest.fixture
def hanging_api(srv, fixed_settings, monkeypatch):
    """An index whose JSON API never answers, configured as the primary."""
    srv.hang("/pypi/*")
    fixed_settings.settings = {"index_urls": [{"url": srv.simple_url, "primary": True}], "use_secondary_urls": True}
    fixed_settings.api_list = [{"index_url": srv.simple_url, "api_pattern": srv.json_api_pattern}]
    monkeypatch.setattr(PeerClient, "api_pattern", srv.json_api_pattern)
    return srv


def pending_on_a_closed_loop(server, make_coroutine):
    """Starts the coroutine as a task, lets it send its request, then closes
    the loop under it; returns the task and the loop's objects let go."""
    loop = asyncio.new_event_loop()
    hits = server.hits()
    task = loop.create_task(make_coroutine())

    async def until_asked():
        while server.hits() == hits:
            await asyncio.sleep(0.01)

    loop.run_until_complete(asyncio.wait_for(until_asked(), 5))
    assert not task.done()
    loop.close()
    return task


# Sockets of a closed loop complain as they are collected ("Event loop is closed").
abandoned_sockets = pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")


@abandoned_sockets
def test_pending_task_left_on_a_closed_loop(m, hanging_api):
    def build(cls):
        client = cls(None)
        task = pending_on_a_closed_loop(hanging_api, lambda: client.get_versions("pkg"))
        return [client, task]

    assert both(m, build) == {"async def": 0, "native": 0}


I, N, V = "index_url", "pkg", "1.0"
AWAITABLE_CALLS = [
    ("find_repo_for_package", (N,)),
    ("find_repo_for_package_version", (N, V)),
    ("_package_exists_in_index", (N, I)),
    ("_package_version_exists_in_index", (N, V, I)),
    ("get_versions", (N,)),
    ("_get_versions_from_index", (N, I)),
    ("get_extras", (N, V)),
    ("_get_extras_from_index", (N, V, I)),
    ("get_dependencies", (N, V)),
    ("_get_dependencies_from_index", (N, V, I)),
    ("get_package_info", (N,)),
    ("_get_package_info_from_index", (N, I)),
]


@abandoned_sockets
@pytest.mark.parametrize("method,args", AWAITABLE_CALLS, ids=[c[0] for c in AWAITABLE_CALLS])
def test_every_awaitable_method_suspended_in_a_request_is_collected(m, hanging_api, method, args):
    args = tuple(hanging_api.simple_url if a == I else a for a in args)

    def build():
        client = m.PackageIndexClient(None)
        client.pending = getattr(client, method)(*args)
        task = pending_on_a_closed_loop(hanging_api, lambda: client.pending)
        return [client, task]

    assert left_alive(build) == 0
