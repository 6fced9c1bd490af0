"""The rounds: choices per target, iterated to a fixpoint over what was read.

A state holds, per target, the choice for every project in the graph. A
round walks the graph from the roots under the state's choices (a chosen
node's requirements, with its markers answered for the target and the
extras its incoming edges ask), then chooses again every project the walk
reached, from the specifiers of the edges into it, passing over a release
whose requirements clash with another edge (as pip's resolver does before it
takes a candidate). A round redoes only what changed since the round before
(memory.py). A project the walk no longer reaches leaves the state; one that
it reaches again is chosen anew.

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
from collections import deque
from collections.abc import Sequence
from datetime import datetime
from typing import cast

from .memory import Decision, Into, Memory, followed
from .releases import Candidate, Chooser, Chosen, NoRelease, candidates
from .requirements import Dependency, NotFollowed, Parsed, Requirements
from .source import FileLike, ProjectLike
from .targets import Target

FileKey = tuple[str, str]          # (project, file URL)
Choice = Chosen | NoRelease
State = tuple[dict[str, Choice], ...]

#: Releases of one project tried, newest first, when their requirements clash.
TRIES = 100
#: Releases whose requirements are asked at once while trying them, at least:
#: as many as were tried already, so a long search takes few waits.
PREFETCH = 4


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
        self._memory = [Memory(data) for _ in self.targets]
        self._steps = 0

    def empty(self) -> State:
        return tuple({} for _ in self.targets)

    # -- the walk ---------------------------------------------------------------

    def active(self, t: int, name: str, choice: Choice | None, extras: frozenset[str],
               walk: Walk) -> tuple[list[Dependency], list[tuple[Parsed, str]]]:
        """The requirements of a chosen node that hold on target *t*, and those not followed."""
        if isinstance(choice, NoRelease):
            choice = choice.kept
        if choice is None:
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

    def chooser(self, t: int, name: str) -> Chooser | NoRelease | None:
        """The project's chooser on target *t*; why it has none; None while its page is unread."""
        chooser = self._choosers.get((name, t))
        if chooser is not None:
            return chooser
        page = self.data.pages.get(name)
        if page is None:
            return None
        if page.failure is not None:
            return NoRelease(page.failure, kind=page.kind)
        if page.project is None:
            return NoRelease("no index holds it", kind="not-found")
        if name not in self._candidates:
            self._candidates[name] = candidates(page.project, name)
        chooser = self._choosers[(name, t)] = Chooser(self._candidates[name], self.targets[t], self._as_of, self._pre)
        return chooser

    def choose(self, t: int, name: str, specifiers: frozenset[str], current: Choice | None,
               fits: Fits | None = None) -> Choice | None:
        """The project's choice on target *t*; None while its page is unread.

        The current version stays while every edge admits it and *fits* does
        not refuse it; else the newest release the edges admit whose own
        requirements *fits* takes (pip's resolver skips a candidate whose
        requirements clash with the others it holds). When *fits* refuses
        every one, the newest the edges admit, as when nothing is refused.
        """
        chooser = self.chooser(t, name)
        if not isinstance(chooser, Chooser):
            return chooser
        before = current.kept if isinstance(current, NoRelease) else current
        version = before.version if isinstance(before, Chosen) else None
        plain = chooser.choose(specifiers, version)
        if isinstance(plain, NoRelease):
            return dc.replace(plain, kept=before) if isinstance(before, Chosen) else plain
        if fits is None or (plain.version == version and fits.refused is None):
            return plain
        ordered = chooser.ordered(specifiers)[:TRIES]
        for tried, candidate in enumerate(ordered):
            verdict = fits(candidate)
            if verdict is None:
                # taken for now; when releases were passed over already and
                # its requirements are unread, the next few are asked too
                if tried and file_key(name, candidate) not in self.data.requirements:
                    fits.prefetch(ordered[tried + 1:tried + 1 + max(PREFETCH, tried)])
                return candidate
            if verdict:
                return candidate
        return plain

    def step(self, state: State, *, strict: bool) -> Step:
        """One round over every target.

        A round decides again only what may have changed: a project whose
        edges in, current choice or extras differ from when it was last
        decided, whose decision read the edges into a project that changed
        since, or that waited for a read. The rest keep their decision, which
        the same inputs would give again.
        """
        self._steps += 1
        new_state: list[dict[str, Choice]] = []
        pages: set[str] = set()
        files: dict[FileKey, tuple[ProjectLike, FileLike]] = {}
        pending = False
        for t, choices in enumerate(state):
            memory = self._memory[t]
            chosen, waiting, missing = self._round(t, choices, memory)
            new_state.append(chosen)
            pages |= waiting
            files.update(missing)
            # a kept decision that waits for a read asked for it when it was made
            pending = pending or memory.pending()
        blocked = bool(files) or bool(pages) or pending
        result = state if strict and blocked else tuple(new_state)
        return Step(result, pages, files, blocked, result != state)

    def _round(self, t: int, choices: dict[str, Choice], memory: Memory) -> tuple[dict[str, Choice], set[str], dict]:
        """One target's round: its new choices, the pages and files it waits for."""
        now = self._steps
        memory.arrivals()
        moved = memory.moved(choices)
        memory.walk(choices, moved, lambda name, choice, extras: self._follow(t, name, choice, extras),
                    lambda: self.walk(t, choices), now)
        memory.room(lambda name, into: self._roomy(t, name, into), now)
        walk = Walk(reached=memory.reached)
        for name, choice in memory.unread():
            release = followed(choice)
            if release is not None:
                self.wanted(name, release, walk)
        into, reached = memory.into, memory.reached
        # the verdicts on current releases, then the choices: only where
        # something they rest on may have changed
        refused = memory.kept_refused(moved)
        for name in memory.dirty("verdict", moved):
            current = choices.get(name)
            if not isinstance(current, Chosen):
                memory.waits["verdict"].discard(name)   # no verdict stands for it
            elif self._verdict(t, name, current, walk, memory) is False:
                refused.add(name)
        turned = memory.skipping(refused, now)
        chosen, waiting, unread = memory.kept_choices(moved | turned)
        for name in memory.dirty("choice", moved | turned):
            decided = self._decide(t, name, choices.get(name), reached[name], walk, into, refused, memory)
            if decided is None:
                waiting.add(name)
                continue
            chosen[name] = decided
            if isinstance(decided, Chosen) and file_key(name, decided) not in self.data.requirements:
                unread.add(name)
        for name in unread:
            picked = chosen[name]
            if isinstance(picked, Chosen):
                self.wanted(name, picked, walk)
        memory.done(choices, chosen, waiting, unread)
        return chosen, waiting, walk.missing

    def _verdict(self, t: int, name: str, choice: Chosen, walk: Walk, memory: Memory) -> bool | None:
        """Whether the current release of a project is taken beside the other edges."""
        extras = memory.reached[name]
        known = memory.verdicts.get(name)
        if known is not None and memory.holds("verdict", name, known, choice, extras):
            walk.missing.update(known.asked)
            return cast("bool | None", known.choice)
        fits = Fits(self, t, name, walk, memory.into, frozenset(), memory)
        fits.own = True
        verdict = fits(choice)
        memory.record("verdict", name, fits.decision(self._steps, choice, extras, False, verdict))
        return verdict

    def _decide(self, t: int, name: str, current: Choice | None, extras: frozenset[str], walk: Walk, into: Into,
                refused: set[str], memory: Memory) -> Choice | None:
        known = memory.decisions.get(name)
        if known is not None and known.refused == (name in refused) \
                and memory.holds("choice", name, known, current, extras):
            walk.missing.update(known.asked)
            return cast("Choice | None", known.choice)
        fits = Fits(self, t, name, walk, into, refused, memory)
        fits.keyed.add(name)        # the specifiers into it
        if name in refused:
            fits.refused = current
        choice = self.choose(t, name, frozenset(into.get(name, ())), current, fits)
        if choice is None:
            fits.pages.add(name)
        memory.record("choice", name, fits.decision(self._steps, current, extras, name in refused, choice))
        return choice

    def _follow(self, t: int, name: str, choice: Choice | None, extras: frozenset[str]) -> list[Dependency] | None:
        """The requirements a node follows; None while they are unread."""
        chosen = followed(choice)
        if chosen is not None and file_key(name, chosen) not in self.data.requirements:
            return None
        return self.active(t, name, choice, extras, Walk())[0]

    def _roomy(self, t: int, name: str, into: dict[str, set[str | None]]) -> bool | None:
        """Whether a final, unyanked release passes every edge into the project
        (None while its page is unread)."""
        chooser = self.chooser(t, name)
        if not isinstance(chooser, Chooser):
            return None if chooser is None else False
        return chooser.roomy(frozenset(into))

    def wanted(self, name: str, choice: Chosen, walk: Walk) -> None:
        """Asks for the requirements of a chosen file not read yet."""
        key = file_key(name, choice)
        if key not in self.data.requirements:
            project = self.data.pages[name].project
            assert project is not None
            walk.missing[key] = (project, choice.file)


