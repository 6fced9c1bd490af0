import asyncio
import base64
import csv
import email.parser
import hashlib
import importlib.metadata
import io
import json
import re
import tarfile
import threading
import time
import zipfile
from http.client import HTTPConnection, HTTPResponse
from urllib.parse import urlsplit

import aiohttp
import pytest
from unearth import PackageFinder
from unearth.auth import MultiDomainBasicAuth
from unearth.fetchers import PyPIClient

from quorvel_master.sampleindex import (
    IndexServer,
    build_sdist,
    build_wheel,
    extract_metadata,
    metadata_text,
    sdist_filename,
    wheel_filename,
)

# --- archives -------------------------------------------------------------


@pytest.mark.parametrize(
    "name, version, stem",
    [
        ("My.Pkg", "1.0", "my_pkg-1.0"),
        ("foo-bar_baz", "1.0.0", "foo_bar_baz-1.0.0"),
        ("Foo__-.Bar", "01.2", "foo_bar-1.2"),
        ("x", "1.0-beta1", "x-1.0b1"),
        ("x", "1.0+Local.A", "x-1.0+local.a"),
        ("x", "2!1.0.post1.dev3", "x-2!1.0.post1.dev3"),
    ],
)
def test_file_names_are_normalized(tmp_path, name, version, stem):
    wheel, sdist = stem + "-py3-none-any.whl", stem + ".tar.gz"
    assert (wheel_filename(name, version), sdist_filename(name, version)) == (wheel, sdist)
    assert build_wheel(tmp_path, name, version).name == wheel
    assert build_sdist(tmp_path, name, version).name == sdist


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"version": "not a version"}, "invalid version"),
        ({"name": " "}, "must not be empty"),
        ({"requires_dist": ["requests >=="]}, "invalid Requires-Dist"),
        ({"summary": "two\nlines"}, "single line"),
        ({"extras": ["a\rb"]}, "single line"),
    ],
)
def test_builder_rejects_bad_input(tmp_path, kwargs, message):
    for builder in (build_wheel, build_sdist):
        with pytest.raises(ValueError, match=message):
            builder(tmp_path, **{"name": "pkg", "version": "1.0", **kwargs})


REQS = ["requests>=2.0", "rich; extra == 'cli'", "tomli; python_version < '3.11'"]


@pytest.fixture
def wheel(tmp_path):
    return build_wheel(tmp_path, "My.Pkg", "1.2", REQS, ["cli"], "A sample", ">=3.8")


def test_wheel_metadata_reads_back(wheel):
    with zipfile.ZipFile(wheel) as zf:
        text = zf.read("my_pkg-1.2.dist-info/METADATA").decode()
    msg = email.parser.Parser().parsestr(text)
    assert [msg[k] for k in ("Metadata-Version", "Name", "Version", "Summary", "Requires-Python")] == [
        "2.1", "My.Pkg", "1.2", "A sample", ">=3.8"
    ]
    assert msg.get_all("Provides-Extra") == ["cli"] and msg.get_all("Requires-Dist") == REQS
    assert text == metadata_text("My.Pkg", "1.2", REQS, ["cli"], "A sample", ">=3.8")
    (dist,) = importlib.metadata.distributions(name="my-pkg", path=[str(wheel)])
    assert (dist.version, dist.requires) == ("1.2", REQS)


def test_record_lists_every_file_with_its_hash(wheel):
    with zipfile.ZipFile(wheel) as zf:
        rows = list(csv.reader(io.StringIO(zf.read("my_pkg-1.2.dist-info/RECORD").decode())))
        assert {row[0] for row in rows} == set(zf.namelist())
        for path, digest, size in rows:
            if path.endswith("/RECORD"):
                assert (digest, size) == ("", "")
                continue
            data = zf.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert (digest, int(size)) == ("sha256=" + expected.decode(), len(data))
        assert "Tag: py3-none-any" in zf.read("my_pkg-1.2.dist-info/WHEEL").decode()


def test_archives_are_reproducible(tmp_path):
    a, b, c = (build_wheel(tmp_path / d, "pkg", "1.0", [r]).read_bytes() for d, r in
               [("a", "b"), ("b", "b"), ("c", "c")])
    assert a == b != c
    sdists = {build_sdist(tmp_path / d, "pkg", "1.0").read_bytes() for d in "ab"}
    assert len(sdists) == 1


