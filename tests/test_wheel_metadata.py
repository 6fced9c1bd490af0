"""The one reader of wheel metadata and its event-loop driver.

The reader (quorvel_master._native.WheelMetadataReader) does no I/O: fed a
wheel in any chunking, by ranges or whole, it gives what zipfile and the
email parser give. Its driver on the event loop
(quorvel_master.indexdata.wheel_metadata) asks a server exactly what the
finder road asks, and holds against the same hostile servers: the same caps
on memory (each case in a fresh process), the same bounds in time, the same
redirects."""

from __future__ import annotations

import asyncio
import email.parser
import hashlib
import io
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import aiohttp
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import arrived, reset_server
from finder_limits_child import finder_with_timeout
from hostile_wheels import (
    GROWTH_CAP, HOSTILE, METADATA, PATH, TRICKLES, answer_from_memory, build_hostile_wheels, many_files_wheel,
    RECORDS, metadata_member, publish, wheel_of,
)
from quorvel_master._native import WheelMetadataReader
from quorvel_master.indexdata.wheel_metadata import UnreadableMetadata, read_wheel_metadata
from quorvel_master.sampleindex import rawzip
from quorvel_master.sampleindex.wheels import build_wheel_bytes
from requirements_support import REAL_REQS

SANITIZERS = os.environ.get("PIC_EXPECT_SANITIZERS") == "1"
REQUIRES = ["x>1", "y[z]>=2; extra == 'fast'"]  # what METADATA of hostile_wheels says

# --- the reader, fed from memory -----------------------------------------------------------------


def zipfile_answer(data: bytes) -> tuple[list[str], bytes]:
    """What zipfile and the email parser read: the Requires-Dist values, and METADATA."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        (name,) = [n for n in archive.namelist() if n.endswith(".dist-info/METADATA") and n.count("/") == 1]
        text = archive.read(name)
    return email.parser.Parser().parsestr(text.decode("utf-8", "replace")).get_all("Requires-Dist") or [], text


def metadata_text(requires: list[str], description: int) -> bytes:
    lines = ["Metadata-Version: 2.1", "Name: demo", "Version: 1.0"] + [f"Requires-Dist: {r}" for r in requires]
    return ("\n".join(lines) + "\n\n" + "a long description line\n" * description).encode()


@st.composite
def wheels(draw) -> bytes:
    requires = draw(st.lists(st.sampled_from(REAL_REQS), max_size=6))
    files = draw(st.sampled_from([0, 3, 1500]))  # 1,500 members: a directory larger than the first request
    method = draw(st.sampled_from([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA]))
    if method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED) and draw(st.booleans()):
        return build_wheel_bytes("demo", "1.0", requires, files=files, metadata_compression=method,
                                 zip64=draw(st.booleans()))[1]
    plain = metadata_text(requires, draw(st.sampled_from([0, 20_000])))
    return rawzip.wheel_of("demo-1.0", rawzip.Member.of(b"demo-1.0.dist-info/METADATA", plain, method), copies=files)


CHUNKINGS = st.lists(st.integers(1, 70_000), max_size=5)


@settings(max_examples=80, deadline=None)
@given(data=wheels(), sizes=CHUNKINGS, ranges=st.booleans())
def test_any_chunking_gives_the_archive_answer(data, sizes, ranges):
    requires, text = zipfile_answer(data)
    reader = WheelMetadataReader("http://h/demo-1.0-py3-none-any.whl", whole=True)
    requests = answer_from_memory(reader, data, sizes, ranges=ranges)
    assert reader.result() == requires and reader.metadata() == text
    assert requests == 1 if not ranges else 1 <= requests <= 3


@settings(max_examples=300, deadline=None)
@given(data=st.data(), sizes=CHUNKINGS)
def test_a_damaged_wheel_ends_the_read(data, sizes):
    """A wheel with bytes changed: the reader ends, with an answer or an
    ordinary exception, after a few requests; an answer is zipfile's."""
    wheel = bytearray(build_wheel_bytes("demo", "1.0", REAL_REQS[:3], files=3)[1])
    for _ in range(data.draw(st.integers(1, 4))):
        wheel[data.draw(st.integers(0, len(wheel) - 1))] = data.draw(st.integers(0, 255))
    reader = WheelMetadataReader("http://h/demo-1.0-py3-none-any.whl")
    try:
        answer_from_memory(reader, bytes(wheel), sizes)
    except Exception:
        return
    try:
        expected = zipfile_answer(bytes(wheel))[0]
    except Exception:
        return  # zipfile stumbles on bytes the reader never reads (another member's entry, say)
    assert reader.result() == expected


