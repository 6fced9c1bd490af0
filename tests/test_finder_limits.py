"""The wheel-metadata road against hostile and broken servers.

Whatever a server sends, one read of core metadata through the finder is
bounded: in memory (zip bombs, encoded metadata files, streams that never
end, huge central directories: each case in a fresh child process whose peak
resident growth is read), in time (trickling answers end within the finder
session's time-out; a cancelled query stops pulling at once and frees its
worker), and in what it sends where (redirects are followed, credentials stay
with their origin). Also: METADATA's Requires-Dist fields are kept as the
email parser reads them, whatever else the file holds."""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses as dc
import email.parser
import gzip
import itertools
import json
import os
import struct
import subprocess
import sys
import time
import zipfile
import zlib
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from cli_support import isolated_env, run_cli
from finder_limits_child import finder_with_timeout
from quorvel_master.sampleindex import rawzip
from quorvel_master.sampleindex.rawzip import Member, deflate_raw

SANITIZERS = os.environ.get("PIC_EXPECT_SANITIZERS") == "1"
MIB = 1 << 20
WHEEL = "big-1.0-py3-none-any.whl"
PATH = f"/files/big/{WHEEL}"
METADATA = (b"Metadata-Version: 2.1\nName: big\nVersion: 1.0\nRequires-Dist: x>1\n"
            b"Requires-Dist: y[z]>=2; extra == 'fast'\n\n")
RECORDS = [
    {"name": "x", "version_spec": ">1", "extras": [], "markers": ""},
    {"name": "y", "version_spec": ">=2", "extras": ["z"], "markers": "extra == 'fast'"},
]
# Bounds the README states: METADATA read, memory that one read may take.
METADATA_CAP = 4 * MIB
GROWTH_CAP = 64 * MIB
# The finder session's read time-out in the time tests.
SECONDS = 1.0


def metadata_member(plain: bytes = METADATA, method: int = zipfile.ZIP_DEFLATED) -> Member:
    return Member.of(b"big-1.0.dist-info/METADATA", plain, method)


def wheel_of(*members: Member, copies: int = 0) -> bytes:
    return rawzip.wheel_of("big-1.0", *members, copies=copies)


# --- serving --------------------------------------------------------------------------------------


def publish(srv, wheel: bytes | Path, *, metadata_file: bool = False) -> None:
    """Publishes `wheel` as big 1.0; its metadata file (announced without a
    hash) only when asked for."""
    srv.add_project("big", {}, metadata_files=metadata_file, metadata_hash=None)
    srv.add_file("big", "1.0", WHEEL, wheel, metadata=METADATA)


def via_finder(m, url):
    return m.PackageIndexClient(None)._get_dependencies_via_unearth("big", "1.0", url)


def requests_to(srv, path=PATH):
    return [r for r in srv.requests if r.path == path]


async def async_wait_for(condition, seconds=20.0):
    """Waits until condition() is true (polling); its last value."""
    deadline = time.monotonic() + seconds
    while not (value := condition()) and time.monotonic() < deadline:
        await asyncio.sleep(0.01)
    return value


@pytest.fixture
def short_finder(m, monkeypatch):
    """Finders whose session has a read time-out of SECONDS, so each request
    of the road a total of that much."""
    monkeypatch.setattr(m, "PackageFinder", finder_with_timeout(SECONDS))


# --- METADATA as the email parser reads it ------------------------------------------------------

PIECES = [b"Requires-Dist", b"requires-DIST", b"Requires-Dist ", b"Requires-Distx", b"Name", b"From", b"From ",
          b"F", b":", b": ", b" ", b"\t", b"a", b"b>1", b"c; extra == 'd'", b"\r", b"\n", b"\r\n", b"\n\n", b"\xff",
          "é".encode(), b"\x00", b"\x0b", b"\x0c", b"\x1c", b"\xc2\x85", b"\xe2\x80\xa8", b"-"]


@pytest.fixture
def announced_metadata(srv, m):
    """big 1.0 with a metadata file; returns the function that serves the
    given bytes as that file and reads the raw Requires-Dist values back."""
    publish(srv, wheel_of(metadata_member()), metadata_file=True)

    class Raw(m.PackageIndexClient):
        def _parse_requirement(self, req):
            return {"raw": req}

    def read(body: bytes):
        srv.clear_hook(PATH + ".metadata")
        srv.set_response(PATH + ".metadata", body)
        return [d["raw"] for d in Raw(None)._get_dependencies_via_unearth("big", "1.0", srv.simple_url)]

    return read