def test_sdist_carries_pkg_info(tmp_path):
    path = build_sdist(tmp_path, "My.Pkg", "1.0", ["b>1"], ["x"], "S")
    with tarfile.open(path) as tf:
        assert sorted(tf.getnames()) == ["my_pkg-1.0/PKG-INFO", "my_pkg-1.0/my_pkg.py"]
        pkg_info = tf.extractfile("my_pkg-1.0/PKG-INFO").read()
    assert pkg_info == metadata_text("My.Pkg", "1.0", ["b>1"], ["x"], "S").encode()
    assert extract_metadata(path.name, path.read_bytes()) == pkg_info


# --- server ---------------------------------------------------------------


@pytest.fixture(scope="module")
def running_server():
    with IndexServer() as srv:
        yield srv


@pytest.fixture
def server(running_server):
    running_server.clear_projects()
    running_server.clear_hooks()
    running_server.reset_hits()
    running_server.version_docs_include_releases = True
    running_server.ranges = True
    return running_server


class Answer:
    def __init__(self, response: HTTPResponse) -> None:
        self.status_code = response.status
        self.headers = response.headers
        self.content = response.read()

    @property
    def text(self) -> str:
        return self.content.decode()

    def json(self):
        return json.loads(self.content)


class Http:
    """Plain GETs through the standard library; redirects are not followed."""

    def get(self, url: str, headers: dict[str, str] | None = None, timeout: float = 5.0) -> Answer:
        parts = urlsplit(url)
        connection = HTTPConnection(parts.hostname, parts.port, timeout=timeout)
        try:
            connection.request("GET", parts.path + (f"?{parts.query}" if parts.query else ""), headers=headers or {})
            return Answer(connection.getresponse())
        finally:
            connection.close()


@pytest.fixture
def http():
    return Http()


def _finder(server):
    session = PyPIClient(timeout=5.0)
    # No password prompt: tests have no terminal.
    session.auth = MultiDomainBasicAuth(prompting=False, index_urls=[server.simple_url])
    return PackageFinder(session=session, index_urls=[server.simple_url])


def test_project_document(server, http):
    server.add_project("My.Pkg", {
        "1.0": {"summary": "one", "requires_dist": ["b>=1; extra == 'x'"], "extras": ["x"]},
        "2.0b1": {"files": ["wheel", "sdist"]},
        "not-a-version!": {"summary": "odd"},
    })
    doc = http.get(server.url + "/pypi/my_pkg/json").json()
    assert doc["info"] == {
        "name": "My.Pkg", "version": "1.0", "summary": "one",
        "requires_dist": ["b>=1; extra == 'x'"], "provides_extra": ["x"],
        "requires_python": "", "yanked": False, "yanked_reason": None,
    }
    assert list(doc["releases"]) == ["1.0", "2.0b1", "not-a-version!"]
    assert [f["packagetype"] for f in doc["releases"]["2.0b1"]] == ["bdist_wheel", "sdist"]
    assert doc["releases"]["not-a-version!"] == []
    entry = doc["releases"]["1.0"][0]
    body = http.get(entry["url"]).content
    assert hashlib.sha256(body).hexdigest() == entry["digests"]["sha256"]
    assert entry["size"] == len(body) and body[:2] == b"PK"


@pytest.mark.parametrize(
    "releases, latest, expected",
    [
        (["1.0", "2.0b1"], None, "1.0"),
        (["2.0b1", "1.0rc1"], None, "2.0b1"),
        (["1.10", "1.9"], None, "1.10"),
        (["1.0", "bogus"], None, "1.0"),
        (["bogus"], None, "bogus"),
        ({"1.0": None, "2.0": {"yanked": "broken"}}, None, "1.0"),
        (["1.0", "2.0"], "1.0", "1.0"),
    ],
)
def test_project_document_latest(server, http, releases, latest, expected):
    server.add_project("p", releases, latest=latest)
    assert http.get(server.url + "/pypi/p/json").json()["info"]["version"] == expected