@pytest.mark.parametrize("misuse, said", [
    (lambda r: r.result(), "not complete"),
    (lambda r: r.feed(b"x"), "no body is being read"),
    (lambda r: (r.wanted(), r.respond(200, {}), r.wanted()), "a body is being read"),
    (lambda r: (r.wanted(), r.respond(206, {}), r.wanted(), r.respond(404, {})), "unexpected status 404"),
], ids=["result too early", "feed without an answer", "asking during a body", "whole file refused"])
def test_out_of_turn_calls_are_errors(misuse, said):
    reader = WheelMetadataReader("http://h/demo-1.0-py3-none-any.whl")
    with pytest.raises(Exception, match=said):
        misuse(reader)


# --- the driver on the event loop, against the sample index ---------------------------------------


def read(url: str, **options):
    """read_wheel_metadata with a fresh aiohttp session on a fresh loop; a read
    that outlasts every bound of its own fails the test (TimeoutError)."""
    async def go():
        async with aiohttp.ClientSession() as session:
            return await asyncio.wait_for(read_wheel_metadata(session, url, **options), 60)
    return asyncio.run(go())


def read_failure(url: str, **options) -> str:
    with pytest.raises(UnreadableMetadata) as failure:
        read(url, **options)
    return str(failure.value)


def asked(srv, path=PATH):
    return [(r.status, r.headers.get("Range"), r.headers.get("Accept-Encoding")) for r in srv.requests
            if r.path == path]


