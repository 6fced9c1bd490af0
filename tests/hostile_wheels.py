"""The hostile and broken servers the wheel-metadata road is tried against,
as tables, for both of its drivers: the finder road's blocking requests
(test_finder_limits.py) and the event loop's (test_wheel_metadata.py). Each
case publishes the project big 1.0 on a sample index and says what the read
must end with, and how much the server may have sent by then. Also a server
in memory, answering the reader's wants from a wheel's bytes."""

from __future__ import annotations

import dataclasses as dc
import itertools
import struct
import zipfile
import zlib
from pathlib import Path

from quorvel_master.sampleindex import rawzip
from quorvel_master.sampleindex.rawzip import Member, deflate_raw

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


def metadata_member(plain: bytes = METADATA, method: int = zipfile.ZIP_DEFLATED) -> Member:
    return Member.of(b"big-1.0.dist-info/METADATA", plain, method)


def wheel_of(*members: Member, copies: int = 0) -> bytes:
    return rawzip.wheel_of("big-1.0", *members, copies=copies)


# --- serving --------------------------------------------------------------------------------------


def pieces(body: bytes, sizes: list[int]):
    """`body` cut into pieces of the given sizes, over and over (whole without sizes)."""
    at, turn = 0, 0
    while at < len(body) or not body and turn == 0:
        size = sizes[turn % len(sizes)] if sizes else len(body)
        yield body[at:at + size]
        at, turn = at + size, turn + 1


def answer_from_memory(reader, data: bytes, sizes: list[int] = (), *, ranges: bool = True) -> int:
    """Answers the reader from `data` as a server would that honours ranges
    (or sends the whole file), each body in pieces; gives the requests made."""
    copy, requests, steps = bytearray(), 0, 0
    while (want := reader.wanted()) is not None:
        kind, start, end = want
        steps += 1
        assert steps < 1000, "the reader keeps asking"
        if kind == "copy":
            reader.feed(bytes(copy[start:end]))
            reader.end()
            continue
        requests += 1
        assert requests < 10, "the reader keeps asking"
        if kind == "whole" or not ranges:
            status, body, headers = 200, data, {"Content-Length": str(len(data))}
        else:
            first = max(0, len(data) + start) if kind == "tail" else start
            last = len(data) - 1 if kind == "tail" else end - 1
            status, body = 206, data[first:last + 1]
            headers = {"Content-Range": f"bytes {first}-{last}/{len(data)}", "Content-Length": str(len(body))}
        if reader.respond(status, headers) == "skip":
            continue
        for piece in pieces(body, sizes):
            if not reader.feed(piece, copy.extend):
                break
        reader.end()
    return requests


def publish(srv, wheel: bytes | Path, *, metadata_file: bool = False) -> None:
    """Publishes `wheel` as big 1.0; its metadata file (announced without a
    hash) only when asked for."""
    srv.add_project("big", {}, metadata_files=metadata_file, metadata_hash=None)
    srv.add_file("big", "1.0", WHEEL, wheel, metadata=METADATA)


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


def build_hostile_wheels() -> dict[str, bytes]:
    """The hostile wheels, by the keys the cases name."""
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



def many_files_wheel() -> bytes:
    """A wheel whose directory is larger than the first request's tail:
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

