"""Answers the client cannot use, and which index a request is for: a 200
whose body the client cannot use is a failure of its index on both roads
(and `pkgindex` says so, exit 3), the client's own answer unchanged; a
request is attributed to the index its task is asking."""

from __future__ import annotations

import asyncio
import inspect
import json

import pytest

from cli_support import isolated_env, run_cli
from network_support import Origin, Route
from quorvel_master.network import Network


@pytest.fixture(autouse=True)
def restore_finder(m, monkeypatch):
    monkeypatch.setattr(m, "PackageFinder", m.PackageFinder)


@pytest.fixture
def origin():
    with Origin() as server:
        server.project("demo", ["1.0"])
        yield server


def page_path(road):
    return "/pypi/demo/json" if road == "json" else "/simple/demo/"


PEP691 = json.dumps({"meta": {"api-version": "1.0"}, "name": "demo", "files": [
    {"filename": "demo-1.0-py3-none-any.whl", "url": "/files/demo-1.0-py3-none-any.whl", "hashes": {}}]}).encode()


@pytest.mark.parametrize("road, body, content_type, answer, reason", [
    ("json", b"<html>sign in</html>", "text/html", [], "an HTML page where a JSON document was expected"),
    ("json", b'{"info": {}, "releases": {}}', "text/plain", [],
     "a text/plain answer where a JSON document was expected"),
    ("json", b"{broken", "application/json", [], "not a JSON document (Expecting property name"),
    ("json", b"", "application/json", [], "not a JSON document (Expecting value"),
    ("json", b"[1, 2]", "application/json", [], "a JSON list, not an object"),
    ("json", b"null", "application/json", [], "a JSON null, not an object"),
    # judged as json reads them, not as the page parser's stricter reader does
    ("json", b'\xef\xbb\xbf{"info": {"name": "demo"}, "releases": {"1.0": []}}', "application/json", [],
     "not a JSON document (Unexpected UTF-8 BOM"),
    ("json", b'{"info": {"name": "demo"}, "releases": {"1.0": []}, "n": NaN}', "application/json", ["1.0"], None),
    ("json", b'{"info": {"name": "d\xe9mo"}, "releases": {"1.0": []}}', "application/json; charset=latin-1", ["1.0"],
     None),
    ("finder", b"demo-1.0.tar.gz", "text/plain", [],
     "a text/plain answer where an index page (HTML or PEP 691 JSON) was expected"),
    ("finder", b"{broken", "application/vnd.pypi.simple.v1+json", [], "not a JSON document"),
    ("finder", b'"demo"', "application/vnd.pypi.simple.v1+json", [], "a JSON str, not an object"),
    # what the client can use: answered, kept (the second ask is served fresh), no failure
    ("finder", PEP691, "application/vnd.pypi.simple.v1+json", ["1.0"], None),
    ("json", b'{"info": {"name": "demo"}, "releases": {"1.0": []}}', "application/vnd.api+json", ["1.0"], None),
])
def test_an_answer_the_client_cannot_use_fails_its_index(origin, road, body, content_type, answer, reason):
    route = origin.routes[page_path(road)]
    route.body, route.content_type = body, content_type
    route.headers["Cache-Control"] = "max-age=600"
    network = Network(retries=0, revalidate_documents=False)

    async def go():
        client = network.client(origin.settings(api=road == "json"))
        try:
            return [await client.get_versions("demo") for _ in range(2)]
        finally:
            await client.close()

    assert asyncio.run(go()) == [answer, answer]
    failures = network.outcomes.failures()
    if reason is None:
        assert failures == {} and origin.paths().count(page_path(road)) == 1
        return
    # Never kept: each ask goes to the index.
    assert origin.paths().count(page_path(road)) == 2
    failure = failures[origin.url + "/simple"]
    assert (failure.kind, failure.status, failure.road, failure.failed) == ("unusable", 200, road, True)
    assert failure.reason.startswith("an answer the client cannot use: " + reason), failure.reason


