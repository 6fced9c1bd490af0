"""The graph a run ends with: nodes, edges, conflicts, for every target at once.

A node is a project at one version, named ``name==version`` with the name in
PEP 503 form; a project that has no version on a target (a conflict, no
index holds it, its index could not be read) is a node named by the project
alone. A project chosen at different versions on different targets is so
several nodes, each saying on which targets it is in the graph. An edge
says for which targets it holds; an edge from a root has no ``source``.
Everything is sorted, so equal graphs print equally.
"""

from __future__ import annotations

import dataclasses as dc
from collections import defaultdict, deque
from functools import cached_property

from packaging.utils import canonicalize_name
from packaging.version import Version

from .targets import Target


@dc.dataclass(frozen=True)
class Node:
    id: str
    name: str
    version: str | None
    index: str | None
    status: str                              # ok, conflict, unsettled, not-found, unreadable, left-out
    targets: tuple[str, ...]
    files: tuple[tuple[str, str], ...] = ()  # (target label, file name)
    requirements_known: bool = False
    extras: tuple[str, ...] = ()
    detail: str | None = None                # why the requirements are unknown, or there is no version


@dc.dataclass(frozen=True)
class Edge:
    source: str | None                       # None: a root requirement
    to: str
    requirement: str
    extras: tuple[str, ...]
    marker: str | None
    specifier: str
    targets: tuple[str, ...]


@dc.dataclass(frozen=True)
class Conflict:
    node: str
    targets: tuple[str, ...]
    reason: str
    edges: tuple[tuple[str | None, str], ...]     # (source node, requirement)
    excluded: tuple[tuple[str, str], ...] = ()    # (version, why)


@dc.dataclass(frozen=True)
class Skipped:
    source: str
    requirement: str
    reason: str
    targets: tuple[str, ...]


def node_id(name: str, version: str | None) -> str:
    return name if version is None else f"{name}=={version}"


def node_order(node: Node) -> tuple:
    version: tuple
    try:
        version = (0, Version(node.version)) if node.version is not None else (-1, None)
    except ValueError:
        version = (1, node.version)
    return (node.name, version)


@dc.dataclass(frozen=True)
class Graph:
    roots: tuple[str, ...]           # the root requirements as given
    targets: tuple[Target, ...]
    nodes: tuple[Node, ...]
    edges: tuple[Edge, ...]
    conflicts: tuple[Conflict, ...] = ()
    skipped: tuple[Skipped, ...] = ()
    settled: bool = True
    rounds: int = 0

    @cached_property
    def by_id(self) -> dict[str, Node]:
        return {node.id: node for node in self.nodes}

    @cached_property
    def children(self) -> dict[str | None, list[Edge]]:
        out: dict[str | None, list[Edge]] = defaultdict(list)
        for edge in self.edges:
            out[edge.source].append(edge)
        return out

    @cached_property
    def back_edges(self) -> frozenset[Edge]:
        """Edges that close a cycle, met in a depth-first walk from the roots in order."""
        back: set[Edge] = set()
        state: dict[str, int] = {}          # 1 on the path, 2 done
        for root in self.children.get(None, []):
            if root.to in state:
                continue
            state[root.to] = 1
            stack = [(root.to, iter(self.children.get(root.to, [])))]
            while stack:
                node, rest = stack[-1]
                edge = next(rest, None)
                if edge is None:
                    state[node] = 2
                    stack.pop()
                elif state.get(edge.to) == 1:
                    back.add(edge)
                elif edge.to not in state:
                    state[edge.to] = 1
                    stack.append((edge.to, iter(self.children.get(edge.to, []))))
        return frozenset(back)

    def depths(self) -> dict[str, int]:
        """Each node's least number of edges from a root (roots: 0)."""
        depth: dict[str, int] = {}
        queue: deque[str] = deque()
        for edge in self.children.get(None, []):
            if edge.to not in depth:
                depth[edge.to] = 0
                queue.append(edge.to)
        while queue:
            node = queue.popleft()
            for edge in self.children.get(node, []):
                if edge.to not in depth:
                    depth[edge.to] = depth[node] + 1
                    queue.append(edge.to)
        return depth

    def within(self, depth: int | None) -> Graph:
        """The nodes at most *depth* edges below a root, and the edges between them."""
        if depth is None:
            return self
        near = {node for node, d in self.depths().items() if d <= depth}
        return self._restricted(near, lambda e: e.source is None or (e.source in near and e.to in near))

    def reverse(self, name: str) -> Graph:
        """What lies on a path from a root to the nodes of project *name*."""
        wanted = canonicalize_name(name)
        parents: dict[str, list[Edge]] = defaultdict(list)
        for edge in self.edges:
            if edge.source is not None:
                parents[edge.to].append(edge)
        above = {node.id for node in self.nodes if node.name == wanted}
        queue = deque(above)
        while queue:
            for edge in parents[queue.popleft()]:
                source = edge.source
                if source is not None and source not in above:
                    above.add(source)
                    queue.append(source)
        return self._restricted(above, lambda e: e.to in above and (e.source is None or e.source in above))

    def _restricted(self, keep: set[str], edge_kept) -> Graph:
        return dc.replace(
            self,
            nodes=tuple(n for n in self.nodes if n.id in keep),
            edges=tuple(e for e in self.edges if edge_kept(e)),
            conflicts=tuple(c for c in self.conflicts if c.node in keep),
            skipped=tuple(s for s in self.skipped if s.source in keep),
        )
