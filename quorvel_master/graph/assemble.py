"""From the settled choices of every target to one :class:`Graph`.

Each target's walk gives its nodes and edges; equal nodes and edges of
several targets become one record listing those targets. Index URLs and
requirement texts are masked here, so no record of the graph holds a secret.
"""

from __future__ import annotations

import dataclasses as dc
from collections import defaultdict
from collections.abc import Mapping, Sequence

from .._native import mask_text, mask_url
from .fixpoint import Choice, Engine, State, Unknown, Walk, file_key
from .model import Conflict, Edge, Graph, Node, Skipped, node_id, node_order
from .releases import Chosen
from .requirements import Dependency


@dc.dataclass
class _NodeParts:
    name: str
    version: str | None
    index: str | None
    status: str
    detail: str | None
    targets: set[str] = dc.field(default_factory=set)
    files: dict[str, str] = dc.field(default_factory=dict)
    known: bool = True
    extras: set[str] = dc.field(default_factory=set)


class _Assembly:
    def __init__(self, engine: Engine, unsettled: Mapping[tuple[int, str], Sequence[str]]) -> None:
        self.engine, self.unsettled = engine, unsettled
        self.labels = [t.label for t in engine.targets]
        self.nodes: dict[str, _NodeParts] = {}
        self.edges: dict[tuple[str | None, str, str], tuple[Dependency, set[str]]] = {}
        self.conflicts: dict[tuple, set[str]] = defaultdict(set)
        self.skipped: dict[tuple[str, str, str], set[str]] = defaultdict(set)

    def add(self, t: int, choices: dict[str, Choice]) -> None:
        walk = self.engine.walk(t, choices)
        label = self.labels[t]
        ids = {name: self._node(t, name, choices.get(name), walk) for name in walk.reached}
        for source, dep in walk.edges:
            key = (None if source is None else ids[source], ids[dep.name], dep.text)
            self.edges.setdefault(key, (dep, set()))[1].add(label)
        for name, choice in choices.items():
            if name in ids and not isinstance(choice, Chosen) and choice.kind == "conflict":
                pairs = [((None if s is None else ids[s]), d.text) for s, d in walk.edges if d.name == name]
                into = tuple(sorted(pairs, key=lambda pair: (pair[0] or "", pair[1])))
                self.conflicts[(ids[name], choice.reason, into, choice.excluded)].add(label)
        for (_, name), versions in self.unsettled.items():
            if name in ids:
                reason = f"the choice did not settle (chosen in turn: {', '.join(versions)})"
                self.conflicts[(ids[name], reason, (), ())].add(label)
        for source, item, reason in walk.skipped:
            self.skipped[(ids[source], mask_text(item.text), reason)].add(label)

    def _node(self, t: int, name: str, choice: Choice | None, walk: Walk) -> str:
        page = self.engine.data.pages.get(name)
        index = mask_url(page.project.index) if page is not None and page.project is not None else None
        if isinstance(choice, Chosen):
            version, detail = str(choice.version), None
            status = "unsettled" if (t, name) in self.unsettled else "ok"
        elif choice is None:
            version, status, detail = None, "unsettled", "no version was chosen"
        elif choice.kept is not None:
            version, status = None, choice.kind
            detail = f"{choice.reason}; the requirements shown are those of {choice.kept.version}"
        else:
            version, status, detail = None, choice.kind, choice.reason
        parts = self.nodes.setdefault(node_id(name, version), _NodeParts(name, version, index, status, detail))
        if status == "unsettled":
            parts.status = status
        label = self.labels[t]
        parts.targets.add(label)
        parts.extras |= walk.reached[name]
        if isinstance(choice, Chosen):
            parts.files[label] = choice.file.filename
            read = self.engine.data.requirements.get(file_key(name, choice))
            if not isinstance(read, tuple):
                parts.known = False
                parts.detail = read.reason if isinstance(read, Unknown) else "not read"
        else:
            parts.known = False
        return node_id(name, version)

    def ordered(self, targets: set[str]) -> tuple[str, ...]:
        return tuple(label for label in self.labels if label in targets)


def assemble(engine: Engine, state: State, roots: Sequence[str], *, settled: bool, rounds: int,
             unsettled: Mapping[tuple[int, str], Sequence[str]]) -> Graph:
    parts = _Assembly(engine, unsettled)
    for t, choices in enumerate(state):
        parts.add(t, choices)
    nodes = sorted((Node(id=i, name=p.name, version=p.version, index=p.index, status=p.status,
                         targets=parts.ordered(p.targets), files=tuple(sorted(p.files.items())),
                         requirements_known=p.known, extras=tuple(sorted(p.extras)), detail=p.detail)
                    for i, p in parts.nodes.items()), key=node_order)
    rank = {node.id: i for i, node in enumerate(nodes)}
    root_rank = {text: i for i, text in reversed(list(enumerate(roots)))}
    edges = [Edge(source, to, text, tuple(sorted(dep.extras)), dep.marker_text, dep.specifier, parts.ordered(labels))
             for (source, to, text), (dep, labels) in parts.edges.items()]
    edges.sort(key=lambda e: (0, root_rank.get(e.requirement, 0), rank[e.to], "") if e.source is None
               else (1, rank[e.source], rank[e.to], e.requirement))
    conflicts = sorted((Conflict(node, parts.ordered(labels), reason, into, excluded)
                        for (node, reason, into, excluded), labels in parts.conflicts.items()),
                       key=lambda c: (rank[c.node], c.reason, c.targets))
    skipped = sorted((Skipped(source, text, reason, parts.ordered(labels))
                      for (source, text, reason), labels in parts.skipped.items()),
                     key=lambda s: (rank[s.source], s.requirement, s.reason))
    return Graph(tuple(roots), engine.targets, tuple(nodes), tuple(edges), tuple(conflicts), tuple(skipped),
                 settled, rounds)