@pytest.fixture
def temp_files(tmp_path, monkeypatch):
    """What the process holds open, or left, where tempfile puts its files."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))

    def held():
        links = [os.readlink(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")
                 if os.path.exists(f"/proc/self/fd/{fd}")]
        return [link for link in links if link.startswith(str(tmp_path))] + os.listdir(tmp_path)
    return held


SHAPES = {
    "one request": (lambda srv: publish(srv, wheel_of(metadata_member())), [206]),
    "the directory past the end asked": (lambda srv: publish(srv, many_files_wheel()), [206, 206, 206]),
    "no ranges": (lambda srv: (setattr(srv, "ranges", False), publish(srv, many_files_wheel())), [200]),
    "416 to the first request": (lambda srv: (publish(srv, many_files_wheel()), srv.set_status(PATH, 416, times=1)),
                                 [416, 200]),
    "no usable Content-Range": (lambda srv: (publish(srv, many_files_wheel()), srv.set_response(
        PATH, b"x" * 10, status=206, headers={"Content-Range": "bytes */999"}, times=1)), [206, 200]),
    "ranges refused after the first answer": (
        lambda srv: (publish(srv, many_files_wheel()), srv.ignore_ranges(PATH, after=1)), [206, 200, 200]),
}


@pytest.mark.parametrize("install, statuses", SHAPES.values(), ids=list(SHAPES))
def test_the_requests_are_the_finder_roads(m, srv, temp_files, install, statuses):
    install(srv)
    assert m.PackageIndexClient(None)._get_dependencies_via_unearth("big", "1.0", srv.simple_url) != []
    by_finder = asked(srv)
    reset_server(srv)
    install(srv)
    assert read(srv.url + PATH) == REQUIRES
    assert asked(srv) == by_finder
    assert [status for status, _, _ in by_finder] == statuses
    assert {encoding for _, _, encoding in by_finder} == {"identity"}
    assert temp_files() == []


WHEEL_BYTES = many_files_wheel()
HASHES = {
    "downloaded, right": (False, {"sha256": hashlib.sha256(WHEEL_BYTES).hexdigest()}, None),
    "downloaded, wrong": (False, {"sha256": "0" * 64}, "sha256 mismatch for "),
    "downloaded, unknown to hashlib": (False, {"shake-9000": "ab"}, "no hash that hashlib knows"),
    "ranges, wrong": (True, {"sha256": "0" * 64}, None),  # the range road never holds the whole file
}


@pytest.mark.parametrize("ranges, hashes, said", HASHES.values(), ids=list(HASHES))
def test_a_whole_wheel_is_checked_against_its_hashes(srv, temp_files, ranges, hashes, said):
    srv.ranges = ranges
    publish(srv, WHEEL_BYTES)
    if said is None:
        assert read(srv.url + PATH, hashes=hashes) == REQUIRES
    else:
        assert said in read_failure(srv.url + PATH, hashes=hashes)
    assert temp_files() == []


@pytest.mark.parametrize("served, hashes, expected", [
    (METADATA, {"sha256": hashlib.sha256(METADATA).hexdigest()}, REQUIRES),
    (b"Requires-Dist: other\n\n", None, ["other"]),
    (b"Requires-Dist: other\n\n", {"sha256": hashlib.sha256(METADATA).hexdigest()}, "sha256 mismatch for "),
], ids=["checked", "announced as true", "not what was announced"])
def test_the_metadata_file_instead_of_the_wheel(srv, served, hashes, expected):
    publish(srv, WHEEL_BYTES, metadata_file=True)
    srv.set_response(PATH + ".metadata", served)
    options = dict(metadata_url=srv.url + PATH + ".metadata", metadata_hashes=hashes)
    if isinstance(expected, str):
        assert expected in read_failure(srv.url + PATH, **options)
    else:
        assert read(srv.url + PATH, **options) == expected
    assert asked(srv) == []  # the wheel itself is never asked for


def test_the_network_layers_session_drives_it(srv):
    from quorvel_master.network import Network

    publish(srv, many_files_wheel())

    async def go():
        network = Network()
        try:
            return await read_wheel_metadata(network.session(), srv.url + PATH)
        finally:
            await network.close()

    assert asyncio.run(go()) == REQUIRES
    assert [status for status, _, _ in asked(srv)] == [206, 206, 206]


# --- hostile servers, each read in a fresh process --------------------------------------------------


@pytest.fixture(scope="module")
def built():
    return build_hostile_wheels()


def loop_child(srv, path: str) -> dict:
    wheel = srv.project("big").releases["1.0"].files[0]
    command = [sys.executable, str(Path(__file__).with_name("wheel_metadata_child.py")), srv.url + PATH,
               "--sha256", wheel.sha256]
    if path.endswith(".metadata"):
        command += ["--metadata", srv.url + path]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run(command, capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    return json.loads(out.stdout)


@pytest.mark.parametrize("case", list(HOSTILE.values()), ids=list(HOSTILE))
def test_hostile_answers_are_bounded_on_the_event_loop(srv, built, case):
    srv.ranges = case.ranges
    path = case.install(srv, built)
    result = loop_child(srv, path)
    if isinstance(case.answer, int):
        assert len(result["answer"]) == case.answer and result["answer"][0]["name"] == "a"
    else:
        assert result["answer"] == case.answer
    if case.said is None:
        assert result["error"] is None
    else:
        assert case.said in result["error"], result["error"]
    if case.most_sent is not None:
        assert srv.bytes_sent(path) <= case.most_sent
    if not SANITIZERS:  # their allocator keeps freed memory aside, and doubles what it hands out
        assert result["growth_kib"] * 1024 < GROWTH_CAP, result["growth_kib"]


# --- time ---------------------------------------------------------------------------------------------

SECONDS = 1.0


@pytest.mark.parametrize("how, said", list(TRICKLES.values()), ids=list(TRICKLES))
def test_a_trickle_ends_within_the_time_out_on_the_event_loop(srv, how, said):
    srv.ranges = how.get("ranges", True)
    publish(srv, many_files_wheel(), metadata_file=how.get("metadata", False))
    path = PATH + ".metadata" if how.get("metadata") else PATH
    srv.trickle(path, 0.05, after=how.get("after", 0))
    options = dict(metadata_url=srv.url + path) if how.get("metadata") else {}
    started = time.monotonic()
    message = read_failure(srv.url + PATH, timeout=SECONDS, **options)
    took = time.monotonic() - started
    assert message == f"{srv.url}{path} timed out: {said}"
    assert SECONDS <= took < SECONDS + 15
    assert srv.wait_until_done(path)  # the connection was closed


def stall_after(first: int):
    yield b"\0" * first
    while True:
        yield b"\0"


FAILURES = {
    "the wheel is gone": (lambda srv: srv.set_status(PATH, 404), "404", [404]),
    "a server error for the directory": (
        lambda srv: srv.endless(PATH, lambda: [b"down"], status=500, after=1), "500", [206, 500]),
    "the download cut short": (lambda srv: (setattr(srv, "ranges", False), srv.close_mid_body(PATH)), "", [200]),
    "a download that stalls after 128 KiB": (
        lambda srv: srv.endless(PATH, lambda: stall_after(128 << 10), interval=0.05),
        "less than 64 KiB arrived in 1 s", [200]),
}


@pytest.mark.parametrize("driver", ["finder road", "event loop"])
@pytest.mark.parametrize("install, said, statuses", FAILURES.values(), ids=list(FAILURES))
def test_failures_end_both_drivers_alike(m, srv, log, monkeypatch, temp_files, driver, install, said, statuses):
    publish(srv, many_files_wheel())
    install(srv)
    if driver == "finder road":
        monkeypatch.setattr(m, "PackageFinder", finder_with_timeout(SECONDS))
        assert m.PackageIndexClient(None)._get_dependencies_via_unearth("big", "1.0", srv.simple_url) == []
        (message,) = log.messages()
    else:
        message = read_failure(srv.url + PATH, timeout=SECONDS)
    assert said in message
    assert [status for status, _, _ in asked(srv)] == statuses
    assert temp_files() == []


def test_a_download_that_keeps_its_pace_outlasts_the_sessions_own_time_out(srv):
    srv.ranges = False
    publish(srv, many_files_wheel())
    srv.throttle(PATH, 128 << 10)  # two seconds or so, 128 KiB in each

    async def go():
        async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=0.5)) as session:
            return await read_wheel_metadata(session, srv.url + PATH, timeout=SECONDS)

    assert asyncio.run(go()) == REQUIRES


@pytest.mark.parametrize("ranges", [True, False], ids=["a range", "the download"])
def test_cancelling_stops_the_read_at_once(srv, temp_files, ranges):
    srv.ranges = ranges
    publish(srv, many_files_wheel())
    srv.trickle(PATH, 0.05, piece=64 << 10 if not ranges else 1)

    async def scenario():
        async with aiohttp.ClientSession() as session:
            task = asyncio.create_task(read_wheel_metadata(session, srv.url + PATH))
            await arrived(srv, PATH)
            while not any(r.sent >= 2 for r in srv.requests if r.path == PATH):
                await asyncio.sleep(0.01)  # the trickle is under way
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert await asyncio.to_thread(srv.wait_until_done, PATH, 5)

    asyncio.run(scenario())
    assert temp_files() == []


# --- redirects ---------------------------------------------------------------------------------------


@pytest.fixture
def other(index_servers):
    server = index_servers[1]
    reset_server(server)
    yield server
    reset_server(server)


@pytest.mark.parametrize("status", [301, 307])
@pytest.mark.parametrize("ranges", [True, False], ids=["ranges", "download"])
def test_redirects_to_another_origin_drop_the_credentials(srv, other, status, ranges):
    srv.ranges = other.ranges = ranges
    publish(srv, many_files_wheel())
    publish(other, many_files_wheel())
    srv.redirect(PATH, other.url + PATH, status=status)
    credentials = {"Authorization": "Basic dXNlcjpwdw==", "Cookie": "c=1"}
    assert read(srv.url + PATH, headers=credentials) == REQUIRES
    here, there = [r for r in srv.requests if r.path == PATH], [r for r in other.requests if r.path == PATH]
    assert len(here) == len(there) == (3 if ranges else 1)
    assert all(r.headers.get("Authorization") == credentials["Authorization"] for r in here)
    assert all("Authorization" not in r.headers and "Cookie" not in r.headers for r in there)


@pytest.mark.parametrize("install, said, hits", [
    (lambda srv: srv.redirect_loop(PATH), "more than 5 redirects", 6),
    (lambda srv: srv.redirect(PATH, "file:///etc/passwd"), "which is not an http or https URL", 1),
], ids=["a loop", "to a file"])
def test_redirects_that_are_not_followed(srv, install, said, hits):
    publish(srv, many_files_wheel())
    install(srv)
    url = (srv.url + PATH).replace("http://", "http://user:secret@")
    message = read_failure(url)
    assert said in message and "secret" not in message and "user:****@" in message
    assert len([r for r in srv.requests if r.path == PATH]) == hits


def metadata_entry_at(wheel: bytes, directory: int) -> int:
    """Where METADATA's entry lies in the central directory."""
    at = directory
    while wheel[at:at + 4] == b"PK\x01\x02":
        name_size, extra_size, comment_size = struct.unpack_from("<3H", wheel, at + 28)
        if wheel[at + 46:at + 46 + name_size].endswith(b".dist-info/METADATA"):
            return at
        at += 46 + name_size + extra_size + comment_size
    raise AssertionError("no METADATA entry")