@pytest.mark.parametrize(
    "path, status, version, requires",
    [
        ("/pypi/p/1.0/json", 200, "1.0", ["q"]),
        ("/pypi/P/1.0.0/json", 200, "1.0", ["q"]),
        ("/pypi/p/2.0a1/json", 200, "2.0a1", None),
        ("/pypi/p/3.0/json", 404, None, None),
        ("/pypi/p//json", 404, None, None),
        ("/pypi/missing/json", 404, None, None),
        ("/pypi/p/1.0/extra/json", 404, None, None),
    ],
)
def test_version_documents(server, http, path, status, version, requires):
    server.add_project("p", {"1.0": {"requires_dist": ["q"]}, "2.0a1": None})
    resp = http.get(server.url + path)
    assert resp.status_code == status
    if version:
        doc = resp.json()
        assert (doc["info"]["version"], doc["info"]["requires_dist"]) == (version, requires)
        assert set(doc["releases"]) == {"1.0", "2.0a1"}
        assert [u["filename"] for u in doc["urls"]] == [f"p-{version}-py3-none-any.whl"]
        server.version_docs_include_releases = False
        assert "releases" not in http.get(server.url + path).json()


def test_unearth_reads_simple_pages(server):
    server.add_project("My.Pkg", {
        "0.9": {"requires_python": ">=3.99"},
        "1.0": {"files": ["sdist", "wheel"]},
        "1.1": {"yanked": "bad build"},
        "2.0b1": None,
        "junk": None,
    })
    finder = _finder(server)
    assert [(p.version, p.link.filename) for p in finder.find_all_packages("my.pkg")] == [
        ("2.0b1", "my_pkg-2.0b1-py3-none-any.whl"),
        ("1.0", "my_pkg-1.0-py3-none-any.whl"),
        ("1.0", "my_pkg-1.0.tar.gz"),
    ]
    best = finder.find_best_match("My_Pkg==1.0").best
    assert best.link.url_without_fragment == server.file_url("my-pkg", "my_pkg-1.0-py3-none-any.whl")
    wheel_bytes = finder.session.get(best.link.url_without_fragment).content
    assert best.link.hash == hashlib.sha256(wheel_bytes).hexdigest()
    assert finder.find_best_match("my-pkg==1.1").best.link.yank_reason == "bad build"
    assert server.hits("/simple/my-pkg/") == 3


@pytest.mark.parametrize(
    "path, status, location",
    [
        ("/simple", 301, "/simple/"),
        ("/simple/p", 301, "/simple/p/"),
        ("/simple/My.P/", 301, "/simple/my-p/"),
        ("/simple/nope/", 404, None),
        ("/simple/my-p/x", 404, None),
        ("/simple/", 200, None),
    ],
)
def test_simple_routes(server, http, path, status, location):
    server.add_project("My.P", ["1.0"])
    server.add_project("a", ["1.0"])
    resp = http.get(server.url + path)
    assert (resp.status_code, resp.headers.get("Location")) == (status, location)
    if status == 200:
        assert re.findall(r'href="([^"]+)"', resp.text) == ["a/", "my-p/"]


@pytest.mark.parametrize(
    "attrs",
    [
        ("data-dist-info-metadata", "data-core-metadata"),
        ("data-core-metadata",),
        ("data-dist-info-metadata",),
    ],
)
def test_metadata_files_announced_and_served(server, http, attrs):
    server.add_project("p", {"1.0": {"requires_dist": ["q>1"]}}, metadata_attrs=attrs)
    page = http.get(server.url + "/simple/p/").text
    for attr in ("data-dist-info-metadata", "data-core-metadata"):
        assert (attr + '="sha256=' in page) == (attr in attrs)
    link = _finder(server).find_best_match("p").best.link
    meta_url = link.dist_info_link.url_without_fragment
    assert meta_url == server.file_url("p", "p-1.0-py3-none-any.whl") + ".metadata"
    body = http.get(meta_url).content
    assert link.dist_info_metadata == {"sha256": hashlib.sha256(body).hexdigest()}
    assert email.parser.BytesParser().parsebytes(body).get_all("Requires-Dist") == ["q>1"]


