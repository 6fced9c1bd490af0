"""Import time and the cost of a trivial call, on each interpreter, in one run.

    python bench/interpreters.py .venv/bin/python .venv312/bin/python .venv313/bin/python

Each argument is the python of a venv where the package is installed. Every
figure is a ratio against a plain-Python baseline measured on the same
interpreter in the same run:

* import: the module imported in a fresh process (interpreter start left out),
  against the same process importing only what the module imports (the
  standard modules, aiohttp, unearth, packaging, the host's logger factory and
  settings accessors); the median of several processes each;
* awaitable call: ``client._get_session()`` stepped to its end (it completes
  without suspending), against an ``async def`` doing the same steps;
* plain call: ``client._normalize_url(url)``, against a Python method doing the
  same (``url.rstrip("/\\\\")``).

The calls are timed in one child process per interpreter, best of several
rounds.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
import timeit
import warnings

import record  # beside this script

MODULE = "quorvel_master.business_layer.packages.package_index_client"
# What the module's body imports, in its order.
DEPENDENCIES = [
    "asyncio", "re", "sys", "importlib.metadata", "typing", "html.parser", "aiohttp", "unearth",
    "packaging.specifiers", "packaging.version", "quorvel_master.logging_config",
    "quorvel_master.business_layer.packages.pip_settings",
]
IMPORT_PROCESSES = 9


def import_child(what: str) -> float:
    """Seconds to import the module (or, for "baseline", its dependencies alone)."""
    import importlib

    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
        for name in DEPENDENCIES if what == "baseline" else [MODULE]:
            importlib.import_module(name)
    return time.perf_counter() - started


def calls_child(rounds: int) -> dict:
    """Nanoseconds per call, native and plain, for the two kinds of call."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
        import importlib
        m = importlib.import_module(MODULE)
    import aiohttp

    class Session:
        closed = False

    class Peer:
        def __init__(self, settings_manager):
            self.settings_manager = settings_manager
            self._session = None

        async def _get_session(self):
            if aiohttp is None:
                raise RuntimeError("aiohttp not installed, cannot query package indexes")
            session = self._session
            if session is None or session.closed:
                self._session = aiohttp.ClientSession()
            return self._session

        def _normalize_url(self, url):
            return url.rstrip("/\\")

    def step_to_end(client):
        def run():
            coro = client._get_session()
            try:
                coro.send(None)
            except StopIteration:
                pass
        return run

    def best(fn, number):
        return min(timeit.repeat(fn, number=number, repeat=rounds)) / number * 1e9

    figures = {}
    for kind, cls in (("native", m.PackageIndexClient), ("plain", Peer)):
        client = cls(None)
        client._session = Session()
        url = "http://127.0.0.1:8080/simple//"
        figures[f"awaitable {kind}"] = best(step_to_end(client), 200_000)
        figures[f"plain {kind}"] = best(lambda: client._normalize_url(url), 500_000)
    return figures


def run_child(python: str, *args: str) -> str:
    out = subprocess.run([python, __file__, *args], capture_output=True, text=True, check=True)
    return out.stdout.strip()


def measure(python: str, rounds: int) -> dict:
    version = run_child(python, "--version-only")
    # the two kinds of process alternate, so that load on the machine hits both alike
    samples: dict[str, list[float]] = {"module": [], "baseline": []}
    for _ in range(IMPORT_PROCESSES):
        for what in samples:
            samples[what].append(float(run_child(python, "--import", what)))
    imports = {what: statistics.median(values) for what, values in samples.items()}
    calls = json.loads(run_child(python, "--calls", str(rounds)))
    return {"python": version, "import module": imports["module"] * 1e3,
            "import baseline": imports["baseline"] * 1e3, **calls}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pythons", nargs="*", default=[sys.executable])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--import", dest="import_what", help=argparse.SUPPRESS)
    parser.add_argument("--calls", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--version-only", action="store_true", help=argparse.SUPPRESS)
    record.add_option(parser)
    args = parser.parse_args()
    if args.version_only:
        return print(sys.version.split()[0])
    if args.import_what:
        return print(import_child(args.import_what))
    if args.calls:
        return print(json.dumps(calls_child(args.calls)))
    with record.recording(args.write):
        table(args)


def table(args: argparse.Namespace) -> None:
    rows = [measure(python, args.rounds) for python in args.pythons]
    header = (f"{'python':<8} {'import ms':>9} {'baseline':>9} {'ratio':>6}   "
              f"{'await ns':>8} {'async def':>9} {'ratio':>6}   {'call ns':>7} {'plain':>6} {'ratio':>6}")
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r['python']:<8} {r['import module']:>9.0f} {r['import baseline']:>9.0f} "
              f"{r['import module'] / r['import baseline']:>5.2f}x   "
              f"{r['awaitable native']:>8.0f} {r['awaitable plain']:>9.0f} "
              f"{r['awaitable native'] / r['awaitable plain']:>5.2f}x   "
              f"{r['plain native']:>7.0f} {r['plain plain']:>6.0f} {r['plain native'] / r['plain plain']:>5.2f}x")
    print("ratio: the module's time over the plain-Python baseline on the same interpreter (below 1: faster).")


if __name__ == "__main__":
    main()