@pytest.mark.parametrize("road, path, body, content_type", [
    ("json", "/pypi/demo-pkg/json", "<html><form>sign in</form></html>", "text/html"),
    ("json", "/pypi/demo-pkg/json", "{", "application/json"),
    ("finder", "/simple/demo-pkg/", "sign in first", "text/plain"),
])
def test_pkgindex_says_it_could_not_read_an_unusable_index(srv, tmp_path, road, path, body, content_type):
    srv.add_project("demo-pkg", ["1.0"])
    srv.set_response(path, body, content_type=content_type)
    args = ["versions", "demo-pkg", "--index-url", srv.simple_url]
    if road == "json":
        args += ["--api-pattern", f"{srv.simple_url}={srv.json_api_pattern}"]
    result = run_cli(*args, env=isolated_env(tmp_path), cwd=tmp_path)
    assert result.rc == 3, result
    assert result.err.startswith(f"pkgindex: could not read {srv.simple_url}: an answer the client cannot use: ")
    assert result.out == "demo-pkg: not found on the indexes that could be read\n"


def test_asking_attributes_each_tasks_requests(origin):
    """Each task's requests go to the index it asks, however they interleave;
    a request asked for no index is judged by no index's needs."""
    origin.routes["/page"] = Route(b"<html></html>", "text/html")
    network = Network(retries=0)
    first, second = "http://first.example/simple/", "http://second.example/simple"

    async def get(tag):
        async with network.session().get(f"{origin.url}/page?{tag}") as response:
            await response.read()

    async def task(index, tag):
        with network.asking(index):
            await asyncio.sleep(0)
            await get(tag + "-1")
            with network.asking(None):
                await get(tag + "-none")
            await get(tag + "-2")

    async def go():
        try:
            await asyncio.gather(task(first, "a"), task(second, "b"))
            await get("outside")
        finally:
            await network.close()

    asyncio.run(go())
    seen = {o.url.partition("?")[2]: (o.index, o.kind) for o in network.outcomes.all()}
    assert seen == {
        "a-1": (first, "unusable"), "a-none": (None, "ok"), "a-2": (first, "unusable"),
        "b-1": (second, "unusable"), "b-none": (None, "ok"), "b-2": (second, "unusable"),
        "outside": (None, "ok"),
    }


@pytest.mark.parametrize("name", [
    "_package_exists_in_index", "_package_version_exists_in_index", "_get_versions_from_index",
    "_get_extras_from_index", "_get_dependencies_from_index", "_get_package_info_from_index",
])
def test_the_clients_single_index_methods_keep_their_signatures(m, name):
    from quorvel_master.network import NetworkClient

    ours, base = getattr(NetworkClient, name), getattr(m.PackageIndexClient, name)
    assert ours is not base
    assert inspect.signature(ours) == inspect.signature(base)
    assert inspect.iscoroutinefunction(ours)


@pytest.mark.parametrize("first_for_index, body, failed", [
    # kept by a request no index asked for (not judged): the same body asked for
    # an index is judged, and found unusable
    (False, b"{broken", True),
    (False, b'{"info": {}, "releases": {}}', False),
    # judged usable for the index when kept: the same body again needs no judging
    (True, b'{"info": {}, "releases": {}}', False),
])
def test_a_repeated_body_is_judged_as_its_request_would(origin, first_for_index, body, failed):
    route = origin.routes["/pypi/demo/json"]
    route.body, route.content_type = body, "application/json"
    network = Network(retries=0)   # no validators, no lifetime: each ask gets the body whole
    url, index = origin.url + "/pypi/demo/json", origin.url + "/simple"

    async def ask(for_index):
        if not for_index:
            async with network.session().get(url) as response:
                return await response.read()
        with network.asking(index):
            async with network.session().get(url) as response:
                return await response.read()

    async def go():
        try:
            return [await ask(first_for_index), await ask(True)]
        finally:
            await network.close()

    assert asyncio.run(go()) == [body, body]
    assert origin.paths().count("/pypi/demo/json") == 2
    kinds = [o.kind for o in network.outcomes.all()]
    assert kinds == ["ok", "unusable" if failed else "ok"]
