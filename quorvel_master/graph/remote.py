"""The graph's two sources on real indexes, through the network layer.

- :class:`IndexProjects`: a project's page from the first index that holds
  it, in the order :func:`index_order` gives; an index that cannot be read is
  passed over (its reason kept) unless ``fail_closed``.
- :class:`IndexMetadata`: the requirements of one file: the metadata file an
  index announces beside it (hash checked), else, for a wheel, its METADATA
  read by ranges (or downloaded, bounded, when the server will not give
  ranges); for an sdist, PKG-INFO from its metadata file when it is
  Metadata-Version 2.2 or later and does not call Requires-Dist dynamic.
  Anything else is unknown (``None``), never "no requirements". What was
  read is kept (the layer's ``extracts``) under the file's URL and the hash
  the page announces for it, and a later run whose page announces the same
  hash takes it from there without a request; with no strong hash announced
  the file is read again.

The graph asks each project and each file once per run; these sources add
the bound per host, by default the network layer's connections per host.
"""

from __future__ import annotations

import dataclasses as dc
import email.parser
import json
import email.policy
from collections.abc import Callable, Sequence
from typing import Any
from urllib.parse import urlsplit, urlunsplit

from packaging.version import InvalidVersion, Version

from .._native import mask_text, mask_url
from ..indexdata.pages import NotFound, PageError, ProjectFile, read_project_page
from ..indexdata.wheel_metadata import UnreadableMetadata, read_wheel_metadata
from ..network.bounds import HostBounds, bounds_of
from ..network.extracts import file_tag
from .source import SourceError

#: The tag of a kept record of a file's requirements (the version says how they were read).
REQUIREMENTS_RECORD = "requires-dist/1"

#: Metadata-Version from which an sdist's PKG-INFO may be trusted (PEP 643).
STATIC_SDIST_METADATA = Version("2.2")

#: The indexes asked for one project, in order: the seam for pins and routing.
Order = Callable[[str, Sequence[str]], Sequence[str]]


def index_order(name: str, indexes: Sequence[str]) -> Sequence[str]:
    """The indexes to ask for *name*, in the order asked; the first that holds
    it wins. Today: the configured order for every project."""
    return indexes


@dc.dataclass(frozen=True)
class FoundProject:
    """A project page as the graph reads it: its name, the index, its files."""

    name: str
    index: str
    files: Sequence[ProjectFile]


class IndexProjects:
    def __init__(self, network: Any, indexes: Sequence[str], *, fail_closed: bool = False,
                 per_host: int | None = None, order: Order = index_order) -> None:
        if not indexes:
            raise ValueError("no index to read projects from")
        self.network, self.indexes, self.fail_closed, self.order = network, tuple(indexes), fail_closed, order
        self._bound = bounds_of(network) if per_host is None else HostBounds(per_host)

    async def project(self, name: str) -> FoundProject | None:
        unread: list[str] = []
        for index in self.order(name, self.indexes):
            try:
                async with self._bound(index):
                    page = await read_project_page(self.network, index, name)
            except PageError as error:
                if self.fail_closed:
                    raise SourceError(f"{mask_url(index)} could not be read: {error}") from error
                unread.append(f"{mask_url(index)}: {error.reason}")
                continue
            if isinstance(page, NotFound):
                continue
            return FoundProject(page.name, index, page.files)
        if unread:
            # Not found where it could be read; it may be where it could not.
            raise SourceError("not found, and could not read " + "; ".join(unread))
        return None


def metadata_file_url(url: str) -> str:
    """Where an index serves the metadata file of the file at *url* (the
    file's URL without its fragment, ``.metadata`` appended)."""
    parts = urlsplit(url)
    return urlunsplit(parts._replace(path=parts.path + ".metadata", fragment=""))


def _announced_hashes(core_metadata: Any) -> dict[str, str] | None:
    return dict(core_metadata) if isinstance(core_metadata, dict) and core_metadata else None


def static_requirements(metadata: bytes) -> list[str] | None:
    """Requires-Dist of an sdist's PKG-INFO when they are static: Metadata-Version
    2.2 or later and Requires-Dist not named Dynamic; else None."""
    message = email.parser.BytesHeaderParser(policy=email.policy.compat32).parsebytes(metadata)
    try:
        version = Version((message.get("Metadata-Version") or "").strip())
    except InvalidVersion:
        return None
    if version < STATIC_SDIST_METADATA:
        return None
    dynamic = {value.strip().lower() for value in message.get_all("Dynamic") or ()}
    if "requires-dist" in dynamic:
        return None
    return [str(value).strip() for value in message.get_all("Requires-Dist") or ()]


def _requirements_record(data: bytes | None) -> list[str] | None | bool:
    """A kept record read back: the requirements, None (the metadata does not
    tell), or False when there is none or it is not one."""
    if data is None:
        return False
    try:
        found = json.loads(data)
    except ValueError:
        return False
    if found is None or (isinstance(found, list) and all(isinstance(line, str) for line in found)):
        return found
    return False


class IndexMetadata:
    def __init__(self, network: Any, *, per_host: int | None = None, timeout: float | None = None) -> None:
        self.network, self.timeout = network, timeout
        self._bound = bounds_of(network) if per_host is None else HostBounds(per_host)

    async def requirements(self, project: Any, file: Any) -> list[str] | None:
        filename: str = file.filename
        if not filename.endswith(".whl") and not file.core_metadata:
            return None
        # What an earlier run read out of the same file (same URL, same announced hash).
        tag = file_tag(REQUIREMENTS_RECORD, file.hashes)
        extracts = getattr(self.network, "extracts", None)
        if tag is not None and extracts is not None:
            kept = _requirements_record(extracts.get(file.url, tag))
            if kept is not False:
                return kept  # type: ignore[return-value]
        try:
            async with self._bound(file.url):
                found = await (self._wheel(project, file) if filename.endswith(".whl") else self._sdist(project, file))
        except UnreadableMetadata as error:
            raise SourceError(f"{filename}: {mask_text(str(error))}") from error
        if tag is not None and extracts is not None:
            extracts.put(file.url, tag, json.dumps(found).encode())
        return found

    async def _wheel(self, project: Any, file: Any) -> list[str]:
        # Not attributed to the index: the layer would judge these answers as
        # index documents (and keep none of them).
        session = self.network.session()
        if file.core_metadata:
            try:
                return await read_wheel_metadata(
                    session, file.url, hashes=file.hashes, metadata_url=metadata_file_url(file.url),
                    metadata_hashes=_announced_hashes(file.core_metadata), timeout=self.timeout)
            except UnreadableMetadata:
                pass  # an announced file that cannot be read: the wheel still holds its METADATA
        return await read_wheel_metadata(session, file.url, hashes=file.hashes, timeout=self.timeout)

    async def _sdist(self, project: Any, file: Any) -> list[str] | None:
        metadata = await read_wheel_metadata(
            self.network.session(), file.url, hashes=file.hashes, metadata_url=metadata_file_url(file.url),
            metadata_hashes=_announced_hashes(file.core_metadata), timeout=self.timeout, whole=True)
        assert isinstance(metadata, bytes)
        return static_requirements(metadata)
