"""One read of core metadata on the finder road against hostile and broken
servers: peak memory and time, for the module installed here and, with
--before, for another build of it (the tree before a change) in the same run.

    python bench/hostile.py [--before PYTHONPATH] [--only NAME,...] [--limit SECONDS]

Every case is served by the sample index (a thread of this process). Every
read runs in a fresh process of its own, which reports the peak growth of
its resident size during the call over its size before it (the kernel's
high-water mark, reset first), the call's time and the answer; the server
counts the bytes it sent. A read that has not ended within --limit seconds
(default 60) is killed and reported so. The figures are absolute (the cases
are the bounds being measured); "before" is the baseline of the same run.
"""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import gc
import itertools
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
import zlib
from datetime import date
from pathlib import Path

MIB = 1 << 20
WHEEL = "big-1.0-py3-none-any.whl"
PATH = f"/files/big/{WHEEL}"
METADATA = (b"Metadata-Version: 2.1\nName: big\nVersion: 1.0\nRequires-Dist: x>1\n"
            b"Requires-Dist: y[z]>=2; extra == 'fast'\n\n")
NAME = b"big-1.0.dist-info/METADATA"


# --- the child: one read -----------------------------------------------------------------------

def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def child(mode: str, index: str, good: str | None) -> None:
    import warnings

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=RuntimeWarning)
        import quorvel_master.business_layer.packages.package_index_client as pic

    lines = []
    pic.logger = type("Log", (), {level: staticmethod(lambda message, level=level: lines.append(message))
                                  for level in ("debug", "info", "warning", "error")})()
    client = pic.PackageIndexClient(None)
    client._get_dependencies_via_unearth("big", "1.0", "http://127.0.0.1:1/simple/")  # loads what a call needs
    lines.clear()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    start = time.monotonic()
    if mode == "read":
        answer = client._get_dependencies_via_unearth("big", "1.0", index)
    else:  # six queries cancelled while they read, then one on a good index
        pic.get_pip_api_list = lambda manager: []

        async def six():
            asyncio.get_running_loop().set_default_executor(concurrent.futures.ThreadPoolExecutor(6))
            tasks = [asyncio.create_task(client._get_dependencies_from_index("big", "1.0", index)) for _ in range(6)]
            await asyncio.sleep(1)
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            nonlocal start
            start = time.monotonic()
            return await client._get_dependencies_from_index("big", "1.0", good)

        answer = asyncio.run(six())
    seconds = time.monotonic() - start
    print(json.dumps({"answer": [d["name"] for d in answer], "log": lines, "seconds": seconds,
                      "growth": (status_kib("VmHWM") - before) / 1024}))
    sys.stdout.flush()
    os._exit(0)  # the six trickling reads of the old build would hold the exit


# --- the cases -----------------------------------------------------------------------------------

def build(folder: Path) -> dict[str, Path]:
    from quorvel_master.sampleindex.rawzip import Member, deflate_raw, inflating_member, wheel_of
    from quorvel_master.sampleindex.wheels import build_wheel

    def write(name, data):
        path = folder / name
        path.write_bytes(data)
        return path

    good = Member.of(NAME, METADATA)
    endless = Member(NAME, deflate_raw(itertools.chain([METADATA], itertools.repeat(b"\0" * MIB, 512)), finish=False),
                     8, 0, len(METADATA) + 512 * MIB)
    overflow = Member(NAME, good.data, 8, good.crc, good.size, packed=0xFFFFFFFF,
                      extra=(1).to_bytes(2, "little") + (8).to_bytes(2, "little") + (2**63 - 256).to_bytes(8, "little"))
    return {
        "good": write("good.whl", wheel_of("big-1.0", good)),
        # a directory of 2,000 entries: its tail fills the first request's 64 KiB
        "2000": write("2000.whl", wheel_of("big-1.0", good, copies=2000)),
        "large": build_wheel(folder / "large", "big", "1.0", ["x>1", "y[z]>=2; extra == 'fast'"], payload=256 * MIB),
        "bomb 64": write("bomb64.whl", wheel_of("big-1.0", inflating_member(NAME, METADATA, 64))),
        "bomb 256": write("bomb256.whl", wheel_of("big-1.0", inflating_member(NAME, METADATA, 256))),
        "endless": write("endless.whl", wheel_of("big-1.0", endless)),
        "1M": write("million.whl", wheel_of("big-1.0", good, copies=1_000_000)),
        "3M": write("3million.whl", wheel_of("big-1.0", good, copies=3_000_000)),
        "overflow": write("overflow.whl", wheel_of("big-1.0", overflow)),
    }


def gzip_of(mib: int) -> bytes:
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    return packer.compress(METADATA) + b"".join(packer.compress(b"A" * MIB) for _ in range(mib)) + packer.flush()


