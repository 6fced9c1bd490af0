"""Costs of the module frame, each against a baseline measured in the same run.

- import: importing the module (in a fresh interpreter) against importing its
  three libraries alone;
- a plain call: `_normalize_url` against a pure-Python method doing the same;
- an awaitable call: `await _get_session()` against an `async def` doing the same.

Run: python bench/bench_frame.py   (with the package installed)
"""

from __future__ import annotations

import asyncio
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

MODULE = "quorvel_master.business_layer.packages.package_index_client"


def import_times(statement: str, runs: int = 15) -> list[float]:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", statement], check=True, cwd=tempfile.gettempdir())
        times.append(time.perf_counter() - start)
    return times


def per_call(stmt, number=200_000, repeat=7) -> float:
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


class PlainPython:
    def __init__(self, settings_manager):
        self.settings_manager = settings_manager
        self._session = None

    def _normalize_url(self, url: str) -> str:
        if type(url) is not str:
            raise TypeError("url")
        return url.rstrip("/\\")

    async def _get_session(self):
        if self._session is None or self._session.closed:
            self._session = object()
        return self._session


def main() -> None:
    import quorvel_master.business_layer.packages.package_index_client as m

    bare = import_times("pass")
    libs = import_times("import aiohttp, unearth, packaging.version, packaging.specifiers")
    module = import_times(f"import {MODULE}")
    base = statistics.median(bare)
    lib_cost = statistics.median(libs) - base
    mod_cost = statistics.median(module) - base
    print(f"import, interpreter start subtracted: libraries {lib_cost * 1e3:.1f} ms, "
          f"module {mod_cost * 1e3:.1f} ms, ratio {mod_cost / lib_cost:.2f}")

    native = m.PackageIndexClient(None)
    python = PlainPython(None)
    url = "http://127.0.0.1/simple/"
    n = per_call(lambda: native._normalize_url(url))
    p = per_call(lambda: python._normalize_url(url))
    print(f"plain call _normalize_url: native {n * 1e9:.0f} ns, Python {p * 1e9:.0f} ns, ratio {n / p:.2f}")

    class Closed:
        closed = False

    native._session = Closed()
    python._session = Closed()

    def drive(coro):
        # run a coroutine that completes without suspending, as an awaiting task would
        try:
            coro.send(None)
        except StopIteration as stop:
            return stop.value

    n = per_call(lambda: drive(native._get_session()))
    p = per_call(lambda: drive(python._get_session()))
    print(f"awaitable call _get_session: native {n * 1e9:.0f} ns, Python {p * 1e9:.0f} ns, ratio {n / p:.2f}")


if __name__ == "__main__":
    main()
