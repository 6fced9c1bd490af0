"""``build_graph``: the dependency graph of some requirements, from metadata alone.

Two phases share the reads. First the graph is explored speculatively: a
partial round after every read that ends, so each node is read as soon as
something points at it (every read that can start, starts). Then strict
rounds replay from nothing over what was read, reading what the replay
still lacks; their fixpoint is the answer, the same whatever order the reads
ended in. It is not a resolver: a project is chosen again when an edge
excludes its version, never backtracked into; where no release satisfies
every edge the node shows the conflict. States that come back (choices that
turn in a circle) or ``max_rounds`` rounds end the replay, and the projects
whose choice kept changing are shown as unsettled.
"""

from __future__ import annotations

import dataclasses as dc
from collections.abc import Sequence
from datetime import datetime

from .assemble import assemble
from .fixpoint import Data, Engine, State, signature
from .model import Graph
from .reads import Progress, Reads
from .requirements import Dependency, NotFollowed, Requirements
from .source import MetadataSource, ProjectSource
from .targets import Target, running_target


class GraphInputError(ValueError):
    """A root requirement the graph cannot start from (a usage error)."""


@dc.dataclass(frozen=True)
class Options:
    targets: Sequence[Target] = ()        # none: the running interpreter
    pre: bool = False
    as_of: datetime | None = None         # aware; files uploaded later are left out
    fail_closed: bool = False             # a SourceError ends the run
    per_host: int = 8                     # reads at once per host (pages: all together)
    max_rounds: int = 100
    max_projects: int = 5000              # pages read at most; the rest show as left out
    progress: Progress | None = None      # called with (reads done, reads running)


def _roots(texts: Sequence[str], requirements: Requirements) -> list[Dependency]:
    if not texts:
        raise GraphInputError("no requirement to draw the graph of")
    roots = []
    for text in texts:
        parsed = requirements.parse(text)
        if isinstance(parsed, NotFollowed):
            raise GraphInputError(f"{text!r} {parsed.reason}")
        roots.append(parsed)
    return roots


async def build_graph(roots: Sequence[str], projects: ProjectSource, metadata: MetadataSource,
                      options: Options = Options()) -> Graph:
    """The graph of *roots* (requirement strings) on every target of *options*.

    Raises :class:`GraphInputError` for a root it cannot start from, before any
    read, and, with ``fail_closed``, the first :class:`SourceError` of a read.
    """
    if options.as_of is not None and options.as_of.utcoffset() is None:
        raise ValueError("as_of must carry its time zone")
    targets = tuple(options.targets) or (running_target(),)
    requirements = Requirements(targets)
    engine = Engine(_roots(roots, requirements), targets, requirements, Data(), pre=options.pre,
                    as_of=options.as_of)
    reads = Reads(projects, metadata, requirements, engine.data, per_host=options.per_host,
                  fail_closed=options.fail_closed, progress=options.progress, max_projects=options.max_projects)
    try:
        await _speculate(engine, reads, options.max_rounds)
        state, rounds, unsettled = await _replay(engine, reads, options.max_rounds)
    finally:
        await reads.close()
    return assemble(engine, state, tuple(roots), settled=not unsettled, rounds=rounds, unsettled=unsettled)


async def _speculate(engine: Engine, reads: Reads, budget: int) -> None:
    state = engine.empty()
    idle = 0
    while True:
        step = engine.step(state, strict=False)
        reads.request(step.pages, step.files)
        state = step.state
        # A changed choice may want more at once (an expanded node already
        # read): round again before waiting for a read.
        if step.changed and idle < budget:
            idle += 1
            continue
        if not reads.busy:
            return
        idle = 0
        await reads.settle()


Unsettled = dict[tuple[int, str], list[str]]


async def _replay(engine: Engine, reads: Reads, max_rounds: int) -> tuple[State, int, Unsettled]:
    state = engine.empty()
    seen = [signature(state)]
    rounds = 0
    while True:
        step = engine.step(state, strict=True)
        if step.blocked:
            reads.request(step.pages, step.files)
            if not reads.busy:
                raise RuntimeError("a round waits for a read that was never started")
            await reads.settle(every=True)
            continue
        rounds += 1
        if not step.changed:
            return state, rounds, {}
        mark = signature(step.state)
        if mark in seen or rounds >= max_rounds:
            turn = seen[seen.index(mark):] if mark in seen else seen[-1:] + [mark]
            return step.state, rounds, _turning(turn)
        seen.append(mark)
        state = step.state


def _turning(marks: list[tuple[frozenset[tuple[str, str]], ...]]) -> Unsettled:
    """The projects whose choice differs among the states of a turn."""
    out: Unsettled = {}
    for t in range(len(marks[0])):
        shown = [dict(mark[t]) for mark in marks]
        for name in sorted(set().union(*shown)):
            values = list(dict.fromkeys(s.get(name, "(out)") for s in shown))
            if len(values) > 1:
                out[(t, name)] = values
    return out
