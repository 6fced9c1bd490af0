"""The release of a project chosen on a target, with pip's rules.

Versions come from the file names (wheel and sdist naming rules); files of
another project, and names neither rule reads, are left out. A file is usable
on a target when it was uploaded by the as-of time (a file without an upload
time is then left out), its requires-python admits the target's Python (an
unreadable one admits it, as pip does) and, for a wheel, one of its tags is
the target's. Among the usable files pip's finder and resolver rules pick:

- the specifiers of every edge into the project, as one set, filter the
  versions with pre-releases only under ``pre`` or when the set names one
  (``SpecifierSet.filter`` with ``prereleases=True`` or ``None``, pip's call);
- yanked files are left out, unless the set pins (``==`` without a wildcard,
  or ``===``) and every file left is yanked (PEP 592);
- the newest version wins; within it the wheel whose tag the target prefers,
  then a higher build tag; an sdist only when no wheel fits.

A version already chosen stays while it still passes: the graph re-chooses a
project only when an edge excludes its version.
"""

from __future__ import annotations

import dataclasses as dc
import functools
from collections.abc import Sequence
from datetime import datetime, timezone

from packaging.specifiers import InvalidSpecifier, SpecifierSet
from packaging.tags import Tag
from packaging.utils import (InvalidSdistFilename, InvalidWheelFilename, canonicalize_name, parse_sdist_filename,
                             parse_wheel_filename)
from packaging.version import InvalidVersion, Version

from .source import FileLike, ProjectLike
from .targets import Target

#: Versions named in the explanation of a failed choice.
EXPLAINED = 5


@dc.dataclass(frozen=True, eq=False)
class Candidate:
    version: Version
    file: FileLike
    tags: frozenset[Tag] | None        # None: an sdist
    build: tuple = ()
    requires_python: SpecifierSet | None = None


@dc.dataclass(frozen=True)
class Chosen:
    version: Version
    file: FileLike


@dc.dataclass(frozen=True)
class NoRelease:
    reason: str
    excluded: tuple[tuple[str, str], ...] = ()   # (version, why), newest first
    kind: str = "conflict"                       # or "not-found", "unreadable", "unsettled"
    # a conflict keeps the version chosen before it, so the edges that made
    # the conflict stay in the graph (dropping them would undo the conflict)
    kept: Chosen | None = None


# A page of a large project lists tens of thousands of wheels that share a
# few hundred name-version heads, tag sets and requires-python texts: each is
# parsed once (the same checks as parsing the whole name, by parts).

@functools.lru_cache(maxsize=8192)
def _wheel_head(head: str) -> tuple:
    return parse_wheel_filename(f"{head}-py3-none-any.whl")[:3]


@functools.lru_cache(maxsize=8192)
def _wheel_tags(tags: str) -> frozenset[Tag]:
    return frozenset(parse_wheel_filename(f"x-0-{tags}.whl")[3])


def parse_wheel(filename: str) -> tuple:
    """``parse_wheel_filename``, by parts: (name, version, build, tags)."""
    parts = filename[:-4].rsplit("-", 3) if filename.endswith(".whl") else []
    if len(parts) != 4:
        raise InvalidWheelFilename(f"not a wheel's file name: {filename!r}")
    return (*_wheel_head(parts[0]), _wheel_tags("-".join(parts[1:])))


#: The few names a page's files carry, each normalised once.
_canonical = functools.lru_cache(maxsize=4096)(canonicalize_name)


@functools.lru_cache(maxsize=8192)
def _accepts(tags: frozenset[Tag], target: Target) -> bool:
    return any(tag in target.priority for tag in tags)


@functools.lru_cache(maxsize=1024)
def _python(text: str) -> SpecifierSet | None:
    try:
        return SpecifierSet(text)
    except InvalidSpecifier:
        return None


@functools.lru_cache(maxsize=4096)
def _admits(python: SpecifierSet, version: Version) -> bool:
    return python.contains(version, prereleases=True)


def candidates(project: ProjectLike, name: str) -> list[Candidate]:
    """The files of a project page that name a version of *name*."""
    out = []
    for file in project.files:
        try:
            if file.filename.endswith(".whl"):
                found, version, build, tags = parse_wheel(file.filename)
            else:
                found, version = parse_sdist_filename(file.filename)
                build, tags = (), None
        except (InvalidWheelFilename, InvalidSdistFilename, InvalidVersion):
            continue
        if _canonical(found) != name:
            continue
        python = _python(file.requires_python) if file.requires_python else None
        out.append(Candidate(version, file, tags, tuple(build), python))
    return out


