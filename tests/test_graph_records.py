"""The requirements a run read out of a file, kept under the file's URL and
the hash its page announces: a second run (a new layer over the same cache
folder) asks nothing for them while the page announces the same hash, and
reads the file again otherwise. Against a sample index, by its request log."""

from __future__ import annotations

import asyncio
import types

import pytest

from quorvel_master.graph.remote import IndexMetadata
from quorvel_master.indexdata.pages import read_project_page
from quorvel_master.network import Network, NetworkOptions
from quorvel_master.sampleindex import IndexServer

REQUIRES = ["leaf>=1", "extra-thing; extra == 'x'"]


@pytest.fixture(scope="module")
def index():
    with IndexServer() as server:
        server.add_project("ranged", {"1.0": {"requires_dist": REQUIRES}}, metadata_files=False)
        server.add_project("announced", {"1.0": {"requires_dist": REQUIRES}})
        yield server


def _file(server, name, hashes):
    """The page's file as read, its announced hashes as the case says."""
    async def page():
        network = Network(NetworkOptions(cache=False))
        try:
            return await read_project_page(network, server.simple_url, name)
        finally:
            await network.close()

    found = asyncio.run(page()).files[0]
    announced = dict(found.hashes) if hashes == "page" else hashes
    return types.SimpleNamespace(filename=found.filename, url=found.url, hashes=announced,
                                 core_metadata=found.core_metadata)


def _read(cache_dir, file, **options):
    async def go():
        network = Network(NetworkOptions(cache_dir=cache_dir, retries=0, **options))
        try:
            return await IndexMetadata(network).requirements(None, file)
        finally:
            await network.close()

    return asyncio.run(go())


OTHER = {"sha256": "0" * 64}


@pytest.mark.parametrize("name, first, second, asked_again", [
    ("ranged", "page", "page", False),        # the same hash: no request
    ("announced", "page", "page", False),
    ("ranged", "page", OTHER, True),          # another file behind the URL: read again
    ("announced", "page", OTHER, True),
    ("ranged", {}, {}, True),                 # nothing to go by: read again
    ("ranged", {"md5": "0" * 32}, {"md5": "0" * 32}, True),   # too weak to go by
    ("ranged", OTHER, "page", True),          # kept under the other hash only
])
def test_second_read_asks_nothing_for_the_same_announced_hash(index, tmp_path, name, first, second, asked_again):
    assert _read(tmp_path, _file(index, name, first)) == REQUIRES
    index.reset_hits()
    assert _read(tmp_path, _file(index, name, second)) == REQUIRES
    files = [r for r in index.requests if r.path.startswith("/files/")]
    assert bool(files) is asked_again, [(r.path, r.headers.get("Range")) for r in files]


@pytest.mark.parametrize("mode, asked", [("offline", False), ("refresh", True)])
def test_records_by_mode(index, tmp_path, mode, asked):
    file = _file(index, "ranged", "page")
    assert _read(tmp_path, file) == REQUIRES
    index.reset_hits()
    assert _read(tmp_path, file, mode=mode) == REQUIRES
    assert bool([r for r in index.requests if r.path.startswith("/files/")]) is asked


def test_records_are_kept_per_identity(index, tmp_path):
    file = _file(index, "ranged", "page")
    assert _read(tmp_path, file) == REQUIRES
    index.reset_hits()
    with_credentials = types.SimpleNamespace(**{**vars(file), "url": file.url.replace("://", "://someone:pw@")})
    assert _read(tmp_path, with_credentials) == REQUIRES
    assert [r for r in index.requests if r.path.startswith("/files/")]
