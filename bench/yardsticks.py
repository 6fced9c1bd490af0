"""``pkgindex tree`` beside pip's resolver, johnnydep and pipdeptree on a real
index, side by side in one run, cold caches, every tool through one counting
proxy on 127.0.0.1 (``countproxy.py``), so requests and bytes are counted the
same way for all.

    python bench/yardsticks.py --upstream INDEX_URL [ROOT ...] [--tools ours,pip,johnnydep,pipdeptree]
                               [--timeout SECONDS] [--write FILE]

For each root (default ``torch==2.2.0 jupyterlab==4.1.0 apache-airflow==2.8.0``)
and tool: wall time (the process, start-up included), requests and response
body bytes the proxy saw, exit status, and the projects it names. Ours is also
run straight at the index (what the proxy adds) and a second time with the
cache folder of its first run. pip is ``pip install --dry-run
--ignore-installed --report`` in this interpreter; johnnydep and pipdeptree
(``from-index``) are installed from the registry, each into its own venv
under ``build/yardsticks/``, when missing. Every tool runs with a fresh home
and temporary folder, no pip configuration (``PIP_CONFIG_FILE`` is the null
device) and no pip cache. A tool that fails or passes ``--timeout`` is
recorded with the first lines of its stderr, and the run goes on; where
pipdeptree fails, it runs again allowed to build sdists (its build policy
``build-remote``, which it reads from a pyproject.toml naming the root).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

from packaging.utils import canonicalize_name

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import countproxy  # beside this script  # noqa: E402
import record  # noqa: E402

ROOTS = ("torch==2.2.0", "jupyterlab==4.1.0", "apache-airflow==2.8.0")
TOOLS = ("ours", "pip", "johnnydep", "pipdeptree")
#: The yardsticks installed from the registry, each in its own venv.
VENVS = {"johnnydep": "johnnydep~=2.1.0", "pipdeptree": "pipdeptree~=4.2.0"}
VENV_ROOT = HERE.parent / "build" / "yardsticks"
STDERR_LINES = 3
_ENV_DROPPED = ("PIP_", "UV_", "NAB_", "XDG_", "PYTHON", "VIRTUAL_ENV", "CONDA_")


@dataclass
class Run:
    """One tool's run on one root."""

    tool: str
    seconds: float = 0.0
    exit: int | None = None
    requests: int | None = None
    body_bytes: int | None = None
    page_requests: int | None = None
    page_bytes: int | None = None
    validated: int | None = None
    other_paths: int = 0
    statuses: dict[int, int] = field(default_factory=dict)
    projects: dict[str, str] | None = None
    failure: list[str] = field(default_factory=list)