def test_metadata_switch_per_project(server, http):
    server.add_project("with", ["1.0"])
    server.add_project("without", ["1.0"], metadata_files=False)
    finder = _finder(server)
    assert finder.find_best_match("with").best.link.dist_info_link is not None
    no_meta = finder.find_best_match("without").best.link
    assert no_meta.dist_info_metadata is None
    assert http.get(no_meta.url_without_fragment + ".metadata").status_code == 404
    server.set_metadata_files("with", False)
    assert _finder(server).find_best_match("with").best.link.dist_info_metadata is None


def test_added_file_metadata_comes_from_the_archive(server, http, tmp_path):
    path = build_wheel(tmp_path, "p", "3.0", ["z"])
    server.add_project("p", ["1.0"])
    server.add_file("p", "3.0", path.name, path.read_bytes(), requires_python=">=3")
    server.add_file("p", "4.0", "p-4.0.tar.gz", b"garbage")
    meta = http.get(server.file_url("p", path.name) + ".metadata").text
    assert meta == metadata_text("p", "3.0", ["z"])
    assert http.get(server.file_url("p", "p-4.0.tar.gz") + ".metadata").status_code == 404
    assert 'data-requires-python="&gt;=3"' in http.get(server.url + "/simple/p/").text
    assert list(http.get(server.url + "/pypi/p/json").json()["releases"]) == ["1.0", "3.0", "4.0"]


HUGE = {"info": {"name": "h", "version": "1"}, "releases": {str(i): [] for i in range(100_000)}}


@pytest.mark.parametrize(
    "body, kwargs, status, content_type, expected",
    [
        (b"{not json", {}, 200, "application/octet-stream", b"{not json"),
        ([1, 2], {}, 200, "application/json", b"[1, 2]"),
        ("gone", {"status": 404}, 404, "text/plain", b"gone"),
        (b"", {"status": 500}, 500, "application/octet-stream", b""),
        ({"a": 1}, {"content_type": "text/html"}, 200, "text/html", b'{"a": 1}'),
        (HUGE, {}, 200, "application/json", json.dumps(HUGE).encode()),
    ],
)
def test_fixed_responses(server, http, body, kwargs, status, content_type, expected):
    server.set_response("/pypi/p/json", body, **kwargs)
    resp = http.get(server.url + "/pypi/p/json?x=1")
    assert resp.status_code == status and resp.content == expected
    assert resp.headers["Content-Type"].startswith(content_type)


def test_hooks_expire_and_newest_wins(server, http):
    server.add_project("p", ["1.0"])
    url = server.url + "/pypi/p/json"
    server.set_status("/pypi/*", 500)
    server.set_status("/pypi/p/json", 503, times=2)
    assert [http.get(url).status_code for _ in range(3)] == [503, 503, 500]
    assert http.get(server.url + "/pypi/other/json").status_code == 500
    server.clear_hook("/pypi/*")
    assert http.get(url).status_code == 200
    assert (server.hits("/pypi/p/json"), server.hits()) == (4, 5)
    server.reset_hits()
    assert server.hits("/pypi/p/json") == 0 and server.requests == []


def test_delay_holds_back_any_answer(server, http):
    server.add_project("p", ["1.0"])
    server.set_status("/pypi/p/json", 418)

    def took():
        started = time.monotonic()
        assert http.get(server.url + "/pypi/p/json").status_code == 418
        return time.monotonic() - started

    # Long beside an undelayed answer of this run, so that a slow machine's
    # answer is not taken for a delay.
    delay = max(1.0, 20 * max(took() for _ in range(3)))
    server.delay("/pypi/p/json", delay, times=1)
    assert took() >= delay
    assert took() < delay  # the delay was used up


# The hang is seen through a short time-out; the others fail on their own, and
# a time-out there would only mean a slow machine.
@pytest.mark.parametrize(
    "install, error, timeout",
    [
        (lambda s: s.hang("/simple/p/"), asyncio.TimeoutError, 0.5),
        (lambda s: s.close_mid_body("/simple/p/"), aiohttp.ClientPayloadError, 30),
        (lambda s: s.close_mid_body("/simple/p/", b"x" * 10_000), aiohttp.ClientPayloadError, 30),
        (lambda s: s.redirect_loop("/simple/p/"), aiohttp.TooManyRedirects, 30),
    ],
)
def test_hostile_hooks(server, http, install, error, timeout):
    server.add_project("p", ["1.0"])
    install(server)

    async def ask():
        async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=timeout)) as session:
            async with session.get(server.url + "/simple/p/", max_redirects=5) as response:
                await response.read()

    with pytest.raises(error):
        asyncio.run(ask())
    assert http.get(server.url + "/pypi/p/json").status_code == 200


