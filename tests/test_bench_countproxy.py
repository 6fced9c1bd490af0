"""The counting proxy of bench/yardsticks.py: every absolute link in a page
comes back through the proxy, and the proxy takes it to where it pointed."""

from __future__ import annotations

import gzip
import importlib.util
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
INDEX = "https://index.example"
PROXY = "http://127.0.0.1:8123"


@pytest.fixture(scope="module")
def proxy():
    found = importlib.util.spec_from_file_location("bench_countproxy", BENCH / "countproxy.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


PAGES = [
    # (kind, page, rewritten)
    ("html", b'<a href="https://files.example/packages/ab/x-1.0.whl#sha256=00">x</a>',
     b'<a href="http://127.0.0.1:8123/_files/https/files.example/packages/ab/x-1.0.whl#sha256=00">x</a>'),
    ("html", b"<a HREF = 'http://files.example:8080/p/x.tar.gz' data-requires-python=\"&gt;=3.8\">",
     b"<a HREF = 'http://127.0.0.1:8123/_files/http/files.example:8080/p/x.tar.gz' data-requires-python=\"&gt;=3.8\">"),
    ("html", b'<a href="https://index.example/packages/x-1.0.whl">', b'<a href="http://127.0.0.1:8123/packages/x-1.0.whl">'),
    ("html", b'<a href="../../packages/x-1.0.whl">', b'<a href="../../packages/x-1.0.whl">'),
    ("html", b'<p>see https://files.example/elsewhere</p>', b'<p>see https://files.example/elsewhere</p>'),
    ("json", b'{"files": [{"url": "https://files.example/p/x.whl", "core-metadata": false}]}',
     b'{"files": [{"url": "http://127.0.0.1:8123/_files/https/files.example/p/x.whl", "core-metadata": false}]}'),
    ("json", b'{"url" : "https://INDEX.example/pypi/x/json", "home_page": "https://files.example/"}',
     b'{"url" : "http://127.0.0.1:8123/pypi/x/json", "home_page": "https://files.example/"}'),
    ("json", b'{"url": "/relative/x.whl"}', b'{"url": "/relative/x.whl"}'),
]


@pytest.mark.parametrize("kind, page, rewritten", PAGES)
def test_absolute_links_point_at_the_proxy(proxy, kind, page, rewritten):
    assert proxy.rewrite_links(page, kind, INDEX, PROXY) == rewritten


ORIGINALS = [
    "https://files.example/packages/ab/cd/x-1.0-py3-none-any.whl#sha256=00ff",
    "http://files.example:8080/p/x-1.0.tar.gz",
    "https://index.example/simple/x/?format=json",
    "https://files.example/p/x%2B1.whl",
]


@pytest.mark.parametrize("original", ORIGINALS)
def test_a_rewritten_link_leads_back_to_its_target(proxy, original):
    page = f'<a href="{original}">'.encode()
    local = proxy.rewrite_links(page, "html", INDEX, PROXY).decode()[len('<a href="'):-2]
    assert local.startswith(PROXY + "/")
    path = local[len(PROXY):].split("#", 1)[0]
    assert proxy.upstream_url(path, INDEX) == original.split("#", 1)[0]


@pytest.mark.parametrize("path, expected", [
    ("/simple/x/", "https://index.example/simple/x/"),
    ("/_files/https/files.example/a/b?x=1", "https://files.example/a/b?x=1"),
    ("/_files/ftp/files.example/a", None),
    ("/_files/https/", None),
    ("/_files/https/user:secret@files.example/a", None),
])
def test_paths_go_to_their_host(proxy, path, expected):
    assert proxy.upstream_url(path, INDEX) == expected


@pytest.mark.parametrize("location, asked, expected", [
    ("https://index.example/simple/x/", "https://index.example/simple/X", "http://127.0.0.1:8123/simple/x/"),
    ("/simple/x/", "https://index.example/simple/X", "http://127.0.0.1:8123/simple/x/"),
    ("/moved/x.whl", "https://files.example/p/x.whl", "http://127.0.0.1:8123/_files/https/files.example/moved/x.whl"),
    ("https://mirror.example/p/x.whl?t=1", "https://files.example/p/x.whl",
     "http://127.0.0.1:8123/_files/https/mirror.example/p/x.whl?t=1"),
])
def test_redirects_stay_on_the_proxy(proxy, location, asked, expected):
    assert proxy.rewrite_location(location, asked, INDEX, PROXY) == expected


@pytest.mark.parametrize("asked, sent", [
    ("gzip, deflate, br", "gzip, deflate"),
    ("br;q=1.0, gzip;q=0.8", "gzip;q=0.8"),
    ("zstd", "identity"),
    (None, "identity"),
])
def test_only_encodings_the_proxy_can_rewrite_are_asked(proxy, asked, sent):
    assert proxy.accept_encoding(asked) == sent


def test_a_compressed_page_is_rewritten_and_compressed_again(proxy):
    page = b'{"files": [{"url": "https://files.example/p/x.whl"}]}'
    body = proxy._encode(proxy.rewrite_links(proxy._decode(gzip.compress(page), "gzip"), "json", INDEX, PROXY), "gzip")
    assert gzip.decompress(body) == page.replace(b"https://files.example", b"http://127.0.0.1:8123/_files/https/files.example")


def test_an_inflating_page_is_refused(proxy, monkeypatch):
    monkeypatch.setattr(proxy, "PAGE_MAX_BYTES", 1000)
    with pytest.raises(ValueError):
        proxy._decode(gzip.compress(b"<" * 5000), "gzip")