def unusable(candidate: Candidate, target: Target, as_of: datetime | None) -> str | None:
    """Why a file cannot be installed on the target, or None."""
    uploaded = candidate.file.upload_time
    if uploaded is not None and uploaded.tzinfo is None:
        uploaded = uploaded.replace(tzinfo=timezone.utc)   # a source that drops the zone means UTC
    if as_of is not None and uploaded is None:
        return "no upload time"
    if as_of is not None and uploaded is not None and uploaded > as_of:
        return "uploaded after the as-of time"
    if candidate.requires_python is not None and not _admits(candidate.requires_python, target.python):
        return f"needs Python {candidate.requires_python}"
    if candidate.tags is not None and not _accepts(candidate.tags, target):
        return "no wheel for the target"
    return None


def _rank(candidate: Candidate, target: Target) -> tuple:
    if candidate.tags is None:
        return (candidate.version, -len(target.tags), ())
    best = min(target.priority[tag] for tag in candidate.tags if tag in target.priority)
    return (candidate.version, -best, candidate.build)


def _joined(specifiers: frozenset[str]) -> SpecifierSet:
    return SpecifierSet(",".join(sorted(s for s in specifiers if s)))


def _pinned(specifiers: SpecifierSet) -> bool:
    return any(s.operator == "===" or (s.operator == "==" and not s.version.endswith(".*")) for s in specifiers)


class Chooser:
    """The choice for one project page on one target, memoized per set of specifiers."""

    def __init__(self, cands: Sequence[Candidate], target: Target, as_of: datetime | None, pre: bool) -> None:
        self._all = list(cands)
        self._usable = [c for c in self._all if unusable(c, target, as_of) is None]
        self._target, self._as_of, self._pre = target, as_of, pre
        self._memo: dict[frozenset[str], tuple[dict[Version, Candidate], Version] | NoRelease] = {}
        self._unyanked_finals = {c.version for c in self._usable if not c.file.yanked and not c.version.is_prerelease}
        self._finals: dict[str, frozenset[Version]] = {}
        # one Chosen per file, so that states compare by identity
        self._made: dict[Candidate, Chosen] = {}

    def choose(self, specifiers: frozenset[str], current: Version | None = None) -> Chosen | NoRelease:
        allowed = self._memo.get(specifiers)
        if allowed is None:
            allowed = self._memo[specifiers] = self._allowed(specifiers)
        if isinstance(allowed, NoRelease):
            return allowed
        files, newest = allowed
        return self._chosen(files[current if current is not None and current in files else newest])

    def roomy(self, specifiers: frozenset[str]) -> bool:
        """Whether a final, unyanked usable release passes every specifier: then
        any two of them leave a release together."""
        room: set[Version] | None = None
        for specifier in specifiers:
            finals = self._finals.get(specifier)
            if finals is None:
                finals = self._finals[specifier] = frozenset(
                    _joined(frozenset((specifier,))).filter(self._unyanked_finals, prereleases=False))
            room = set(finals) if room is None else room & finals
            if not room:
                return False
        return room is None and bool(self._unyanked_finals) or bool(room)

    def ordered(self, specifiers: frozenset[str]) -> list[Chosen]:
        """Every release the specifiers allow, newest first."""
        allowed = self._memo.get(specifiers)
        if allowed is None:
            allowed = self._memo[specifiers] = self._allowed(specifiers)
        if isinstance(allowed, NoRelease):
            return []
        files = allowed[0]
        return [self._chosen(files[v]) for v in sorted(files, reverse=True)]

    def _chosen(self, candidate: Candidate) -> Chosen:
        made = self._made.get(candidate)
        if made is None:
            made = self._made[candidate] = Chosen(candidate.version, candidate.file)
        return made

    def _filter(self, specifiers: frozenset[str], cands: list[Candidate]) -> list[Candidate]:
        versions = set(_joined(specifiers).filter({c.version for c in cands}, prereleases=True if self._pre else None))
        return [c for c in cands if c.version in versions]

    def _allowed(self, specifiers: frozenset[str]) -> tuple[dict[Version, Candidate], Version] | NoRelease:
        applicable = self._filter(specifiers, self._usable)
        take_yanked = _pinned(_joined(specifiers)) and all(c.file.yanked for c in applicable)
        best: dict[Version, Candidate] = {}
        for c in applicable:
            if c.file.yanked and not take_yanked:
                continue
            if c.version not in best or _rank(c, self._target) > _rank(best[c.version], self._target):
                best[c.version] = c
        return (best, max(best)) if best else self._explain(specifiers)

    def _explain(self, specifiers: frozenset[str]) -> NoRelease:
        if not self._all:
            return NoRelease("the index lists no file of it")
        matching = self._filter(specifiers, self._all)
        if not matching:
            return NoRelease("no release satisfies every specifier")
        why: dict[Version, set[str]] = {}
        for c in matching:
            reason = unusable(c, self._target, self._as_of) or ("yanked" if c.file.yanked else None)
            if reason:
                why.setdefault(c.version, set()).add(reason)
        newest = sorted(why, reverse=True)[:EXPLAINED]
        return NoRelease("no release that satisfies every specifier is usable on the target",
                         tuple((str(v), "; ".join(sorted(why[v]))) for v in newest))
