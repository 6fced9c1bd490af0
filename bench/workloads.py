"""The module's workloads against their baselines, and each fast path against
its library call, in one run, as ratios.

    python bench/workloads.py                    # wall time, this interpreter
    python bench/workloads.py --import catch     # the module imported inside warnings.catch_warnings(),
                                                 # every measured call made inside such a block
    python bench/workloads.py --instructions     # instructions counted by callgrind: repeatable on a
                                                 # loaded machine, where wall time is not
    python bench/workloads.py --only W3,W4,paths
    python bench/workloads.py --runs 3 --write bench/results/workloads-3.11-plain-wall.txt
                                                 # three whole runs; the table also appended to the
                                                 # file, under the run's date, interpreter and machine

Run it with the python of a venv where the package is installed (or with
PYTHONPATH set to a scripts/devbuild.sh stage). Workloads, target against
baseline:

  W1  get_versions, a 1,000-release document, 50 queries at a time   peer, limit
  W2  get_dependencies, uncached, 50 requirements, 50 at a time      limit (target <= 1.2)
      (every query of W1, W2 and the network fast paths must answer)
  W3  get_dependencies, cached, 50 requirements                      peer (target <= 0.10)
  W4  _parse_requirement over the corpus (bench/corpus.py)           peer (target <= 0.10)
  W5  _normalize_name over the corpus's 209 names                    peer (target <= 0.10)
  W6  _get_api_pattern_for_index over 20 entries                     peer

The peer is bench/baseline.py: plain Python making the same library calls in
the same order. The limit is one aiohttp GET of the same URL, json(), and the
least that keeps an answer: the release keys (W1), a one-key dict per
requirement (W2). The index is the sample index in a separate process.

Fast paths: each entry of src/fastpath/paths.hpp in the operation that asks
it, natively against the library's road, which the same operation takes
while the module global is replaced by an equal stand-in (a namespace holding
re's functions, a subclass of Version): that closes the gate.

With --instructions the figures are callgrind's instruction counts of this
process (the server is not counted; the network workloads make one query at
a time, since under callgrind a query takes seconds and 50 at once would
outlast their 10 s time-out), and for each target the instructions it
spends in functions of its own (pic::...), in CPython making and freeing the
objects of the answer (dicts, lists, str, memory, the collector), and in the
interpreter's call path and loop; "own / baseline" divides the first by the
baseline's whole count. Needs valgrind, gcc and valgrind's headers.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import contextlib
import gc
import io
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
import types
import warnings
import statistics
from datetime import date
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import record  # noqa: E402  beside this script

MODULE = "quorvel_master.business_layer.packages.package_index_client"
TARGETS = {"W2": 1.2, "W3": 0.10, "W4": 0.10, "W5": 0.10}


# Requirement strings with extra markers, for the two extras fast paths.
def marked_requirements():
    import corpus

    return [r for r in corpus.REQUIREMENTS if "extra ==" in r]


def serve() -> None:
    """The sample index with the documents of bench/run.py and one whose
    requirements all name extras; prints its URL, serves until stdin closes."""
    from run import DEPENDENCY_DOCUMENT, release_document

    from quorvel_master.sampleindex import IndexServer

    with IndexServer() as srv:
        srv.set_response("/pypi/bench/json", release_document(1000))
        srv.set_response("/pypi/deps/*/json", {"info": {"name": "deps", "version": "1.0",
                                                        "requires_dist": DEPENDENCY_DOCUMENT}})
        srv.set_response("/pypi/marked/*/json", {"info": {"name": "marked", "version": "1.0",
                                                          "requires_dist": marked_requirements()}})
        srv.set_response("/pypi/small/json", {"info": {"name": "small"}, "releases": {"1.0": [], "1.1": []}})
        print(srv.url, flush=True)
        sys.stdin.read()


class ServerProcess:
    def __enter__(self) -> str:
        self.proc = subprocess.Popen([sys.executable, __file__, "--serve"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        url = self.proc.stdout.readline().strip()
        if not url:
            raise RuntimeError("the index server process did not start")
        return url

    def __exit__(self, *exc) -> None:
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def import_module(mode: str):
    import importlib

    with warnings.catch_warnings() if mode == "catch" else contextlib.nullcontext():
        warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
        return importlib.import_module(MODULE)


def calls_context(mode: str):
    return warnings.catch_warnings() if mode == "catch" else contextlib.nullcontext()


# --- what is measured --------------------------------------------------------------------------

class Bench:
    """The clients, the index and the variants of every workload; each variant
    is a function that makes `ops` operations."""

    def __init__(self, m, url: str, at_once: int = 50):
        import aiohttp

        import baseline
        import corpus
        from quorvel_master.business_layer.packages.pip_settings import SettingsManager

        self.m, self.url, self.aiohttp, self.at_once = m, url, aiohttp, at_once
        index = url + "/simple"
        self.index = index
        manager = SettingsManager({
            "index_urls": [{"url": index, "primary": True}],
            "pip_api": [{"index_url": index, "api_pattern": url + "/pypi/{package_name}/{version}/json"}],
        })
        self.loop = asyncio.new_event_loop()
        self.native = m.PackageIndexClient(manager)
        self.peer = baseline.PlainClient(manager)
        self.session = self.loop.run_until_complete(self._session())
        self.serial = iter(range(10**9))
        self.requirements = corpus.REQUIREMENTS
        self.names = [self.peer._parse_requirement(r)["name"] for r in corpus.REQUIREMENTS] + [
            "Foo__Bar.baz", "ZOPE.Interface", "caf\u00e9_lib"]
        document = {"info": {"name": "demo", "version": "1.0", "requires_dist": corpus.REQUIREMENTS[:50]}}
        for client in (self.native, self.peer):
            client._metadata_cache[("demo", "1.0")] = document
        self.entries = [{"index_url": f"http://127.0.0.1:{8000 + i}/simple/",
                         "api_pattern": f"http://127.0.0.1:{8000 + i}/pypi/{{package_name}}/{{version}}/json"}
                        for i in range(20)]
        self.installed = {"demo": types.SimpleNamespace(metadata=_Metadata(marked_requirements()))}

    async def _session(self):
        return self.aiohttp.ClientSession()

    def close(self):
        self.loop.run_until_complete(self.native.close())
        self.loop.run_until_complete(self.peer.close())
        self.loop.run_until_complete(self.session.close())
        self.loop.close()

    # -- helpers

    def concurrently(self, make, ops: int):
        """`ops` queries, `at_once` at a time; each must give an answer (a failed
        query, a time-out among them, answers at once and would skew the figure)."""
        async def batch():
            numbers = iter(range(ops))

            async def worker():
                for i in numbers:
                    assert await make(i), "a query gave nothing"

            await asyncio.gather(*(worker() for _ in range(self.at_once)))
        return lambda: self.loop.run_until_complete(batch())

    def awaited(self, make, ops: int):
        async def serial():
            for i in range(ops):
                await make(i)
        return lambda: self.loop.run_until_complete(serial())

    @staticmethod
    def over(fn, items, repeat: int = 1):
        def run():
            for _ in range(repeat):
                for item in items:
                    fn(item)
        return run

    async def limit_releases(self, i):
        async with self.session.get(self.url + "/pypi/bench/json", timeout=self.aiohttp.ClientTimeout(total=10)) as r:
            return list((await r.json())["releases"])

    async def limit_requirements(self, i):
        url = self.url + f"/pypi/deps/1.0.{next(self.serial)}/json"
        async with self.session.get(url, timeout=self.aiohttp.ClientTimeout(total=10)) as r:
            return [{"requirement": req} for req in (await r.json())["info"]["requires_dist"]]

    # -- the workloads: {name: (ops, {variant: run})}

    def workloads(self, scale: float):
        n, p = self.native, self.peer
        ops = lambda k: max(1, int(k * scale))  # noqa: E731
        entries = self.entries
        wanted = "http://127.0.0.1:8019/simple"
        deps = lambda c: lambda i: c.get_dependencies("deps", f"1.0.{next(self.serial)}")  # noqa: E731
        cached = lambda c: lambda i: c.get_dependencies("Demo", "1.0", "http://127.0.0.1:1/simple")  # noqa: E731
        return {
            "W1": (ops(200), {"target": self.concurrently(lambda i: n.get_versions("bench"), ops(200)),
                              "peer": self.concurrently(lambda i: p.get_versions("bench"), ops(200)),
                              "limit": self.concurrently(self.limit_releases, ops(200))}),
            "W2": (ops(400), {"target": self.concurrently(deps(n), ops(400)),
                              "peer": self.concurrently(deps(p), ops(400)),
                              "limit": self.concurrently(self.limit_requirements, ops(400))}),
            "W3": (ops(200), {"target": self.awaited(cached(n), ops(200)), "peer": self.awaited(cached(p), ops(200))}),
            "W4": (ops(5) * len(self.requirements),
                   {"target": self.over(n._parse_requirement, self.requirements, ops(5)),
                    "peer": self.over(p._parse_requirement, self.requirements, ops(5))}),
            "W5": (ops(20) * len(self.names), {"target": self.over(n._normalize_name, self.names, ops(20)),
                                               "peer": self.over(p._normalize_name, self.names, ops(20))}),
            "W6": (ops(1000), {"target": self.with_entries(self.over(n._get_api_pattern_for_index, [wanted], ops(1000)),
                                                           entries),
                               "peer": self.with_entries(self.over(p._get_api_pattern_for_index, [wanted], ops(1000)),
                                                         entries)}),
        }

    def with_entries(self, run, entries):
        import baseline

        def wrapped():
            saved = (self.m.get_pip_api_list, baseline.get_pip_api_list)
            self.m.get_pip_api_list = baseline.get_pip_api_list = lambda manager: entries
            try:
                run()
            finally:
                self.m.get_pip_api_list, baseline.get_pip_api_list = saved
        return wrapped

    # -- the fast paths: {entry: (ops, {"native": run, "library": run})}

    def fast_paths(self, scale: float):
        n = self.native
        ops = lambda k: max(1, int(k * scale))  # noqa: E731
        n._get_current_distributions = lambda: self.installed
        versions = lambda name: lambda i: n._get_versions_from_index(name, self.index)  # noqa: E731
        extras = lambda i: n._get_extras_from_index("marked", "1.0", self.index)  # noqa: E731
        paths = {
            "NormalizeName (_normalize_name)": ("re", ops(20) * len(self.names),
                                                self.over(n._normalize_name, self.names, ops(20))),
            "RequirementParts (_parse_requirement)": ("re", ops(5) * len(self.requirements),
                                                      self.over(n._parse_requirement, self.requirements, ops(5))),
            "InstalledExtra (check_specifier_in_dist, 25 marked requirements)": (
                "re", ops(200), self.over(lambda i: n.check_specifier_in_dist("demo", "", ["test"]), range(ops(200)))),
            "DropVersionSegment (_get_versions_from_index, 2 releases)": (
                "re", ops(200), self.concurrently(versions("small"), ops(200))),
            "IndexExtra (_get_extras_from_index, 25 marked requirements)": (
                "re", ops(200), self.concurrently(extras, ops(200))),
            "ReleaseOrder (_get_versions_from_index, 1,000 releases)": (
                "Version", ops(100), self.concurrently(versions("bench"), ops(100))),
        }
        return {name: (count, {"native": run, "library": self.library_road(run, global_name)})
                for name, (global_name, count, run) in paths.items()}

    def library_road(self, run, global_name: str):
        m = self.m
        stand_in = (types.SimpleNamespace(sub=re.sub, match=re.match, search=re.search) if global_name == "re"
                    else type("Version", (m.Version,), {}))

        def wrapped():
            saved = getattr(m, global_name)
            setattr(m, global_name, stand_in)
            try:
                run()
            finally:
                setattr(m, global_name, saved)
        return wrapped


class _Metadata:
    def __init__(self, requires):
        self.requires = requires

    def get(self, key):
        return {"Version": "1.0"}.get(key)

    def get_all(self, key):
        return self.requires


# --- wall time ------------------------------------------------------------------------------------

def timed(variants: dict, rounds: int, mode: str) -> dict:
    """Seconds per run of each variant, the best of `rounds`, the variants alternating."""
    best = {name: float("inf") for name in variants}
    for run in variants.values():  # warm-up: connections, caches
        with calls_context(mode):
            run()
    for r in range(rounds):
        for name in (list(variants) if r % 2 == 0 else list(reversed(variants))):
            gc.collect()  # every run starts with the collector's generations empty
            with calls_context(mode):
                started = time.perf_counter()
                variants[name]()
                best[name] = min(best[name], time.perf_counter() - started)
    return best


def wall_time(bench: Bench, mode: str, sections: set, rounds: int, scale: float) -> dict:
    results = {"workloads": {}, "paths": {}}
    for name, (ops, variants) in bench.workloads(scale).items():
        if name in sections:
            results["workloads"][name] = {v: t / ops for v, t in timed(variants, rounds, mode).items()}
    if "paths" in sections:
        for name, (ops, variants) in bench.fast_paths(scale).items():
            results["paths"][name] = {v: t / ops for v, t in timed(variants, rounds, mode).items()}
    return results


# --- instruction counts ------------------------------------------------------------------------------

# Where a target's instructions go, by the function that spends them (callgrind's self cost).
ALLOCATION = re.compile(
    r"^(insertdict|insert_to_emptydict|new_keys_object|free_keys_object|dict_dealloc|new_dict|PyDict_New|"
    r"PyDict_SetItem|find_empty_slot|_Py_dict_lookup|unicodekeys_lookup_unicode|dictresize|"
    r"PyList_New|list_dealloc|PyList_Append|list_resize|_PyList_AppendTakeRefListResize|"
    r"PyUnicode_New|unicode_dealloc|_PyUnicode_FromASCII|_PyUnicode_FromUCS[124]|PyUnicode_Substring|"
    r"_PyObject_Malloc|_PyObject_Free|PyObject_Malloc|PyObject_Free|_PyObject_Realloc|PyMem_\w+|malloc|free|"
    r"__mem\w+|_int_\w+|_Py_NewReference|_Py_Dealloc|PyObject_GC_UnTrack|PyObject_GC_Del|PyObject_IS_GC|"
    r"_PyObject_GC_\w+|gc_\w+|visit_\w+|\w+_traverse|_PyTrash_\w+|move_\w+|update_refs|subtract_refs|"
    r"deduce_unreachable|handle_\w+|finalize_garbage|delete_garbage|validate_list|invoke_gc_callback)('\d+)?$")
INTERPRETER = re.compile(
    r"^(_PyEval_EvalFrameDefault|PyObject_Vectorcall\w*|_PyObject_Vectorcall\w*|_Py_CheckFunctionResult|"
    r"_PyObject_MakeTpCall|listiter_next|_PyEvalFramePushAndInit|_PyFrame_\w+|initialize_locals|"
    r"_PyObject_GetMethod|_PyType_Lookup|PyObject_GetAttr|_PyObject_GenericGetAttrWithDict|method_vectorcall\w*|"
    r"_PyFunction_Vectorcall|PyGen_\w+|gen_\w+|_PyEval_\w+|_Py_HandlePending|PyObject_IsTrue|PyIter_Next)('\d+)?$")


def self_costs(path: Path) -> collections.Counter:
    """Instructions spent in each function itself (calls to others not counted)."""
    costs = collections.Counter()
    function, after_call = None, False
    with open(path) as f:
        for line in f:
            if line.startswith("fn="):
                function, after_call = line[3:].strip(), False
            elif line.startswith("calls="):
                after_call = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                if len(parts) >= 2:
                    if after_call:
                        after_call = False  # the inclusive cost of that call
                    else:
                        costs[function] += int(parts[1])
    return costs


def shares(costs: collections.Counter) -> dict:
    out = collections.Counter()
    for function, n in costs.items():
        if "pic::" in function:
            out["own"] += n
        elif ALLOCATION.match(function):
            out["allocation"] += n
        elif INTERPRETER.match(function):
            out["interpreter"] += n
        else:
            out["other"] += n
    return dict(out)


def count_child(m, url: str, mode: str, sections: set, scale: float, marks_path: str):
    """Under callgrind: one marked stretch per variant, after one warm-up run."""
    import ctypes

    marks = ctypes.CDLL(marks_path)
    marks.marks_stop.argtypes = [ctypes.c_char_p]
    bench = Bench(m, url, at_once=1)  # under callgrind a query takes seconds: one at a time, within its time-out
    try:
        groups = {"workloads": {k: v for k, v in bench.workloads(scale).items() if k in sections},
                  "paths": bench.fast_paths(scale) if "paths" in sections else {}}
        for group, items in groups.items():
            for name, (ops, variants) in items.items():
                for variant, run in variants.items():
                    with calls_context(mode):
                        run()
                        gc.collect()  # every stretch starts with the collector's generations empty
                        marks.marks_start()
                        run()
                        marks.marks_stop(json.dumps([group, name, variant, ops]).encode())
    finally:
        bench.close()


def instructions(args, sections: set) -> dict:
    with tempfile.TemporaryDirectory() as folder:
        marks = Path(folder) / "marks.so"
        subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-o", str(marks), str(HERE / "callgrind_marks.c")],
                       check=True)
        out = Path(folder) / "callgrind.out"
        command = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--compress-strings=no",
                   "--compress-pos=no", f"--callgrind-out-file={out}.%p", sys.executable, __file__,
                   "--count-child", marks.as_posix(), "--import", args.import_mode, "--only", ",".join(sorted(sections)),
                   "--scale", str(args.scale / 5)]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        results = {"workloads": {}, "paths": {}, "symbols": False}
        for dump in Path(folder).glob("callgrind.out.*"):
            text = dump.read_text(errors="replace")
            label = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.MULTILINE)
            if not label:
                continue
            group, name, variant, ops = json.loads(label.group(1))
            total = int(re.search(r"^summary: (\d+)", text, re.MULTILINE).group(1))
            entry = results[group].setdefault(name, {})
            entry[variant] = total / ops
            costs = self_costs(dump)
            results["symbols"] = results["symbols"] or any("pic::" in function for function in costs)
            entry.setdefault("shares", {})[variant] = {k: v / ops for k, v in shares(costs).items()}
        return results


def several_runs(runs: list) -> dict:
    """Several whole runs as one: the median of each figure, and the ratios of
    every run kept beside it (`ratios`: {pair: [each run's ratio]})."""
    merged = {"workloads": {}, "paths": {}}
    for group in merged:
        for name in runs[0][group]:
            one = [run[group][name] for run in runs]
            entry = {v: statistics.median(r[v] for r in one) for v in one[0]}
            pairs = ([("target", "peer"), ("target", "limit")] if group == "workloads" else [("native", "library")])
            entry["ratios"] = {f"{a}/{b}": [r[a] / r[b] for r in one] for a, b in pairs if b in one[0]}
            merged[group][name] = entry
    return merged


def spread(entry: dict, pair: str) -> str:
    values = entry.get("ratios", {}).get(pair)
    return f"{min(values):.3f}-{max(values):.3f}" if values and len(values) > 1 else ""


def machine() -> str:
    model = platform.processor() or platform.machine()
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    return f"{platform.system()} {platform.machine()}, {model}, {os.cpu_count()} cores"


# --- the table ------------------------------------------------------------------------------------

def split(s: dict) -> str:
    return "(" + ", ".join(f"{s.get(k, 0):,.0f}" for k in ("own", "allocation", "interpreter", "other")) + ")"


def show(results: dict, unit: str, header: str) -> None:
    print(header)
    fmt = (lambda v: f"{v:,.0f}") if unit == "instr" else (lambda v: f"{v * 1e6:,.2f}")
    unit_name = "instructions per operation" if unit == "instr" else "microseconds per operation"
    print(f"\nworkloads ({unit_name}); target / baseline")
    print(f"{'':<4} {'target':>12} {'peer':>12} {'limit':>12} {'/ peer':>8} {'/ limit':>8} {'aim':>7}"
          + ("  own / peer   (own, allocation, interpreter, other)" if unit == "instr" else
             "  runs: / peer, / limit"))
    for name, r in sorted(results["workloads"].items()):
        peer, limit = r.get("peer"), r.get("limit")
        line = (f"{name:<4} {fmt(r['target']):>12} {fmt(peer) if peer else '-':>12} {fmt(limit) if limit else '-':>12} "
                f"{r['target'] / peer if peer else float('nan'):>8.3f} "
                f"{r['target'] / limit if limit else float('nan'):>8.3f} {TARGETS.get(name, '-'):>7}")
        if unit == "instr" and "shares" in r:
            s = r["shares"]["target"]
            base = peer or limit
            line += f"  {s.get('own', 0) / base:>9.3f}   " + split(s)
        elif "ratios" in r:
            line += f"  {spread(r, 'target/peer'):>11}  {spread(r, 'target/limit'):>11}"
        print(line)
        if unit == "instr" and "shares" in r:
            for variant in ("peer", "limit"):
                if variant in r["shares"]:
                    print(f"{'':<4} {'':>64}  {variant:>9}   " + split(r["shares"][variant]))
    if results["paths"]:
        print(f"\nfast paths ({unit_name}); native / library")
        for name, r in sorted(results["paths"].items()):
            print(f"  {name:<60} {fmt(r['native']):>12} {fmt(r['library']):>12} {r['native'] / r['library']:>8.3f}"
                  f"  {spread(r, 'native/library')}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--import", dest="import_mode", choices=["plain", "catch"], default="plain")
    parser.add_argument("--instructions", action="store_true", help="count instructions with callgrind")
    parser.add_argument("--only", default="W1,W2,W3,W4,W5,W6,paths")
    parser.add_argument("--rounds", type=int, default=7, help="wall time: rounds per variant")
    parser.add_argument("--scale", type=float, default=1.0, help="operations per run, as a factor")
    parser.add_argument("--count-child", metavar="MARKS", help=argparse.SUPPRESS)
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--runs", type=int, default=1, help="wall time: whole runs; the table gives medians and "
                        "each run's ratios")
    record.add_option(parser)
    parser.add_argument("--json", action="store_true", help="print the results as JSON too")
    args = parser.parse_args()
    sections = set(args.only.split(","))
    if args.serve:
        return serve()
    m = import_module(args.import_mode)

    header = (f"{date.today()}  Python {platform.python_version()}  {machine()}, "
              f"load {os.getloadavg()[0]:.1f}  module imported {'inside catch_warnings()' if args.import_mode == 'catch' else 'plainly'}")
    if args.count_child:
        with ServerProcess() as url:
            count_child(m, url, args.import_mode, sections, args.scale, args.count_child)
        return
    table = io.StringIO()
    if args.instructions:
        results = instructions(args, sections)
        with contextlib.redirect_stdout(table):
            show(results, "instr", header + "  (callgrind)")
            if not results["symbols"]:
                print("\nown: 0, since the extension carries no symbols (a stripped install); run with PYTHONPATH "
                      "set to a scripts/devbuild.sh stage to see it")
    else:
        runs = []
        with ServerProcess() as url:
            for _ in range(args.runs):
                bench = Bench(m, url)
                try:
                    runs.append(wall_time(bench, args.import_mode, sections, args.rounds, args.scale))
                finally:
                    bench.close()
        results = several_runs(runs)
        kind = "best of rounds" + (f", median of {args.runs} runs" if args.runs > 1 else "")
        with contextlib.redirect_stdout(table):
            show(results, "s", header + f"  (wall time, {kind})")
    with record.recording(args.write):
        print(table.getvalue(), end="")
    if args.json:
        print(json.dumps(results))


if __name__ == "__main__":
    main()
