"""The reads of one run: each page and each file's requirements asked once,
all that are wanted at the same time, a bounded number per host, and pages
of ``max_projects`` projects at most.

Project pages share one bound (the project source picks the index, so the
host is its business); requirements are bounded per host of the file URL.
A :class:`SourceError` becomes the project's or the file's reason, or, with
``fail_closed``, ends the run: it comes out of :meth:`Reads.settle`.
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable, Iterable, Mapping

from .._native import mask_text
from ..network.bounds import HostBounds
from .fixpoint import Data, FileKey, Page, Unknown
from .requirements import Requirements
from .source import FileLike, MetadataSource, ProjectLike, ProjectSource, SourceError

#: The bound of project page reads, beside the per-host ones of files.
PAGES = "(pages)"

Progress = Callable[[int, int], None]


def _reason(error: SourceError, default: str) -> str:
    return mask_text(str(error)) or default


class Reads:
    def __init__(self, projects: ProjectSource, metadata: MetadataSource, requirements: Requirements, data: Data,
                 *, per_host: int, fail_closed: bool, progress: Progress | None, max_projects: int) -> None:
        self._bounds = HostBounds(per_host)
        self._projects, self._metadata, self._requirements, self.data = projects, metadata, requirements, data
        self._fail_closed, self._progress = fail_closed, progress
        self._max_projects, self._pages_asked = max_projects, 0
        self._asked: set[object] = set()
        self._running: set[asyncio.Task] = set()
        self.done = 0

    @property
    def busy(self) -> bool:
        return bool(self._running)

    def request(self, pages: Iterable[str], files: Mapping[FileKey, tuple[ProjectLike, FileLike]]) -> None:
        started = False
        for name in sorted(pages):
            if ("page", name) not in self._asked:
                self._asked.add(("page", name))
                if self._pages_asked >= self._max_projects:
                    # an index can name projects without end
                    self.data.pages[name] = Page(None, f"not read: the run reads {self._max_projects} projects at most",
                                                 "left-out")
                    continue
                self._pages_asked += 1
                self._start(self._page(name))
                started = True
        for key in sorted(files):
            if ("file", key) not in self._asked:
                self._asked.add(("file", key))
                self._start(self._file(key, *files[key]))
                started = True
        if started:
            self._report()

    async def settle(self, *, every: bool = False) -> None:
        """Waits for one read (or all running) to end; raises what ends the run."""
        if not self._running:
            return
        finished, _ = await asyncio.wait(self._running,
                                         return_when=asyncio.ALL_COMPLETED if every else asyncio.FIRST_COMPLETED)
        self._running -= finished
        self.done += len(finished)
        self._report()
        for task in finished:
            task.result()

    async def close(self) -> None:
        for task in self._running:
            task.cancel()
        if self._running:
            await asyncio.gather(*self._running, return_exceptions=True)
        self._running.clear()

    def _start(self, coroutine) -> None:
        self._running.add(asyncio.ensure_future(coroutine))

    def _report(self) -> None:
        if self._progress is not None:
            self._progress(self.done, len(self._running))

    async def _page(self, name: str) -> None:
        async with self._bounds.named(PAGES):
            try:
                page = Page(await self._projects.project(name))
            except SourceError as error:
                if self._fail_closed:
                    raise
                page = Page(None, _reason(error, "the index could not be read"))
        self.data.pages[name] = page

    async def _file(self, key: FileKey, project: ProjectLike, file: FileLike) -> None:
        async with self._bounds(file.url):
            try:
                lines = await self._metadata.requirements(project, file)
            except SourceError as error:
                if self._fail_closed:
                    raise
                self.data.requirements[key] = Unknown(_reason(error, "the metadata could not be read"))
                return
        if lines is None:
            self.data.requirements[key] = Unknown("the metadata does not tell")
        else:
            self.data.requirements[key] = tuple(self._requirements.parse(line) for line in lines)
