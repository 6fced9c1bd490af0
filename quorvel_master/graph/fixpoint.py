"""The rounds: choices per target, iterated to a fixpoint over what was read.

A state holds, per target, the choice for every project in the graph. A
round walks the graph from the roots under the state's choices (a chosen
node's requirements, with its markers answered for the target and the
extras its incoming edges ask), then chooses again every project the walk
reached, from the specifiers of the edges into it. A project the walk no
longer reaches leaves the state; one that it reaches again is chosen anew.

The data a round needs (the pages of the reached projects, the requirements
of the chosen files) grows only, so rounds are pure functions of the state
and the data read so far. A *strict* round commits only when nothing it
needs is missing, which makes the sequence of states, and so the answer, a
function of what the indexes hold, whatever order the reads came back in. A
*partial* round goes on with what it has; the reader runs partial rounds to
learn early what to read next, then replays strict rounds for the answer.
"""

from __future__ import annotations

import dataclasses as dc
from collections import defaultdict, deque
from collections.abc import Sequence
from datetime import datetime

from .releases import Candidate, Chooser, Chosen, NoRelease, candidates
from .requirements import Dependency, NotFollowed, Parsed, Requirements
from .source import FileLike, ProjectLike
from .targets import Target

FileKey = tuple[str, str]          # (project, file URL)
Choice = Chosen | NoRelease
State = tuple[dict[str, Choice], ...]


@dc.dataclass(frozen=True)
class Page:
    """A project as read: its page, or why there is none."""
    project: ProjectLike | None
    failure: str | None = None     # why there is no page
    kind: str = "unreadable"       # or "left-out" (beyond the run's cap)


@dc.dataclass(frozen=True)
class Unknown:
    reason: str


class Data:
    """What the reads brought, keyed as they are asked."""

    def __init__(self) -> None:
        self.pages: dict[str, Page] = {}
        self.requirements: dict[FileKey, tuple[Parsed, ...] | Unknown] = {}


@dc.dataclass
class Walk:
    reached: dict[str, frozenset[str]] = dc.field(default_factory=dict)   # project: extras asked of it
    edges: list[tuple[str | None, Dependency]] = dc.field(default_factory=list)
    skipped: list[tuple[str, Parsed, str]] = dc.field(default_factory=list)
    missing: dict[FileKey, tuple[ProjectLike, FileLike]] = dc.field(default_factory=dict)


@dc.dataclass
class Step:
    state: State
    pages: set[str]
    files: dict[FileKey, tuple[ProjectLike, FileLike]]
    blocked: bool
    changed: bool


def file_key(name: str, choice: Chosen) -> FileKey:
    return (name, choice.file.url)


