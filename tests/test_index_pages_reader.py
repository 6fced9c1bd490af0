"""The project page reader against a local index on 127.0.0.1, through the
network layer: content negotiation as the server log shows it, a 406 asked
again for HTML, 404 and 410 as NotFound, statuses, content types and API
versions a reader refuses, the page cap, charsets, masking, cancellation."""

from __future__ import annotations

import asyncio
import datetime as dt
import json
import socket

import pytest

from conftest import arrived, run
from quorvel_master.indexdata import ACCEPT, NotFound, PageError, read_project_page
from quorvel_master.indexdata.pages import ACCEPT_HTML
from quorvel_master.network import Network

JSON_TYPE = "application/vnd.pypi.simple.v1+json"
PATH = "/simple/demo/"


def json_body(api_version="1.1", **members) -> bytes:
    files = [{"filename": "demo-1.0-py3-none-any.whl", "url": "../../files/demo-1.0-py3-none-any.whl",
              "hashes": {"sha256": "ab"}, "upload-time": "2024-06-01T00:00:00Z", "yanked": "broken"},
             {"filename": "demo-2.0.tar.gz", "url": "../../files/demo-2.0.tar.gz", "hashes": {"sha256": "cd"},
              "upload-time": "2024-07-01T00:00:00Z", "size": 2048}]
    return json.dumps({"meta": {"api-version": api_version}, "name": "demo", "files": files, **members}).encode()


HTML_BODY = (b'<html><head><meta name="pypi:repository-version" content="1.0"></head><body>'
             b'<a href="../../files/demo-1.0-py3-none-any.whl#sha256=ab" data-yanked="broken">x</a>'
             b'<a href="../../files/demo-2.0.tar.gz#sha256=cd">y</a></body></html>')


async def read(server, name="demo", *, network=None, index_url=None, **kwargs):
    network = network or Network(retries=0)
    try:
        return await read_project_page(network, index_url or server.simple_url, name, **kwargs)
    finally:
        await network.close()


def accepts(server, path=PATH):
    return [r.headers.get("Accept") for r in server.requests if r.path == path]


@pytest.mark.parametrize("body, content_type, form", [
    (json_body(), JSON_TYPE, "json"),
    (json_body("1.4"), JSON_TYPE + "; charset=utf-8", "json"),
    (HTML_BODY, "text/html", "html"),
    (HTML_BODY, "application/vnd.pypi.simple.v1+html", "html"),
])
def test_page_read_in_either_form(srv, body, content_type, form):
    srv.set_response(PATH, body, content_type=content_type)
    page = run(read(srv))
    assert accepts(srv) == [ACCEPT]
    assert (page.format, page.name, page.index_url, page.page_url) == (form, "demo", srv.simple_url, srv.url + PATH)
    assert page.versions == ("1.0", "2.0")
    assert [(f.url, f.hashes, f.yanked, f.yanked_reason) for f in page.files] == [
        (srv.url + "/files/demo-1.0-py3-none-any.whl", {"sha256": "ab"}, True, "broken"),
        (srv.url + "/files/demo-2.0.tar.gz", {"sha256": "cd"}, False, None),
    ]
    if form == "json":
        assert page.files[1].upload_time == dt.datetime(2024, 7, 1, tzinfo=dt.timezone.utc)
        assert page.files[1].size == 2048


def test_406_is_asked_again_for_html(srv):
    srv.set_response(PATH, HTML_BODY, content_type="text/html")
    srv.set_status(PATH, 406, times=1)
    page = run(read(srv))
    assert accepts(srv) == [ACCEPT, ACCEPT_HTML]
    assert [r.status for r in srv.requests] == [406, 200]
    assert page.format == "html" and len(page.files) == 2


@pytest.mark.parametrize("status", [404, 410])
def test_missing_project_is_not_found(srv, status):
    srv.set_status(PATH, status)
    found = run(read(srv, "Demo"))
    assert found == NotFound("Demo", srv.simple_url, srv.url + PATH, status)
    assert not found


@pytest.mark.parametrize("status", [301, 302, 307, 308])
def test_redirected_page_resolves_against_where_it_was_served(srv, status):
    srv.redirect(PATH, "/mirror/demo/index/", status=status)
    srv.set_response("/mirror/demo/index/", json_body(), content_type=JSON_TYPE)
    page = run(read(srv))
    assert [(r.path, r.headers.get("Accept")) for r in srv.requests] == [(PATH, ACCEPT),
                                                                          ("/mirror/demo/index/", ACCEPT)]
    assert page.page_url == srv.url + "/mirror/demo/index/"
    assert page.files[0].url == srv.url + "/mirror/files/demo-1.0-py3-none-any.whl"


