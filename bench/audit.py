"""``audit`` of N names against a list of indexes, cold and warm.

    python bench/audit.py --local [--names N] [--write FILE]
    python bench/audit.py --names-file FILE [--index URL ...] [--write FILE]

Runs what ``pkgindex audit`` runs (every index asked about every name, a bound
per host) on a network layer with a fresh cache folder (cold), then again on a
new layer over the same folder (warm: each page is revalidated, a 304 without
a body). Reports the wall time of each, and the page requests per name and
index, read from the layer's outcomes (``network`` counts requests that went
out, ``cached`` answers the cache gave without one).

``--local`` serves two sample indexes on 127.0.0.1 holding N generated
projects each (half of them on both). Without it the indexes are the ones
given, else pip's configured index (the default index when none is set);
the names then come from ``--names-file`` (one a line).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import tempfile
import time
from collections import Counter
from collections.abc import Iterator

import record  # beside this script

from quorvel_master.indexdata.audit import findings_of, survey
from quorvel_master.network import Network, NetworkOptions


@contextlib.contextmanager
def local_indexes(count: int) -> Iterator[tuple[list[str], list[str]]]:
    from quorvel_master.sampleindex import IndexServer

    names = [f"project-{n:04d}" for n in range(count)]
    with IndexServer() as first, IndexServer() as second:
        for n, name in enumerate(names):
            first.add_project(name, ["1.0", "1.1"])
            if n % 2:
                second.add_project(name, ["2.0"])
        yield [first.simple_url, second.simple_url], names


async def one_run(cache_dir: str, indexes: list[str], names: list[str]) -> tuple[float, Counter, int]:
    network = Network(NetworkOptions(cache_dir=cache_dir))
    try:
        started = time.perf_counter()
        found = await survey(network, indexes, names)
        seconds = time.perf_counter() - started
        findings = findings_of(found)
    finally:
        await network.close()
        network.uninstall()
    kinds = Counter("cached" if o.from_cache and o.attempts == 0 else "network" for o in network.outcomes.all())
    kinds["failed"] = sum(o.failed for o in network.outcomes.all())
    return seconds, kinds, len(findings)


def report(label: str, seconds: float, kinds: Counter, findings: int, pairs: int) -> None:
    per_pair = (kinds["network"] + kinds["cached"]) / pairs
    print(f"{label:5} {seconds:7.3f} s  {per_pair:.2f} page requests per name and index "
          f"(network {kinds['network']}, cached {kinds['cached']}, failed {kinds['failed']}), "
          f"{findings} findings")


def default_indexes() -> list[str]:
    from quorvel_master.cli.config import pip_default_index, read_pip_options

    pip = read_pip_options()
    found = [pip.index_url or pip_default_index()] + list(pip.extra_index_urls)
    return [url for url in found if url]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--local", action="store_true", help="two sample indexes on 127.0.0.1")
    parser.add_argument("--names", type=int, default=200, help="names served with --local (default 200)")
    parser.add_argument("--names-file", help="the names to audit, one a line")
    parser.add_argument("--index", action="append", help="an index to ask (repeatable; default: pip's)")
    record.add_option(parser)
    args = parser.parse_args()
    with record.recording(args.write), contextlib.ExitStack() as stack:
        if args.local:
            indexes, names = stack.enter_context(local_indexes(args.names))
        else:
            if not args.names_file:
                parser.error("give --local, or --names-file with the names to ask the indexes about")
            with open(args.names_file, encoding="utf-8") as file:
                names = [line.strip() for line in file if line.strip() and not line.startswith("#")]
            indexes = args.index or default_indexes()
        cache = stack.enter_context(tempfile.TemporaryDirectory())
        print(f"audit of {len(names)} names on {len(indexes)} index(es)")
        times = []
        for label in ("cold", "warm"):
            seconds, kinds, findings = asyncio.run(one_run(cache, indexes, names))
            report(label, seconds, kinds, findings, len(names) * len(indexes))
            times.append(seconds)
        print(f"warm / cold: {times[1] / times[0]:.2f}")


if __name__ == "__main__":
    main()
