"""The dependency graph's core against an index held in memory with a fixed
delay per read: how close it comes to the floor the reads set, and what its
own work costs.

    python bench/graph_core.py [--projects N] [--latency MS] [--runs N] [--write FILE]

Two baselines from the same run:

* the floor of the reads: a node's page and then its requirements must be
  read before anything below it can be asked, so no reader ends before
  (levels + 1) x 2 x latency, nor before the reads of each kind fit in
  their slots (pages, and files of one host, per_host at a time);
* the library work no reader avoids: each file name and each requirement
  string read, parsed once with ``packaging`` (its marker evaluated once per
  target).

The index is generated (seeded): releases with wheels for several
platforms, requirements with markers and extras, edges that make re-choices.
"""

from __future__ import annotations

import argparse
import asyncio
import random
import statistics
import sys
import time
from pathlib import Path

from packaging.requirements import Requirement
from packaging.utils import parse_wheel_filename

from quorvel_master.graph import File, Options, Project, build_graph, parse_targets

sys.path.insert(0, str(Path(__file__).resolve().parent))
import record  # beside this script  # noqa: E402

TARGETS = ["3.12,manylinux_2_28_x86_64", "3.11,win_amd64", "3.12,macosx_14_0_arm64"]
MARKERS = ["", "", "", "", "", "; python_version >= '3.12'", "; sys_platform == 'win32'", "; extra == 'all'",
           "; platform_machine == 'arm64'"]
WHEELS = ["cp312-cp312-manylinux_2_17_x86_64", "cp311-cp311-win_amd64", "cp312-cp312-macosx_11_0_arm64"]


def generate(count: int, seed: int = 7) -> dict[str, list[tuple[str, list[str], list[str]]]]:
    """Project: releases as (version, requirements, wheel tags); a project
    requires only later ones, with some specifiers that exclude the newest."""
    rng = random.Random(seed)
    out = {}
    for i in range(count):
        releases = []
        for v in range(12):
            later = range(i + 1, count)
            picked = rng.sample(later, min(len(later), rng.randrange(4, 12))) if later else []
            requires = [f"p{j}{rng.choice(['', '>=1.0', '<3', '!=2.1'])}{rng.choice(MARKERS)}" for j in picked]
            wheels = ["py3-none-any"] if rng.random() < 0.6 else rng.sample(WHEELS, 2)
            releases.append((f"{v // 4}.{v % 4}", requires, wheels))
        out[f"p{i}"] = releases
    return out


class DelayedIndex:
    def __init__(self, table, latency: float) -> None:
        self.table, self.latency = table, latency
        self.pages = self.files = 0
        self.requirements_read: list[str] = []
        self.names: list[str] = []

    async def project(self, name):
        self.pages += 1
        await asyncio.sleep(self.latency)
        files = [File(f"{name}-{v}-{tag}.whl", f"https://files.example/{name}-{v}-{tag}.whl")
                 for v, _, tags in self.table.get(name, []) for tag in tags]
        self.names += [f.filename for f in files]
        return Project(name, "https://index.example/simple", files) if name in self.table else None

    async def requirements(self, project, file):
        self.files += 1
        await asyncio.sleep(self.latency)
        version = file.filename.split("-")[1]
        found = next(r for v, r, _ in self.table[project.name] if v == version)
        self.requirements_read += found
        return list(found)


def library_floor(index: DelayedIndex, targets: int) -> float:
    started = time.process_time()
    for name in index.names:
        parse_wheel_filename(name)
    parsed = [Requirement(text) for text in set(index.requirements_read)]
    environments = [dict(t.environment, extra="") for t in parse_targets(TARGETS[:targets])]
    for requirement in parsed:
        if requirement.marker is not None:
            for environment in environments:
                requirement.marker.evaluate(environment)
    return time.process_time() - started


async def one(table, targets: int, latency: float, per_host: int) -> dict[str, float]:
    index = DelayedIndex(table, latency)
    options = Options(targets=parse_targets(TARGETS[:targets]), per_host=per_host)
    wall, cpu = time.perf_counter(), time.process_time()
    graph = await build_graph(["p0[all]"], index, index, options)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    levels = max(graph.depths().values())
    floor = latency * max(2 * (levels + 1), -(-index.pages // per_host), -(-index.files // per_host))
    return {"nodes": len(graph.nodes), "pages": index.pages, "files": index.files, "wall": wall, "floor": floor,
            "cpu": cpu, "library": library_floor(index, targets), "rounds": graph.rounds}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--projects", type=int, default=400)
    parser.add_argument("--latency", type=float, default=20.0, help="milliseconds per read")
    parser.add_argument("--runs", type=int, default=3)
    record.add_option(parser)
    args = parser.parse_args()
    table = generate(args.projects)
    with record.recording(args.write):
        print(f"graph core: {args.projects} generated projects, {args.latency:g} ms per read, median of {args.runs}")
        print("targets per_host nodes pages files rounds | wall  floor  wall/floor | cpu  library  cpu/library")
        for targets, per_host in ((1, 8), (3, 8), (1, 32), (3, 32)):
            runs = [asyncio.run(one(table, targets, args.latency / 1000, per_host)) for _ in range(args.runs)]
            m = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
            counts = " ".join(f"{m[k]:5.0f}" for k in ("nodes", "pages", "files", "rounds"))
            print(f"{targets:7} {per_host:8} {counts} | "
                  f"{m['wall']:.3f} {m['floor']:.3f} {m['wall'] / m['floor']:5.2f}x | "
                  f"{m['cpu']:.3f} {m['library']:.3f} {m['cpu'] / m['library']:5.2f}x")


if __name__ == "__main__":
    main()