def parsed(body: bytes) -> list[str]:
    return email.parser.Parser().parsestr(body.decode("utf-8", "replace")).get_all("Requires-Dist") or []


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(body=st.lists(st.sampled_from(PIECES), max_size=40).map(b"".join))
def test_requirements_are_read_as_the_email_parser_reads_them(announced_metadata, body):
    assert announced_metadata(body) == parsed(body)


@pytest.mark.parametrize("body", [
    b"From x\n Requires-Dist: a\nRequires-Dist: b\n c\r\n\td\rRequires-dist:e\n\nRequires-Dist: body",
    b"Requires-Dist: a\r\r\nRequires-Dist: b",
    b"X: 1\n:\n Requires-Dist: a\nREQUIRES-DIST:  b  \nFrom y\nRequires-Dist: c\nFrom z",
    b"Requires-Dist: caf\xe9\n\tmore\nname without colon\nRequires-Dist: after",
    b"Description: long\n" + b"        |text\n" * 10_000 + b"Requires-Dist: late\n\n" + b"body\n" * 100_000,
], ids=["continuations and an envelope", "lone CR", "no name, envelope at the end", "latin-1", "long fields"])
def test_requirements_in_odd_layouts(announced_metadata, body):
    assert announced_metadata(body) == parsed(body)


# --- members and encodings ----------------------------------------------------------------------


@pytest.mark.parametrize("ranges", [True, False], ids=["ranges", "download"])
@pytest.mark.parametrize("method", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA],
                         ids=["stored", "deflate", "bzip2", "lzma"])
def test_each_compression_of_the_member(m, srv, log, method, ranges):
    srv.ranges = ranges
    publish(srv, wheel_of(metadata_member(METADATA, method)))
    assert via_finder(m, srv.simple_url) == RECORDS
    assert log.records == []
    assert all(r.headers.get("Accept-Encoding") == "identity" for r in requests_to(srv))


@pytest.mark.parametrize("encoding, encode", [
    ("gzip", gzip.compress), ("x-gzip", gzip.compress), ("deflate", zlib.compress),
    ("deflate", lambda d: deflate_raw([d])), ("identity", lambda d: d), ("gzip, identity", gzip.compress),
], ids=["gzip", "x-gzip", "deflate", "raw deflate", "identity", "gzip and identity"])
def test_encoded_metadata_files_are_decoded(m, srv, log, encoding, encode):
    """Asked for identity, a server may encode all the same."""
    publish(srv, wheel_of(metadata_member()), metadata_file=True)
    srv.set_response(PATH + ".metadata", encode(METADATA), headers={"Content-Encoding": encoding})
    assert via_finder(m, srv.simple_url) == RECORDS
    assert [r.headers.get("Accept-Encoding") for r in requests_to(srv, PATH + ".metadata")] == ["identity"]
    assert log.records == []


def test_an_encoded_download_is_decoded_and_checked(m, srv, log):
    """A 200 to the first range request, gzip-encoded: the wheel is the
    decoded body, checked against the link's hash."""
    wheel = wheel_of(metadata_member())
    publish(srv, wheel)
    srv.set_response(PATH, gzip.compress(wheel), headers={"Content-Encoding": "gzip"})
    assert via_finder(m, srv.simple_url) == RECORDS
    assert [r.status for r in requests_to(srv)] == [200]
    assert log.records == []


def test_an_encoding_that_is_not_decoded_is_a_failure(m, srv, log):
    publish(srv, wheel_of(metadata_member()), metadata_file=True)
    srv.set_response(PATH + ".metadata", b"\x0b\x03", headers={"Content-Encoding": "br"})
    assert via_finder(m, srv.simple_url) == []
    assert log.messages() == [f"Unearth get_dependencies failed: {srv.url}{PATH}.metadata came with "
                              "Content-Encoding 'br', which this does not decode"]


# --- hostile answers, each in a fresh process: answer, log line, bytes sent, peak memory --------


def forever(*chunks: bytes):
    return lambda: itertools.chain(chunks[:-1], itertools.repeat(chunks[-1]))


def gzip_stream_of_zeros():
    packer = zlib.compressobj(6, zlib.DEFLATED, 31)
    yield packer.compress(METADATA) + packer.flush(zlib.Z_SYNC_FLUSH)
    zeros = packer.compress(b"\0" * MIB) + packer.flush(zlib.Z_SYNC_FLUSH)
    while True:
        yield zeros


