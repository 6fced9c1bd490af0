"""``pkgindex tree`` cold and warm: what a second run over the same cache
folder costs.

    python bench/tree_cache.py --index URL [--write FILE] ROOT...
    python bench/tree_cache.py --local [--projects N] [--no-metadata-files] [--write FILE]

Draws the graph of the roots on a network layer with a fresh cache folder
(cold), then again on a new layer over the same folder (warm), in this
process, and prints each run's wall time and its requests from the layer's
outcomes, by what was asked (project pages, metadata files, wheels read by
ranges or whole) and how it was answered (200, 206, 304, from the cache
without a request). ``--local`` serves a generated layered graph on
127.0.0.1 (quorvel_master.sampleindex.generated).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import tempfile
import time
from collections import Counter
from collections.abc import Iterator
from pathlib import Path
import sys

sys.path.insert(0, str(Path(__file__).resolve().parent))
import record  # beside this script  # noqa: E402

from quorvel_master.cli.tree import draw  # noqa: E402
from quorvel_master.graph import Options  # noqa: E402
from quorvel_master.network import Network, NetworkOptions  # noqa: E402


@contextlib.contextmanager
def local_index(projects: int, metadata_files: bool) -> Iterator[tuple[str, list[str]]]:
    from quorvel_master.sampleindex.generated import add_layered_graph
    from quorvel_master.sampleindex.server import IndexServer

    with IndexServer(simple_json=True) as server:
        roots = add_layered_graph(server, projects, metadata_files=metadata_files)
        yield server.simple_url, roots


def _what(url: str) -> str:
    if "/simple/" in url:
        return "page"
    return "metadata" if url.endswith(".metadata") else "file"


async def one_run(cache_dir: str, index: str, roots: list[str]) -> tuple[float, int, Counter]:
    network = Network(NetworkOptions(cache_dir=cache_dir))
    try:
        started = time.perf_counter()
        graph = await draw(network, [index], roots, Options())
        seconds = time.perf_counter() - started
    finally:
        await network.close()
        network.uninstall()
    asked: Counter = Counter()
    for outcome in network.outcomes.all():
        answer = "cached" if outcome.from_cache and outcome.status != 304 else str(outcome.status or outcome.kind)
        asked[f"{_what(outcome.url)} {answer}"] += 1
    return seconds, len(graph.nodes), asked


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("roots", nargs="*")
    parser.add_argument("--index", help="the index's simple URL")
    parser.add_argument("--local", action="store_true", help="a generated graph on 127.0.0.1")
    parser.add_argument("--projects", type=int, default=200, help="projects of the local graph (default 200)")
    parser.add_argument("--no-metadata-files", action="store_true", help="local: wheels read by ranges")
    record.add_option(parser)
    args = parser.parse_args()
    with record.recording(args.write), contextlib.ExitStack() as stack:
        if args.local:
            index, roots = stack.enter_context(local_index(args.projects, not args.no_metadata_files))
        elif args.index and args.roots:
            index, roots = args.index, args.roots
        else:
            parser.error("give --local, or --index URL and the roots")
        cache = stack.enter_context(tempfile.TemporaryDirectory())
        print(f"tree of {len(roots)} root(s): {' '.join(roots[:3])}{' ...' if len(roots) > 3 else ''}")
        times = []
        for label in ("cold", "warm"):
            seconds, nodes, asked = asyncio.run(one_run(cache, index, roots))
            times.append(seconds)
            shown = ", ".join(f"{key} {count}" for key, count in sorted(asked.items()))
            print(f"{label:5} {seconds:7.3f} s  {nodes} nodes  requests: {shown}")
        print(f"warm / cold: {times[1] / times[0]:.2f}")


if __name__ == "__main__":
    main()
