"""Reference cycles through suspended native coroutines are collected.

A suspended coroutine keeps its client, its arguments and the locals it holds
across an await; the collector must see all of them, or every cycle through
such a coroutine lives for ever. Each case builds the cycle twice, with the
module's client and with an `async def` peer doing the same steps, drops every
outside reference and counts what a collection leaves alive: both must leave
nothing. The module's method objects are held to the same rule: a cycle through
any field one of them can be given is collected.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import gc
import json
import logging
import subprocess
import sys
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


# -- cycles through the module's method objects --------------------------------

# Each case takes a method off a class (the class would keep it alive for
# ever), closes a cycle through one of its writable fields, drops both and
# collects; a plain function does the same beside it. Run in a child, since the
# method cannot be put back once collected.
METHOD_CYCLE_CHILD = """
import gc, json, sys, warnings, weakref
with warnings.catch_warnings():
    warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
    import quorvel_master.business_layer.packages.package_index_client as m

class Holder:
    pass

def taken_off(cls, name):
    function = cls.__dict__[name]
    delattr(cls, name)
    return function

def peer():
    def function():
        pass
    return function

def left_alive(function, field):
    holder = Holder()
    holder.function = function
    # a Python function takes only a dict as its annotations
    setattr(function, field, {"kept": holder} if field == "__annotations__" else holder)
    alive = weakref.ref(holder)
    del function, holder
    gc.collect()
    return alive() is not None

report = {}
for field, method in json.loads(sys.argv[1]).items():
    report[field] = [left_alive(taken_off(m.PackageIndexClient, method), field), left_alive(peer(), field)]
print(json.dumps(report))
"""

# the writable field -> the method taken for it (any; each case uses its own)
METHOD_FIELDS = {
    "__module__": "_normalize_name",
    "__doc__": "_normalize_url",
    "__annotations__": "clear_distributions_cache",
    "attribute": "_get_pip_settings",  # lives in the function's __dict__
}


@pytest.fixture(scope="module")
def method_cycles(tmp_path_factory):
    # run outside the source tree, whose package has no built extension
    out = subprocess.run([sys.executable, "-c", METHOD_CYCLE_CHILD, json.dumps(METHOD_FIELDS)],
                         capture_output=True, text=True, timeout=60, cwd=tmp_path_factory.mktemp("child"))
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


@pytest.mark.parametrize("field", METHOD_FIELDS)
def test_cycle_through_a_method_field_is_collected(method_cycles, field):
    native, peer = method_cycles[field]
    assert (native, peer) == (False, False)


def test_every_method_field_is_seen_by_the_collector(m):
    """What the collector visits of a method (gc.get_referents) holds every
    object the method keeps, read-only fields included."""
    method = m.PackageIndexClient.get_versions
    kept = [getattr(method, name) for name in
            ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__code__",
             "__defaults__", "__dict__")]
    seen = {id(o) for o in gc.get_referents(method)}
    assert [o for o in kept if o is not None and id(o) not in seen] == []
