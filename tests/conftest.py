"""Fixtures shared by the test modules."""

from __future__ import annotations

import asyncio
import contextlib
import copy
import logging
import os
import socket
import types
import warnings

import pytest
from hypothesis import HealthCheck, settings

with warnings.catch_warnings():
    # Under any interpreter but 3.11 the module warns as it is imported
    # (test_module.py checks the text); the suite goes on from there.
    warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
    import quorvel_master.business_layer.packages.package_index_client as pic
from quorvel_master.sampleindex import IndexServer

# Hypothesis: the default profile for every run; HYPOTHESIS_PROFILE=long for
# a deep run of 100,000 examples per property.
settings.register_profile("default", max_examples=200, deadline=None)
settings.register_profile(
    "long", max_examples=100_000, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


class LogRecorder:
    """Stands in for the module logger: keeps (level, message) pairs in order."""

    def __init__(self) -> None:
        self.records: list[tuple[str, str]] = []

    def _record(level):
        def method(self, message, *args, **kwargs):
            assert not args and not kwargs, "the module logs one finished message"
            assert type(message) is str
            self.records.append((level, message))

        return method

    debug = _record("debug")
    info = _record("info")
    warning = _record("warning")
    error = _record("error")
    del _record

    def messages(self, level: str | None = None) -> list[str]:
        return [m for lv, m in self.records if level is None or lv == level]

    def clear(self) -> None:
        self.records.clear()


@pytest.fixture
def m():
    return pic


@pytest.fixture
def log(monkeypatch):
    recorder = LogRecorder()
    monkeypatch.setattr(pic, "logger", recorder)
    return recorder


class FixedSettings:
    """Host settings as plain objects, handed out afresh (deep copies) per call.

    Unlike the host's settings manager it accepts any shape, so tests can give
    two primaries, missing keys or wrong types.
    """

    def __init__(self, settings=None, api_list=None) -> None:
        self.settings = settings
        self.api_list = [] if api_list is None else api_list
        self.settings_calls = 0
        self.api_calls = 0

    def get_pip_settings(self, manager):
        self.settings_calls += 1
        return copy.deepcopy(self.settings)

    def get_pip_api_list(self, manager):
        self.api_calls += 1
        return copy.deepcopy(self.api_list)


@pytest.fixture
def fixed_settings(monkeypatch):
    """Replaces the module's settings accessors; returns a FixedSettings to fill in."""
    fixed = FixedSettings()
    monkeypatch.setattr(pic, "get_pip_settings", fixed.get_pip_settings)
    monkeypatch.setattr(pic, "get_pip_api_list", fixed.get_pip_api_list)
    return fixed


_held_ports: list[socket.socket] = []


def refused_port() -> int:
    """A loopback port on which connections are refused: bound but never
    listening, and held until the process ends, so that no server of this
    test run (another worker's included) can take it meanwhile."""
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    _held_ports.append(holder)
    return holder.getsockname()[1]


def run(coro):
    """Runs one coroutine on a fresh event loop."""
    return asyncio.run(coro)


async def arrived(server, path=None, count=1):
    """Waits, with the loop running on, until the server has seen *count*
    requests for *path* (or in total); fails the test after half a minute."""
    assert await asyncio.to_thread(server.wait_for_hits, path, count), (
        f"the server never saw {count} request(s) for {path or 'any path'}")


async def cancel_on_arrival(server, path, awaitable):
    """Runs *awaitable* as a task, cancels it once *server* has seen a request
    for *path*, and checks that the cancellation comes out of it."""
    task = asyncio.ensure_future(awaitable)
    await arrived(server, path)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


def call(client, method, *args, **kwargs):
    """Awaits one method of the client on a fresh event loop, then closes its session."""

    async def go():
        try:
            return await getattr(client, method)(*args, **kwargs)
        finally:
            await client.close()

    return run(go())


def call_cancelled(client, server, path, method, *args):
    """Calls one method of the client on a fresh event loop, cancels it once
    *server* has seen a request for *path* (cancel_on_arrival), then closes
    the client's session."""

    async def go():
        try:
            await cancel_on_arrival(server, path, getattr(client, method)(*args))
        finally:
            await client.close()

    run(go())


def walk_settings(fixed, base, entries, use_secondary, *, slash="", pattern="/pypi/{package_name}/json"):
    """Settings for a walk over the indexes A, B, C and P, each under /X/ of
    *base* with its JSON API at /X/*pattern*; *entries* are the configured
    (name, primary) pairs, a false primary leaving the key out. Returns the
    index URLs by name."""
    urls = {n: f"{base}/{n}/simple{slash}" for n in "ABCP"}
    fixed.settings = {
        "index_urls": [{"url": urls[n], "primary": p} if p else {"url": urls[n]} for n, p in entries],
        "use_secondary_urls": use_secondary,
    }
    fixed.api_list = [{"index_url": urls[n], "api_pattern": f"{base}/{n}{pattern}"} for n in "ABCP"]
    return urls


# -- local index servers ---------------------------------------------------------

def reset_server(server):
    server.clear_hooks()
    server.clear_projects()
    server.reset_hits()
    server.ranges = True


@pytest.fixture(scope="session")
def index_servers():
    """Three local index servers (IndexServer) for the whole session; each test
    resets the ones it uses."""
    with contextlib.ExitStack() as stack:
        yield [stack.enter_context(IndexServer()) for _ in range(3)]


def _fresh(server):
    reset_server(server)
    yield server
    reset_server(server)


@pytest.fixture
def srv(index_servers):
    """A local index server with no projects, hooks or recorded requests."""
    yield from _fresh(index_servers[0])


@pytest.fixture
def other(index_servers):
    """A second index server like srv, on another port: another origin."""
    yield from _fresh(index_servers[1])


@pytest.fixture
def quiet_unearth():
    """Silences unearth's logger: its warnings would be kept, tracebacks and
    all, by the test's log capture, with the sessions they mention, so that
    only the references under test count."""
    unearth_log = logging.getLogger("unearth")
    level = unearth_log.level
    unearth_log.setLevel(logging.CRITICAL + 1)
    yield
    unearth_log.setLevel(level)


@pytest.fixture
def short_timeout(m, monkeypatch):
    """Puts an `aiohttp` stand-in in the module whose ClientTimeout gives a
    0.3-second total; returns the keyword arguments the module asked it for."""
    real = m.aiohttp
    asked = []

    def client_timeout(**kwargs):
        asked.append(kwargs)
        return real.ClientTimeout(total=0.3)

    monkeypatch.setattr(
        m, "aiohttp", types.SimpleNamespace(ClientTimeout=client_timeout, ClientSession=real.ClientSession)
    )
    return asked
