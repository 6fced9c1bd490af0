"""Figures of the network layer, as ratios to a baseline measured in the same run.

    python bench/network.py            # about a minute
    python bench/network.py --quick

Run it with the python of a venv where the package and its test extras are
installed (trustme makes the private certificate authority). The origin runs
in a separate process (``--serve``), so the client's GIL is not shared with
it; it answers JSON API documents and simple pages with an ETag, over plain
HTTP and over HTTPS.

1. Finder road over local HTTPS, per call: ``get_versions`` of projects
   with 3 releases through the layer's shared client for the index (cache
   off, so every call is a full GET) against a fresh unearth client per call
   with the same TLS context.
2. A host fanning out 1,000 ``get_versions`` over 50 projects (200
   releases each), 50 at a time, on the JSON road: the layer with its cache
   (documents revalidated: 304s), the layer without a cache, and the cache
   with revalidation off and answers fresh for a minute.
3. ``pkgindex versions`` run twice in a row as a process with an empty
   cache folder, on each road: the requests the index saw, the body bytes it
   sent and the wall time of the second run against the first (the second
   revalidates with the ETag and is answered 304).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

PROJECTS = 50
RELEASES = 200
#: Releases of the projects the finder figure asks for: few, so that the
#: finder's own evaluation of the links does not drown the network's share.
SMALL = 3


def serve(directory: str) -> None:
    """The origin: ``/pypi/{name}/json`` and ``/simple/{name}/`` for p0..p49."""
    import ssl

    import trustme
    from aiohttp import web

    ca = trustme.CA()
    ca.cert_pem.write_to_path(os.path.join(directory, "ca.pem"))
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert("127.0.0.1").configure_cert(tls)
    max_age = {"value": "max-age=0"}
    sent = {"bytes": 0, "requests": 0, "not_modified": 0}

    def documents(name: str, count: int) -> tuple[bytes, bytes]:
        releases = {f"{i // 10}.{i % 10}.0": [] for i in range(count)}
        doc = {"info": {"name": name, "version": "19.9.0", "summary": "s"}, "releases": releases}
        page = "".join(f'<a href="/files/{name}-{v}-py3-none-any.whl">{name}-{v}-py3-none-any.whl</a>\n'
                       for v in releases)
        return json.dumps(doc).encode(), f"<html><body>{page}</body></html>".encode()

    bodies = {f"p{i}": documents(f"p{i}", RELEASES) for i in range(PROJECTS)}
    bodies.update({f"s{i}": documents(f"s{i}", SMALL) for i in range(PROJECTS)})

    async def answer(request: web.Request) -> web.Response:
        name = request.match_info["name"]
        if name == "_max_age":
            max_age["value"] = request.query["value"]
            return web.Response(text="ok")
        if name == "_sent":
            return web.Response(text=str(sent["bytes"]))
        if name == "_counts":
            return web.json_response(sent)
        sent["requests"] += 1
        doc, page = bodies[name]
        json_api = request.path.startswith("/pypi/")
        etag = f'"{name}-{"j" if json_api else "s"}"'
        headers = {"ETag": etag, "Cache-Control": max_age["value"]}
        if request.headers.get("If-None-Match") == etag:
            sent["not_modified"] += 1
            return web.Response(status=304, headers=headers)
        sent["bytes"] += len(doc if json_api else page)
        return web.Response(body=doc if json_api else page, headers=headers,
                            content_type="application/json" if json_api else "text/html")

    async def main() -> None:
        app = web.Application()
        app.router.add_get("/pypi/{name}/json", answer)
        app.router.add_get("/simple/{name}/", answer)
        app.router.add_get("/control/{name}", answer)
        runner = web.AppRunner(app, access_log=None)
        await runner.setup()
        plain = web.TCPSite(runner, "127.0.0.1", 0)
        secure = web.TCPSite(runner, "127.0.0.1", 0, ssl_context=tls)
        await plain.start()
        await secure.start()
        ports = [address[1] for address in runner.addresses]
        print(json.dumps({"http": ports[0], "https": ports[1]}), flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
        await runner.cleanup()

    asyncio.run(main())


def settings(index: str, pattern: str | None):
    from quorvel_master.business_layer.packages.pip_settings import SettingsManager

    return SettingsManager({"index_urls": [{"url": index, "primary": True}], "use_secondary_urls": True,
                            "pip_api": [{"index_url": index, "api_pattern": pattern}] if pattern else []})


def finder_figure(module, https: str, ca: str, calls: int) -> dict:
    import ssl

    import unearth
    from unearth.fetchers import PyPIClient

    from quorvel_master.network import Network

    index = f"{https}/simple"
    context = ssl.create_default_context(cafile=ca)
    real = module.PackageFinder

    def one_client_per_call(*args, index_urls=(), **kwargs):
        return unearth.PackageFinder(*args, index_urls=list(index_urls), session=PyPIClient(verify=context), **kwargs)

    async def per_call_times(make_client) -> list[float]:
        client = make_client()
        times = []
        try:
            for i in range(calls):
                started = time.perf_counter()
                versions = await client.get_versions(f"s{i % PROJECTS}")
                times.append(time.perf_counter() - started)
                assert len(versions) == SMALL, versions
        finally:
            await client.close()
        return times

    network = Network(cache=False, cert=ca, retries=0)
    try:
        module.PackageFinder = one_client_per_call
        fresh = asyncio.run(per_call_times(lambda: module.PackageIndexClient(settings(index, None))))
        shared = asyncio.run(per_call_times(lambda: network.client(settings(index, None))))
        fresh2 = asyncio.run(per_call_times(lambda: (setattr(module, "PackageFinder", one_client_per_call),
                                                     module.PackageIndexClient(settings(index, None)))[1]))
    finally:
        module.PackageFinder = real
    baseline = statistics.median(fresh + fresh2)
    layer = statistics.median(shared)
    return {"figure": f"finder road over HTTPS, median of {calls} calls", "baseline": baseline, "layer": layer}


async def fan_out(client, total: int, concurrency: int) -> float:
    queue = list(range(total))
    started = time.perf_counter()

    async def worker():
        while queue:
            i = queue.pop()
            versions = await client.get_versions(f"p{i % PROJECTS}")
            assert len(versions) == RELEASES

    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return time.perf_counter() - started


def fan_out_figures(module, http: str, total: int, rounds: int) -> list[dict]:
    import aiohttp

    from quorvel_master.network import Network

    index = f"{http}/simple"
    pattern = f"{http}/pypi/{{package_name}}/{{version}}/json"

    async def set_max_age(value: str) -> None:
        async with aiohttp.ClientSession() as session:
            async with session.get(f"{http}/control/_max_age", params={"value": value}) as response:
                await response.read()

    async def body_bytes_sent() -> int:
        async with aiohttp.ClientSession() as session:
            async with session.get(f"{http}/control/_sent") as response:
                return int(await response.text())

    async def measure(make_network, max_age: str) -> tuple[float, int, int]:
        await set_max_age(max_age)
        network = make_network()
        client = network.client(settings(index, pattern))
        try:
            await fan_out(client, PROJECTS, 10)  # fills the cache, opens connections
            network.outcomes.clear()
            before = await body_bytes_sent()
            took = await fan_out(client, total, 50)
            sent = sum(1 for o in network.outcomes.all() if not (o.from_cache and o.status == 200))
            return took, sent, await body_bytes_sent() - before
        finally:
            await client.close()

    rows = {"no cache": [], "cache, revalidated (304)": [], "cache, fresh (max-age=60)": []}
    sent = {}
    body = {}
    for _ in range(rounds):  # interleaved, so the machine's load falls on all alike
        for name, make, max_age in (
            ("no cache", lambda: Network(cache=False, retries=0), "max-age=0"),
            ("cache, revalidated (304)", lambda: Network(retries=0), "max-age=0"),
            ("cache, fresh (max-age=60)", lambda: Network(retries=0, revalidate_documents=False), "max-age=60"),
        ):
            took, requests, bytes_sent = asyncio.run(measure(make, max_age))
            rows[name].append(took)
            sent[name] = requests
            body[name] = bytes_sent
    base = statistics.median(rows["no cache"])
    return [{"figure": f"{total} get_versions over {PROJECTS} projects: {name}", "seconds": statistics.median(times),
             "requests": sent[name], "bytes": body[name], "ratio": statistics.median(times) / base}
            for name, times in rows.items()]


def command_line_figures(http: str, rounds: int) -> list[dict]:
    """Two runs of ``pkgindex versions`` with one fresh cache folder, per road."""
    import urllib.request

    def counts() -> dict:
        with urllib.request.urlopen(f"{http}/control/_counts") as response:
            return json.loads(response.read())

    def run(home: str, args: list[str]) -> tuple[float, dict]:
        env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_") and k.lower() != "http_proxy"}
        env.update(HOME=home, XDG_CACHE_HOME=os.path.join(home, "cache"), PIP_CONFIG_FILE=os.devnull)
        before = counts()
        started = time.perf_counter()
        subprocess.run([sys.executable, "-m", "quorvel_master", "versions", *args], env=env, cwd=home, check=True,
                       stdout=subprocess.DEVNULL)
        took = time.perf_counter() - started
        after = counts()
        return took, {k: after[k] - before[k] for k in after}

    rows = []
    for road in ("json", "finder"):
        args = ["--index-url", f"{http}/simple"]
        if road == "json":
            args += ["--api-pattern", f"{http}/simple={http}/pypi/{{package_name}}/{{version}}/json"]
        first_times, second_times = [], []
        for i in range(rounds):
            with tempfile.TemporaryDirectory() as home:
                took, first = run(home, [f"p{i % PROJECTS}", *args])
                first_times.append(took)
                took, second = run(home, [f"p{i % PROJECTS}", *args])
                second_times.append(took)
        rows.append({"road": road, "first": statistics.median(first_times), "second": statistics.median(second_times),
                     "first_counts": first, "second_counts": second})
    return rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--serve", metavar="DIR")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
        from quorvel_master.business_layer.packages import package_index_client as module
    with tempfile.TemporaryDirectory() as directory:
        server = subprocess.Popen([sys.executable, __file__, "--serve", directory], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        try:
            ports = json.loads(server.stdout.readline())
            http, https = (f"{s}://127.0.0.1:{ports[s]}" for s in ("http", "https"))
            ca = str(Path(directory) / "ca.pem")
            finder = finder_figure(module, https, ca, 20 if args.quick else 60)
            fan = fan_out_figures(module, http, 1000, 1 if args.quick else 3)
            command_line = command_line_figures(http, 3 if args.quick else 9)
        finally:
            server.stdin.close()
            server.wait(10)
    print(f"# {time.strftime('%Y-%m-%d')}, Python {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} cores")
    print(f"{finder['figure']}: one client per call {finder['baseline'] * 1000:.2f} ms, shared client "
          f"{finder['layer'] * 1000:.2f} ms, shared/per-call {finder['layer'] / finder['baseline']:.2f}x")
    for row in fan:
        print(f"{row['figure']}: {row['seconds']:.3f} s ({row['ratio']:.2f}x of no cache), "
              f"{row['requests']} requests, {row['bytes'] / 1e6:.1f} MB of bodies sent")
    for row in command_line:
        first, second = row["first_counts"], row["second_counts"]
        print(f"pkgindex versions twice, {row['road']} road: first run {row['first'] * 1000:.0f} ms, "
              f"{first['requests']} request(s), {first['bytes']} body bytes; second run {row['second'] * 1000:.0f} ms "
              f"({row['second'] / row['first']:.2f}x), {second['requests']} request(s) "
              f"({second['not_modified']} answered 304), {second['bytes']} body bytes")


if __name__ == "__main__":
    main()
