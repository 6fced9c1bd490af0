"""The graph as one JSON object, for programs.

``roots`` lists the root requirements with the node each leads to (one
entry per node when targets differ); ``targets`` the targets with their
marker environments; ``nodes`` and ``edges`` the graph, nodes named
``name==version`` (a node without a version by the name alone); an edge
that closes a cycle in a depth-first walk from the roots has ``"cycle":
true``. ``conflicts`` and ``skipped`` say what could not be chosen or
followed; ``settled`` whether the choices reached a fixpoint.
"""

from __future__ import annotations

import json
from typing import Any

from .model import Edge, Graph


def _edge(edge: Edge, graph: Graph) -> dict[str, Any]:
    out: dict[str, Any] = {} if edge.source is None else {"from": edge.source}
    out.update({"to": edge.to, "requirement": edge.requirement, "extras": list(edge.extras), "marker": edge.marker,
                "specifier": edge.specifier, "targets": list(edge.targets)})
    if edge.source is not None:
        out["cycle"] = edge in graph.back_edges
    return out


def graph_data(graph: Graph) -> dict[str, Any]:
    kids = graph.children
    return {
        "roots": [_edge(e, graph) for e in kids.get(None, [])],
        "targets": [{"label": t.label, "environment": dict(sorted(t.environment.items()))} for t in graph.targets],
        "nodes": [{"id": n.id, "name": n.name, "version": n.version, "index": n.index, "status": n.status,
                   "requirements_known": n.requirements_known, "extras": list(n.extras), "targets": list(n.targets),
                   "files": dict(n.files), "detail": n.detail} for n in graph.nodes],
        "edges": [_edge(e, graph) for e in graph.edges if e.source is not None],
        "conflicts": [{"node": c.node, "targets": list(c.targets), "reason": c.reason,
                       "edges": [{"from": s, "requirement": r} for s, r in c.edges],
                       "excluded": [{"version": v, "why": w} for v, w in c.excluded]} for c in graph.conflicts],
        "skipped": [{"from": s.source, "requirement": s.requirement, "reason": s.reason, "targets": list(s.targets)}
                    for s in graph.skipped],
        "settled": graph.settled,
        "rounds": graph.rounds,
    }


def render_json(graph: Graph) -> str:
    return json.dumps(graph_data(graph), indent=2) + "\n"
