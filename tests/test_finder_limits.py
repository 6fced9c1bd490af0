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
import email.parser
import gzip
import json
import os
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
from hostile_wheels import (
    GROWTH_CAP, HOSTILE, METADATA, PATH, RECORDS, TRICKLES, build_hostile_wheels, many_files_wheel,
    metadata_member, publish, wheel_of,
)
from quorvel_master._native import WheelMetadataReader
from quorvel_master.sampleindex.rawzip import deflate_raw

SANITIZERS = os.environ.get("PIC_EXPECT_SANITIZERS") == "1"
# The finder session's read time-out in the time tests.
SECONDS = 1.0


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


@pytest.fixture(scope="module")
def built():
    """The hostile wheels, built once."""
    return build_hostile_wheels()


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
    assert moved[0].headers.get("Range") == f"bytes=-{WheelMetadataReader.TAIL}"
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
