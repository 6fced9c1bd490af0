"""Benchmarks of the package index client: one command, one table.

    python bench/run.py            # every figure, about three minutes (one of them for the wheel)
    python bench/run.py --quick    # fewer rounds

Run it with the python of a venv where the package is installed (``pip install .``),
or with PYTHONPATH set to a development stage (scripts/devbuild.sh). Each figure
is a ratio against baselines measured in the same run:

* plain Python making the same library calls in the same order, as a host would
  write it without this module (bench/baseline.py);
* for the network road, the bare limit: an aiohttp GET + ``json()`` of the same
  URL and nothing else.

The figures: (1) the network road per query, 1,000 queries at 50 concurrent:
``get_versions`` on a 1,000-release document, ``get_package_info``, and
``get_dependencies`` (uncached) on a 50-requirement document; (2) the module's
own work: ``_parse_requirement`` over a hand-written corpus (bench/corpus.py),
``_normalize_name``, ``_normalize_url``, ``_get_api_pattern_for_index`` over 20
entries (the host accessor returns a prebuilt list), a cached
``get_dependencies`` of a 50-requirement document, and ``check_specifier_in_dist``
on a built table; (3) resident memory after 100,000 mixed calls (successes and
failures) against after 1,000; (4) event-loop lag (the longest gap between
ticks of a 1 ms ticker) during 100 concurrent version queries through the
finder road in the executor; (5) the core metadata of a 256 MiB wheel that
no metadata file describes, read through the finder road from a server that
honours range requests and from one that does not, against plain Python that
downloads the whole wheel into memory: bytes the server sent, peak resident
growth of the client process, and time.

The local index is quorvel_master.sampleindex.IndexServer, run in a separate
process (``run.py --serve``) for every figure that uses the network, so the
client's GIL is not shared with the server. The memory and lag figures run in
fresh child processes of their own.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import logging
import os
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import aiohttp  # noqa: E402

import baseline  # noqa: E402
import corpus  # noqa: E402
import record  # noqa: E402
from quorvel_master.business_layer.packages import package_index_client as m  # noqa: E402
from quorvel_master.business_layer.packages.pip_settings import SettingsManager  # noqa: E402

DEPENDENCY_DOCUMENT = corpus.REQUIREMENTS[:50]


# --- the index server, in its own process -----------------------------------------------

def release_document(count: int) -> dict:
    """A project document with `count` releases, one wheel entry each; two keys are no PEP 440 versions."""
    keys = [f"{i // 100}.{i // 10 % 10}.{i % 10}" for i in range(count - count // 10)]
    keys += [f"{i // 100}.{i // 10 % 10}.{i % 10}rc1" for i in range(count // 10 - 2)]
    keys += ["latest", "dev-build"]
    releases = {
        k: [{"filename": f"bench-{k}-py3-none-any.whl",
             "url": f"http://127.0.0.1/files/bench/bench-{k}-py3-none-any.whl",
             "digests": {"sha256": "0" * 64, "md5": "0" * 32}, "packagetype": "bdist_wheel",
             "requires_python": ">=3.8", "size": 1234, "yanked": False}]
        for k in keys
    }
    return {"info": {"name": "bench", "version": keys[-3], "summary": "bench"}, "releases": releases}


def serve() -> None:
    from quorvel_master.sampleindex import IndexServer

    with IndexServer() as srv:
        srv.set_response("/pypi/bench/json", release_document(1000))
        srv.set_response("/pypi/info/json", {
            "info": {"name": "info", "version": "2.31.0", "summary": "A package described in a short sentence.",
                     "requires_dist": DEPENDENCY_DOCUMENT[:8]},
            "releases": {v: [] for v in ("2.29.0", "2.30.0", "2.31.0")}})
        srv.set_response("/pypi/deps/*/json", {"info": {"name": "deps", "version": "1.0",
                                                        "requires_dist": DEPENDENCY_DOCUMENT}})
        srv.set_response("/pypi/small/json", {"info": {"name": "small"}, "releases": {"1.0": [], "1.1": []}})
        srv.add_project("finder-demo", [f"1.{i}.0" for i in range(20)])
        print(srv.url, flush=True)
        sys.stdin.read()  # until the parent closes the pipe


class ServerProcess:
    def __enter__(self) -> str:
        self.proc = subprocess.Popen([sys.executable, __file__, "--serve"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.url = self.proc.stdout.readline().strip()
        if not self.url:
            raise RuntimeError("the index server process did not start")
        return self.url

    def __exit__(self, *exc) -> None:
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def settings_for(url: str, api: bool = True) -> SettingsManager:
    index = url + "/simple"
    return SettingsManager({
        "index_urls": [{"url": index, "primary": True}],
        "pip_api": [{"index_url": index, "api_pattern": url + "/pypi/{package_name}/{version}/json"}] if api else [],
    })


# --- (1) the network road ------------------------------------------------------------------

async def concurrently(make, total: int, concurrency: int) -> float:
    """Seconds for `total` calls of make(i), `concurrency` at a time."""
    numbers = iter(range(total))

    async def worker():
        for i in numbers:
            await make(i)

    start = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return time.perf_counter() - start


async def network_figures(url: str, rounds: int, total: int = 1000, concurrency: int = 50) -> list[dict]:
    manager = settings_for(url)
    native = m.PackageIndexClient(manager)
    plain = baseline.PlainClient(manager)
    session = aiohttp.ClientSession()
    serial = iter(range(10**9))

    async def bare(api_url):
        async with session.get(api_url, timeout=aiohttp.ClientTimeout(total=10)) as response:
            return await response.json()

    queries = {
        "get_versions, 1,000 releases": (
            lambda c: lambda i: c.get_versions("bench"),
            lambda i: bare(url + "/pypi/bench/json")),
        "get_package_info": (
            lambda c: lambda i: c.get_package_info("info"),
            lambda i: bare(url + "/pypi/info/json")),
        "get_dependencies, uncached, 50 requirements": (
            lambda c: lambda i: c.get_dependencies("deps", f"1.0.{next(serial)}"),
            lambda i: bare(url + f"/pypi/deps/1.0.{next(serial)}/json")),
    }
    rows = []
    try:
        for name, (ask, bare_query) in queries.items():
            first = await ask(native)(0)
            assert first == await ask(plain)(0) and first, f"{name}: the native and plain results differ"
            variants = {"native": ask(native), "plain": ask(plain), "bare": bare_query}
            times = {v: [] for v in variants}
            for make in variants.values():  # warm-up: connections, caches of the libraries
                await concurrently(make, total // 4, concurrency)
            for r in range(rounds):
                order = list(variants) if r % 2 == 0 else list(reversed(variants))
                for v in order:
                    times[v].append(await concurrently(variants[v], total, concurrency) / total)
            per_query = {v: statistics.median(ts) for v, ts in times.items()}
            rows.append({"figure": f"network: {name}", "unit": "us", "native": per_query["native"] * 1e6,
                         "plain": per_query["plain"] * 1e6, "bare": per_query["bare"] * 1e6,
                         "target": "native <= plain", "met": per_query["native"] <= per_query["plain"] * 1.02})
    finally:
        await native.close()
        await plain.close()
        await session.close()
    return rows


# --- (2) the module's own work -------------------------------------------------------------

def best(run, number: int, repeat: int) -> float:
    return min(timeit.repeat(run, number=number, repeat=repeat)) / number


def over(fn, items):
    def run():
        for item in items:
            fn(item)
    return run


def api_entries(count: int) -> list[dict]:
    return [{"index_url": f"http://127.0.0.1:{8000 + i}/simple/",
             "api_pattern": f"http://127.0.0.1:{8000 + i}/pypi/{{package_name}}/{{version}}/json"}
            for i in range(count)]


def own_work_figures(repeat: int) -> list[dict]:
    native = m.PackageIndexClient(None)
    plain = baseline.PlainClient(None)
    rows = []

    def row(figure, native_run, plain_run, number, count, target, factor):
        # alternating, so that a busy moment of the machine hits both alike
        n = p = float("inf")
        for _ in range(repeat):
            n = min(n, best(native_run, number, 1) / count)
            p = min(p, best(plain_run, number, 1) / count)
        rows.append({"figure": figure, "unit": "ns", "native": n * 1e9, "plain": p * 1e9, "bare": None,
                     "target": target, "met": (p / n >= factor) if factor else None})

    reqs = corpus.REQUIREMENTS
    assert [native._parse_requirement(r) for r in reqs] == [plain._parse_requirement(r) for r in reqs]
    row(f"_parse_requirement, corpus of {len(reqs)}", over(native._parse_requirement, reqs),
        over(plain._parse_requirement, reqs), 200, len(reqs), ">= 3x plain", 3)
    bad = corpus.UNREADABLE
    row(f"_parse_requirement, {len(bad)} unreadable (warning logged)", over(native._parse_requirement, bad),
        over(plain._parse_requirement, bad), 500, len(bad), "(no target)", None)

    names = [plain._parse_requirement(r)["name"] for r in reqs] + ["Foo__Bar.baz", "ZOPE.Interface", "caf\u00e9_lib"]
    assert [native._normalize_name(n) for n in names] == [plain._normalize_name(n) for n in names]
    row(f"_normalize_name, {len(names)} names", over(native._normalize_name, names),
        over(plain._normalize_name, names), 500, len(names), ">= 3x plain", 3)

    urls = [e["index_url"].rstrip("/") + tail for e, tail in zip(api_entries(20), ["", "/", "//", "\\/"] * 5)]
    row(f"_normalize_url, {len(urls)} URLs", over(native._normalize_url, urls), over(plain._normalize_url, urls),
        5000, len(urls), ">= 3x plain", 3)

    entries = api_entries(20)
    accessor = lambda manager: entries  # noqa: E731 - a prebuilt list: the module's own work is measured
    saved = (m.get_pip_api_list, baseline.get_pip_api_list)
    m.get_pip_api_list = baseline.get_pip_api_list = accessor
    try:
        wanted = ["http://127.0.0.1:8019/simple"]  # the last entry: the whole list is walked
        assert native._get_api_pattern_for_index(wanted[0]) == plain._get_api_pattern_for_index(wanted[0])
        row("_get_api_pattern_for_index, 20 entries", over(native._get_api_pattern_for_index, wanted),
            over(plain._get_api_pattern_for_index, wanted), 20000, 1, ">= 3x plain", 3)
    finally:
        m.get_pip_api_list, baseline.get_pip_api_list = saved

    document = {"info": {"name": "demo", "version": "1.0", "requires_dist": DEPENDENCY_DOCUMENT}}
    for client in (native, plain):
        client._metadata_cache[("demo", "1.0")] = document

    def cached(client, number):
        async def go():
            for _ in range(number):
                await client.get_dependencies("Demo", "1.0", "http://127.0.0.1:1/simple")
        return lambda: asyncio.run(go())

    assert asyncio.run(native.get_dependencies("Demo", "1.0", "http://127.0.0.1:1/simple")) == \
        asyncio.run(plain.get_dependencies("Demo", "1.0", "http://127.0.0.1:1/simple"))
    row("get_dependencies, cached, 50 requirements", cached(native, 1000), cached(plain, 1000), 1, 1000,
        ">= 3x plain", 3)

    native._get_current_distributions()
    plain._get_current_distributions()
    checks = [("aiohttp", ">=3", ["speedups"]), ("aiohttp", ">=3", None), ("packaging", ">=20,<100", None),
              ("asyncio", "", None), ("no-such-package", ">=1", None), ("aiohttp", "(>=1.0)", None),
              ("Typing_Extensions", "", None)]
    assert [native.check_specifier_in_dist(*c) for c in checks] == [plain.check_specifier_in_dist(*c) for c in checks]
    row(f"check_specifier_in_dist, {len(checks)} cases on a built table",
        over(lambda c: native.check_specifier_in_dist(*c), checks),
        over(lambda c: plain.check_specifier_in_dist(*c), checks), 300, len(checks), "native <= plain", 0.98)
    return rows


# --- (3) memory -------------------------------------------------------------------------------

def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(url: str) -> dict:
    """RSS after 1,000 and after 100,000 mixed calls, half of them failures."""
    m.get_pip_api_list = lambda manager: [
        {"index_url": url + "/simple", "api_pattern": url + "/pypi/{package_name}/{version}/json"},
        {"index_url": "http://127.0.0.1:9/simple", "api_pattern": "http://127.0.0.1:9/pypi/{package_name}/json"}]
    client = m.PackageIndexClient(None)
    client._metadata_cache[("demo", "1.0")] = {"info": {"requires_dist": DEPENDENCY_DOCUMENT}}
    client._get_current_distributions()
    good_req, bad_req = corpus.REQUIREMENTS[120], corpus.UNREADABLE[3]

    def raises(fn, *args):
        try:
            fn(*args)
        except Exception:
            return

    plain_calls = [
        lambda: client._parse_requirement(good_req),
        lambda: client._parse_requirement(bad_req),  # failure: warning
        lambda: client._normalize_name("Foo__Bar.baz"),
        lambda: client._normalize_url("http://127.0.0.1/simple//"),
        lambda: client._get_api_pattern_for_index(url + "/simple/"),
        lambda: raises(client._get_api_pattern_for_index, None),  # failure: TypeError
        lambda: client.check_specifier_in_dist("aiohttp", ">=3", ["speedups"]),
        lambda: client.check_specifier_in_dist("aiohttp", "(>=1.0)"),  # failure: unreadable specifier
        lambda: raises(client._parse_requirement, b"bytes"),  # failure: TypeError
    ]
    awaitables = [
        lambda: client.get_dependencies("Demo", "1.0", url + "/simple"),
        lambda: client._get_versions_from_index("small", url + "/simple"),
        lambda: client._get_versions_from_index("missing", url + "/simple"),  # failure: 404
        lambda: client._get_versions_from_index("demo", "http://127.0.0.1:9/simple"),  # failure: refused
    ]
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    done = 0

    async def together(batch):
        await asyncio.gather(*batch)

    def calls(n):
        nonlocal done
        end = done + n
        while done < end:
            batch = []
            for i in range(min(100, end - done)):
                k = (done + i) % 20
                if k < 18:
                    plain_calls[k % len(plain_calls)]()
                else:
                    batch.append(awaitables[(done + i) // 20 % len(awaitables)]())
            if batch:
                loop.run_until_complete(together(batch))
            done += min(100, end - done)

    calls(1_000)
    gc.collect()
    after_1k = resident_bytes()
    calls(99_000)
    gc.collect()
    after_100k = resident_bytes()
    loop.run_until_complete(client.close())
    loop.close()
    return {"after_1k": after_1k, "after_100k": after_100k}


def memory_figures(url: str) -> list[dict]:
    out = subprocess.run([sys.executable, __file__, "--child", "memory", url], capture_output=True, text=True,
                         check=True).stdout
    r = json.loads(out.strip().splitlines()[-1])
    growth = (r["after_100k"] - r["after_1k"]) / 2**20
    return [{"figure": "memory: RSS growth, 1,000 -> 100,000 mixed calls", "unit": "MiB", "native": growth,
             "plain": None, "bare": None, "target": "< 2 MiB", "met": growth < 2,
             "note": f"RSS {r['after_1k'] / 2**20:.1f} -> {r['after_100k'] / 2**20:.1f} MiB"}]


# --- (4) event-loop lag -------------------------------------------------------------------------

async def ticker(stop: asyncio.Event) -> list[float]:
    gaps = []
    last = time.perf_counter()
    while not stop.is_set():
        await asyncio.sleep(0.001)
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
    return gaps


async def with_ticker(work) -> tuple[float, float, float]:
    stop = asyncio.Event()
    ticks = asyncio.ensure_future(ticker(stop))
    await asyncio.sleep(0.05)
    start = time.perf_counter()
    await work()
    elapsed = time.perf_counter() - start
    stop.set()
    gaps = await ticks
    return max(gaps), statistics.quantiles(gaps, n=100)[98], elapsed


def plain_versions_via_finder(package_name, index_url):
    """The finder road as a host would write it: one PackageFinder, its packages, PEP 440 order."""
    from packaging.version import Version
    from unearth import PackageFinder

    finder = PackageFinder(index_urls=[index_url])
    versions = {str(p.version) for p in finder.find_all_packages(package_name)}
    return sorted(versions, key=Version, reverse=True)


def lag_child(url: str) -> dict:
    client = m.PackageIndexClient(settings_for(url, api=False))
    index = url + "/simple"

    async def native_work():
        results = await asyncio.gather(*(client.get_versions("finder-demo") for _ in range(100)))
        assert all(len(r) == 20 for r in results), results[0]

    async def plain_work():
        loop = asyncio.get_running_loop()
        results = await asyncio.gather(*(loop.run_in_executor(None, plain_versions_via_finder, "finder-demo", index)
                                         for _ in range(100)))
        assert all(len(r) == 20 for r in results)

    async def idle():
        await asyncio.sleep(1.0)

    async def main():
        await native_work()  # warm-up: executor threads, imports
        await plain_work()
        return {name: await with_ticker(work) for name, work in
                (("native", native_work), ("plain", plain_work), ("idle", idle))}

    return asyncio.run(main())


def lag_figures(url: str) -> list[dict]:
    out = subprocess.run([sys.executable, __file__, "--child", "lag", url], capture_output=True, text=True,
                         check=True).stdout
    r = json.loads(out.strip().splitlines()[-1])
    (n_max, n_p99, n_time), (p_max, p_p99, p_time), (i_max, i_p99, _) = r["native"], r["plain"], r["idle"]
    return [{"figure": "event-loop lag: 100 concurrent finder-road get_versions", "unit": "ms",
             "native": n_max * 1e3, "plain": p_max * 1e3, "bare": i_max * 1e3, "target": "< 10 ms",
             "met": n_max < 0.010,
             "note": f"p99 gap native {n_p99 * 1e3:.1f} / plain {p_p99 * 1e3:.1f} / idle {i_p99 * 1e3:.1f} ms; "
                     f"batch {n_time:.2f} s native, {p_time:.2f} s plain"}]


# --- (5) the core metadata of a large wheel ----------------------------------------------------

WHEEL_MIB = 256
WHEEL_REQUIRES = corpus.REQUIREMENTS[:20]


def serve_wheel(wheel: str, ranges: str) -> None:
    """An index with the wheel (big 1.0) and a small one (small 1.0), no metadata files. Prints its
    URL; then answers each line on stdin with the bytes sent for the big wheel and the requests for it
    since the last line."""
    from quorvel_master.sampleindex import IndexServer, build_wheel

    with IndexServer(ranges=ranges == "ranges") as srv, tempfile.TemporaryDirectory() as folder:
        small = build_wheel(folder, "small", "1.0", WHEEL_REQUIRES)
        for name, path in (("big", Path(wheel)), ("small", small)):
            srv.add_project(name, {}, metadata_files=False)
            srv.add_file(name, "1.0", path.name, path)
        print(srv.url, flush=True)
        path = f"/files/big/{Path(wheel).name}"
        for _ in sys.stdin:
            print(srv.bytes_sent(path), srv.hits(path), flush=True)
            srv.reset_hits()


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def peak_growth(work) -> int:
    """Bytes by which the resident size rose above its level before `work`, at its highest during it:
    the kernel's high-water mark is reset first (clear_refs 5)."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    work()
    return (status_kib("VmHWM") - before) * 1024


