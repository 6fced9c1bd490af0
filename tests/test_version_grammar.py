"""One PEP 440 grammar behind both extensions: the client orders the releases
of a JSON API document by it, and the project page reader takes the version
out of a file name with it. Both must accept exactly what packaging's Version
accepts, on the edges of the grammar: white space around (ASCII and not),
alternative spellings, numbers too long for a key, text that only looks
like a version."""

from __future__ import annotations

import json

import pytest
from packaging.version import InvalidVersion, Version

from conftest import call
from quorvel_master.indexdata import parse_project_page

EDGES = [
    # white space around, as str.isspace sees it
    "1.0", " 1.0 ", "\t1.0\n", "1.0\x0b", "\x0c1.0", "1.0\x1c", "\x1f1.0\x1e", "1.0\x85", "\u00a01.0",
    "\u20031.0\u3000", " \u00a0 1.0 \u2028", "1.0\u00a1", "1.0\x00", "1 .0",
    # spellings
    "v1.0", "V2.0", "1!2.0", "1.0-1", "1.0-r1", "1.0.post", "1.0_post_2", "1.0rc", "1.0-preview.3",
    "1.0.DEV", "1.0a1.dev2", "1.0c1", "1.0+abc.1", "1.0+ABC-2_x", "1.0+", "1.0+abc..1", "1.0+.a",
    # numbers longer than a key holds
    "1." + "9" * 19, "1.0+" + "9" * 19, "9" * 20 + "!1.0", "1.0.post" + "1" * 19,
    # not versions
    "", " ", "latest", "1.0 1", "1..0", "1.0-", "v", "1.0.0\u0661",
]
# Letters beyond ASCII that case-fold to ASCII ones: packaging's older
# case-blind pattern took them, newer releases do not; the grammar does not.
NOT_ASCII = ["1.0poſt1", "1.0.poſt2", "1!1.0poſt"]


def valid(text: str) -> bool:
    try:
        Version(text)
    except InvalidVersion:
        return False
    return True


def page_version(text: str):
    body = json.dumps({"meta": {"api-version": "1.1"}, "name": "demo",
                       "files": [{"filename": f"demo-{text}.tar.gz", "url": "x", "hashes": {}}]}).encode()
    (file,) = parse_project_page(body, "https://index.test/simple/demo/", "demo", format="json").files
    return file.version


@pytest.mark.parametrize("text", EDGES, ids=[repr(t) for t in EDGES])
def test_file_name_versions_are_what_packaging_accepts(text):
    assert page_version(text) == (text if valid(text) else None)


def test_release_order_keeps_what_packaging_accepts(m, log, fixed_settings, srv):
    def files(v):
        return [{"filename": f"demo-{v}.tar.gz", "url": "http://127.0.0.1/f", "digests": {}, "yanked": False}]

    srv.set_response("/pypi/demo/json", {"info": {"name": "demo"}, "releases": {v: files(v) for v in EDGES}})
    fixed_settings.api_list = [{"index_url": srv.simple_url, "api_pattern": srv.json_api_pattern}]
    versions = call(m.PackageIndexClient(None), "_get_versions_from_index", "demo", srv.simple_url)
    assert versions == sorted(filter(valid, EDGES), key=Version, reverse=True)


@pytest.mark.parametrize("text", NOT_ASCII, ids=[repr(t) for t in NOT_ASCII])
def test_letters_beyond_ascii_are_no_version(text):
    assert page_version(text) is None
