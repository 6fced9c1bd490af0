"""The finder road against real indexes.

Both roads against one real index: pypiserver serves a folder of wheels and
sdists built here, as PEP 503 pages (finder road) and as a JSON API at
/{package_name}/json (API road). The answers must agree.

Then the core metadata of wheels that no metadata file describes: range
requests against the sample index (counted, with the bytes sent), the streamed
download when ranges are not honoured, metadata files checked against their
announced hash, cancellation of a download, and pypiserver's own file serving."""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import os
import struct
import tempfile
import time
import zipfile
from pathlib import Path

import pytest

from conftest import run
from requirements_support import pypiserver as run_pypiserver
from quorvel_master.business_layer.packages.pip_settings import SettingsManager
from quorvel_master._native import WheelMetadataReader
from quorvel_master.sampleindex import build_sdist, build_wheel, extract_metadata

pytest.importorskip("pypiserver")

PUBLISHED = {
    "demo-pkg": [("0.9", "wheel"), ("1.0", "wheel"), ("1.0", "sdist"), ("1.0.post1", "sdist"), ("1.10", "wheel"),
                 ("2.0rc1", "wheel"), ("2.0", "wheel"), ("2.0", "sdist")],
    "other": [("3.0", "wheel"), ("3.1b1", "wheel")],
}


@pytest.fixture(scope="module")
def pypiserver(tmp_path_factory):
    folder = tmp_path_factory.mktemp("packages")
    for name, files in PUBLISHED.items():
        for version, kind in files:
            (build_wheel if kind == "wheel" else build_sdist)(folder, name, version, summary=f"{name} {version}")
    with run_pypiserver(folder) as url:
        yield url


def clients(m, url):
    index = url + "/simple/"
    api = SettingsManager(
        {
            "index_urls": [{"url": index, "primary": True}],
            "pip_api": [{"index_url": index, "api_pattern": url + "/{package_name}/json"}],
        }
    )
    finder = SettingsManager({"index_urls": [{"url": index, "primary": True}]})
    return index, m.PackageIndexClient(api), m.PackageIndexClient(finder)


def ask_both(m, url, method, *args):
    index, api, finder = clients(m, url)

    async def go():
        try:
            return await getattr(api, method)(*args), await getattr(finder, method)(*args)
        finally:
            await api.close()
            await finder.close()

    return run(go())


@pytest.mark.parametrize(
    "name, expected",
    [
        ("demo-pkg", ["2.0", "2.0rc1", "1.10", "1.0.post1", "1.0", "0.9"]),
        ("other", ["3.1b1", "3.0"]),
        ("absent", []),
    ],
)
def test_versions_agree(m, log, pypiserver, name, expected):
    by_api, by_finder = ask_both(m, pypiserver, "get_versions", name)
    assert by_api == by_finder == expected


@pytest.mark.parametrize("name, found", [("demo-pkg", True), ("other", True), ("absent", False)])
def test_repository_agrees(m, log, pypiserver, name, found):
    by_api, by_finder = ask_both(m, pypiserver, "find_repo_for_package", name)
    assert by_api == by_finder == (pypiserver + "/simple/" if found else None)


@pytest.mark.parametrize("name, version", [("demo-pkg", "1.0"), ("demo-pkg", "1.0.post1"), ("other", "3.1b1")])
def test_version_repository_agrees_for_published_versions(m, log, pypiserver, name, version):
    by_api, by_finder = ask_both(m, pypiserver, "find_repo_for_package_version", name, version)
    assert by_api == by_finder == pypiserver + "/simple/"


def test_version_check_without_version_in_the_pattern_cannot_tell(m, log, pypiserver):
    # /{package_name}/json holds no version: the API road says yes for any version
    by_api, by_finder = ask_both(m, pypiserver, "find_repo_for_package_version", "demo-pkg", "7.7")
    assert (by_api, by_finder) == (pypiserver + "/simple/", None)