def wheel_child(url: str, variant: str, rounds: int) -> dict:
    """One variant in a process of its own: the peak resident growth of the first read of the big
    wheel (after a warm-up on the small one), then the median time of `rounds` reads."""
    index = url + "/simple"
    if variant == "native":
        client = m.PackageIndexClient(None)

        def read(name):
            return [d["name"] for d in client._get_dependencies_via_unearth(name, "1.0", index)]
    else:
        plain = baseline.PlainClient(None)

        def read(name):
            return [plain._parse_requirement(r)["name"] for r in baseline.requires_dist_of_wheel(name, "1.0", index)]

    expected = read("small")
    assert expected, "the small wheel gave no requirements"

    def first_read():
        assert read("big") == expected, "the big wheel gave other requirements"

    growth = peak_growth(first_read)
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        read("big")
        times.append(time.perf_counter() - start)
    return {"growth": growth, "time": statistics.median(times)}


def wheel_figures(rounds: int) -> list[dict]:
    from quorvel_master.sampleindex import build_wheel

    rows = []
    with tempfile.TemporaryDirectory() as folder:
        wheel = build_wheel(folder, "big", "1.0", WHEEL_REQUIRES, payload=WHEEL_MIB << 20)
        size = wheel.stat().st_size
        with zipfile.ZipFile(wheel) as archive:
            metadata = archive.getinfo("big-1.0.dist-info/METADATA").compress_size
        results = {}
        for ranges in ("ranges", "no-ranges"):
            server = subprocess.Popen([sys.executable, __file__, "--serve-wheel", str(wheel), ranges],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            try:
                url = server.stdout.readline().strip()
                for variant in ("native", "plain"):
                    out = subprocess.run([sys.executable, __file__, "--child", "wheel", url, variant, str(rounds)],
                                         capture_output=True, text=True, check=True).stdout
                    result = json.loads(out.strip().splitlines()[-1])
                    server.stdin.write("\n")
                    server.stdin.flush()
                    # every read sent the same: the figures of one read
                    sent, requests = map(int, server.stdout.readline().split())
                    result["bytes"], result["requests"] = sent / (rounds + 1), requests / (rounds + 1)
                    results[ranges, variant] = result
            finally:
                server.stdin.close()
                server.wait(timeout=30)
    mib = 2**20
    # (bytes besides METADATA, peak growth), in MiB
    targets = {"ranges": (1, 16), "no-ranges": (None, 32)}
    for ranges in ("ranges", "no-ranges"):
        native, plain = results[ranges, "native"], results[ranges, "plain"]
        most_bytes, most_growth = targets[ranges]
        rows.append({"figure": f"{WHEEL_MIB} MiB wheel, {ranges.replace('-', ' ')}: bytes sent", "unit": "MiB",
                     "native": native["bytes"] / mib, "plain": plain["bytes"] / mib, "bare": None,
                     "target": f"<= {most_bytes} MiB + METADATA" if most_bytes else "(whole wheel)",
                     "met": native["bytes"] - metadata <= most_bytes * mib if most_bytes else None,
                     "note": f"wheel {size / mib:.1f} MiB, METADATA {metadata} bytes compressed; one read: "
                             f"{native['bytes']:,.0f} bytes in {native['requests']:g} request(s) native, "
                             f"{plain['requests']:g} plain, as the server counted them"})
        rows.append({"figure": f"{WHEEL_MIB} MiB wheel, {ranges.replace('-', ' ')}: peak RSS growth", "unit": "MiB",
                     "native": native["growth"] / mib, "plain": plain["growth"] / mib, "bare": None,
                     "target": f"<= {most_growth} MiB", "met": native["growth"] / mib <= most_growth})
        rows.append({"figure": f"{WHEEL_MIB} MiB wheel, {ranges.replace('-', ' ')}: time (provisional)", "unit": "ms",
                     "native": native["time"] * 1e3, "plain": plain["time"] * 1e3, "bare": None,
                     "target": "(reported)", "met": None,
                     "note": "loopback: on a real link the bytes are the time" if ranges == "ranges" else
                             "both download the whole wheel; the module also checks its sha256, on disk"})
    return rows


# --- the table ------------------------------------------------------------------------------------

def show(rows: list[dict]) -> None:
    def num(value, unit):
        if value is None:
            return "-"
        if unit == "MiB" and value >= 10:
            return f"{value:,.1f}"
        return f"{value:,.0f}" if unit == "ns" else f"{value:,.1f}" if unit == "us" else f"{value:.2f}"

    header = f"{'figure':<58} {'unit':>4} {'native':>9} {'plain':>9} {'bare':>9} {'plain/native':>12} " \
             f"{'native/bare':>11}  {'target':<16} met"
    print(header)
    print("-" * len(header))
    for r in rows:
        speedup = f"{r['plain'] / r['native']:.2f}x" if r["plain"] and r["native"] else "-"
        distance = f"{r['native'] / r['bare']:.2f}" if r["bare"] and r["unit"] != "ms" else "-"
        met = {True: "yes", False: "NO", None: "-"}[r["met"]]
        print(f"{r['figure']:<58} {r['unit']:>4} {num(r['native'], r['unit']):>9} {num(r['plain'], r['unit']):>9} "
              f"{num(r['bare'], r['unit']):>9} {speedup:>12} {distance:>11}  {r['target']:<16} {met}")
        if r.get("note"):
            print(f"{'':<4}{r['note']}")
    print("plain/native: how many times faster the module is than the plain-Python baseline (for bytes and memory: "
          "how many times less it takes); native/bare: the "
          "module's time per query over the bare GET + json() (network rows); for the lag row, 'bare' is the "
          "idle loop's longest gap.")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--only", default="network,work,memory,lag,wheel", help="comma-separated sections")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--serve-wheel", nargs=2, metavar=("WHEEL", "RANGES"), help=argparse.SUPPRESS)
    parser.add_argument("--child", nargs="+", metavar="ARG", help=argparse.SUPPRESS)
    record.add_option(parser)
    args = parser.parse_args()
    if args.serve:
        return serve()
    if args.serve_wheel:
        return serve_wheel(*args.serve_wheel)
    if args.child:
        kind, url, *rest = args.child
        children = {"memory": memory_child, "lag": lag_child,
                    "wheel": lambda url: wheel_child(url, rest[0], int(rest[1]))}
        print(json.dumps(children[kind](url)))
        return
    with record.recording(args.write):
        figures(args)


def figures(args: argparse.Namespace) -> None:
    sections = set(args.only.split(","))
    print(f"Python {sys.version.split()[0]}, module {m.__file__}")
    print(f"logger level {logging.getLevelName(m.logger.getEffectiveLevel())}; index server in a separate process")
    rows = []
    with ServerProcess() as url:
        if "network" in sections:
            rows += asyncio.run(network_figures(url, rounds=2 if args.quick else 5))
        if "work" in sections:
            rows += own_work_figures(repeat=3 if args.quick else 7)
        if "memory" in sections:
            rows += memory_figures(url)
        if "lag" in sections:
            rows += lag_figures(url)
    if "wheel" in sections:
        rows += wheel_figures(rounds=2 if args.quick else 5)
    print()
    show(rows)


if __name__ == "__main__":
    main()
