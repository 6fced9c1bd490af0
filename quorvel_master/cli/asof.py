"""``--as-of``: the client's answer as today, cut to what the answering
index's project page says was uploaded by then.

The client knows nothing of upload times; the page does (PEP 700). So the
question is put to the client as it is, then the page of the index that
answered is read through the same network layer (its cache, credentials and
outcomes), and a version counts when one of its files was uploaded at or
before the moment. A file without an upload time cannot be placed in time,
so it does not count; the versions that leaves out are said on stderr. With
nothing left out, the answer is today's.
"""

from __future__ import annotations

import datetime as dt
from typing import Any

from .._native import mask_given_url
from . import output, questions
from .config import normalized
from .questions import Answer, Query
from .when import shown_when

#: Answer.empty of a version that no file of existed at the moment asked.
NOT_YET = "as-of"


def version_key(text: str) -> str:
    """Versions compared as installers compare them ("1.0" is "1.0.0")."""
    from packaging.version import InvalidVersion, Version

    try:
        return str(Version(text))
    except InvalidVersion:
        return text.lower()


class Timeline:
    """When each version of one page first had a file, and which versions
    have a file without an upload time."""

    def __init__(self, page: Any) -> None:
        self.page = page
        self.first: dict[str, dt.datetime] = {}
        self.untimed: set[str] = set()
        for file in page.files:
            if file.version is None:
                continue
            key = version_key(file.version)
            when = file.upload_time
            if when is None:
                self.untimed.add(key)
            elif key not in self.first or when < self.first[key]:
                self.first[key] = when

    def existed(self, version: str, moment: dt.datetime) -> bool:
        first = self.first.get(version_key(version))
        return first is not None and first <= moment

    def files_of(self, version: str) -> list[Any]:
        key = version_key(version)
        return [f for f in self.page.files if f.version is not None and version_key(f.version) == key]


async def page_of(client: Any, q: Query, index: str) -> Any:
    """The project page of ``q.name`` at ``index``, read once per question:
    a ProjectPage, or the PageError or NotFound that kept it from being read."""
    from ..indexdata import PageError, read_project_page

    key = normalized(index)
    if key not in q.pages:
        try:
            q.pages[key] = await read_project_page(client.network, index, q.name)
        except PageError as exc:
            q.pages[key] = exc
    return q.pages[key]


def page_problem(page: Any) -> str | None:
    """Why a result of :func:`page_of` is no page, or None."""
    from ..indexdata import NotFound

    if isinstance(page, NotFound):
        return f"its project page was not found (HTTP {page.status})"
    if isinstance(page, Exception):
        return f"its project page could not be read ({getattr(page, 'reason', page)})"
    return None


async def timeline_at(client: Any, q: Query, index: str) -> Timeline | None:
    """The timeline of the answering index; None (the index marked as not
    read, since the moment cannot be applied) when its page cannot be read."""
    page = await page_of(client, q, index)
    problem = page_problem(page)
    if problem is not None:
        q.watch.failed(index, f"{problem}, which --as-of needs")
        return None
    return Timeline(page)


def _remark_untimed(q: Query, index: str, count: int) -> None:
    if count:
        q.remarks.append(f"as of {shown_when(q.as_of)}: {count} version(s) left out at {mask_given_url(index)}, "
                         "whose files carry no upload time")


async def ask_versions(client: Any, q: Query) -> Answer:
    if q.as_of is None:
        return await questions.ask_versions(client, q)
    versions, index = await client.answer(client.get_versions(q.name))
    if index is None:
        return Answer([], False)
    timeline = await timeline_at(client, q, index)
    if timeline is None:
        return Answer([], False, index=index)
    kept = [v for v in versions if timeline.existed(v, q.as_of)]
    _remark_untimed(q, index, sum(1 for v in versions if v not in kept and version_key(v) in timeline.untimed))
    shown = kept if q.pre else [v for v in kept if not questions._is_prerelease(v)]
    return Answer(shown, bool(shown), index=index, extra=len(kept) - len(shown))


async def _as_of_version(client: Any, q: Query, answer: Answer) -> Answer:
    """Today's answer about one version, or "not found as of" when none of
    its files existed then at the index that has it."""
    if q.as_of is None or answer.empty == "missing":
        return answer
    index = answer.index or await client.find_repo_for_package_version(q.name, q.version)
    if index is None:
        return answer
    timeline = await timeline_at(client, q, index)
    if timeline is None:
        return Answer(type(answer.result)(), False, index=index)
    assert q.version is not None
    if timeline.existed(q.version, q.as_of):
        return answer
    _remark_untimed(q, index, int(version_key(q.version) in timeline.untimed))
    return Answer(type(answer.result)(), False, empty=NOT_YET, index=index)


async def ask_deps(client: Any, q: Query) -> Answer:
    return await _as_of_version(client, q, await questions.ask_deps(client, q))


async def ask_extras(client: Any, q: Query) -> Answer:
    return await _as_of_version(client, q, await questions.ask_extras(client, q))


def not_yet(q: Query, a: Answer) -> list[str]:
    """What is shown of an answer whose version had no file at the moment asked."""
    return [f"{q.subject}: not found as of {shown_when(q.as_of)} ({mask_given_url(a.index or '')})"]


def show_deps(q: Query, a: Answer) -> list[str]:
    return not_yet(q, a) if a.empty == NOT_YET else output.show_deps(q, a)


def show_extras(q: Query, a: Answer) -> list[str]:
    return not_yet(q, a) if a.empty == NOT_YET else output.show_extras(q, a)


def show_versions(q: Query, a: Answer) -> list[str]:
    if q.as_of is not None and not a.found and not a.extra and a.index is not None and not q.watch.failures:
        return [f"{q.subject}: no version as of {shown_when(q.as_of)} ({mask_given_url(a.index)})"]
    return output.show_versions(q, a)
