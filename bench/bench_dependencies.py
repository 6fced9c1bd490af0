"""Cost of the requirement parser and of a dependencies query answered from the
document cache (50 requirement strings, no request).

Compares the native client with plain Python doing the same library calls
(re, str methods, the logger) in the same process.

    PYTHONPATH=<stage> python bench/bench_dependencies.py
"""

import asyncio
import logging
import re
import statistics
import sys
import time
import timeit

from quorvel_master.business_layer.packages import package_index_client as m

logger = logging.getLogger("bench.plain")

REQUIREMENTS = [
    "charset-normalizer<4,>=2",
    "idna<4,>=2.5",
    "urllib3 (<3,>=1.21.1)",
    "certifi>=2017.4.17",
    'PySocks!=1.5.7,>=1.5.6; extra == "socks"',
    'importlib-metadata (>=1.7.0) ; python_version < "3.8"',
    'tomli>=1.1.0; python_version < "3.11" and (os_name == "nt" or implementation_name == "pypy")',
    'aiohttp[speedups, socks]!=3.9.0,>=3.7.4; sys_platform != "win32" and extra == "d"',
    "coverage[toml] (>=6.5) ; extra == 'test'",
    "zipp @ https://files.example.invalid/zipp-3.8.0-py3-none-any.whl",
]
DOCUMENT_REQUIREMENTS = [
    req.replace("<", f"<{i // len(REQUIREMENTS)}", 1) if i >= len(REQUIREMENTS) else req
    for i, req in enumerate(REQUIREMENTS * 5)
]


class PlainClient:
    """The same steps written in Python, for comparison."""

    def __init__(self):
        self._metadata_cache = {}

    def _parse_requirement(self, req):
        parts = req.split(";", 1)
        pkg_part = parts[0].strip()
        marker_part = parts[1].strip() if len(parts) > 1 else ""
        match = re.match(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)", pkg_part)
        if not match:
            logger.warning(f"Could not parse requirement: {req}")
            return None
        name = match.group(1)
        extras_str = match.group(2) or ""
        version_spec = match.group(3).strip()
        pkg_extras = []
        if extras_str:
            pkg_extras = [e.strip() for e in extras_str.strip("[]").split(",")]
        return {"name": name, "version_spec": version_spec, "extras": pkg_extras, "markers": marker_part}

    async def _get_dependencies_from_index(self, package_name, version, index_url):
        cache_key = (package_name.lower(), version)
        if cache_key in self._metadata_cache:
            metadata = self._metadata_cache[cache_key]
        else:
            raise RuntimeError("the benchmark only measures cached documents")
        info = metadata.get("info", {})
        requires_dist = info.get("requires_dist", [])
        if not requires_dist:
            return []
        dependencies = []
        for req in requires_dist:
            dep = self._parse_requirement(req)
            if dep:
                dependencies.append(dep)
        logger.debug(f"Found {len(dependencies)} dependencies for {package_name}=={version}")
        return dependencies

    async def get_dependencies(self, package_name, version, index_url=None):
        if index_url:
            return await self._get_dependencies_from_index(package_name, version, index_url)
        raise RuntimeError("the benchmark only asks one index")


def measure(fn, number, repeat=7):
    runs = [t / number for t in timeit.repeat(fn, number=number, repeat=repeat)]
    return min(runs), statistics.median(runs)


async def measure_async(make_awaitable, number, repeat=7):
    runs = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            await make_awaitable()
        runs.append((time.perf_counter() - start) / number)
    return min(runs), statistics.median(runs)


def show(label, native, plain):
    (n_min, n_med), (p_min, p_med) = native, plain
    print(f"{label:<44} native {n_min * 1e6:9.2f} us (median {n_med * 1e6:9.2f})"
          f"   python {p_min * 1e6:9.2f} us (median {p_med * 1e6:9.2f})   ratio {n_min / p_min:5.2f}")


async def bench_cached_query(native, plain):
    document = {"info": {"name": "demo", "version": "1.0", "requires_dist": DOCUMENT_REQUIREMENTS}}
    for client in (native, plain):
        client._metadata_cache[("demo", "1.0")] = document
    url = "http://127.0.0.1:1/simple"
    expected = await plain.get_dependencies("Demo", "1.0", url)
    assert await native.get_dependencies("Demo", "1.0", url) == expected and len(expected) == 50
    return (await measure_async(lambda: native.get_dependencies("Demo", "1.0", url), 2000),
            await measure_async(lambda: plain.get_dependencies("Demo", "1.0", url), 2000))


def main():
    native = m.PackageIndexClient(None)
    plain = PlainClient()
    print(f"Python {sys.version.split()[0]}; logger level {logging.getLevelName(m.logger.getEffectiveLevel())}")

    for req in REQUIREMENTS[:3] + REQUIREMENTS[7:]:
        assert native._parse_requirement(req) == plain._parse_requirement(req), req
        show(f"_parse_requirement {req!r}"[:44], measure(lambda: native._parse_requirement(req), 20000),
             measure(lambda: plain._parse_requirement(req), 20000))

    def parse_all(client):
        parse = client._parse_requirement
        return lambda: [parse(r) for r in DOCUMENT_REQUIREMENTS]

    show("_parse_requirement x50 (document)", measure(parse_all(native), 500), measure(parse_all(plain), 500))
    show("get_dependencies, cached, 50 requirements", *asyncio.run(bench_cached_query(native, plain)))


if __name__ == "__main__":
    main()