def test_stop_releases_hanging_requests():
    srv = IndexServer().start()
    srv.hang("/x")
    result = {}
    thread = threading.Thread(
        target=lambda: result.update(status=Http().get(srv.url + "/x", timeout=10).status_code)
    )
    thread.start()
    assert srv.wait_for_hits("/x")  # woken by the arrival: a hanging request never ends
    assert srv.wait_until_done("/x", timeout=0) is False
    started = time.monotonic()
    srv.stop()
    thread.join(5)
    assert time.monotonic() - started < 5 and result == {"status": 503}
    assert srv.wait_until_done("/x", timeout=0)
    with pytest.raises(RuntimeError):
        srv.url


# --- files: ranges, conditional requests, records of what was sent -------------


@pytest.fixture(params=["in memory", "on disk"])
def served_file(request, server, tmp_path):
    """A 100,000-byte archive of project f, kept in memory or served from its path."""
    content = bytes(range(256)) * 390 + b"x" * 160
    if request.param == "on disk":
        (tmp_path / "f-1.0.tar.gz").write_bytes(content)
        dist = server.add_file("f", "1.0", "f-1.0.tar.gz", tmp_path / "f-1.0.tar.gz")
        assert dist.content is None and dist.path == tmp_path / "f-1.0.tar.gz"
    else:
        server.add_file("f", "1.0", "f-1.0.tar.gz", content)
    return server.file_url("f", "f-1.0.tar.gz"), content


@pytest.mark.parametrize(
    "ranges, range_header, status, part, content_range",
    [
        (True, "bytes=0-9", 206, slice(0, 10), "bytes 0-9/100000"),
        (True, "bytes=-10", 206, slice(-10, None), "bytes 99990-99999/100000"),
        (True, "bytes=99990-", 206, slice(99990, None), "bytes 99990-99999/100000"),
        (True, "bytes=100000-", 416, slice(0, 0), "bytes */100000"),
        (True, None, 200, slice(None), None),
        (False, "bytes=0-9", 200, slice(None), None),
    ],
)
def test_file_ranges(server, http, served_file, ranges, range_header, status, part, content_range):
    url, content = served_file
    server.ranges = ranges
    resp = http.get(url, {"Range": range_header} if range_header else None)
    assert (resp.status_code, resp.headers.get("Content-Range")) == (status, content_range)
    if status != 416:
        assert resp.content == content[part]
    (record,) = server.requests
    assert (record.status, record.sent) == (status, len(content[part]) if status != 416 else 0)
    assert server.bytes_sent(urlsplit(url).path) == record.sent


def test_file_conditional_request(server, http, served_file):
    url, content = served_file
    etag = http.get(url).headers["ETag"]
    assert http.get(url, {"If-None-Match": etag}).status_code == 304
    assert http.get(url, {"If-None-Match": '"other"'}).content == content


def test_file_hooks_for_downloads(server, http, served_file):
    url, content = served_file
    path = urlsplit(url).path
    server.ignore_ranges(path, after=1)
    assert [http.get(url, {"Range": "bytes=0-9"}).status_code for _ in range(2)] == [206, 200]
    server.clear_hooks()
    server.reset_hits()
    server.throttle(path, 400_000)
    started = time.monotonic()
    assert http.get(url, {"Range": "bytes=0-9"}).content == content  # whole, ranges ignored
    assert time.monotonic() - started >= 0.2
    assert server.bytes_sent(path) == len(content)


def test_close_mid_body_records_what_was_sent(server):
    server.close_mid_body("/pypi/p/json", b"x" * 10_000)
    with pytest.raises(http_client_errors()):
        Http().get(server.url + "/pypi/p/json")
    assert server.bytes_sent("/pypi/p/json") == 5_000


