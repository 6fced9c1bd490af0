"""A dead index is reported fast: once the layer gave up on a host (every
retry spent on failed connections, or a time-out), its next requests fail at
once with the same outcome, for ``dead_host_seconds``."""

from __future__ import annotations

import asyncio
import contextlib
import socket
import time
import types
from concurrent.futures import ThreadPoolExecutor

import pytest

from cli_support import free_port, isolated_env, run_cli
from network_support import settings_for
from quorvel_master.network import Network, context

ROADS = ["json", "finder"]


@pytest.fixture(autouse=True)
def restore_finder(m, monkeypatch):
    monkeypatch.setattr(m, "PackageFinder", m.PackageFinder)


class Clock:
    """The layer's monotonic clock, moved on by the test."""

    def __init__(self) -> None:
        self.ahead = 0.0

    def monotonic(self) -> float:
        return time.monotonic() + self.ahead


@pytest.fixture
def clock(monkeypatch):
    found = Clock()
    monkeypatch.setattr(context, "time", types.SimpleNamespace(monotonic=found.monotonic))
    return found


@contextlib.contextmanager
def index(how):
    """(base URL, connections made so far) of an index that refuses
    connections, or takes them and never answers."""
    if how == "refused":
        yield f"http://127.0.0.1:{free_port()}", None
        return
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    taken = []

    def connections():
        # The kernel completes each connection; nobody ever answers it.
        listener.setblocking(False)
        with contextlib.suppress(BlockingIOError):
            while True:
                taken.append(listener.accept()[0])
        return len(taken)

    try:
        yield f"http://127.0.0.1:{listener.getsockname()[1]}", connections
    finally:
        for conn in taken:
            conn.close()
        listener.close()


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("how, retries, seconds, expected", [
    ("refused", 2, 30, [("refused", 3), ("refused", 0), ("refused", 3)]),
    ("refused", 0, 30, [("refused", 1), ("refused", 0), ("refused", 1)]),
    ("silent", 2, 30, [("timeout", 1), ("timeout", 0), ("timeout", 1)]),   # a time-out is not retried
    ("refused", 2, 0, [("refused", 3), ("refused", 3), ("refused", 3)]),   # off
])
def test_a_host_given_up_on_fails_at_once_for_a_while(road, how, retries, seconds, expected, clock):
    with index(how) as (base, connections):
        network = Network(retries=retries, backoff=0.01, timeout=0.5, dead_host_seconds=seconds)
        pattern = base + "/pypi/{package_name}/{version}/json" if road == "json" else None

        async def go():
            client = network.client(settings_for(base + "/simple", pattern))
            try:
                answers = [await client.get_versions("demo"), await client.get_versions("other")]
                clock.ahead += seconds + 1
                return answers + [await client.get_versions("demo")]
            finally:
                await client.close()

        assert asyncio.run(go()) == [[], [], []]
        assert [(o.kind, o.attempts) for o in network.outcomes.all()] == expected
        if connections is not None:
            assert connections() == sum(attempts for _, attempts in expected)
    failure = network.outcomes.failures()[base + "/simple"]
    assert failure.reason == ("connection refused" if how == "refused" else "timed out")


def cli_args(base, road):
    args = ["--index-url", base + "/simple"]
    if road == "json":
        args += ["--api-pattern", f"{base}/simple={base}/pypi/{{package_name}}/{{version}}/json"]
    return args


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("command", [["deps", "demo", "1.0"], ["extras", "demo", "1.0"]])
def test_pkgindex_asks_a_silent_index_once(tmp_path, road, command):
    """deps and extras ask twice (the answer, then why it is empty): the
    second time the index that timed out is not asked again."""
    with index("silent") as (base, connections):
        result = run_cli(*command, "--timeout", "0.5", *cli_args(base, road), env=isolated_env(tmp_path),
                         cwd=tmp_path)
        assert result.rc == 3, result
        assert result.err == f"pkgindex: could not read {base}/simple: timed out\n"
        assert connections() == 1


def test_a_refusing_index_costs_deps_no_more_than_versions(tmp_path):
    """With pip's five retries, both in the same run: deps used to take two
    whole retry sequences."""
    base = f"http://127.0.0.1:{free_port()}"
    env = isolated_env(tmp_path)

    def run(*command):
        return run_cli(*command, "--retries", "5", *cli_args(base, "finder"), env=env, cwd=tmp_path)

    with ThreadPoolExecutor(2) as pool:
        versions, deps = pool.map(lambda command: run(*command), [["versions", "demo"], ["deps", "demo", "1.0"]])
    for result in (versions, deps):
        assert result.rc == 3 and result.err == f"pkgindex: could not read {base}/simple: connection refused\n"
    # The retries' waits are jittered (half to all of each); the margin covers that and the start-up.
    assert deps.seconds <= versions.seconds * 1.5 + 0.5, (versions.seconds, deps.seconds)
