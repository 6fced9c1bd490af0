"""A dead index: how long ``pkgindex`` takes to say so, per command.

    python bench/dead_index.py [--rounds N] [--python PYTHON] [--write FILE]

Each round runs ``pkgindex versions``, ``deps`` and ``extras`` as processes
against an index on 127.0.0.1 that refuses connections, with the default
retries (pip's five), interleaved so that the machine's load falls on all
alike. ``versions`` makes one request, so it is the baseline: the figure is
``deps`` and ``extras`` as ratios to it in the same run (each of those asks
the index twice, once for the answer and once to explain an empty one).
``--python`` runs another venv's build (the commit before a change, say).
"""

from __future__ import annotations

import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import record  # beside this script

COMMANDS = {
    "versions": ["versions", "demo-pkg"],
    "deps": ["deps", "demo-pkg", "1.0"],
    "extras": ["extras", "demo-pkg", "1.0"],
}


def refusing_port() -> int:
    """A port nothing listens on (bound, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(python: str, args: list[str], home: str) -> tuple[float, int]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_") and "proxy" not in k.lower()}
    env.update(HOME=home, XDG_CACHE_HOME=os.path.join(home, "cache"), PIP_CONFIG_FILE=os.devnull)
    started = time.perf_counter()
    done = subprocess.run([python, "-m", "quorvel_master", *args], env=env, cwd=home,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - started, done.returncode


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--python", default=sys.executable)
    record.add_option(parser)
    args = parser.parse_args()
    with record.recording(args.write):
        figures(args)


def figures(args: argparse.Namespace) -> None:
    python = os.path.abspath(args.python) if os.sep in args.python else args.python
    index = f"http://127.0.0.1:{refusing_port()}/simple"
    times: dict[str, list[float]] = {name: [] for name in COMMANDS}
    with tempfile.TemporaryDirectory() as home:
        for _ in range(args.rounds):
            for name, words in COMMANDS.items():
                took, rc = run(python, ["-i", index, *words], home)
                assert rc == 3, f"{name} exited {rc}, not 3 (could not read the index)"
                times[name].append(took)
    base = statistics.median(times["versions"])
    shown = "this build" if args.python == sys.executable else args.python
    print(f"# a refusing index, default retries, median of {args.rounds} runs each, {shown}")
    for name, measured in times.items():
        median = statistics.median(measured)
        print(f"pkgindex {name}: {median:.2f} s ({median / base:.2f}x of versions), "
              f"runs {', '.join(f'{t:.2f}' for t in measured)}")


if __name__ == "__main__":
    main()