class Engine:
    def __init__(self, roots: Sequence[Dependency], targets: Sequence[Target], requirements: Requirements,
                 data: Data, *, pre: bool, as_of: datetime | None) -> None:
        self.roots, self.targets, self.requirements, self.data = tuple(roots), tuple(targets), requirements, data
        self._pre, self._as_of = pre, as_of
        self._candidates: dict[str, list[Candidate]] = {}
        self._choosers: dict[tuple[str, int], Chooser] = {}
        self._active: dict[tuple[int, FileKey, frozenset[str]], tuple[list[Dependency], list[tuple[Parsed, str]]]] = {}

    def empty(self) -> State:
        return tuple({} for _ in self.targets)

    # -- the walk ---------------------------------------------------------------

    def active(self, t: int, name: str, choice: Choice | None, extras: frozenset[str],
               walk: Walk) -> tuple[list[Dependency], list[tuple[Parsed, str]]]:
        """The requirements of a chosen node that hold on target *t*, and those not followed."""
        if not isinstance(choice, Chosen):
            return [], []
        key = file_key(name, choice)
        read = self.data.requirements.get(key)
        if read is None:
            project = self.data.pages[name].project
            assert project is not None
            walk.missing[key] = (project, choice.file)
            return [], []
        if isinstance(read, Unknown):
            return [], []
        memo = (t, key, extras)
        if memo not in self._active:
            follow: list[Dependency] = []
            skip: list[tuple[Parsed, str]] = []
            for item in read:
                holds = self.requirements.holds(item, t, extras)
                if holds is None:
                    skip.append((item, "its marker cannot be evaluated on the target"))
                elif holds and isinstance(item, NotFollowed):
                    skip.append((item, item.reason))
                elif holds and isinstance(item, Dependency):
                    follow.append(item)
            self._active[memo] = (follow, skip)
        return self._active[memo]

    def walk(self, t: int, choices: dict[str, Choice]) -> Walk:
        walk = Walk()
        reached = walk.reached
        queue: deque[str] = deque()

        def reach(deps: list[Dependency]) -> None:
            # the hot loop of a run: every edge of every round
            for dep in deps:
                have = reached.get(dep.name)
                if have is None:
                    reached[dep.name] = dep.extras
                    queue.append(dep.name)
                elif dep.extras and not dep.extras <= have:
                    reached[dep.name] = have | dep.extras
                    queue.append(dep.name)

        roots = [dep for dep in self.roots if self.requirements.holds(dep, t, frozenset())]
        reach(roots)
        while queue:
            name = queue.popleft()
            reach(self.active(t, name, choices.get(name), reached[name], walk)[0])
        walk.edges.extend((None, dep) for dep in roots)
        for name, extras in reached.items():
            follow, skip = self.active(t, name, choices.get(name), extras, walk)
            walk.edges.extend((name, dep) for dep in follow)
            walk.skipped.extend((name, item, reason) for item, reason in skip)
        return walk

    # -- the choice -------------------------------------------------------------

    def choose(self, t: int, name: str, specifiers: frozenset[str], current: Choice | None) -> Choice | None:
        """The project's choice on target *t*; None while its page is unread."""
        page = self.data.pages.get(name)
        if page is None:
            return None
        if page.failure is not None:
            return NoRelease(page.failure, kind=page.kind)
        if page.project is None:
            return NoRelease("no index holds it", kind="not-found")
        chooser = self._choosers.get((name, t))
        if chooser is None:
            if name not in self._candidates:
                self._candidates[name] = candidates(page.project, name)
            chooser = self._choosers[(name, t)] = Chooser(self._candidates[name], self.targets[t], self._as_of,
                                                          self._pre)
        return chooser.choose(specifiers, current.version if isinstance(current, Chosen) else None)

    def step(self, state: State, *, strict: bool) -> Step:
        """One round over every target."""
        new_state: list[dict[str, Choice]] = []
        pages: set[str] = set()
        files: dict[FileKey, tuple[ProjectLike, FileLike]] = {}
        blocked = False
        for t, choices in enumerate(state):
            walk = self.walk(t, choices)
            files.update(walk.missing)
            into: dict[str, set[str]] = defaultdict(set)
            for _, dep in walk.edges:
                into[dep.name].add(dep.specifier)
            chosen: dict[str, Choice] = {}
            for name in walk.reached:
                choice = self.choose(t, name, frozenset(into[name]), choices.get(name))
                if choice is None:
                    pages.add(name)
                    continue
                chosen[name] = choice
                page = self.data.pages[name]
                if isinstance(choice, Chosen) and file_key(name, choice) not in self.data.requirements:
                    assert page.project is not None
                    files[file_key(name, choice)] = (page.project, choice.file)
            blocked = blocked or bool(walk.missing) or bool(pages)
            new_state.append(chosen)
        result = state if strict and blocked else tuple(new_state)
        return Step(result, pages, files, blocked, result != state)


def signature(state: State) -> tuple[frozenset[tuple[str, str]], ...]:
    return tuple(frozenset((name, _shown(c)) for name, c in choices.items()) for choices in state)


def _shown(choice: Choice) -> str:
    return str(choice.version) if isinstance(choice, Chosen) else f"({choice.kind})"