def cases(srv, other, wheels):
    """name -> install(): sets the servers up, gives (mode, index, good index, path counted)."""

    def wheel(key, ranges=True, metadata=False):
        def install():
            srv.ranges = ranges
            srv.add_project("big", {}, metadata_files=metadata, metadata_hash=None)
            srv.add_file("big", "1.0", WHEEL, wheels[key], metadata=METADATA)
            return "read", srv.simple_url, None, PATH
        return install

    def metadata(body):
        def install():
            wheel("good", metadata=True)()
            srv.set_response(PATH + ".metadata", body, headers={"Content-Encoding": "gzip"})
            return "read", srv.simple_url, None, PATH + ".metadata"
        return install

    def then(first, hook):
        def install():
            mode, index, good, path = first()
            hook()
            return mode, index, good, path
        return install

    def redirected():
        wheel("good")()
        other.ranges = True
        other.add_project("big", {}, metadata_files=False)
        other.add_file("big", "1.0", WHEEL, wheels["good"], metadata=METADATA)
        srv.redirect(PATH, other.url + PATH)
        return "read", srv.simple_url, None, PATH

    def six():
        wheel("2000")()
        srv.trickle(PATH, 0.05)
        other.add_project("big", {}, metadata_files=False)
        other.add_file("big", "1.0", WHEEL, wheels["good"], metadata=METADATA)
        return "six", srv.simple_url, other.simple_url, PATH

    zeros = b"\0" * (1 << 16)
    return {
        "a good wheel, ranges": wheel("good"),
        "a 256 MiB wheel, no ranges": wheel("large", ranges=False),
        "METADATA inflating to 64 MiB, ranges": wheel("bomb 64"),
        "METADATA inflating to 64 MiB, no ranges": wheel("bomb 64", ranges=False),
        "METADATA inflating to 256 MiB, ranges": wheel("bomb 256"),
        "gzip metadata file of 64 MiB": metadata(gzip_of(64)),
        "gzip metadata file of 256 MiB": metadata(gzip_of(256)),
        "deflate member without a final block": wheel("endless"),
        "3 million entries, no ranges": wheel("3M", ranges=False),
        "1 million entries, no ranges": wheel("1M", ranges=False),
        "1 million entries, ranges": wheel("1M"),
        "200, Content-Length 2**62, fast body (2 GiB)": then(wheel("good"), lambda: srv.endless(
            PATH, lambda: itertools.repeat(zeros, 2 << 14), headers={"Content-Length": str(2**62)}, times=1)),
        "206 tail of 64 KiB trickling a byte every 50 ms": then(wheel("2000"), lambda: srv.trickle(PATH, 0.05)),
        "six cancelled trickles, then a good index": six,
        "302 on the range request, to another port": redirected,
        "zip64 compressed size 2**63 - 256": wheel("overflow"),
    }


def run_case(pythonpath: str, mode: str, index: str, good: str | None, limit: float) -> dict:
    env = dict(os.environ, PYTHONPATH=pythonpath)
    command = [sys.executable, __file__, "--child", mode, index, good or "-"]
    started = time.monotonic()
    try:
        out = subprocess.run(command, capture_output=True, text=True, env=env, timeout=limit)
    except subprocess.TimeoutExpired:
        return {"killed": limit}
    if out.returncode != 0:
        tail = (out.stderr.strip().splitlines() or ["?"])[-1]
        return {"crashed": f"exit {out.returncode}: {tail[:120]}", "seconds": time.monotonic() - started}
    return json.loads(out.stdout.strip().splitlines()[-1])


def describe(result: dict) -> tuple[str, str, str]:
    """(answer, peak growth, time)"""
    if "killed" in result:
        return "none", "-", f"> {result['killed']:.0f} s (killed)"
    if "crashed" in result:
        return result["crashed"], "-", "-"
    answer = ", ".join(result["answer"]) or "[]"
    if result["log"]:
        answer += f" ({result['log'][0].split(': ', 1)[-1][:70]})"
    return answer, f"{result['growth']:,.1f} MiB", f"{result['seconds']:,.2f} s"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", help="PYTHONPATH under which the other build is imported")
    parser.add_argument("--only", help="comma-separated case names (substrings)")
    parser.add_argument("--limit", type=float, default=60.0)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        mode, index, good = args.child
        return child(mode, index, None if good == "-" else good)

    from quorvel_master.sampleindex import IndexServer

    here = os.pathsep.join(p for p in sys.path if p)
    builds = [("after", here)] + ([("before", args.before + os.pathsep + here)] if args.before else [])
    print(f"# {date.today()}, Python {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}", flush=True)
    with tempfile.TemporaryDirectory() as folder, IndexServer() as srv, IndexServer() as other:
        wheels = build(Path(folder))
        table = cases(srv, other, wheels)
        wanted = [n for n in table if not args.only or any(o in n for o in args.only.split(","))]
        print("| case | build | answer | peak growth | time | server sent |")
        print("|---|---|---|---|---|---|")
        for name in wanted:
            for label, pythonpath in builds:
                for server in (srv, other):
                    server.clear_hooks(), server.clear_projects(), server.reset_hits()
                mode, index, good, path = table[name]()
                result = run_case(pythonpath, mode, index, good, args.limit)
                sent = srv.bytes_sent(path)
                answer, growth, seconds = describe(result)
                sent_text = f"{sent / MIB:,.1f} MiB" if sent >= MIB else f"{sent / 1024:,.1f} KiB"
                print(f"| {name} | {label} | {answer} | {growth} | {seconds} | {sent_text} |", flush=True)


if __name__ == "__main__":
    main()
