"""The dependency graph of some requirements, from index metadata alone.

``await build_graph(roots, projects, metadata, Options(...))`` reads project
pages and requirements through two small sources (:mod:`.source`) and
returns a :class:`Graph` for one or several targets (:mod:`.targets`);
:func:`render` prints it as text, JSON, Graphviz dot or Mermaid. The design
is in docs/graph.md.
"""

from .build import GraphInputError, Options, build_graph
from .formats import FORMATS, render
from .model import Conflict, Edge, Graph, Node, Skipped
from .source import File, MetadataSource, Project, ProjectSource, SourceError
from .targets import Target, TargetError, parse_target, parse_targets, running_target

__all__ = [
    "FORMATS", "Conflict", "Edge", "File", "Graph", "GraphInputError", "MetadataSource", "Node", "Options",
    "Project", "ProjectSource", "Skipped", "SourceError", "Target", "TargetError", "build_graph", "parse_target",
    "parse_targets", "render", "running_target",
]
