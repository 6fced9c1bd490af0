"""One entry point for the command line: a graph in a named format, cut to
a depth or to the paths towards one project."""

from __future__ import annotations

from .diagrams import render_dot, render_mermaid
from .jsonout import render_json
from .model import Graph
from .text import render_reverse_text, render_text

FORMATS = ("text", "json", "dot", "mermaid")


def render(graph: Graph, format: str = "text", *, depth: int | None = None, reverse: str | None = None) -> str:
    """*depth*: levels of requirements shown below the roots (0: the roots
    alone); *reverse*: only what lies on the paths from the roots to that
    project, drawn upwards from it in text."""
    if format not in FORMATS:
        raise ValueError(f"unknown format {format!r} (one of {', '.join(FORMATS)})")
    if depth is not None and depth < 0:
        raise ValueError("depth must not be negative")
    if format == "text":
        return render_text(graph, depth) if reverse is None else render_reverse_text(graph, reverse, depth)
    if reverse is not None:
        graph = graph.reverse(reverse)
    graph = graph.within(depth)
    return {"json": render_json, "dot": render_dot, "mermaid": render_mermaid}[format](graph)
