"""The graph as an indented tree, for a person.

Each line is a node, the requirement that led to it in brackets, and, when
the run has several targets and the edge does not hold on all of them, the
targets it holds on. A node whose subtree was printed already says
``(see above)``; an edge back to a node on the current path says
``(cycle)`` and ends there. Conflicts and requirements not followed come
after the tree.
"""

from __future__ import annotations

from collections.abc import Iterator

from packaging.utils import canonicalize_name

from .model import Edge, Graph, Node

INDENT = "  "


def _on(graph: Graph, targets: tuple[str, ...]) -> str:
    if len(graph.targets) < 2 or len(targets) == len(graph.targets):
        return ""
    return f"  [on {' '.join(targets)}]"


def _state(node: Node) -> str:
    if node.status == "ok" and node.requirements_known:
        return ""
    if node.status == "ok":
        return f"  (requirements unknown: {node.detail})"
    if node.status == "conflict":
        return "  (conflict, see below)"
    return f"  ({node.status}: {node.detail})"


def _lines(graph: Graph, starts: list[Edge], below, show, depth: int | None, note=lambda node: "",
           first: int = 0, start: str | None = None) -> Iterator[str]:
    """Depth-first lines from *starts* at level *first*; *below(node)* gives
    the edges under a node, *show(edge)* the node shown for an edge,
    *note(node)* what its line ends with."""
    expanded: set[str] = set()
    stack: list[tuple[int, Iterator[Edge]]] = [(first, iter(starts))]
    path: list[str] = [] if start is None else [start]
    while stack:
        level, rest = stack[-1]
        edge = next(rest, None)
        if edge is None:
            stack.pop()
            if path:
                path.pop()
            continue
        node = graph.by_id[show(edge)]
        line = f"{INDENT * level}{node.id}  ({edge.requirement}){_on(graph, edge.targets)}{_state(node)}{note(node.id)}"
        under = below(node.id)
        if node.id in path:
            yield line + "  (cycle)"
        elif under and node.id in expanded:
            yield line + "  (see above)"
        else:
            yield line
            if under and (depth is None or level - first < depth):
                expanded.add(node.id)
                path.append(node.id)
                stack.append((level + 1, iter(under)))


def _tail(graph: Graph) -> Iterator[str]:
    if graph.conflicts:
        yield ""
        yield "conflicts:"
        for conflict in graph.conflicts:
            yield f"{INDENT}{conflict.node}{_on(graph, conflict.targets)}: {conflict.reason}"
            for source, requirement in conflict.edges:
                yield f"{INDENT * 2}{source or 'requested'}: {requirement}"
            for version, why in conflict.excluded:
                yield f"{INDENT * 2}{version} left out: {why}"
    if graph.skipped:
        yield ""
        yield "not followed:"
        for item in graph.skipped:
            yield f"{INDENT}{item.source}: {item.requirement}{_on(graph, item.targets)} ({item.reason})"
    if not graph.settled:
        yield ""
        yield f"the choices did not settle in {graph.rounds} rounds"


def render_text(graph: Graph, depth: int | None = None) -> str:
    """The tree from the roots, *depth* levels of requirements below them at most."""
    kids = graph.children
    lines = list(_lines(graph, kids.get(None, []), lambda node: kids.get(node, []), lambda e: e.to, depth))
    return "\n".join([*lines, *_tail(graph)]) + "\n"


def render_reverse_text(graph: Graph, name: str, depth: int | None = None) -> str:
    """From each node of project *name* up to the roots: what requires it,
    and what requires that; a node a root requirement asks for says so."""
    wanted = canonicalize_name(name)
    sub = graph.reverse(wanted)
    up: dict[str, list[Edge]] = {}
    requested: dict[str, list[str]] = {}
    for edge in sub.edges:
        if edge.source is None:
            requested.setdefault(edge.to, []).append(edge.requirement)
        else:
            up.setdefault(edge.to, []).append(edge)

    def note(node: str) -> str:
        return f"  <- requested: {', '.join(requested[node])}" if node in requested else ""

    out: list[str] = []
    for node in (n for n in sub.nodes if n.name == wanted):
        out.append(f"{node.id}{_state(node)}{note(node.id)}")
        out.extend(_lines(sub, up.get(node.id, []), lambda n: up.get(n, []), lambda e: e.source, depth, note, 1,
                          node.id))
    if not out:
        return f"{wanted} is not in the graph\n"
    return "\n".join(out) + "\n"
