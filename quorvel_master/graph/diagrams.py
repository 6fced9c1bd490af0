"""The graph as a diagram: Graphviz ``dot`` and a Mermaid flowchart.

Both draw the nodes (the roots' with a heavier border, those without a
version or with unknown requirements in their own style) and the edges
labelled with their requirement and, when not all, their targets; an edge
that closes a cycle is dashed (dotted in Mermaid).
"""

from __future__ import annotations

from .model import Edge, Graph, Node


def _label(graph: Graph, edge: Edge) -> str:
    if len(graph.targets) > 1 and len(edge.targets) < len(graph.targets):
        return f"{edge.requirement} [on {' '.join(edge.targets)}]"
    return edge.requirement


def _trouble(node: Node) -> bool:
    return node.status != "ok" or not node.requirements_known


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def render_dot(graph: Graph) -> str:
    roots = {e.to for e in graph.children.get(None, [])}
    lines = ["digraph dependencies {", "  node [shape=box];"]
    for node in graph.nodes:
        style = []
        if node.id in roots:
            style.append("penwidth=2")
        if _trouble(node):
            style.append("style=dashed")
            style.append("color=red" if node.status != "ok" else "color=gray40")
        attributes = f" [{', '.join(style)}]" if style else ""
        lines.append(f"  {_dot_id(node.id)}{attributes};")
    for edge in graph.edges:
        if edge.source is None:
            continue
        extra = ", style=dashed" if edge in graph.back_edges else ""
        lines.append(f"  {_dot_id(edge.source)} -> {_dot_id(edge.to)} [label={_dot_id(_label(graph, edge))}{extra}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _mermaid_text(text: str) -> str:
    # Mermaid reads "#code;" as a character; the quote would end the label
    # and the angle brackets could be taken for markup.
    for char in "#\"<>|":
        text = text.replace(char, f"#{ord(char)};")
    return f'"{text}"'


def render_mermaid(graph: Graph) -> str:
    names = {node.id: f"n{i}" for i, node in enumerate(graph.nodes)}
    roots = {e.to for e in graph.children.get(None, [])}
    lines = ["flowchart TD"]
    for node in graph.nodes:
        lines.append(f"  {names[node.id]}[{_mermaid_text(node.id)}]")
    for edge in graph.edges:
        if edge.source is None:
            continue
        arrow = "-.->" if edge in graph.back_edges else "-->"
        lines.append(f"  {names[edge.source]} {arrow}|{_mermaid_text(_label(graph, edge))}| {names[edge.to]}")
    for kind, members in (("root", [n.id for n in graph.nodes if n.id in roots]),
                          ("trouble", [n.id for n in graph.nodes if _trouble(n)])):
        if members:
            lines.append(f"  class {','.join(names[m] for m in members)} {kind}")
    lines.append("  classDef root stroke-width:3px")
    lines.append("  classDef trouble stroke-dasharray:4 2,stroke:#c00")
    return "\n".join(lines) + "\n"
