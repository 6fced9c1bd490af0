"""Times get_versions on a 1,000-release document served locally, against the
same library calls made from plain Python, and against the bare GET + json().

    PYTHONPATH=<stage> python bench/bench_versions.py [--runs N] [--releases N]

All three share one event loop and one local server; rounds alternate between
them so drift hits each alike. Prints medians (ms) and ratios.
"""

from __future__ import annotations

import argparse
import asyncio
import statistics
import time

import aiohttp
from packaging.version import Version

import quorvel_master.business_layer.packages.package_index_client as pic
from quorvel_master.business_layer.packages.pip_settings import SettingsManager
from quorvel_master.sampleindex import IndexServer


def document(count: int) -> dict:
    """A realistic project document: every release with one wheel entry."""
    keys = [f"{i // 100}.{i // 10 % 10}.{i % 10}" for i in range(count - count // 10)]
    keys += [f"{i // 100}.{i // 10 % 10}.{i % 10}rc1" for i in range(count // 10 - 2)]
    keys += ["latest", "dev-build"]  # not PEP 440: dropped
    releases = {
        k: [
            {
                "filename": f"bench-{k}-py3-none-any.whl",
                "url": f"http://127.0.0.1/files/bench/bench-{k}-py3-none-any.whl",
                "digests": {"sha256": "0" * 64, "md5": "0" * 32},
                "packagetype": "bdist_wheel",
                "requires_python": ">=3.8",
                "size": 1234,
                "yanked": False,
            }
        ]
        for k in keys
    }
    return {"info": {"name": "bench", "version": keys[-3], "summary": "bench"}, "releases": releases}


async def python_versions(session: aiohttp.ClientSession, url: str) -> list[str]:
    async with session.get(url, timeout=aiohttp.ClientTimeout(total=10)) as response:
        if response.status != 200:
            return []
        data = await response.json()
    pairs = []
    for v in list(data.get("releases", {}).keys()):
        try:
            pairs.append((Version(v), v))
        except Exception:
            pass
    pairs.sort(key=lambda p: p[0], reverse=True)
    return [v for _, v in pairs]


async def bare_get(session: aiohttp.ClientSession, url: str) -> dict:
    async with session.get(url, timeout=aiohttp.ClientTimeout(total=10)) as response:
        return await response.json()


async def bench(srv: IndexServer, runs: int, expected: int) -> dict[str, list[float]]:
    index = srv.simple_url
    manager = SettingsManager(
        {"index_urls": [{"url": index, "primary": True}], "pip_api": [{"index_url": index, "api_pattern": srv.json_api_pattern}]}
    )
    client = pic.PackageIndexClient(manager)
    url = srv.url + "/pypi/bench/json"
    session = aiohttp.ClientSession()
    cases = {
        "get_versions": lambda: client.get_versions("bench"),
        "python loop": lambda: python_versions(session, url),
        "bare GET+json": lambda: bare_get(session, url),
    }
    try:
        native = await cases["get_versions"]()
        reference = await cases["python loop"]()
        assert native == reference and len(native) == expected, "results differ"
        for _ in range(5):  # warm-up: connections, caches
            for make in cases.values():
                await make()
        times: dict[str, list[float]] = {name: [] for name in cases}
        for _ in range(runs):
            for name, make in cases.items():
                start = time.perf_counter()
                await make()
                times[name].append(time.perf_counter() - start)
        return times
    finally:
        await client.close()
        await session.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--releases", type=int, default=1000)
    args = parser.parse_args()
    with IndexServer() as server:
        doc = document(args.releases)
        server.set_response("/pypi/bench/json", doc)
        results = asyncio.run(bench(server, args.runs, len(doc["releases"]) - 2))
    medians = {name: statistics.median(ts) * 1000 for name, ts in results.items()}
    print(f"{len(doc['releases'])} releases, {args.runs} rounds, medians:")
    for name, ms in medians.items():
        q = statistics.quantiles([t * 1000 for t in results[name]], n=10)
        print(f"  {name:14s} {ms:8.3f} ms   (p10 {q[0]:.3f}, p90 {q[-1]:.3f})")
    native = medians["get_versions"]
    print(f"  get_versions / python loop   = {native / medians['python loop']:.3f}")
    print(f"  get_versions / bare GET+json = {native / medians['bare GET+json']:.3f}")
    print(f"  python loop  / bare GET+json = {medians['python loop'] / medians['bare GET+json']:.3f}")