@pytest.mark.parametrize("name, latest", [("demo-pkg", "2.0"), ("other", "3.1b1")])
def test_package_info_agrees(m, log, pypiserver, name, latest):
    by_api, by_finder = ask_both(m, pypiserver, "get_package_info", name)
    # this index's JSON has no name or summary: the API road falls back like the finder road
    assert by_api == by_finder == {"name": name, "latest_version": latest, "summary": ""}


def test_absent_package_info(m, log, pypiserver):
    by_api, by_finder = ask_both(m, pypiserver, "get_package_info", "absent")
    assert by_api == by_finder == {"error": "Package 'absent' not found in any configured index"}
    index = pypiserver + "/simple/"
    assert log.records == [
        ("info", "Querying primary index for package info: absent"),
        ("debug", f"Package absent not found at {index}"),
        ("warning", "Could not retrieve package info for absent from any index"),
        ("info", "Querying primary index for package info: absent"),
        ("warning", "Could not retrieve package info for absent from any index"),
    ]


def test_version_existence_through_the_finder(m, log, pypiserver):
    client = m.PackageIndexClient(None)
    index = pypiserver + "/simple/"
    present = [(n, v) for n, files in PUBLISHED.items() for v, _ in files]
    for name, version in present + [("demo-pkg", "1.0.0")]:  # 1.0.0 == 1.0
        assert client._package_version_exists_via_unearth(name, version, index) is True, (name, version)
    for name, version in [("demo-pkg", "3.0"), ("absent", "1.0"), ("demo-pkg", "not-a-version")]:
        assert client._package_version_exists_via_unearth(name, version, index) is False
    assert client._package_version_exists_via_unearth("demo-pkg", "1.0", "http://127.0.0.1:1/simple/") is False
    assert log.records == []


# --- core metadata of wheels without a metadata file --------------------------------
#
# The sample index serves the wheels below through aiohttp's file response, so
# range requests get real partial answers; each test counts the requests for
# the wheel and the bytes the server sent.

REQUIRES = ["x>1", "y[z]>=2; extra == 'fast'"]
RECORDS = [
    {"name": "x", "version_spec": ">1", "extras": [], "markers": ""},
    {"name": "y", "version_spec": ">=2", "extras": ["z"], "markers": "extra == 'fast'"},
]
LARGE = 32 << 20
#: What the first range request asks of a wheel's end.
TAIL = WheelMetadataReader.TAIL


def truncated_directory(source: Path, dest: Path) -> Path:
    """`source` with its last directory entry cut short (the end record adjusted)."""
    data = source.read_bytes()
    with zipfile.ZipFile(source) as zf:
        last = zf.infolist()[-1]
    cut = 46 + len(last.filename.encode()) + len(last.extra) + len(last.comment) - 20
    end = data.rindex(b"PK\x05\x06")
    fields = list(struct.unpack("<4s4H2LH", data[end:end + 22]))
    fields[5] -= cut
    dest.parent.mkdir(parents=True, exist_ok=True)
    dest.write_bytes(data[:end - cut] + struct.pack("<4s4H2LH", *fields))
    return dest


@pytest.fixture(scope="session")
def wheels(tmp_path_factory):
    """Wheels of the project big 1.0, built once. "large" has a stored member
    of 32 MiB before its .dist-info; the others have 2,000 small members, so
    their central directory (about 150 KiB) is larger than the first request
    asks for and METADATA lies before it."""
    root = tmp_path_factory.mktemp("wheels")
    built = {
        "large": build_wheel(root / "large", "big", "1.0", REQUIRES, payload=LARGE),
        "many files": build_wheel(root / "many", "big", "1.0", REQUIRES, files=2000),
        "zip64": build_wheel(root / "zip64", "big", "1.0", REQUIRES, files=2000, zip64=True),
        "stored metadata": build_wheel(root / "stored", "big", "1.0", REQUIRES, files=2000,
                                       metadata_compression=zipfile.ZIP_STORED),
    }
    built["truncated directory"] = truncated_directory(built["many files"], root / "cut" / built["large"].name)
    return built