def test_redirects_are_bounded(srv):
    srv.redirect_loop(PATH)
    with pytest.raises(PageError, match="more than 10 redirects") as caught:
        run(read(srv))
    assert caught.value.kind == "unreachable"
    assert len(srv.requests) == 11


def test_name_is_normalised_in_the_page_url(srv):
    srv.set_response("/simple/foo-bar/", json_body(), content_type=JSON_TYPE)
    page = run(read(srv, "Foo__Bar", index_url=srv.simple_url + "///"))
    assert [r.path for r in srv.requests] == ["/simple/foo-bar/"]
    assert page.page_url == srv.url + "/simple/foo-bar/"


@pytest.mark.parametrize("status, body, content_type, kind, says", [
    (500, b"oops", "text/plain", "status", "HTTP 500"),
    (401, b"who", "text/plain", "status", "HTTP 401"),
    (406, b"no", "text/plain", "status", "HTTP 406"),
    (200, b'{"files": []}', "application/json", "unusable", "'application/json' is not a project page"),
    (200, b"plain", "text/plain", "unusable", "not a project page"),
    (200, b'{"files": []}', "application/vnd.pypi.simple.v2+json", "unusable", "v2"),
    (200, json_body("2.0"), JSON_TYPE, "unusable", "API version 2.0"),
    (200, b'{"files": [', JSON_TYPE, "unusable", "not valid JSON"),
])
def test_unreadable_pages_raise(srv, status, body, content_type, kind, says):
    srv.set_response(PATH, body, status=status, content_type=content_type)
    with pytest.raises(PageError, match=says) as caught:
        run(read(srv))
    assert caught.value.kind == kind
    assert caught.value.status == (status if kind == "status" else 200 if kind == "unusable" else None)
    assert caught.value.index_url == srv.simple_url


@pytest.mark.parametrize("options, limit", [
    ({}, 1000),                   # the reader's cap
    ({"max_body": 1000}, None),   # the layer's own, below the reader's
])
def test_oversized_page_is_refused(srv, options, limit):
    srv.set_response(PATH, json_body() + b" " * 2000, content_type=JSON_TYPE)
    kwargs = {"max_bytes": limit} if limit else {}
    with pytest.raises(PageError, match="larger than 1000 bytes") as caught:
        run(read(srv, network=Network(retries=0, **options), **kwargs))
    assert caught.value.kind == "too-large"
    assert len(srv.requests) == 1


def test_html_in_another_charset(srv):
    body = '<a href="demo-1.0.tar.gz" data-yanked="caf\u00e9 &amp; cr\u00e8me">x</a>'.encode("latin-1")
    srv.set_response(PATH, body, content_type="text/html; charset=ISO-8859-1")
    assert run(read(srv)).files[0].yanked_reason == "caf\u00e9 & cr\u00e8me"


def test_unreachable_index():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with pytest.raises(PageError) as caught:
        run(read(None, index_url=f"http://127.0.0.1:{port}/simple"))
    assert caught.value.kind == "unreachable"
    assert isinstance(caught.value.__cause__, OSError)


def test_credentials_are_masked(srv):
    index = srv.simple_url.replace("http://", "http://user:s3cret@")
    srv.set_status(PATH, 404)
    found = run(read(srv, index_url=index))
    srv.set_status(PATH, 503)
    with pytest.raises(PageError) as caught:
        run(read(srv, index_url=index))
    assert srv.requests[0].headers.get("Authorization", "").startswith("Basic ")
    assert found.page_url.startswith("http://user:s3cret@")
    for shown in (repr(found), str(caught.value), caught.value.reason):
        assert "s3cret" not in shown
    assert "user:****@" in repr(found) and "user:****@" in str(caught.value)


def test_requests_go_through_the_layer(srv):
    srv.set_response(PATH, json_body(), content_type=JSON_TYPE)
    network = Network(retries=0)
    seen = []
    network.outcomes.listen(lambda event, value: seen.append((event, getattr(value, "url", None))))
    run(read(srv, network=network))
    assert ("end", srv.url + PATH) in seen
    assert network.outcomes.all()[-1].kind == "ok"


def test_cancellation_passes(srv):
    srv.hang(PATH)

    async def go():
        task = asyncio.ensure_future(read(srv))
        await arrived(srv, PATH)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(go())
