"""``pkgindex tree``: the dependency graph of some requirements, drawn from the
indexes' metadata alone (quorvel_master.graph), read through the network
layer (quorvel_master.graph.remote).

Exit status: 0 a graph (conflicts included: they are part of the answer);
1 a root that no index holds; 3 a root whose index could not be read, or,
with fail-closed reading, any index that could not be read; 2 usage.
"""

from __future__ import annotations

import argparse
import dataclasses as dc
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .arguments import EXIT_FOUND, EXIT_NOT_FOUND, EXIT_UNREADABLE, UsageError
from .output import Output

if TYPE_CHECKING:
    from ..graph import Graph
    from .config import Indexes
    from .console import Console

#: Requirement files are read whole; a larger one is a mistake.
REQUIREMENT_FILE_MAX_BYTES = 4 * 1024 * 1024


def requirement_lines(text: str, where: str) -> list[str]:
    """The requirements of a requirements file: one a line, comments and blank
    lines left out, a backslash joining lines. Options (``-e``, ``-i``, ...)
    are refused rather than quietly ignored."""
    out = []
    for number, line in enumerate(text.replace("\\\n", "").splitlines(), 1):
        line = line.split(" #", 1)[0].split("\t#", 1)[0].strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("-"):
            raise UsageError(f"{where}:{number}: options in requirement files are not read ({line.split()[0]})")
        out.append(line)
    return out


def _read_file(path: str) -> str:
    try:
        with open(path, "rb") as handle:
            data = handle.read(REQUIREMENT_FILE_MAX_BYTES + 1)
    except OSError as exc:
        raise UsageError(f"{path}: {exc.strerror or exc}") from None
    if len(data) > REQUIREMENT_FILE_MAX_BYTES:
        raise UsageError(f"{path}: larger than {REQUIREMENT_FILE_MAX_BYTES} bytes")
    return data.decode("utf-8", "replace")


def roots_of(args: argparse.Namespace) -> list[str]:
    roots = list(getattr(args, "requirement", None) or ())
    for path in getattr(args, "requirement_files", None) or ():
        roots += requirement_lines(_read_file(path), path)
    if not roots:
        raise UsageError("give at least one requirement, or -r FILE")
    return roots


class Progress:
    """What the console's status line shows while the graph is read."""

    def __init__(self) -> None:
        self.done = self.running = 0

    def __call__(self, done: int, running: int) -> None:
        self.done, self.running = done, running

    def text(self) -> str:
        return f"tree: {self.done} read, {self.running} reading" if self.done or self.running else ""


def exit_status(graph: Graph) -> int:
    """1 when a root no index holds, 3 when a root's index could not be read."""
    statuses = {graph.by_id[edge.to].status for edge in graph.children.get(None, []) if edge.to in graph.by_id}
    if "unreadable" in statuses:
        return EXIT_UNREADABLE
    if "not-found" in statuses:
        return EXIT_NOT_FOUND
    return EXIT_FOUND


def graph_options(args: argparse.Namespace, progress: Progress) -> Any:
    from ..graph import Options, TargetError, parse_targets

    try:
        targets = parse_targets(list(getattr(args, "target", None) or ()))
    except TargetError as exc:
        raise UsageError(str(exc)) from None
    # --as-of and --fail-closed are read here once the shared parsing of them exists.
    return Options(targets=targets, pre=bool(getattr(args, "pre", False)),
                   as_of=getattr(args, "as_of", None), fail_closed=bool(getattr(args, "fail_closed", False)),
                   progress=progress)


async def draw(network: Any, urls: Sequence[str], roots: Sequence[str], options: Any) -> Graph:
    """The graph, read through *network*."""
    from ..graph import build_graph
    from ..graph.remote import IndexMetadata, IndexProjects

    # The layer's routes: pins choose each project's index, and fail-closed
    # may come from the settings file as well as the command line.
    routes = network.routes
    # The reads at once per host: the layer's connections per host, for every reader.
    options = dc.replace(options, per_host=network.options.per_host_connections)
    projects = IndexProjects(network, urls, fail_closed=options.fail_closed or routes.fail_closed,
                             order=routes.plan)
    metadata = IndexMetadata(network, timeout=network.options.timeout)
    return await build_graph(roots, projects, metadata, options)


def cmd_tree(args: argparse.Namespace, console: Console, indexes: Indexes) -> int:
    from ..graph import GraphInputError, SourceError, render
    from .netrun import asked_indexes, run_on_network

    roots = roots_of(args)
    fmt = "json" if getattr(args, "json", False) else args.format
    progress = Progress()
    options = graph_options(args, progress)
    urls = asked_indexes(indexes, every=False)
    if not urls:
        raise UsageError("no index to read: give --index-url")
    console.start_status(progress.text)
    try:
        graph = run_on_network(args, console, indexes, lambda network: draw(network, urls, roots, options))
    except GraphInputError as exc:
        raise UsageError(str(exc)) from None
    except SourceError as exc:
        console.error(str(exc))
        return EXIT_UNREADABLE
    finally:
        console.stop_status()
    Output().write(render(graph, fmt, depth=args.depth, reverse=args.reverse).rstrip("\n").split("\n"))
    return exit_status(graph)
