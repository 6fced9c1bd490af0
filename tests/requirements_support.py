"""Shared pieces of the dependency and extras tests: the three local indexes
of conftest as primary and secondaries, a pypiserver over built wheels."""

from __future__ import annotations

import asyncio
import contextlib
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

from conftest import refused_port

# Requirement strings as projects publish them, with the records they give.
REAL_WORLD = [
    ("charset-normalizer<4,>=2", ("charset-normalizer", "<4,>=2", [], "")),
    ("urllib3 (<3,>=1.21.1)", ("urllib3", "(<3,>=1.21.1)", [], "")),
    ('PySocks!=1.5.7,>=1.5.6; extra == "socks"', ("PySocks", "!=1.5.7,>=1.5.6", [], 'extra == "socks"')),
    ('importlib-metadata (>=1.7.0) ; python_version < "3.8"',
     ("importlib-metadata", "(>=1.7.0)", [], 'python_version < "3.8"')),
    ('tomli>=1.1.0; python_version < "3.11" and (os_name == "nt" or implementation_name == "pypy")',
     ("tomli", ">=1.1.0", [], 'python_version < "3.11" and (os_name == "nt" or implementation_name == "pypy")')),
    ('aiohttp[speedups, socks]!=3.9.0,>=3.7.4; sys_platform != "win32" and extra == "d"',
     ("aiohttp", "!=3.9.0,>=3.7.4", ["speedups", "socks"], 'sys_platform != "win32" and extra == "d"')),
    ("coverage[toml] (>=6.5) ; extra == 'test'", ("coverage", "(>=6.5)", ["toml"], "extra == 'test'")),
    ("zipp @ https://files.example.invalid/zipp-3.8.0-py3-none-any.whl",
     ("zipp", "@ https://files.example.invalid/zipp-3.8.0-py3-none-any.whl", [], "")),
]
REAL_REQS = [req for req, _ in REAL_WORLD]


def record(name, version_spec="", extras=(), markers=""):
    return {"name": name, "version_spec": version_spec, "extras": list(extras), "markers": markers}


REAL_RECORDS = [record(*fields) for _, fields in REAL_WORLD]
# The extras those requirement strings are restricted to.
REAL_EXTRAS = ["d", "socks", "test"]


class Indexes:
    """Three local indexes: the client reaches them by their simple URLs."""

    def __init__(self, servers):
        self.primary, self.first, self.second = servers
        self.all = servers

    def reset(self):
        for srv in self.all:
            srv.clear_projects()
            srv.clear_hooks()
            srv.reset_hits()

    def api_list(self, servers=None):
        return [
            {"index_url": srv.simple_url, "api_pattern": srv.json_api_pattern}
            for srv in (self.all if servers is None else servers)
        ]

    def hits(self):
        return [srv.hits() for srv in self.all]


@pytest.fixture
def indexes(index_servers):
    running = Indexes(index_servers)
    running.reset()
    yield running
    running.reset()


def run_with_client(m, scenario):
    """Runs `await scenario(client)` on a new loop and closes the client's session."""

    async def main():
        client = m.PackageIndexClient(object())
        try:
            return await scenario(client)
        finally:
            await client.close()

    return asyncio.run(main())


def closed_port_url():
    return f"http://127.0.0.1:{refused_port()}/simple"


def _start_pypiserver(folder):
    """One try: a pypiserver on a port free a moment ago, or None when that
    port was taken meanwhile (the server died, or another server answered)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen(
        [sys.executable, "-m", "pypiserver", "run", "-p", str(port), "-i", "127.0.0.1",
         "-a", ".", "-P", ".", "--disable-fallback", str(folder)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    url = f"http://127.0.0.1:{port}"
    # Its own root lists the folder's files: the mark that ours answered.
    expected = sorted(path.name for path in Path(folder).iterdir())[:1]
    deadline = time.monotonic() + 30
    while proc.poll() is None and time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(url + "/packages/", timeout=1) as answer:
                body = answer.read().decode("utf-8", "replace")
        except OSError:
            time.sleep(0.1)
            continue
        if all(name in body for name in expected):
            return proc, url
        break
    _stop(proc)
    return None


def _stop(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


@contextlib.contextmanager
def pypiserver(folder):
    """A real pypiserver on 127.0.0.1 over `folder`; yields its base URL
    (simple pages under /simple/, the JSON API at /{package_name}/json)."""
    pytest.importorskip("pypiserver")
    for _ in range(3):
        started = _start_pypiserver(folder)
        if started is not None:
            break
    else:
        raise RuntimeError("pypiserver did not start")
    proc, url = started
    try:
        yield url
    finally:
        _stop(proc)