def publish(srv, wheel: Path, **project) -> str:
    """Publishes `wheel` as big 1.0 without a metadata file; gives its path on the server."""
    srv.add_project("big", {}, **{"metadata_files": False, **project})
    srv.add_file("big", "1.0", wheel.name, wheel)
    return f"/files/big/{wheel.name}"


def wheel_requests(srv, path):
    return [r for r in srv.requests if r.path == path]


@pytest.fixture
def temp_files(tmp_path, monkeypatch):
    """Points tempfile at a directory of the test's; gives a function listing
    what the process holds open there or left there (an unlinked temporary
    file shows only as an open descriptor)."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))

    def held():
        links = []
        for fd in os.listdir("/proc/self/fd"):
            with contextlib.suppress(OSError):
                links.append(os.readlink(f"/proc/self/fd/{fd}"))
        return [link for link in links if link.startswith(str(tmp_path))] + os.listdir(tmp_path)

    return held


def via_finder(m, srv):
    return m.PackageIndexClient(None)._get_dependencies_via_unearth("big", "1.0", srv.simple_url)


@pytest.mark.parametrize("kind, requests", [("large", 1), ("many files", 3), ("zip64", 3), ("stored metadata", 3)])
def test_range_road_reads_the_end_and_the_member(m, srv, log, wheels, temp_files, kind, requests):
    wheel = wheels[kind]
    path = publish(srv, wheel)
    assert via_finder(m, srv) == RECORDS
    asked = wheel_requests(srv, path)
    # the end (and the rest of the directory when it is larger), then METADATA alone
    assert [r.status for r in asked] == [206] * requests
    assert asked[0].headers["Range"] == f"bytes=-{TAIL}"
    with zipfile.ZipFile(wheel) as zf:
        directory_and_end = wheel.stat().st_size - zf.start_dir
    assert srv.bytes_sent(path) <= max(TAIL, directory_and_end) + 2048
    assert log.records == [] and temp_files() == []


@pytest.mark.parametrize("kind", ["large", "zip64", "stored metadata"])
def test_server_ignoring_ranges_streams_the_wheel_once(m, srv, log, wheels, temp_files, kind):
    srv.ranges = False
    path = publish(srv, wheels[kind])
    assert via_finder(m, srv) == RECORDS
    # the whole wheel came with the answer to the first request: no second download
    assert [r.status for r in wheel_requests(srv, path)] == [200]
    assert srv.bytes_sent(path) == wheels[kind].stat().st_size
    assert log.records == [] and temp_files() == []


ODD_ANSWERS = [
    ("416 to the first request", lambda srv, path: srv.set_status(path, 416, times=1), [416, 200]),
    ("no usable Content-Range",
     lambda srv, path: srv.set_response(path, b"x" * 10, status=206, headers={"Content-Range": "bytes */999"},
                                        times=1), [206, 200]),
    ("Content-Length unlike the range",
     lambda srv, path: srv.set_response(path, b"x" * 10, status=206, headers={"Content-Range": "bytes 0-99/100"},
                                        times=1), [206, 200]),
    ("ranges refused after the first answer", lambda srv, path: srv.ignore_ranges(path, after=1), [206, 200, 200]),
]


@pytest.mark.parametrize("install, statuses", [c[1:] for c in ODD_ANSWERS], ids=[c[0] for c in ODD_ANSWERS])
def test_unusable_range_answers_fall_back_to_a_download(m, srv, log, wheels, temp_files, install, statuses):
    path = publish(srv, wheels["many files"])
    install(srv, path)
    assert via_finder(m, srv) == RECORDS
    assert [r.status for r in wheel_requests(srv, path)] == statuses
    assert log.records == [] and temp_files() == []


def page_with(srv, href, **attrs):
    """A hand-written project page for big: one anchor with `attrs`."""
    extra = "".join(f' {name.replace("_", "-")}="{value}"' for name, value in attrs.items())
    srv.set_response("/simple/big/", f'<html><body><a href="{href}"{extra}>{href.split("#")[0]}</a></body></html>',
                     content_type="text/html")


def mismatch(name, url, announced, got):
    return (f"Unearth get_dependencies failed: {name} mismatch for {url}: announced {announced}, "
            f"got {hashlib.new(name, got).hexdigest()}")


@pytest.mark.parametrize(
    "name, digest, ranges, fails",
    [
        ("sha256", None, False, False),
        ("sha512", None, False, False),
        ("sha256", "0" * 64, False, True),
        ("md5", "0" * 32, False, True),
        ("egg", "big", False, False),  # no hash in the fragment: nothing to check
        # the range road never holds the whole file, so it cannot check it
        ("sha256", "0" * 64, True, False),
    ],
    ids=["sha256", "sha512", "wrong sha256", "wrong md5", "no hash", "wrong hash, ranges"],
)
def test_streamed_wheel_is_checked_against_the_link_hash(m, srv, log, wheels, temp_files, name, digest, ranges,
                                                          fails):
    wheel = wheels["many files"]
    srv.ranges = ranges
    path = publish(srv, wheel)
    digest = digest or hashlib.new(name, wheel.read_bytes()).hexdigest()
    page_with(srv, f"../../files/big/{wheel.name}#{name}={digest}")
    assert via_finder(m, srv) == ([] if fails else RECORDS)
    assert log.messages() == ([mismatch(name, srv.url + path, digest, wheel.read_bytes())] if fails else [])
    assert temp_files() == []  # also after a failure


OTHER_METADATA = b"Metadata-Version: 2.1\nName: big\nVersion: 1.0\nRequires-Dist: other\n\n"


@pytest.mark.parametrize(
    "metadata_hash, served, expected",
    [
        ("sha256", None, RECORDS),
        ("sha512", None, RECORDS),
        ("sha256", OTHER_METADATA, []),
        ("blake2b", OTHER_METADATA, []),
        # announced as "true": nothing to check the file against
        (None, OTHER_METADATA, [{"name": "other", "version_spec": "", "extras": [], "markers": ""}]),
    ],
    ids=["sha256", "sha512", "wrong sha256", "wrong blake2b", "true"],
)
def test_metadata_files_are_checked_against_their_announced_hash(m, srv, log, wheels, metadata_hash, served,
                                                                   expected):
    wheel = wheels["many files"]
    path = publish(srv, wheel, metadata_files=True, metadata_hash=metadata_hash)
    if served is not None:
        srv.set_response(path + ".metadata", served)
    assert via_finder(m, srv) == expected
    if expected:
        assert log.messages() == []
    else:
        announced = hashlib.new(metadata_hash, extract_metadata(wheel.name, wheel)).hexdigest()
        assert log.messages() == [mismatch(metadata_hash, srv.url + path + ".metadata", announced, served)]
    assert wheel_requests(srv, path) == []  # the wheel itself is never asked for


def test_metadata_file_announced_with_an_unknown_hash_is_a_failure(m, srv, log, wheels):
    wheel = wheels["many files"]
    publish(srv, wheel, metadata_files=True)
    page_with(srv, f"../../files/big/{wheel.name}", data_core_metadata="shake-9000=abc")
    assert via_finder(m, srv) == []
    assert log.messages() == [
        "Unearth get_dependencies failed: no hash that hashlib knows among ['shake-9000'] for "
        f"{srv.url}/files/big/{wheel.name}.metadata"]


def test_broken_archive_is_not_downloaded_whole(m, srv, log, wheels, temp_files):
    path = publish(srv, wheels["truncated directory"])
    assert via_finder(m, srv) == []
    assert log.messages() == ["Unearth get_dependencies failed: Truncated central directory"]
    # the end and the directory; a download would read the same broken directory
    assert [r.status for r in wheel_requests(srv, path)] == [206, 206]
    assert temp_files() == []


def test_a_directory_too_large_to_hold_is_a_failure(m, srv, log, tmp_path):
    """End records that claim a central directory of 79 MiB (in a sparse file of
    80 MiB): the range road does not fetch it."""
    wheel = tmp_path / "big-1.0-py3-none-any.whl"
    with wheel.open("wb") as f:
        f.truncate(80 << 20)
        f.seek(80 << 20)
        f.write(struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, 1, 1, 79 << 20, 1 << 20, 0))
    path = publish(srv, wheel)
    assert via_finder(m, srv) == []
    assert log.messages() == [f"Unearth get_dependencies failed: {wheel.name}: central directory of {79 << 20} "
                              "bytes, larger than 32 MiB"]
    assert srv.bytes_sent(path) == TAIL


def test_range_requests_carry_the_index_credentials(m, srv, wheels):
    path = publish(srv, wheels["many files"])
    url = srv.simple_url.replace("http://", "http://user:pw@")
    assert m.PackageIndexClient(None)._get_dependencies_via_unearth("big", "1.0", url) == RECORDS
    asked = wheel_requests(srv, path)
    assert len(asked) == 3
    assert all(r.headers.get("Authorization") == "Basic dXNlcjpwdw==" for r in asked)


def test_cancelling_stops_the_download(m, srv, log, fixed_settings, wheels, temp_files):
    """The task awaiting the finder road is cancelled while the wheel streams:
    the worker thread stops at its next chunk, and the temporary file goes."""
    wheel = wheels["large"]
    srv.ranges = False
    path = publish(srv, wheel)
    srv.throttle(path, 4 << 20)  # 8 s for the whole wheel

    async def scenario():
        client = m.PackageIndexClient(None)
        task = asyncio.create_task(client._get_dependencies_from_index("big", "1.0", srv.simple_url))
        # streaming: the server is sending and the download has its file (on
        # a slow build the socket buffers take the first bytes before that)
        while srv.bytes_sent(path) < 256 << 10 or not temp_files():
            assert not task.done(), task
            await asyncio.sleep(0.01)
        held_while_streaming = temp_files()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        deadline = time.monotonic() + 5
        while temp_files() and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        assert await asyncio.to_thread(srv.wait_until_done, path)  # the server stopped sending
        sent = srv.bytes_sent(path)
        await client.close()
        return held_while_streaming, sent

    held_while_streaming, sent = run(scenario())
    assert len(held_while_streaming) == 1  # the download had its file
    assert temp_files() == []
    assert sent < wheel.stat().st_size // 8
    assert log.records == []


@pytest.fixture(scope="module")
def pypiserver_wheels(tmp_path_factory, wheels):
    """A real pypiserver over the large and the zip64 wheel, as two projects."""
    folder = tmp_path_factory.mktemp("served")
    for kind, name in [("large", "big"), ("zip64", "bigzip")]:
        target = folder / wheels[kind].name.replace("big", name, 1)
        with zipfile.ZipFile(wheels[kind]) as zf:  # the same wheel, under the other name only in its file name
            assert zf.testzip() is None
        os.link(wheels[kind], target)
    with run_pypiserver(folder) as url:
        yield url


@pytest.mark.parametrize("name", ["big", "bigzip"])
def test_pypiserver_wheels_through_the_finder(m, log, pypiserver_wheels, name):
    client = m.PackageIndexClient(None)
    assert client._get_dependencies_via_unearth(name, "1.0", pypiserver_wheels + "/simple/") == RECORDS
    assert client._get_extras_via_unearth(name, "1.0", pypiserver_wheels + "/simple/") == {"fast"}
    assert log.records == []
