"""How large the first range read of a wheel should be: the bytes and requests
the wheel reader's plan would cost over the wheels a real tree reads, for
several sizes of its first read of the file's end.

    python bench/wheel_tail.py --upstream INDEX_URL [ROOT ...] [--tails 8,10,12,16,32,64] [--write FILE]

`pkgindex tree ROOT` runs once through the counting proxy (countproxy.py),
which notes every file asked for with a Range header: those are the wheels
the tree reads. Each is then laid out once (its end records, directory and
where METADATA lies: at most a tail of 64 KiB and the directory are fetched).
For each tail size the reader's plan is replayed on that layout: the tail;
the rest of the directory when the tail does not hold it (from METADATA's
local header on, when the tail holds its entry and that adds at most the
reader's WIDEN, or not widened at all); METADATA with its
local header (and 1 KiB of room) when the bytes held do not have it. Fetches
nothing per tail size: the figures are what the plan would ask, the layouts
what the index served; the tree's own file requests, counted by the proxy,
check the plan replayed at the reader's own size.

Baseline: the reader's own sizes (``WheelMetadataReader.TAIL`` and ``WIDEN``),
a 64 KiB tail, no widening.
"""

from __future__ import annotations

import argparse
import asyncio
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import aiohttp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import countproxy  # beside this script  # noqa: E402
import record  # noqa: E402

ROOTS = ("torch==2.2.0", "jupyterlab==4.1.0")
LAYOUT_TAIL = 64 * 1024
SLACK = 1024  # the room the reader leaves for a longer local header
END = struct.Struct("<4s4H2LH")
ENTRY = struct.Struct("<4s6H3L5H2L")


@dataclass(frozen=True)
class Layout:
    size: int
    directory: int       # where the central directory begins
    metadata: int        # where METADATA's local header begins
    metadata_end: int    # where its compressed bytes end (local header as the directory gives it)
    entry: int           # where METADATA's directory entry begins


class NotingProxy(countproxy.CountingProxy):
    """The counting proxy, keeping the paths of the files asked with a Range."""

    def __init__(self, index_url: str) -> None:
        super().__init__(index_url)
        self.ranged: set[str] = set()

    async def _handle(self, request):  # type: ignore[no-untyped-def]
        if request.raw_path.startswith(countproxy.FILES) and "Range" in request.headers:
            self.ranged.add(request.raw_path)
        return await super()._handle(request)


async def fetch(session: aiohttp.ClientSession, url: str, rng: str) -> tuple[bytes, int]:
    async with session.get(url, headers={"Range": rng, "Accept-Encoding": "identity"}) as response:
        if response.status != 206:
            raise ValueError(f"{response.status} to a range request")
        total = int(response.headers["Content-Range"].rsplit("/", 1)[1])
        return await response.read(), total


def metadata_entry(directory: bytes) -> tuple[int, int, int]:
    """(local header offset, end of its compressed bytes, the entry's place in
    the directory) of the top-level METADATA."""
    at = 0
    while at + ENTRY.size <= len(directory):
        fields = ENTRY.unpack_from(directory, at)
        packed, name_size, extra_size, comment_size, offset = fields[8], fields[10], fields[11], fields[12], fields[16]
        name = directory[at + ENTRY.size:at + ENTRY.size + name_size]
        if name.endswith(b".dist-info/METADATA") and name.count(b"/") == 1:
            return offset, offset + 30 + name_size + extra_size + packed, at
        at += ENTRY.size + name_size + extra_size + comment_size
    raise ValueError("no METADATA in the directory")