def planned_ranges(wheel: bytes) -> list[str]:
    """The Range headers a read of `wheel` should send: its tail; the rest of
    the directory when the tail does not hold it, from METADATA's local header
    on when the tail shows its entry and that adds at most WIDEN; then
    METADATA alone, with room for a longer local header, unless held."""
    tail, widen = WheelMetadataReader.TAIL, WheelMetadataReader.WIDEN
    held = max(0, len(wheel) - tail)
    ranges = [f"bytes=-{tail}"]
    with zipfile.ZipFile(io.BytesIO(wheel)) as zf:
        info = zf.getinfo("big-1.0.dist-info/METADATA")
        if zf.start_dir < held:
            begin = zf.start_dir
            if metadata_entry_at(wheel, zf.start_dir) >= held and 0 < begin - info.header_offset <= widen:
                begin = info.header_offset
            ranges.append(f"bytes={begin}-{held - 1}")
            held = begin
    end = info.header_offset + 30 + len(info.orig_filename) + len(info.extra) + info.compress_size + 1024
    if info.header_offset < held:
        ranges.append(f"bytes={info.header_offset}-{min(end, held) - 1}")
    return ranges


def wheel_like_a_build(files: int, between: int = 0) -> bytes:
    """A wheel laid out as build backends write one: `files` modules, then the
    .dist-info with METADATA first, `between` random bytes after it."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as zf:
        for i in range(files):
            zf.writestr(f"big/module_{i:05d}.py", f"x = {i}\n")
        zf.writestr("big-1.0.dist-info/METADATA", METADATA)
        if between:
            zf.writestr(zipfile.ZipInfo("big-1.0.dist-info/blob"), os.urandom(between))
        zf.writestr("big-1.0.dist-info/WHEEL", "Wheel-Version: 1.0\n")
    return out.getvalue()


def blob(size: int) -> rawzip.Member:
    return rawzip.Member.of(b"big/blob.bin", os.urandom(size), zipfile.ZIP_STORED)


TAIL = WheelMetadataReader.TAIL
PLANS = {
    # wheel: how many requests it costs
    "smaller than the tail": (wheel_of(metadata_member()), 1),
    "METADATA just inside the tail": (wheel_of(blob(4 * TAIL), metadata_member()), 1),
    "METADATA before a large member": (wheel_of(metadata_member(), blob(2 * TAIL)), 2),
    "the directory past the tail": (many_files_wheel(), 3),
    "both past the tail, METADATA far before": (rawzip.wheel_of("big-1.0", metadata_member(), blob(8 * TAIL),
                                                                copies=400), 3),
    "the directory past the tail, METADATA's entry in it": (wheel_like_a_build(600), 2),
    "the same, RECORD too long to bridge": (wheel_like_a_build(600, WheelMetadataReader.WIDEN + 1), 3),
}


@pytest.mark.parametrize("wheel, requests", PLANS.values(), ids=list(PLANS))
def test_a_wheel_costs_its_tail_then_only_the_bytes_it_lacks(m, srv, wheel, requests):
    """Both drivers: the tail first, then each piece missing asked alone, so a
    read sends no more than the tail, the directory and METADATA."""
    publish(srv, wheel)
    planned = planned_ranges(wheel)
    assert len(planned) == requests
    assert m.PackageIndexClient(None)._get_dependencies_via_unearth("big", "1.0", srv.simple_url) == RECORDS
    assert [rng for _, rng, _ in asked(srv)] == planned
    reset_server(srv)
    publish(srv, wheel)
    assert read(srv.url + PATH) == REQUIRES
    assert [rng for _, rng, _ in asked(srv)] == planned
