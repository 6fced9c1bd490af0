"""Every finder road releases the finder's HTTP session when the call is done.

unearth registers each session's close with atexit, which keeps it (sockets,
SSL context) alive until exit; a finder is built per call, so without the
release a long-running host would gather them without bound.
"""

from __future__ import annotations

import asyncio
import gc
import os

import pytest

from quorvel_master.sampleindex.server import IndexServer


@pytest.fixture(scope="module")
def index():
    with IndexServer() as server:
        server.add_project("demo", {"1.0": {"requires_dist": ["x; extra == 'a'"]}, "2.0": {}})
        yield server


def _live_sessions() -> int:
    from unearth.fetchers.sync import PyPIClient

    gc.collect()
    return sum(1 for o in gc.get_objects() if isinstance(o, PyPIClient))


def _loop_thread_check(client, name, version, url):
    return asyncio.run(client._package_exists_in_index(name, url))


ROADS = {
    "versions": lambda c, n, v, u: c._get_versions_via_unearth(n, u),
    "version exists": lambda c, n, v, u: c._package_version_exists_via_unearth(n, v, u),
    "package exists": _loop_thread_check,
    "extras": lambda c, n, v, u: c._get_extras_via_unearth(n, v, u),
    "dependencies": lambda c, n, v, u: c._get_dependencies_via_unearth(n, v, u),
}


@pytest.mark.parametrize("road", ROADS, ids=list(ROADS))
def test_finder_sessions_are_released(m, index, road, fixed_settings, quiet_unearth):
    client = m.PackageIndexClient(None)
    call = ROADS[road]
    assert call(client, "demo", "1.0", index.simple_url)  # the road really found something
    sessions = _live_sessions()
    fds = len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None
    for version in ["1.0", "9.9"] * 5:  # found and not found
        call(client, "demo", version, index.simple_url)
        call(client, "missing", version, index.simple_url)
    assert _live_sessions() == sessions
    if fds is not None:
        assert len(os.listdir("/proc/self/fd")) <= fds


def test_a_failing_finder_is_released_too(m, index, monkeypatch):
    closed = []

    class Session:
        def close(self):
            closed.append(True)

    class Finder:
        def __init__(self, index_urls):
            self._session = Session()

        def find_all_packages(self, name):
            raise OSError("index unreachable")

    monkeypatch.setattr(m, "PackageFinder", Finder)
    assert m.PackageIndexClient(None)._get_versions_via_unearth("demo", index.simple_url) == []
    assert closed == [True]
