"""What the graph reads from: two small asynchronous sources.

The graph never talks to an index itself. A host hands it

- a *project source*, ``await projects.project(name)``: the files one index
  lists for a project (``name`` is in PEP 503 form), or ``None`` when no
  index holds the project; it raises :class:`SourceError` when an index
  could not be read;
- a *metadata source*, ``await metadata.requirements(project, file)``: the
  ``Requires-Dist`` lines of one file of that project, or ``None`` when
  they cannot be known (never an empty list for "unknown"); it may raise
  :class:`SourceError` too.

Each is called at most once per project and once per file in a run; the
graph keeps the answers. Records only need the attributes below, so the
typed records of a page reader fit as they are; :class:`Project` and
:class:`File` are plain ones for hosts and tests.
"""

from __future__ import annotations

import dataclasses as dc
from collections.abc import Mapping, Sequence
from datetime import datetime
from typing import Any, Protocol


class SourceError(Exception):
    """An index (or a file on it) could not be read. With ``fail_closed``
    the run ends on it; otherwise the project or file shows the reason."""


class FileLike(Protocol):
    filename: str
    url: str
    hashes: Mapping[str, str]
    requires_python: str | None
    yanked: bool
    yanked_reason: str | None
    upload_time: datetime | None
    core_metadata: Any  # bool or a dict of hashes: a metadata file exists


class ProjectLike(Protocol):
    name: str
    index: str
    files: Sequence[FileLike]


class ProjectSource(Protocol):
    async def project(self, name: str) -> ProjectLike | None: ...


class MetadataSource(Protocol):
    async def requirements(self, project: ProjectLike, file: FileLike) -> list[str] | None: ...


@dc.dataclass(frozen=True)
class File:
    filename: str
    url: str
    hashes: Mapping[str, str] = dc.field(default_factory=dict)
    requires_python: str | None = None
    yanked: bool = False
    yanked_reason: str | None = None
    upload_time: datetime | None = None
    core_metadata: Any = False


@dc.dataclass(frozen=True)
class Project:
    name: str
    index: str
    files: Sequence[File] = ()