def clean_env(home: Path, *, ours: bool = False, index_url: str | None = None) -> dict[str, str]:
    """The environment a tool runs in: nothing of the machine's pip, uv or nab
    configuration, a fresh home, caches and temporary folder inside it."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(_ENV_DROPPED)}
    if ours and "PYTHONPATH" in os.environ:  # a devbuild stage
        env["PYTHONPATH"] = os.environ["PYTHONPATH"]
    for sub in ("cache", "config", "data", "etc", "tmp"):
        (home / sub).mkdir(exist_ok=True)
    env.update(HOME=str(home), XDG_CACHE_HOME=str(home / "cache"), XDG_CONFIG_HOME=str(home / "config"),
               XDG_DATA_HOME=str(home / "data"), XDG_CONFIG_DIRS=str(home / "etc"), TMPDIR=str(home / "tmp"),
               PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1",
               UV_NO_CONFIG="1", UV_CACHE_DIR=str(home / "cache" / "uv"), UV_PYTHON_DOWNLOADS="never")
    if not ours:
        # Also for the pip that builds an sdist's build requirements. Ours reads
        # pip's settings, and would take this for --no-cache.
        env["PIP_NO_CACHE_DIR"] = "1"
    if index_url:
        # johnnydep builds sdists with uv: its build requirements come through the proxy too.
        env["UV_DEFAULT_INDEX"] = index_url
    return env


def ensure_venv(tool: str) -> Path:
    """The venv of a yardstick, made and filled from the registry when missing."""
    venv = VENV_ROOT / tool
    exe = venv / "bin" / tool
    if exe.exists():
        return exe
    with tempfile.TemporaryDirectory() as home:
        env = clean_env(Path(home))
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(venv)], check=True, env=env)
        subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "--quiet", "--no-cache-dir",
                        VENVS[tool]], check=True, env=env)
    return exe


def version_of(python: str | Path, dist: str) -> str:
    with tempfile.TemporaryDirectory() as home:
        done = subprocess.run([str(python), "-c", f"import importlib.metadata as m; print(m.version({dist!r}))"],
                              capture_output=True, text=True, env=clean_env(Path(home)), cwd=home)
    return done.stdout.strip() or "unknown"


# --- what each tool names ---------------------------------------------------


def _pins(pairs: list[tuple[str, str]]) -> dict[str, str]:
    return {canonicalize_name(name): str(version) for name, version in pairs}


def projects_ours(stdout: str, home: Path) -> dict[str, str]:
    return _pins([(n["name"], n.get("version") or "?") for n in json.loads(stdout)["nodes"]])


def projects_pip(stdout: str, home: Path) -> dict[str, str]:
    with open(home / "report.json", encoding="utf-8") as handle:
        items = json.load(handle)["install"]
    return _pins([(i["metadata"]["name"], i["metadata"]["version"]) for i in items])


def projects_johnnydep(stdout: str, home: Path) -> dict[str, str]:
    # -o pinned: one "name==version" a line, the root's extras in brackets.
    pairs = []
    for line in stdout.splitlines():
        name, sep, version = line.strip().partition("==")
        if sep:
            pairs.append((name.split("[", 1)[0], version))
    return _pins(pairs)


def projects_pipdeptree(stdout: str, home: Path) -> dict[str, str]:
    packages = [item["package"] for item in json.loads(stdout) if item["package"]["package_name"] != PROBE]
    return _pins([(p["package_name"], p.get("candidate_version") or p.get("installed_version") or "?")
                  for p in packages])


PROJECTS = {"ours": projects_ours, "pip": projects_pip, "johnnydep": projects_johnnydep,
            "pipdeptree": projects_pipdeptree, "pipdeptree-build": projects_pipdeptree}
#: The project that asks for the root when pipdeptree is told to build sdists.
PROBE = "yardstick-probe"


def building_project(root: str, home: Path) -> Path:
    """A pyproject.toml that asks for *root* and lets pipdeptree's resolver run
    the build backend of sdists (it reads the build policy from nowhere else)."""
    path = home / "pyproject.toml"
    path.write_text(f'[project]\nname = "{PROBE}"\nversion = "0"\ndependencies = [{json.dumps(root)}]\n\n'
                    '[tool.nab]\nbuild-policy = "build-remote"\n', encoding="utf-8")
    return path


def command(tool: str, root: str, index_url: str, home: Path) -> list[str]:
    if tool == "ours":
        return [sys.executable, "-m", "quorvel_master", "tree", root, "-i", index_url, "--json"]
    if tool == "pip":
        return [sys.executable, "-m", "pip", "install", "--dry-run", "--ignore-installed", "--no-cache-dir",
                "--quiet", "--report", str(home / "report.json"), "-i", index_url, root]
    if tool == "johnnydep":
        return [str(VENV_ROOT / tool / "bin" / tool), root, "-i", index_url, "-o", "pinned"]
    given = ["--pyproject", str(building_project(root, home))] if tool == "pipdeptree-build" else [root]
    return [str(VENV_ROOT / "pipdeptree" / "bin" / "pipdeptree"), "from-index", *given, "--index-url", index_url,
            "-o", "json"]


# --- running them ------------------------------------------------------------


class Masker:
    """Takes out of a tool's stderr what the record must not carry: this
    machine's paths, the index's and the file hosts' names, secrets."""

    _PATH = re.compile(r"(?<![\w.:])/(?:tmp|work|root|home|usr|opt|var|build)\b[^\s'\"]*")

    def __init__(self, proxy: countproxy.CountingProxy, upstream: str) -> None:
        self.proxy, self.upstream = proxy, upstream

    def __call__(self, text: str, home: Path) -> str:
        from quorvel_master import _native

        text = text.replace(str(home), "<home>").replace(str(HERE.parent), "<repo>")
        text = text.replace(self.upstream, "<index>").replace(self.proxy.origin, "<proxy>")
        for host in sorted(self.proxy.hosts, key=len, reverse=True):
            text = text.replace(host, "<host>")
        return _native.mask_text(self._PATH.sub("<path>", text))