class Fits:
    """Whether a release of *name* may be chosen beside the other edges of the
    walk: refused when one of its requirements clashes with another edge into
    the same project (each alone leaves a release, together none); None while
    something it needs is unread. Edges from *skip* (projects whose current
    choice is refused, so about to change) are not held against it."""

    def __init__(self, engine: Engine, t: int, name: str, walk: Walk, into: Into, skip: set[str] | frozenset[str],
                 memory: Memory) -> None:
        self.engine, self.t, self.name, self.walk, self.into, self.skip = engine, t, name, walk, into, skip
        self.memory = memory
        self.refused: Choice | None = None
        # what the verdicts read: the projects whose edges in they looked at,
        # and whether something was unread (then they are not kept)
        self.keyed: set[str] = set()
        self.consulted: set[str] = set()
        self.roomed: set[str] = set()
        # the verdict on the current release: its own edges are among those
        # into each project, so a roomy project needs no more reading
        self.own = False
        # what was unread: the pages met, the requirements asked
        self.pages: set[str] = set()
        self.asked: dict[FileKey, tuple[ProjectLike, FileLike]] = {}

    def __call__(self, choice: Chosen) -> bool | None:
        if choice is self.refused:
            return False
        engine, name = self.engine, self.name
        read = engine.data.requirements.get(file_key(name, choice))
        if read is None:
            self.ask(choice)
            return None
        if isinstance(read, Unknown):
            return True
        follow = engine.active(self.t, name, choice, self.walk.reached.get(name, frozenset()), self.walk)[0]
        unknown = False
        for dep in follow:
            into = self.into.get(dep.name)
            if dep.name == name:
                continue
            if into is not None and dep.specifier in into and self.memory.roomy.get(dep.name):
                (self.roomed if self.own else self.consulted).add(dep.name)
                continue
            self.consulted.add(dep.name)
            if into is None or len(into) < 2:
                continue
            others = [spec for spec, sources in into.items()
                      if spec != dep.specifier and any(s != name and s not in self.skip for s in sources)]
            for other in others:
                clash = self.clash(dep.name, dep.specifier, other)
                if clash:
                    return False
                if clash is None:
                    unknown = True
                    self.pages.add(dep.name)
        return None if unknown else True

    def clash(self, project: str, one: str, other: str) -> bool | None:
        chooser = self.engine.chooser(self.t, project)
        if chooser is None:
            return None
        if not isinstance(chooser, Chooser):
            return False
        together = chooser.choose(frozenset((one, other)))
        return (isinstance(together, NoRelease) and isinstance(chooser.choose(frozenset((one,))), Chosen)
                and isinstance(chooser.choose(frozenset((other,))), Chosen))

    def prefetch(self, choices: Sequence[Chosen]) -> None:
        for choice in choices:
            if file_key(self.name, choice) not in self.engine.data.requirements:
                self.ask(choice)

    def ask(self, choice: Chosen) -> None:
        self.engine.wanted(self.name, choice, self.walk)
        key = file_key(self.name, choice)
        self.asked[key] = self.walk.missing[key]

    def decision(self, made: int, current: Choice | None, extras: frozenset[str], refused: bool,
                 choice: Choice | bool | None) -> Decision:
        return Decision(made, current, extras, refused, self.keyed, self.consulted, self.roomed, self.pages, self.asked,
                        choice)


def signature(state: State) -> tuple[frozenset[tuple[str, str]], ...]:
    return tuple(frozenset((name, _shown(c)) for name, c in choices.items()) for choices in state)


def _shown(choice: Choice) -> str:
    return str(choice.version) if isinstance(choice, Chosen) else f"({choice.kind})"