def gzip_of(size: int) -> bytes:
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    return packer.compress(METADATA) + b"".join(packer.compress(b"A" * MIB) for _ in range(size // MIB)) + \
        packer.flush()


@dc.dataclass
class Case:
    install: object           # install(srv, built) -> path whose bytes sent are bounded
    answer: list | int        # the answer, or the number of records
    said: str | None          # in the one debug line (None: no line)
    most_sent: int | None = None
    ranges: bool = True


def wheel_case(key, ranges=True, said=None, answer=(), most_sent=None):
    def install(srv, built):
        publish(srv, built[key])
        return PATH
    return Case(install, list(answer), said, most_sent, ranges)


def metadata_case(install_file, said, answer=(), most_sent=None):
    def install(srv, built):
        publish(srv, built["plain"], metadata_file=True)
        install_file(srv, PATH + ".metadata")
        return PATH + ".metadata"
    return Case(install, list(answer) if not isinstance(answer, int) else answer, said, most_sent)


def huge_download(srv, built):
    """The first request answered by a 200 announcing 2**62 bytes, sent as fast as it goes."""
    publish(srv, built["plain"])
    srv.endless(PATH, lambda: itertools.repeat(b"\0" * 65536, 4096), headers={"Content-Length": str(2**62)},
                times=1)
    return PATH


# What a server writes into the sockets' buffers before it sees the client gone.
BUFFERED = 16 * MIB


def flood(count: int) -> bytes:
    return b"Metadata-Version: 2.1\n" + b"Requires-Dist: a\n" * count


HOSTILE = {
    # A METADATA member that inflates to 64 MiB, its size told truly: refused from the directory.
    "zip bomb": wheel_case("bomb", said=f"{WHEEL}: METADATA of {len(METADATA) + 64 * MIB} bytes", most_sent=MIB),
    # ... its size told as the cap: inflated up to that, then the CRC is wrong.
    "zip bomb, size a lie": wheel_case("lying bomb", said="Bad CRC-32", most_sent=MIB),
    "zip bomb, size a lie, no ranges": wheel_case("lying bomb", ranges=False, said="Bad CRC-32", most_sent=MIB),
    # A deflate stream without a final block, that inflates for ever.
    "endless deflate member": wheel_case("no final block", said="Bad CRC-32", most_sent=MIB),
    "gzip metadata file of 64 MiB": metadata_case(
        lambda srv, path: srv.set_response(path, gzip_of(64 * MIB), headers={"Content-Encoding": "gzip"}),
        said="is larger than 4 MiB", most_sent=MIB),
    "endless gzip metadata file": metadata_case(
        lambda srv, path: srv.endless(path, gzip_stream_of_zeros, headers={"Content-Encoding": "gzip"}),
        said="is larger than 4 MiB", most_sent=BUFFERED),
    "endless chunked metadata file": metadata_case(
        lambda srv, path: srv.endless(path, forever(METADATA, b"A" * 65536)),
        said="is larger than 4 MiB", most_sent=METADATA_CAP + BUFFERED),
    "requirements just under their cap": metadata_case(
        lambda srv, path: srv.set_response(path, flood(61_000)), said=None, answer=61_000),
    "requirements over their cap": metadata_case(
        lambda srv, path: srv.set_response(path, flood(62_000)), said="are larger than 1024 KiB"),
    # A directory of a million entries (51 MB), the server ignoring ranges: downloaded, then refused.
    "a million entries, no ranges": wheel_case("million", ranges=False, said="larger than 32 MiB"),
    "a million entries": wheel_case("million", said="larger than 32 MiB", most_sent=MIB),
    # 400,000 entries (20 MB) are read, costing what one costs on the download road.
    "400,000 entries, no ranges": wheel_case("400k", ranges=False, answer=RECORDS),
    "400,000 entries": wheel_case("400k", answer=RECORDS, most_sent=24 * MIB),
    # A zip64 compressed size of 2**63 - 256: checked before any sum.
    "zip64 size near 2**63": wheel_case("zip64 overflow", said="9223372036854775552 compressed", most_sent=MIB),
    "Content-Length 2**62, fast body": Case(lambda srv, built: huge_download(srv, built), [],
                                            "announces more than the 4 GiB", BUFFERED),
}


@pytest.fixture(scope="module")
def built():
    """The hostile wheels, built once."""
    bomb = rawzip.inflating_member(b"big-1.0.dist-info/METADATA", METADATA, 64)
    lying = dc.replace(bomb, size=METADATA_CAP)
    endless = Member(b"big-1.0.dist-info/METADATA",
                     deflate_raw(itertools.chain([METADATA], itertools.repeat(b"\0" * MIB, 64)), finish=False),
                     zipfile.ZIP_DEFLATED, 0, METADATA_CAP)
    overflow = dc.replace(metadata_member(), packed=0xFFFFFFFF, extra=struct.pack("<HHQ", 1, 8, 2**63 - 256))
    return {
        "plain": wheel_of(metadata_member()),
        "bomb": wheel_of(bomb),
        "lying bomb": wheel_of(lying),
        "no final block": wheel_of(endless),
        "million": wheel_of(metadata_member(), copies=1_000_000),
        "400k": wheel_of(metadata_member(), copies=400_000),
        "zip64 overflow": wheel_of(overflow),
    }


def in_child(url, *timeout):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, str(Path(__file__).with_name("finder_limits_child.py")), url, "big", "1.0",
                          *map(str, timeout)], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    return json.loads(out.stdout)


@pytest.mark.parametrize("case", list(HOSTILE.values()), ids=list(HOSTILE))
def test_hostile_answers_are_bounded(srv, built, case):
    srv.ranges = case.ranges
    path = case.install(srv, built)
    result = in_child(srv.simple_url)
    if isinstance(case.answer, int):
        assert len(result["answer"]) == case.answer and result["answer"][0]["name"] == "a"
    else:
        assert result["answer"] == case.answer
    messages = [message for _, message in result["log"]]
    if case.said is None:
        assert messages == []
    else:
        assert len(messages) == 1 and case.said in messages[0], messages
        assert messages[0].startswith("Unearth get_dependencies failed: ")
    if case.most_sent is not None:
        assert srv.bytes_sent(path) <= case.most_sent
    if not SANITIZERS:  # their allocator keeps freed memory aside, and doubles what it hands out
        assert result["growth_kib"] * 1024 < GROWTH_CAP, result["growth_kib"]


# --- time ---------------------------------------------------------------------------------------


def many_files_wheel() -> bytes:
    """A wheel whose directory is larger than the first request's 64 KiB:
    three requests (the end, the rest of the directory, the member)."""
    return wheel_of(metadata_member(), copies=2000)


TRICKLES = {
    # which request trickles: (how, what the failure says)
    "the end": (dict(after=0), "no whole answer within 1 s"),
    "the directory": (dict(after=1), "no whole answer within 1 s"),
    "the member": (dict(after=2), "no whole answer within 1 s"),
    "the download": (dict(ranges=False), "less than 64 KiB arrived in 1 s"),
    "the metadata file": (dict(metadata=True), "no whole answer within 1 s"),
}


@pytest.mark.parametrize("how, said", list(TRICKLES.values()), ids=list(TRICKLES))
def test_a_trickle_ends_within_the_time_out(m, srv, log, short_finder, how, said):
    srv.ranges = how.get("ranges", True)
    publish(srv, many_files_wheel(), metadata_file=how.get("metadata", False))
    path = PATH + ".metadata" if how.get("metadata") else PATH
    srv.trickle(path, 0.05, after=how.get("after", 0))
    started = time.monotonic()
    assert via_finder(m, srv.simple_url) == []
    took = time.monotonic() - started
    ((level, message),) = log.records
    assert level == "debug" and message.endswith(said) and "timed out" in message
    assert SECONDS <= took < SECONDS + 15
    assert srv.wait_until_done(path)  # the connection was closed


@pytest.mark.parametrize("after", [0, 2], ids=["the end", "the member"])
def test_cancelling_stops_a_trickle_at_once(m, srv, log, fixed_settings, after):
    publish(srv, many_files_wheel())
    srv.trickle(PATH, 0.05, after=after)

    async def scenario():
        client = m.PackageIndexClient(None)
        task = asyncio.create_task(client._get_dependencies_from_index("big", "1.0", srv.simple_url))
        trickling = await async_wait_for(
            lambda: next((r for r in requests_to(srv)[after:] if r.sent >= 2), None))
        assert trickling, "the trickle did not start"
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert await asyncio.to_thread(srv.wait_until_done, PATH, 5)
        sent = trickling.sent
        # the next query is answered
        srv.clear_hooks()
        answer = await client._get_dependencies_from_index("big", "1.0", srv.simple_url)
        await client.close()
        return sent, answer

    sent, answer = asyncio.run(scenario())
    assert sent < 100  # at 20 bytes a second
    assert answer == RECORDS
    assert log.records == []


def test_six_cancelled_trickles_leave_the_executor_free(m, srv, other, log, fixed_settings):
    """Six workers (the default executor's size on two cores), each pulling
    a trickle when its query is cancelled: a query on a good index is then
    answered."""
    publish(srv, many_files_wheel())
    srv.trickle(PATH, 0.05)
    publish(other, wheel_of(metadata_member()))

    async def scenario():
        asyncio.get_running_loop().set_default_executor(concurrent.futures.ThreadPoolExecutor(6))
        client = m.PackageIndexClient(None)
        tasks = [asyncio.create_task(client._get_dependencies_from_index("big", "1.0", srv.simple_url))
                 for _ in range(6)]
        assert await async_wait_for(lambda: sum(r.sent >= 1 for r in requests_to(srv)) == 6)
        for task in tasks:
            task.cancel()
        outcomes = await asyncio.gather(*tasks, return_exceptions=True)
        answer = await asyncio.wait_for(client._get_dependencies_from_index("big", "1.0", other.simple_url), 30)
        await client.close()
        return outcomes, answer

    outcomes, answer = asyncio.run(scenario())
    assert all(isinstance(o, asyncio.CancelledError) for o in outcomes)
    assert answer == RECORDS
    assert srv.wait_until_done(PATH)


def test_the_command_line_time_out_bounds_the_road(srv, tmp_path):
    publish(srv, many_files_wheel())
    srv.trickle(PATH, 0.05, after=2)
    result = run_cli("deps", "big", "1.0", "--index-url", srv.simple_url, "--timeout", "1",
                     env=isolated_env(tmp_path), cwd=tmp_path)
    assert result.rc == 1, result
    # The finder road's own words, naming the file and the bound.
    assert "its requirements could not be read: " in result.out
    assert f"{PATH.rpartition('/')[2]} timed out: no whole answer within 1 s" in result.out
    assert result.seconds < 30


# --- redirects ---------------------------------------------------------------------------------


def with_credentials(url):
    return url.replace("http://", "http://user:pw@")


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
@pytest.mark.parametrize("ranges", [True, False], ids=["ranges", "download"])
def test_redirects_to_another_origin_are_followed_without_credentials(m, srv, other, log, status, ranges):
    srv.ranges = other.ranges = ranges
    wheel = many_files_wheel()
    publish(srv, wheel)
    publish(other, wheel)
    srv.redirect(PATH, other.url + PATH, status=status)
    assert via_finder(m, with_credentials(srv.simple_url)) == RECORDS
    here, there = requests_to(srv), requests_to(other)
    assert len(here) == len(there) == (3 if ranges else 1)
    assert all(r.headers.get("Authorization") == "Basic dXNlcjpwdw==" for r in here)
    assert all("Authorization" not in r.headers for r in there)
    assert [r.headers.get("Range") for r in here] == [r.headers.get("Range") for r in there]
    assert [r.status for r in there] == ([206] * 3 if ranges else [200])
    assert log.records == []


def test_a_redirect_within_the_origin_keeps_the_credentials(m, srv, log):
    publish(srv, many_files_wheel())
    srv.redirect(PATH, PATH + "?moved=1", times=1)
    assert via_finder(m, with_credentials(srv.simple_url)) == RECORDS
    moved = [r for r in requests_to(srv) if r.query == "moved=1"]
    assert len(moved) == 1 and moved[0].headers.get("Authorization") == "Basic dXNlcjpwdw=="
    assert moved[0].headers.get("Range") == "bytes=-65536"
    assert log.records == []


def test_a_redirected_metadata_file_is_followed(m, srv, other, log):
    wheel = wheel_of(metadata_member())
    publish(srv, wheel, metadata_file=True)
    publish(other, wheel, metadata_file=True)
    srv.redirect(PATH + ".metadata", other.url + PATH + ".metadata", status=307)
    assert via_finder(m, with_credentials(srv.simple_url)) == RECORDS
    (there,) = requests_to(other, PATH + ".metadata")
    assert "Authorization" not in there.headers and there.headers["Accept-Encoding"] == "identity"
    assert requests_to(srv) == []


@pytest.mark.parametrize("install, said, hits", [
    (lambda srv: srv.redirect_loop(PATH), "more than 5 redirects", 6),
    (lambda srv: srv.redirect(PATH, "file:///etc/passwd"), "which is not an http or https URL", 1),
], ids=["a loop", "to a file"])
def test_redirects_that_are_not_followed(m, srv, log, install, said, hits):
    publish(srv, many_files_wheel())
    install(srv)
    assert via_finder(m, srv.simple_url) == []
    ((_, message),) = log.records
    assert said in message
    assert len(requests_to(srv)) == hits


# --- the range road's other bound -----------------------------------------------------------------


def test_the_directory_is_read_in_one_request_with_its_member(m, srv, log, built):
    """400,000 entries: the end, the rest of the directory, the member."""
    publish(srv, built["400k"])
    assert via_finder(m, srv.simple_url) == RECORDS
    assert [r.status for r in requests_to(srv)] == [206, 206, 206]
