"""Start-up of the pkgindex command line, as whole processes.

    python bench/startup.py              # 15 runs of each
    python bench/startup.py --runs 5

Run it with the python of a venv where the package is installed. Every figure
is the median wall time of fresh processes, shown as a ratio against the
baseline measured in the same run: ``python -c "import aiohttp, unearth,
packaging"``, the libraries any query needs. Runs of the different commands
are interleaved, so a busy machine slows them alike.

pip's configuration comes from a file this script writes (naming a local
sample index, served from a separate process); the machine's own is not read.
The last table compares reading pip's index options the command line's way
with pip's own option parser, each timed inside a fresh process.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SERVE = """
import sys, time
from quorvel_master.sampleindex import IndexServer
with IndexServer() as srv:
    srv.add_project("bench", {f"1.{i}": {"requires_dist": ["idna>=3"]} for i in range(30)})
    print(srv.simple_url, flush=True)
    sys.stdin.read()
"""

READ_OURS = """
import time
t = time.perf_counter()
from quorvel_master.cli.config import read_pip_options
read_pip_options()
print(time.perf_counter() - t)
"""

READ_PIPS = """
import time
t = time.perf_counter()
from pip._internal.commands import create_command
create_command("install").parse_args([])
print(time.perf_counter() - t)
"""


def environment(folder: Path, index: str) -> dict[str, str]:
    conf = folder / "pip.conf"
    conf.write_text(f"[global]\nindex-url = {index}\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "XDG_CONFIG"))}
    env.update(PIP_CONFIG_FILE=str(conf), HOME=str(folder), XDG_CONFIG_DIRS=str(folder / "xdg"))
    return env


def wall(argv: list[str], env: dict[str, str], cwd: Path) -> float:
    started = time.perf_counter()
    subprocess.run(argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - started


def inside(code: str, env: dict[str, str], cwd: Path) -> float:
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=15)
    runs = parser.parse_args().runs

    server = subprocess.Popen([sys.executable, "-c", SERVE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        index = server.stdout.readline().strip()
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            env = environment(folder, index)
            cli = [sys.executable, "-m", "quorvel_master"]
            processes = {
                "python -c pass": [sys.executable, "-c", "pass"],
                "baseline: import aiohttp, unearth, packaging": [
                    sys.executable, "-c", "import aiohttp, unearth, packaging"],
                "pkgindex --version": cli + ["--version"],
                "pkgindex --help": cli + ["--help"],
                "pkgindex indexes": cli + ["indexes"],
                "pkgindex installed 'packaging>=20' (no network)": cli + ["installed", "packaging>=20"],
                "pkgindex versions bench (finder road, local index)": cli + ["versions", "bench"],
                "pkgindex deps bench 1.29 (finder road, local index)": cli + ["deps", "bench", "1.29"],
            }
            times: dict[str, list[float]] = {name: [] for name in processes}
            reads: dict[str, list[float]] = {"the command line's reading": [], "pip's option parser": []}
            for _ in range(runs):
                for name, argv in processes.items():
                    times[name].append(wall(argv, env, folder))
                reads["the command line's reading"].append(inside(READ_OURS, env, folder))
                reads["pip's option parser"].append(inside(READ_PIPS, env, folder))
    finally:
        server.stdin.close()
        server.wait(10)

    median = {name: statistics.median(values) for name, values in times.items()}
    base = median["baseline: import aiohttp, unearth, packaging"]
    print(f"whole processes, median of {runs} runs each")
    print(f"{'process':56} {'median':>9} {'/ baseline':>11}")
    for name, value in median.items():
        print(f"{name:56} {value * 1000:7.0f} ms {value / base:10.2f}x")
    print()
    print(f"reading pip's index options inside a fresh process (imports included), median of {runs}")
    query = median["pkgindex versions bench (finder road, local index)"] - median["python -c pass"]
    for name, values in reads.items():
        value = statistics.median(values)
        print(f"{name:56} {value * 1000:7.1f} ms  ({value / query:.0%} of a whole local query, interpreter start excluded)")


if __name__ == "__main__":
    main()
