"""The counting proxy of bench/yardsticks.py: every absolute link in a page
comes back through the proxy, and the proxy takes it to where it pointed."""

from __future__ import annotations

import asyncio
import gzip
import importlib.util
import zlib
from pathlib import Path

import aiohttp
import pytest
from aiohttp import web

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
    ("html", b'<a href="https://index.example/packages/x-1.0.whl">',
     b'<a href="http://127.0.0.1:8123/packages/x-1.0.whl">'),
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
    local = b"http://127.0.0.1:8123/_files/https/files.example"
    assert gzip.decompress(body) == page.replace(b"https://files.example", local)


def test_an_inflating_page_is_refused(proxy, monkeypatch):
    monkeypatch.setattr(proxy, "PAGE_MAX_BYTES", 1000)
    with pytest.raises(ValueError):
        proxy._decode(gzip.compress(b"<" * 5000), "gzip")


# --- the proxy between a client and an index on 127.0.0.1 -------------------

WHEEL = bytes(range(256)) * 40  # 10,240 bytes


async def _upstream(tmp_path):
    """An index on one port whose page links its file on another port, so the
    file is another host to the proxy. Pages are compressed when asked."""
    (tmp_path / "x-1.0-py3-none-any.whl").write_bytes(WHEEL)
    seen = []

    async def page(request):
        link = f"http://127.0.0.1:{ports[1]}/files/x-1.0-py3-none-any.whl#sha256=00"
        if "json" in request.headers.get("Accept", ""):
            response = web.json_response({"files": [{"filename": "x-1.0-py3-none-any.whl", "url": link}]},
                                         content_type="application/vnd.pypi.simple.v1+json")
        else:
            response = web.Response(text=f'<a href="{link}">x-1.0-py3-none-any.whl</a>', content_type="text/html")
        response.enable_compression()
        return response

    async def file(request):
        seen.append(dict(request.headers))
        return web.FileResponse(tmp_path / "x-1.0-py3-none-any.whl")

    async def moved(request):
        raise web.HTTPMovedPermanently("/simple/x/")

    app = web.Application()
    app.router.add_get("/simple/x/", page)
    app.router.add_get("/simple/X", moved)
    app.router.add_route("*", "/files/x-1.0-py3-none-any.whl", file)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    ports = []
    for _ in range(2):
        site = web.TCPSite(runner, "127.0.0.1", 0)
        await site.start()
        ports.append(site._server.sockets[0].getsockname()[1])
    return runner, f"http://127.0.0.1:{ports[0]}/simple/", seen


FILE_CASES = [
    # (request headers, status, body expected, header expected)
    ({}, 200, WHEEL, None),
    ({"Range": "bytes=-100"}, 206, WHEEL[-100:], ("Content-Range", "bytes 10140-10239/10240")),
    ({"Range": "bytes=10-19"}, 206, WHEEL[10:20], ("Content-Range", "bytes 10-19/10240")),
    ({"Range": "bytes=20000-"}, 416, None, None),
    ({"If-None-Match": "ETAG"}, 304, b"", None),
    ({"If-Modified-Since": "LAST"}, 304, b"", None),
]


@pytest.mark.parametrize("headers, status, body, header", FILE_CASES, ids=[
    "whole", "suffix", "range", "past-the-end", "if-none-match", "if-modified-since"])
def test_files_pass_through_with_their_status_and_are_counted(proxy, tmp_path, headers, status, body, header):
    async def scenario():
        runner, index, seen = await _upstream(tmp_path)
        try:
            async with proxy.CountingProxy(index) as counting, aiohttp.ClientSession(auto_decompress=False) as client:
                page = {"Accept": "application/vnd.pypi.simple.v1+json", "Accept-Encoding": "identity"}
                async with client.get(counting.index_url + "x/", headers=page) as r:
                    url = (await r.json(content_type=None))["files"][0]["url"]
                assert url.startswith(counting.origin + "/_files/http/127.0.0.1:")
                async with client.head(url) as r:
                    validators = {"ETAG": r.headers["ETag"], "LAST": r.headers["Last-Modified"]}
                    assert (r.status, r.headers["Content-Length"]) == (200, str(len(WHEEL)))
                counting.reset()
                asked = {k: validators.get(v, v) for k, v in headers.items()}
                async with client.get(url, headers=asked) as r:
                    got = await r.read()
                    assert r.status == status
                    if body is not None:
                        assert got == body
                    if header:
                        assert r.headers[header[0]] == header[1]
                assert (counting.requests, counting.body_bytes, counting.page_requests) == (1, len(got), 0)
                assert counting.statuses == {status: 1}
                assert {k: seen[-1].get(k) for k in asked} == asked
        finally:
            await runner.cleanup()

    asyncio.run(scenario())


@pytest.mark.parametrize("accept, encoding", [
    ("text/html", "gzip"),
    ("application/vnd.pypi.simple.v1+json", "gzip"),
    ("application/vnd.pypi.simple.v1+json", "deflate"),
    ("text/html", None),
])
def test_pages_come_back_rewritten_in_their_encoding(proxy, tmp_path, accept, encoding):
    async def scenario():
        runner, index, _ = await _upstream(tmp_path)
        try:
            async with proxy.CountingProxy(index) as counting, aiohttp.ClientSession(auto_decompress=False) as client:
                headers = {"Accept": accept, "Accept-Encoding": encoding or "identity"}
                async with client.get(counting.index_url + "x/", headers=headers) as r:
                    raw = await r.read()
                    assert r.headers.get("Content-Encoding") == encoding
                text = {"gzip": gzip.decompress, "deflate": zlib.decompress, None: bytes}[encoding](raw).decode()
                assert f"{counting.origin}/_files/http/127.0.0.1:" in text and "#sha256=00" in text
                assert (counting.requests, counting.page_requests, counting.body_bytes, counting.page_bytes) == (
                    1, 1, len(raw), len(raw))
                async with client.get(counting.index_url + "X", allow_redirects=False) as r:
                    assert (r.status, r.headers["Location"]) == (301, counting.origin + "/simple/x/")
        finally:
            await runner.cleanup()

    asyncio.run(scenario())
