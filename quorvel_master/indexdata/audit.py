"""What every configured index says about a set of names, and what in that a
user should know: a name held by more than one index (``shadowed``), a pinned
name that another index also holds (``pinned-elsewhere``), an ``==`` pin on a
yanked release (``yanked``), and a project that is not active (``status``).

The pages are read with :func:`read_project_page` on the host's network
layer, all at once with a bound per host. The findings are plain records; the
command line shows them (``pkgindex audit``).
"""

from __future__ import annotations

import asyncio
import dataclasses as dc
import datetime as dt
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from packaging.utils import canonicalize_name
from packaging.version import InvalidVersion, Version

from .._native import mask_given_url
from ..network.bounds import HostBounds, bounds_of
from .pages import NotFound, PageError, ProjectPage, read_project_page

__all__ = ["Finding", "Survey", "findings_of", "survey"]

#: What one index said about one name: its page, NotFound, or the PageError.
Said = Any


@dc.dataclass(frozen=True)
class Finding:
    name: str
    kind: str           # shadowed, pinned-elsewhere, yanked, status
    text: str           # one line for people, URLs masked
    data: Mapping[str, Any] = dc.field(default_factory=dict)

    def to_json(self) -> dict[str, Any]:
        return {"name": self.name, "kind": self.kind, "message": self.text, **self.data}


@dc.dataclass
class Survey:
    """The indexes in the order the first-index rule asks them, and what each said per name."""

    indexes: list[str]
    said: dict[str, dict[str, Said]]

    def unreadable(self) -> list[PageError]:
        return [s for per in self.said.values() for s in per.values() if isinstance(s, PageError)]


def _asked_of(name: str, indexes: Sequence[str], routes: Any) -> list[str]:
    """Every index, and the one the name is pinned to when it is not listed."""
    pinned = routes.pin_for(name) if routes is not None else None
    if pinned is None or routes.plan(name, indexes)[0] in indexes:
        return list(indexes)
    return [*indexes, pinned]


async def survey(network: Any, indexes: Sequence[str], names: Iterable[str], per_host: int | None = None,
                 routes: Any = None) -> Survey:
    """Asks every index about every name (and a pinned name of its pinned
    index too), at most ``per_host`` pages at a time per host (by default
    the network layer's connections per host)."""
    names = list(dict.fromkeys(canonicalize_name(n) for n in names))
    bounds = bounds_of(network) if per_host is None else HostBounds(per_host)

    async def ask(index: str, name: str) -> Said:
        async with bounds(index):
            try:
                return await read_project_page(network, index, name)
            except PageError as exc:
                return exc

    pairs = [(name, index) for name in names for index in _asked_of(name, indexes, routes)]
    answers = await asyncio.gather(*(ask(index, name) for name, index in pairs))
    said: dict[str, dict[str, Said]] = {name: {} for name in names}
    for (name, index), answer in zip(pairs, answers):
        said[name][index] = answer
    return Survey(list(indexes), said)


def _newest(page: ProjectPage) -> str | None:
    best: tuple[Version, str] | None = None
    for text in page.versions or tuple(f.version for f in page.files if f.version):
        try:
            key = Version(text)
        except InvalidVersion:
            continue
        if best is None or key > best[0]:
            best = (key, text)
    return best[1] if best else None


def _first_upload(page: ProjectPage) -> dt.datetime | None:
    times = [f.upload_time for f in page.files if f.upload_time is not None]
    return min(times) if times else None


def _holding(per_index: Mapping[str, Said]) -> list[tuple[str, ProjectPage]]:
    # In the order asked: the first-index rule's.
    return [(index, said) for index, said in per_index.items() if isinstance(said, ProjectPage)]


def _held_note(index: str, page: ProjectPage) -> tuple[str, dict[str, Any]]:
    newest, first = _newest(page), _first_upload(page)
    record = {"index": mask_given_url(index), "newest": newest,
              "first_upload": first.isoformat() if first else None}
    when = f", first upload {first.date().isoformat()}" if first else ""
    return f"{mask_given_url(index)} (newest {newest or '-'}{when})", record


def _places(name: str, held: list[tuple[str, ProjectPage]], routes: Any) -> list[Finding]:
    notes = [_held_note(index, page) for index, page in held]
    where = "; ".join(text for text, _ in notes)
    records = [record for _, record in notes]
    pinned = routes.pin_for(name) if routes is not None else None
    if pinned is not None:
        others = [r for (index, _), r in zip(held, records) if not routes.allows(name, index)]
        if not others:
            return []
        return [Finding(name, "pinned-elsewhere",
                        f"{name} is pinned to {mask_given_url(pinned)} but also held by "
                        + ", ".join(r["index"] for r in others) + f": {where}",
                        {"pinned_to": mask_given_url(pinned), "indexes": records})]
    if len(held) < 2:
        return []
    return [Finding(name, "shadowed", f"{name} is held by {len(held)} indexes: {where}; "
                    f"the first-index rule picks {records[0]['index']}",
                    {"picked": records[0]["index"], "indexes": records})]


def _yanked(name: str, version: str, index: str, page: ProjectPage) -> Finding | None:
    files = [f for f in page.files if f.version == version]
    if not files or not all(f.yanked for f in files):
        return None
    reason = next((f.yanked_reason for f in files if f.yanked_reason), None)
    why = f": {reason}" if reason else " (no reason given)"
    return Finding(name, "yanked", f"{name}=={version} is yanked at {mask_given_url(index)}{why}",
                   {"version": version, "index": mask_given_url(index), "reason": reason})


def findings_of(found: Survey, pinned_versions: Mapping[str, str] | None = None, routes: Any = None) -> list[Finding]:
    """The findings, by name in the order asked. ``pinned_versions``: the
    ``==`` pins of a requirements file, by normal name."""
    findings: list[Finding] = []
    for name, per_index in found.said.items():
        held = _holding(per_index)
        findings += _places(name, held, routes)
        version = (pinned_versions or {}).get(name)
        chosen = [(i, p) for i, p in held if routes is None or routes.allows(name, i)]
        if version is not None and chosen:
            yanked = _yanked(name, version, *chosen[0])
            if yanked is not None:
                findings.append(yanked)
        for index, page in held:
            if not page.active:
                reason = f": {page.status_reason}" if page.status_reason else ""
                findings.append(Finding(name, "status", f"{name} is {page.status} at {mask_given_url(index)}{reason}",
                                        {"status": page.status, "reason": page.status_reason,
                                         "index": mask_given_url(index)}))
    return findings
