"""Import time of the module, against importing its libraries alone.

    python bench/import_time.py                        # the installed module
    python bench/import_time.py --build before=STAGE --build after=STAGE

Each figure is the time of the import statement itself, taken inside a fresh
interpreter (so interpreter start-up is left out), the median of --rounds
runs; for the module also its own share ("self", from -X importtime: the
module body without the imports it makes), which the load on the machine
moves far less. The runs of every subject alternate, so that load on the machine falls
on all of them alike. Subjects: the three libraries and what the module body
imports besides (aiohttp, unearth, packaging, importlib.metadata, html.parser),
then the module itself from each --build (a PYTHONPATH, such as a
scripts/devbuild.sh stage; without --build, the module as installed). The
ratios are against the libraries and against the first build: with a build of
the previous commit first, the second ratio is the cost of what changed, the
probes the fast paths answer at import among it.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys

import record  # beside this script

MODULE = "quorvel_master.business_layer.packages.package_index_client"
LIBRARIES = "aiohttp, unearth, packaging.version, packaging.specifiers, importlib.metadata, html.parser"


def timed_import(statement: str, pythonpath: str | None) -> tuple[float, float | None]:
    """Seconds for the statement, and the module's self time in seconds when it was imported."""
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = pythonpath
    code = f"import time; t = time.perf_counter(); {statement}; print(time.perf_counter() - t)"
    # -P: the working directory (a source tree, say) does not shadow the build
    out = subprocess.run([sys.executable, "-P", "-X", "importtime", "-c", code], env=env, capture_output=True,
                         text=True, check=True)
    own = None
    for line in out.stderr.splitlines():  # "import time: self [us] | cumulative | name"
        fields = [f.strip() for f in line.split("|")]
        if len(fields) == 3 and fields[2] == MODULE:
            own = int(fields[0].split(":")[1]) / 1e6
    return float(out.stdout), own


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", action="append", default=[], metavar="NAME=PYTHONPATH")
    parser.add_argument("--rounds", type=int, default=21)
    record.add_option(parser)
    args = parser.parse_args()
    with record.recording(args.write):
        measure(args)


def measure(args: argparse.Namespace) -> None:
    builds = [tuple(b.split("=", 1)) for b in args.build] or [("installed", None)]
    subjects = [("libraries", f"import {LIBRARIES}", os.environ.get("PYTHONPATH"))]
    subjects += [(f"module ({name})", f"import {MODULE}", path) for name, path in builds]
    times: dict[str, list[float]] = {name: [] for name, _, _ in subjects}
    selves: dict[str, list[float]] = {name: [] for name, _, _ in subjects}
    for _ in range(args.rounds):
        for name, statement, path in subjects:
            total, own = timed_import(statement, path)
            times[name].append(total)
            if own is not None:
                selves[name].append(own)
    medians = {name: statistics.median(values) for name, values in times.items()}
    self_medians = {name: statistics.median(values) for name, values in selves.items() if values}
    libraries = medians["libraries"]
    first = subjects[1][0]
    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds, medians")
    print(f"{'subject':<28} {'ms':>8} {'/libraries':>11} {'/first build':>13} {'self ms':>8} {'self/first':>11}")
    for name, _, _ in subjects:
        row = f"{name:<28} {medians[name] * 1000:>8.1f} {medians[name] / libraries:>11.3f}"
        if name in self_medians:
            row += f" {medians[name] / medians[first]:>13.3f} {self_medians[name] * 1000:>8.2f}"
            row += f" {self_medians[name] / self_medians[first]:>11.2f}"
        print(row)


if __name__ == "__main__":
    main()
