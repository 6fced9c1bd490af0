"""Wheels read by range requests answer offline: the layer keeps each range
answer under the file, the range and the file's version, so an offline run
answers what the online run before it answered."""

from __future__ import annotations

import asyncio

import pytest

from cli_support import isolated_env, run_cli
from network_support import settings_for
from quorvel_master.network import Network

REQUIRES = ["idna>=2", "six; extra == 'socks'"]


@pytest.fixture(autouse=True)
def restore_finder(m, monkeypatch):
    monkeypatch.setattr(m, "PackageFinder", m.PackageFinder)


@pytest.mark.parametrize("ranges", [True, False], ids=["ranges", "ranges-ignored"])
def test_offline_reads_the_wheel_the_online_run_read(srv, tmp_path, ranges):
    srv.ranges = ranges
    srv.add_project("demo", {"1.0": {"requires_dist": REQUIRES}}, metadata_files=False)

    async def ask(network):
        client = network.client(settings_for(srv.simple_url, None))
        try:
            return await client.get_dependencies("demo", "1.0"), await client.get_extras("demo", "1.0")
        finally:
            await client.close()

    online = asyncio.run(ask(Network(retries=0, cache_dir=tmp_path)))
    files = [r for r in srv.requests if r.path.startswith("/files/")]
    assert files and all(r.status == (206 if ranges else 200) for r in files)
    assert [d["name"] for d in online[0]] == ["idna", "six"] and online[1] == ["socks"]
    asked = len(srv.requests)
    offline = Network(cache_dir=tmp_path, mode="offline")
    assert asyncio.run(ask(offline)) == online
    assert len(srv.requests) == asked
    assert not offline.outcomes.failures()


def test_pkgindex_deps_offline_after_an_online_run(srv, tmp_path):
    srv.add_project("demo", {"1.0": {"requires_dist": REQUIRES}}, metadata_files=False)
    env = isolated_env(tmp_path)
    args = ["demo", "1.0", "--json", "--index-url", srv.simple_url]
    online = [run_cli(command, *args, env=env, cwd=tmp_path) for command in ("deps", "extras")]
    assert [r.rc for r in online] == [0, 0], online
    assert any(r.status == 206 for r in srv.requests)
    asked = len(srv.requests)
    offline = [run_cli(command, *args, "--offline", env=env, cwd=tmp_path) for command in ("deps", "extras")]
    assert [(r.rc, r.json(), r.err) for r in offline] == [(0, r.json(), "") for r in online]
    assert len(srv.requests) == asked