async def run_tool(tool: str, root: str, index_url: str, home: Path, timeout: float,
                   mask: Masker) -> Run:
    """Runs one tool to its end or its time-out."""
    run = Run(tool)
    env = clean_env(home, ours=tool == "ours", index_url=index_url)
    started = time.perf_counter()
    process = await asyncio.create_subprocess_exec(
        *command(tool, root, index_url, home), cwd=str(home), env=env, stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        stdout, stderr = await asyncio.wait_for(process.communicate(), timeout)
    except asyncio.TimeoutError:
        os.killpg(process.pid, signal.SIGKILL)  # its own session: the tool and what it started
        stdout, stderr = await process.communicate()
        run.failure.append(f"timed out after {timeout:g} s")
    run.seconds = time.perf_counter() - started
    run.exit = process.returncode
    text = stdout.decode("utf-8", "replace")
    if process.returncode == 0 or tool == "ours":  # ours answers with a graph on exit 1 and 3 as well
        try:
            run.projects = PROJECTS[tool](text, home)
        except (OSError, ValueError, KeyError, TypeError) as exc:
            run.failure.append(f"its answer could not be read: {type(exc).__name__}")
    if process.returncode != 0 or run.projects is None:
        lines = [line for line in stderr.decode("utf-8", "replace").splitlines() if line.strip()]
        # The first lines, and the last ones, where a traceback ends with its reason.
        shown = lines if len(lines) <= STDERR_LINES + 2 else lines[:STDERR_LINES] + ["..."] + lines[-2:]
        run.failure += [mask(line, home)[:160] for line in shown]
    return run


async def measure_root(root: str, tools: list[str], proxy: countproxy.CountingProxy, upstream: str,
                       timeout: float, mask: Masker) -> list[Run]:
    """The tools one after the other on *root*. Ours runs straight at the index
    before and after its proxied runs: the first of all runs on a root may meet
    the index's colder caches, and the proxy keeps its connections to the index
    open from one run to the next."""
    runs: list[Run] = []
    with tempfile.TemporaryDirectory(prefix="yardsticks-") as scratch:
        plan = [(tool, tool) for tool in tools]
        if "ours" in tools:
            at = tools.index("ours")
            plan[at:at + 1] = [("ours", "ours, no proxy"), ("ours", "ours"), ("ours", "ours, cached"),
                               ("ours", "ours, no proxy 2")]
        for tool, label in plan:
            if label.startswith("ours, no proxy"):
                home = Path(tempfile.mkdtemp(dir=scratch))
                run = await run_tool(tool, root, upstream, home, timeout, mask)
            else:
                home = Path(scratch, tool)  # the cached run of ours finds its first run's cache here
                home.mkdir(exist_ok=True)
                proxy.reset()
                run = await run_tool(tool, root, proxy.index_url, home, timeout, mask)
                run.requests, run.body_bytes, run.statuses = proxy.requests, proxy.body_bytes, dict(proxy.statuses)
                run.page_requests, run.page_bytes = proxy.page_requests, proxy.page_bytes
                run.validated, run.other_paths = proxy.validated, proxy.other_paths
            run.tool = label
            runs.append(run)
            if tool == "pipdeptree" and run.exit != 0:  # the loop goes on to what is added to the plan
                plan.append(("pipdeptree-build", "pipdeptree, building"))
    return runs


# --- the record --------------------------------------------------------------


def _statuses(run: Run) -> str:
    shown = [f"{code}:{n}" for code, n in sorted(run.statuses.items()) if code != 200]
    if run.other_paths:
        shown.append(f"outside the simple pages:{run.other_paths}")
    return " ".join(shown) or "-"


def compare(run: Run, pip: Run | None) -> str:
    """How a tool's answer differs from pip's report: projects either names
    alone, and the versions they name differently."""
    if run.projects is None or pip is None or pip.projects is None or run is pip:
        return ""
    mine, theirs = run.projects, pip.projects
    extra, missing = sorted(mine.keys() - theirs.keys()), sorted(theirs.keys() - mine.keys())
    versions = sorted(f"{n} {mine[n]}/{theirs[n]}" for n in mine.keys() & theirs.keys() if mine[n] != theirs[n])
    if not (extra or missing or versions):
        return "same projects and versions as pip"
    parts = [f"{label} {len(names)} ({', '.join(names[:4])}{', ...' if len(names) > 4 else ''})"
             for label, names in (("only here", extra), ("only pip", missing), ("versions", versions)) if names]
    return "; ".join(parts)


def _or_dash(value: int | None, form: str, unit: float = 1) -> str:
    return "-" if value is None else format(value / unit if unit != 1 else value, form)


def table(root: str, runs: list[Run]) -> list[str]:
    pip = next((r for r in runs if r.tool == "pip"), None)
    lines = [f"{root}", f"  {'tool':20} {'exit':>4} {'wall s':>7} {'requests':>8} {'pages':>5} {'MB recv':>8}"
             f" {'pages MB':>8} {'projects':>8}  other statuses; against pip's report"]
    for run in runs:
        figures = [_or_dash(run.requests, "d"), _or_dash(run.page_requests, "d"), _or_dash(run.body_bytes, ".2f", 1e6),
                   _or_dash(run.page_bytes, ".2f", 1e6)]
        count = "-" if run.projects is None else str(len(run.projects))
        against = f"; {compare(run, pip)}" if compare(run, pip) else ""
        lines.append(f"  {run.tool:20} {run.exit!s:>4} {run.seconds:7.2f} {figures[0]:>8} {figures[1]:>5}"
                     f" {figures[2]:>8} {figures[3]:>8} {count:>8}  {_statuses(run)}{against}")
        lines += [f"      ! {line}" for line in run.failure]
    return lines


def ratios(runs: list[Run]) -> list[str]:
    by = {r.tool: r for r in runs}
    ours = by.get("ours")
    if ours is None or ours.exit != 0:
        return []
    out = [f"  answers with an ETag or Last-Modified in ours' first run: {ours.validated} of {ours.requests}"]
    for other in ("pip", "johnnydep", "pipdeptree", "pipdeptree, building"):
        theirs = by.get(other)
        if theirs is None or theirs.exit != 0 or not theirs.body_bytes:
            continue
        out.append(f"  ours / {other}: {ours.seconds / theirs.seconds:.2f} of the time, "
                   f"{(ours.body_bytes or 0) / theirs.body_bytes:.3f} of the bytes, "
                   f"{(ours.requests or 0) / max(theirs.requests or 1, 1):.2f} of the requests")
    direct = [r.seconds for r in runs if r.tool.startswith("ours, no proxy") and r.exit == 0]
    if direct:
        out.append(f"  ours through the proxy / straight at the index (the faster of two): "
                   f"{ours.seconds / min(direct):.2f} of the time")
    return out


async def proxy_check(root: str, proxy: countproxy.CountingProxy, upstream: str, rounds: int, timeout: float,
                      mask: Masker) -> list[str]:
    """What the proxy adds: ours straight at the index and through the proxy,
    cold each time, in alternation; medians, since one run of each moves with
    the load and the index's caches."""
    seconds: dict[str, list[float]] = {"straight": [], "proxied": []}
    with tempfile.TemporaryDirectory(prefix="yardsticks-") as scratch:
        for _ in range(rounds):
            for way, url in (("straight", upstream), ("proxied", proxy.index_url)):
                run = await run_tool("ours", root, url, Path(tempfile.mkdtemp(dir=scratch)), timeout, mask)
                if run.exit not in (0, 1, 3):
                    return [f"  proxy check: ours exited {run.exit}"]
                seconds[way].append(run.seconds)
    straight, proxied = statistics.median(seconds["straight"]), statistics.median(seconds["proxied"])
    return [f"  proxy check, {rounds} cold runs of ours each way, alternately: straight {straight:.2f} s, "
            f"through the proxy {proxied:.2f} s (medians): {proxied / straight:.2f} of the time"]


async def straight_times(root: str, tools: list[str], upstream: str, rounds: int, timeout: float,
                         mask: Masker) -> list[str]:
    """The time each tool takes straight at the index, cold, the tools in
    alternation, medians: the proxy runs in this process and shares the
    cores with the tool it serves, so times through it carry its work too."""
    seconds: dict[str, list[float]] = {tool: [] for tool in tools}
    with tempfile.TemporaryDirectory(prefix="yardsticks-") as scratch:
        for _ in range(rounds):
            for tool in tools:
                run = await run_tool(tool, root, upstream, Path(tempfile.mkdtemp(dir=scratch)), timeout, mask)
                if run.exit == 0:
                    seconds[tool].append(run.seconds)
    medians = {tool: statistics.median(times) for tool, times in seconds.items() if times}
    lines = [f"  straight at the index, {rounds} cold runs each, alternately (medians): "
             + ", ".join(f"{tool} {medians[tool]:.2f} s" for tool in tools if tool in medians)]
    if "ours" in medians:
        lines += [f"  ours / {tool}, straight: {medians['ours'] / medians[tool]:.2f} of the time"
                  for tool in tools if tool != "ours" and tool in medians]
    return lines


def masked_argv(argv: list[str], upstream: str) -> list[str]:
    return [arg.replace(upstream, "INDEX_URL") for arg in argv]


async def measure(args: argparse.Namespace, tools: list[str]) -> None:
    async with countproxy.CountingProxy(args.upstream) as proxy:
        mask = Masker(proxy, args.upstream)
        for root in args.roots:
            runs = await measure_root(root, tools, proxy, args.upstream, args.timeout, mask)
            print("\n".join(table(root, runs) + ratios(runs)), flush=True)
            if "ours" in tools and args.proxy_rounds:
                print("\n".join(await proxy_check(root, proxy, args.upstream, args.proxy_rounds, args.timeout, mask)))
            timed = [tool for tool in args.time_tools.split(",") if tool in tools]
            if len(timed) > 1 and args.time_rounds:
                print("\n".join(await straight_times(root, timed, args.upstream, args.time_rounds, args.timeout, mask)))
            print(flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("roots", nargs="*", metavar="ROOT", default=list(ROOTS),
                        help=f"a requirement to draw the graph of (default: {' '.join(ROOTS)})")
    parser.add_argument("--upstream", required=True, metavar="INDEX_URL",
                        help="the index every tool reads, through the proxy (its simple URL)")
    parser.add_argument("--tools", default=",".join(TOOLS), help="comma-separated, of " + ", ".join(TOOLS))
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds one tool may take on one root")
    parser.add_argument("--proxy-rounds", type=int, default=3, metavar="N",
                        help="cold runs of ours straight and through the proxy, alternately, for what the proxy adds")
    parser.add_argument("--time-rounds", type=int, default=3, metavar="N",
                        help="cold runs of each of --time-tools straight at the index, alternately, for their times")
    parser.add_argument("--time-tools", default="ours,pipdeptree", metavar="TOOLS",
                        help="the tools timed straight at the index (default ours,pipdeptree)")
    record.add_option(parser)
    args = parser.parse_args()
    tools = [t.strip() for t in args.tools.split(",") if t.strip()]
    if unknown := set(tools) - set(TOOLS):
        parser.error(f"unknown tools: {', '.join(sorted(unknown))}")
    versions = {"pip": version_of(sys.executable, "pip"),
                "ours": version_of(sys.executable, "quorvel-master-package-index-client")}
    for tool in tools:
        if tool in VENVS:
            versions[tool] = version_of(ensure_venv(tool).parent / "python", tool)
    with record.recording(args.write, masked_argv(sys.argv, args.upstream)):
        print(f"cold caches, one run each, every tool through the counting proxy; time-out {args.timeout:g} s")
        print("versions: " + ", ".join(f"{t} {versions[t]}" for t in tools))
        print("MB recv (10^6 bytes): response bodies as received (compressed where the index compressed them);")
        print("pages: the index's own paths, the rest are files; ours gets no --api-pattern: a tool's requests")
        print("outside the simple pages (a JSON API) are shown beside its other statuses. The proxy keeps its")
        print("connections to the index open from run to run and talks plain HTTP on loopback: it spares every")
        print("tool its TLS handshakes, so a run through it can be shorter than one straight at the index")
        print()
        asyncio.run(measure(args, tools))


if __name__ == "__main__":
    main()