async def layout(session: aiohttp.ClientSession, url: str) -> Layout:
    data, size = await fetch(session, url, f"bytes=-{LAYOUT_TAIL}")
    start = size - len(data)
    at = data.rfind(b"PK\x05\x06")
    if at < 0:
        raise ValueError("no end record in the last 64 KiB (zip64 or a long comment)")
    fields = END.unpack_from(data, at)
    directory_size, directory = fields[5], fields[6]
    if directory < start:
        more, _ = await fetch(session, url, f"bytes={directory}-{start - 1}")
        data, start = more + data, directory
    offset, end, entry = metadata_entry(data[directory - start:directory - start + directory_size])
    return Layout(size, directory, offset, end, directory + entry)


def plan(wheel: Layout, tail: int, widen: int) -> tuple[int, int]:
    """(requests, bytes) the reader's plan costs with a first read of `tail`
    bytes, and the rest of the directory asked from METADATA on when the tail
    holds its entry and that adds at most `widen` bytes."""
    held = max(0, wheel.size - tail)
    requests, sent = 1, wheel.size - held
    if wheel.directory < held:
        begin = wheel.directory
        if wheel.entry >= held and 0 < begin - wheel.metadata <= widen:
            begin = wheel.metadata
        requests, sent, held = requests + 1, sent + held - begin, begin
    if wheel.metadata < held:
        requests, sent = requests + 1, sent + min(held, wheel.size, wheel.metadata_end + SLACK) - wheel.metadata
    return requests, sent


async def wheels_of(root: str, upstream: str) -> tuple[list[Layout], tuple[int, int]]:
    """The layouts of the wheels the tree read by range, and (requests, bytes)
    of the tree's own file requests, the check on the replayed plan."""
    async with NotingProxy(upstream) as proxy:
        with tempfile.TemporaryDirectory() as home:
            command = [sys.executable, "-m", "quorvel_master", "tree", root, "-i", proxy.index_url, "--json",
                       "--no-cache"]
            process = await asyncio.create_subprocess_exec(*command, cwd=home, stdout=subprocess.DEVNULL,
                                                           stderr=subprocess.DEVNULL)
            await process.wait()
        asked = (proxy.requests - proxy.page_requests, proxy.body_bytes - proxy.page_bytes)
        async with aiohttp.ClientSession() as session:
            return [await layout(session, proxy.origin + path) for path in sorted(proxy.ranged)], asked


def report(root: str, wheels: list[Layout], asked: tuple[int, int], tails: list[int]) -> list[str]:
    from quorvel_master._native import WheelMetadataReader

    lines = [root, f"  {len(wheels)} wheels read by range; {sum(w.size for w in wheels) / 1e6:.1f} MB in all",
             f"  the tree's own file requests: {asked[0]}, {asked[1] / 1e6:.3f} MB",
             "  tail KiB  widen KiB  requests  MB sent"]
    own = (WheelMetadataReader.TAIL, WheelMetadataReader.WIDEN)
    for tail in sorted(set(tails) | {own[0] // 1024}):
        for widen in sorted({0, own[1] // 1024}):
            costs = [plan(wheel, tail * 1024, widen * 1024) for wheel in wheels]
            mark = "  (the reader's)" if (tail * 1024, widen * 1024) == own else ""
            lines.append(f"  {tail:8d}  {widen:9d}  {sum(r for r, _ in costs):8d}  "
                         f"{sum(b for _, b in costs) / 1e6:7.3f}{mark}")
    return lines


async def measure(args: argparse.Namespace) -> None:
    for root in args.roots:
        wheels, asked = await wheels_of(root, args.upstream)
        print("\n".join(report(root, wheels, asked, args.tails)), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("roots", nargs="*", default=list(ROOTS))
    parser.add_argument("--upstream", required=True, help="the index's simple URL")
    parser.add_argument("--tails", type=lambda text: [int(t) for t in text.split(",")],
                        default=[4, 8, 10, 12, 16, 24, 32, 64], help="first-read sizes in KiB")
    record.add_option(parser)
    args = parser.parse_args()
    with record.recording(args.write, [arg.replace(args.upstream, "INDEX_URL") for arg in sys.argv]):
        asyncio.run(measure(args))


if __name__ == "__main__":
    main()