@pytest.mark.parametrize(
    "path, count, arrived",
    [
        ("/pypi/p/json", 2, True),
        ("/pypi/p/json", 3, False),
        ("/pypi/other/json", 1, True),
        ("/simple/p/", 1, False),
        (None, 3, True),
        (None, 4, False),
    ],
)
def test_wait_for_hits_counts_per_path_and_in_all(server, http, path, count, arrived):
    server.add_project("p", ["1.0"])
    for url in ("/pypi/p/json", "/pypi/p/json", "/pypi/other/json"):
        http.get(server.url + url)
    # a short wait suffices where the requests have all arrived already
    assert server.wait_for_hits(path, count, timeout=30 if arrived else 0.1) is arrived


def test_wait_until_done_follows_a_slow_body_until_the_client_leaves(server):
    content = bytes(10 << 20)
    server.add_file("big", "1.0", "big-1.0.tar.gz", content)
    path = urlsplit(server.file_url("big", "big-1.0.tar.gz")).path
    server.throttle(path, 4 << 20)  # 2.5 s for the whole body
    connection = HTTPConnection("127.0.0.1", server.port, timeout=30)
    connection.request("GET", path)
    response = connection.getresponse()
    assert len(response.read(256 << 10)) == 256 << 10
    assert server.wait_until_done(path, timeout=0) is False  # more is on its way
    response.close()
    connection.close()
    assert server.wait_until_done(path)
    assert 256 << 10 <= server.bytes_sent(path) < len(content)
    assert server.wait_until_done("/elsewhere", timeout=0)  # nothing asked there


def http_client_errors():
    import http.client

    return (http.client.IncompleteRead, ConnectionError)


@pytest.mark.parametrize("metadata_hash", ["sha256", "sha512", None])
def test_metadata_announcement(server, http, metadata_hash):
    server.add_project("p", {"1.0": {"requires_dist": ["q"]}}, metadata_hash=metadata_hash)
    link = _finder(server).find_best_match("p").best.link
    body = http.get(link.dist_info_link.url_without_fragment).content
    expected = True if metadata_hash is None else {metadata_hash: hashlib.new(metadata_hash, body).hexdigest()}
    assert link.dist_info_metadata == expected
    with pytest.raises(ValueError):
        server.add_project("q", ["1.0"], metadata_hash="no-such-hash")


@pytest.mark.parametrize("accept, form", [
    ("application/vnd.pypi.simple.v1+json, application/vnd.pypi.simple.v1+html;q=0.2, text/html;q=0.01", "json"),
    ("text/html", "html"),
    ("application/vnd.pypi.simple.v1+json;q=0.1, text/html", "html"),
    ("application/vnd.pypi.simple.v1+json;q=0, text/html;q=0.5", "html"),
    ("", "html"),
])
def test_project_pages_in_both_forms_carry_times_yanks_and_status(accept, form):
    with IndexServer(simple_json=True) as srv:
        srv.add_project("Demo_Pkg", {
            "1.0": {"upload_time": "2024-05-01T10:00:00Z"},
            "2.0": {"yanked": "broken", "upload_time": "2024-07-01T10:00:00+00:00"},
        }, status="archived", status_reason="moved on")
        host, port = urlsplit(srv.url).netloc.split(":")
        conn = HTTPConnection(host, int(port), timeout=10)
        conn.request("GET", "/simple/demo-pkg/", headers={"Accept": accept} if accept else {})
        response = conn.getresponse()
        body = response.read().decode()
        conn.close()
    assert response.status == 200
    if form == "json":
        assert response.getheader("Content-Type").startswith("application/vnd.pypi.simple.v1+json")
        doc = json.loads(body)
        assert doc["project-status"] == {"status": "archived", "reason": "moved on"}
        assert doc["versions"] == ["1.0", "2.0"]
        files = {f["filename"]: f for f in doc["files"]}
        assert files["demo_pkg-1.0-py3-none-any.whl"]["upload-time"] == "2024-05-01T10:00:00Z"
        assert "yanked" not in files["demo_pkg-1.0-py3-none-any.whl"]
        assert files["demo_pkg-2.0-py3-none-any.whl"]["yanked"] == "broken"
    else:
        assert response.getheader("Content-Type").startswith("text/html")
        assert '<meta name="pypi:project-status" content="archived">' in body
        assert '<meta name="pypi:project-status-reason" content="moved on">' in body
        assert 'data-yanked="broken"' in body
