"""``pkgindex tree`` beside pip's resolver, against a local index with a fixed
delay on every request, cold caches, side by side in one run.

    python bench/tree.py [--projects N] [--latency MS] [--runs N] [--no-metadata-files] [--write FILE]

The index is a generated layered graph without conflicts
(quorvel_master.sampleindex.generated), so pip resolves it without
backtracking and both must name the same projects and versions: the run
checks it. The baseline is ``pip install --dry-run --ignore-installed
--report`` for the same roots, in the same interpreter, with pip's cache off
and none of the machine's pip configuration. Each tool runs as its own
process (its start-up included), alternately, ``--runs`` times; the figures
are medians, with the requests and bytes the server saw.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from quorvel_master.sampleindex.generated import add_layered_graph
from quorvel_master.sampleindex.server import IndexServer

sys.path.insert(0, str(Path(__file__).resolve().parent))
import record  # beside this script  # noqa: E402


def _env(home: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "XDG_CACHE"))}
    env.update(PIP_CONFIG_FILE=os.devnull, XDG_CACHE_HOME=os.path.join(home, "cache"), HOME=home,
               PIP_DISABLE_PIP_VERSION_CHECK="1")
    return env


# Both run in the temporary folder: from the source tree, -m would import the
# package without its built extensions.


def ours(server: IndexServer, roots: list[str], home: str) -> tuple[float, dict[str, str]]:
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "quorvel_master", "tree", *roots, "-i", server.simple_url,
                           "--no-cache", "--json"], capture_output=True, text=True, env=_env(home), cwd=home, check=True)
    seconds = time.perf_counter() - started
    return seconds, {n["name"]: n["version"] for n in json.loads(done.stdout)["nodes"]}


def pips(server: IndexServer, roots: list[str], home: str) -> tuple[float, dict[str, str]]:
    report = os.path.join(home, "report.json")
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "pip", "install", "--dry-run", "--ignore-installed", "--no-cache-dir",
                    "--quiet", "--report", report, "-i", server.simple_url, *roots],
                   capture_output=True, text=True, env=_env(home), cwd=home, check=True)
    seconds = time.perf_counter() - started
    with open(report) as handle:
        items = json.load(handle)["install"]
    return seconds, {item["metadata"]["name"]: item["metadata"]["version"] for item in items}


def measure(server: IndexServer, roots: list[str], runs: int) -> dict[str, dict[str, list[float]]]:
    figures: dict[str, dict[str, list[float]]] = {name: {"s": [], "req": [], "kib": []} for name in ("ours", "pip")}
    answers: dict[str, dict[str, str]] = {}
    for _ in range(runs):
        for name, tool in (("ours", ours), ("pip", pips)):
            server.reset_hits()
            with tempfile.TemporaryDirectory() as home:
                seconds, answers[name] = tool(server, roots, home)
            figures[name]["s"].append(seconds)
            figures[name]["req"].append(server.hits())
            figures[name]["kib"].append(server.bytes_sent() / 1024)
    if answers["ours"] != answers["pip"]:
        only = set(answers["ours"].items()) ^ set(answers["pip"].items())
        raise SystemExit(f"the answers differ: {sorted(only)[:10]}")
    print(f"same {len(answers['ours'])} projects and versions as pip's report")
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--projects", type=int, default=300)
    parser.add_argument("--latency", type=float, default=20.0, help="milliseconds added to every request")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-metadata-files", action="store_true",
                        help="announce no metadata files: wheels are read by ranges (ours) or whole (pip)")
    record.add_option(parser)
    args = parser.parse_args()
    with record.recording(args.write):
        with IndexServer(simple_json=True) as server:
            roots = add_layered_graph(server, args.projects, layers=8, fanout=4, seed=11,
                                      metadata_files=not args.no_metadata_files)
            server.delay("*", args.latency / 1000)
            figures = measure(server, roots, args.runs)
        md = "no metadata files" if args.no_metadata_files else "metadata files announced"
        print(f"tree vs pip: {args.projects} generated projects, {len(roots)} roots, {args.latency:g} ms per request, "
              f"{md}, cold caches, median of {args.runs}")
        print("tool   wall s  requests      KiB")
        for name, row in figures.items():
            print(f"{name:5} {statistics.median(row['s']):7.2f} {statistics.median(row['req']):9.0f} "
                  f"{statistics.median(row['kib']):8.0f}")
        ratio = statistics.median(figures["ours"]["s"]) / statistics.median(figures["pip"]["s"])
        print(f"ours / pip: {ratio:.3f} of pip's time")


if __name__ == "__main__":
    main()
