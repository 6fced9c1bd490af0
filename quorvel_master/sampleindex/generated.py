"""A generated dependency graph on a sample index: layers of projects, each
requiring a few projects of the layers below, with older releases beside the
newest and specifiers every newest release satisfies, so that the graph has
no conflict and any resolver's answer is the newest release of each project
reached. For the graph's tests and its benchmark.

    roots = add_layered_graph(server, projects=300, seed=7)
"""

from __future__ import annotations

import random
from typing import Any

#: Releases per project: the newest is ``{RELEASES}.0``.
RELEASES = 3


def layered_names(projects: int, layers: int) -> list[list[str]]:
    per = max(1, projects // layers)
    names = [f"gen-{i:04d}" for i in range(projects)]
    return [names[i:i + per] for i in range(0, projects, per)]


def add_layered_graph(server: Any, projects: int = 100, *, layers: int = 6, fanout: int = 4, seed: int = 0,
                      metadata_files: bool = True) -> list[str]:
    """Adds *projects* projects to *server* and returns the root requirements
    (the top layer's names). Each project requires up to *fanout* projects of
    lower layers, as ``name>=1.0`` or ``name>=2,<4``; every release of it
    requires the same. Every project is reached from the roots."""
    rng = random.Random(seed)
    levels = layered_names(projects, layers)
    required: set[str] = set()
    for depth, level in enumerate(levels):
        below = [name for lower in levels[depth + 1:] for name in lower]
        for name in level:
            chosen = rng.sample(below, min(fanout, len(below))) if below else []
            # every project of the next layer down is someone's requirement
            if depth + 1 < len(levels):
                orphans = [n for n in levels[depth + 1] if n not in required]
                if orphans and (not chosen or orphans[0] not in chosen):
                    chosen = [orphans[0], *chosen[: max(0, fanout - 1)]]
            required.update(chosen)
            requires = [f"{dep}>=1.0" if rng.random() < 0.5 else f"{dep}>=2,<4" for dep in chosen]
            releases = {f"{v}.0": {"requires_dist": requires} for v in range(1, RELEASES + 1)}
            server.add_project(name, releases, metadata_files=metadata_files)
    return [name for name in levels[0]] + [n for level in levels[1:] for n in level if n not in required]
