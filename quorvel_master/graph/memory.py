"""What one target's rounds keep from the round before, so a round touches
only what changed.

The walk is kept whole: the projects reached with their extras, each one's
followed requirements, and the edges into each project. A round first redoes
the requirements of the projects whose choice changed or whose requirements
were read since; while that only adds edges (a read came in, an extra is
asked), it walks on from the new edges alone. An edge that goes (a choice
moved) can leave projects unreached, which only a walk from the roots can
tell: then the round walks from the roots again.

A decision (a project's choice, or whether its current release is refused)
records the round it was made in, what it started from and the projects
whose edges in it read, and goes stale in the round one of those changes. It
is kept while it is not stale, it starts from the same choice and extras,
and none of the reads it waited for came in.
"""

from __future__ import annotations

import dataclasses as dc
from collections import deque
from collections.abc import Callable
from itertools import islice
from typing import TYPE_CHECKING

from .releases import Chosen, NoRelease
from .requirements import Dependency

if TYPE_CHECKING:
    from .fixpoint import Choice, Data, Walk

#: Rounds keep the decisions and the walk whose inputs did not change (False:
#: every round does all again, the reference the kept work must agree with).
INCREMENTAL = True

Into = dict[str, dict[str, set[str | None]]]     # project: specifier: the projects (None: a root) asking it
Active = Callable[[str, "Choice | None", frozenset[str]], "list[Dependency] | None"]   # None: unread


@dc.dataclass(frozen=True, eq=False)
class Decision:
    """What a round decided for one project, and what that rested on."""
    made: int                          # the round it was made in
    current: Choice | None             # the choice it started from
    extras: frozenset[str]
    refused: bool
    keyed: set[str]                    # the projects whose specifiers in it read
    consulted: set[str]                # the projects whose edges in (with their sources) it read
    roomed: set[str]                   # the projects it read only as roomy
    pages: set[str]                    # the unread pages it met
    asked: dict                        # the unread requirements it asked for (FileKey: project, file)
    choice: Choice | bool | None


@dc.dataclass
class Out:
    """A reached project's followed requirements, and what they came from."""
    choice: Choice | None
    extras: frozenset[str]
    follow: list[Dependency] | None    # None: the chosen file's requirements are unread


class Memory:
    def __init__(self, data: Data) -> None:
        self.data = data
        self.reached: dict[str, frozenset[str]] = {}
        self.out: dict[str, Out] = {}
        self.into: Into = {}
        self.refused: set[str] = set()
        # who read what: project -> the (kind, name) of the records that read
        # its edges in, only its specifiers, or only its roomy flag; a record
        # goes stale in the round what it read changes
        self.readers: dict[str, set[tuple[str, str]]] = {}
        self.roomy_readers: dict[str, set[tuple[str, str]]] = {}
        self.key_readers: dict[str, set[tuple[str, str]]] = {}
        self.stale: dict[tuple[str, str], int] = {}
        self.decisions: dict[str, Decision] = {}
        self.verdicts: dict[str, Decision] = {}
        # per project: whether a final, unyanked release passes every edge
        # into it (then no two of them clash); None while its page is unread
        self.roomy: dict[str, bool | None] = {}
        self.touched: set[str] = set()         # the projects whose edges in changed this round
        self.regrown: set[str] = set()         # the projects reached anew, or with other extras, this round
        # the round before: its choices in and out, the extras asked, the
        # projects waiting for their page and those whose choice is unread
        self.last_in: dict[str, Choice] = {}
        self.last_out: dict[str, Choice] = {}
        self.last_reached: dict[str, frozenset[str]] = {}
        self.last_waiting: set[str] = set()
        self.last_unread: set[str] = set()
        self.marked: dict[str, set[str]] = {"verdict": set(), "choice": set()}   # gone stale this round
        self.waits: dict[str, set[str]] = {"verdict": set(), "choice": set()}    # records waiting for a read
        self.waits_on: dict[object, set[tuple[str, str]]] = {}                 # a page or file: who waits for it
        self.arrived = (0, 0)                  # the pages and requirements seen in
        self.unread_out: set[str] = set()      # reached projects whose followed requirements are unread

    # -- the walk ---------------------------------------------------------------

    def arrivals(self) -> None:
        """Marks the records that waited for a page or requirements read since."""
        pages, requirements = self.data.pages, self.data.requirements
        seen_pages, seen_files = self.arrived
        for key in (*islice(pages, seen_pages, None), *islice(requirements, seen_files, None)):
            for kind, name in self.waits_on.pop(key, ()):
                self.marked[kind].add(name)
        self.arrived = (len(pages), len(requirements))

    def pending(self) -> bool:
        """Whether a kept record of a reached project waits for a read."""
        reached = self.reached
        return any(name in reached for names in self.waits.values() for name in names)

    def moved(self, choices: dict[str, Choice]) -> set[str]:
        """The projects whose choice in differs from the round before's."""
        if not INCREMENTAL:
            return set(choices) | set(self.last_in) | set(self.reached)
        last = self.last_in
        moved = {name for name, choice in choices.items() if last.get(name) is not choice}
        moved.update(name for name in last if name not in choices)
        return moved

    def walk(self, choices: dict[str, Choice], moved: set[str], active: Active, whole: Callable[[], Walk],
             now: int) -> None:
        """Brings the kept walk to *choices*: by its new edges when the round
        only adds some, else by *whole* (a walk from the roots)."""
        self.touched, self.regrown = set(), set()
        if INCREMENTAL and self.out and self._grow(choices, moved, active, now):
            return
        walk = whole()
        self.reached = walk.reached
        last = self.last_reached
        self.regrown = {name for name, extras in walk.reached.items() if last.get(name) != extras}
        self.out = {name: Out(choices.get(name), extras, active(name, choices.get(name), extras))
                    for name, extras in walk.reached.items()}
        self.unread_out = {name for name, out in self.out.items() if out.follow is None}
        self._edges_in(walk, now)

    def _grow(self, choices: dict[str, Choice], moved: set[str], active: Active, now: int) -> bool:
        queue: deque[str] = deque(name for name in self.unread_out | moved if name in self.out)
        while queue:
            name = queue.popleft()
            choice, extras, out = choices.get(name), self.reached[name], self.out.get(name)
            follow = active(name, choice, extras)
            before = out.follow if out is not None and out.follow is not None else []
            if follow is not before:
                known = {id(dep) for dep in follow or ()}
                if any(id(dep) not in known for dep in before):
                    return False         # an edge goes: the walk is redone from the roots
                had = {id(dep) for dep in before}
                for dep in follow or ():
                    if id(dep) not in had:
                        self._add(name, dep, queue, now)
            self.out[name] = Out(choice, extras, follow)
            if follow is None:
                self.unread_out.add(name)
            else:
                self.unread_out.discard(name)
        return True

    def _add(self, source: str, dep: Dependency, queue: deque[str], now: int) -> None:
        specifiers = self.into.setdefault(dep.name, {})
        self._changed(dep.name, now, keys=dep.specifier not in specifiers)
        specifiers.setdefault(dep.specifier, set()).add(source)
        have = self.reached.get(dep.name)
        if have is None:
            self.reached[dep.name] = dep.extras
        elif dep.extras and not dep.extras <= have:
            self.reached[dep.name] = have | dep.extras
        else:
            return
        self.regrown.add(dep.name)
        queue.append(dep.name)

    def _edges_in(self, walk: Walk, now: int) -> None:
        into: Into = {}
        for source, dep in walk.edges:
            into.setdefault(dep.name, {}).setdefault(dep.specifier, set()).add(source)
        before = self.into
        for name, specifiers in into.items():
            had = before.get(name)
            if had != specifiers:
                self._changed(name, now, keys=had is None or had.keys() != specifiers.keys())
        for name in before.keys() - into.keys():
            self._changed(name, now, keys=True)
        self.into = into

    def unread(self) -> list[tuple[str, Choice]]:
        """The reached projects whose chosen file's requirements are unread."""
        out = []
        for name in self.unread_out:
            choice = self.out[name].choice
            if choice is not None:
                out.append((name, choice))
        return out

    # -- what a round redoes ----------------------------------------------------

    def _changed_reach(self, moved: set[str]) -> set[str]:
        """*moved*, and the projects reached anew or asked other extras."""
        if not INCREMENTAL:
            return set(self.reached)
        return {name for name in moved if name in self.reached} | self.regrown

    def kept_refused(self, moved: set[str]) -> set[str]:
        """The refused of the round before that no change touches."""
        if not INCREMENTAL:
            return set()
        self.base = self._changed_reach(moved)
        return {name for name in self.refused
                if name in self.reached and name not in self.base and name not in self.marked["verdict"]}

    def dirty(self, kind: str, moved: set[str]) -> list[str]:
        """The reached projects whose record of *kind* may not hold this round."""
        if not INCREMENTAL:
            return list(self.reached)
        names = self._changed_reach(moved) if kind == "choice" else self.base
        names = names | self.marked[kind]
        return [name for name in names if name in self.reached]

    def kept_choices(self, moved: set[str]) -> tuple[dict[str, Choice], set[str], set[str]]:
        """The choices, pages waited for and unread choices of the round before
        that no change touches."""
        if not INCREMENTAL:
            return {}, set(), set()
        skip = self._changed_reach(moved) | self.marked["choice"]
        reached = self.reached
        chosen = {name: choice for name, choice in self.last_out.items() if name in reached and name not in skip}
        waiting = {name for name in self.last_waiting if name in reached and name not in skip}
        unread = set()
        for name in self.last_unread:
            choice = chosen.get(name)
            if isinstance(choice, Chosen) and (name, choice.file.url) not in self.data.requirements:
                unread.add(name)
        return chosen, waiting, unread

    def done(self, choices: dict[str, Choice], chosen: dict[str, Choice], waiting: set[str], unread: set[str]) -> None:
        self.last_in, self.last_out, self.last_reached = choices, chosen, dict(self.reached)
        self.last_waiting, self.last_unread = waiting, unread
        self.marked = {"verdict": set(), "choice": set()}

    # -- the decisions ----------------------------------------------------------

    def skipping(self, refused: set[str], now: int) -> set[str]:
        """Edges from a project refused now and not before, or the reverse,
        count as changed for the verdicts that skip them."""
        turned = refused ^ self.refused
        for name in turned:
            out = self.out.get(name)
            if out is not None and out.follow:
                for dep in out.follow:
                    self._changed(dep.name, now, keys=False)
        self.refused = refused
        return turned

    def _changed(self, name: str, now: int, *, keys: bool = False, roomy: bool = False) -> None:
        """Marks stale the records that read what changed of the project's
        edges in: their specifiers (*keys*), their sources, or its roomy flag."""
        if not roomy:
            self.touched.add(name)
        kinds = (self.roomy_readers,) if roomy else (self.readers, self.key_readers) if keys else (self.readers,)
        for readers in kinds:
            for reader in readers.get(name, ()):
                self.stale[reader] = now
                self.marked[reader[0]].add(reader[1])

    def record(self, kind: str, name: str, known: Decision) -> Decision:
        """Keeps a decision ("choice") or a verdict on the current release ("verdict")."""
        (self.decisions if kind == "choice" else self.verdicts)[name] = known
        if known.pages or known.asked:
            self.waits[kind].add(name)
            for key in (*known.pages, *known.asked):
                self.waits_on.setdefault(key, set()).add((kind, name))
        else:
            self.waits[kind].discard(name)
        for project in known.consulted:
            self.readers.setdefault(project, set()).add((kind, name))
        for project in known.keyed:
            self.key_readers.setdefault(project, set()).add((kind, name))
        for project in known.roomed:
            self.roomy_readers.setdefault(project, set()).add((kind, name))
        return known

    def holds(self, kind: str, name: str, known: Decision, current: Choice | None, extras: frozenset[str]) -> bool:
        """Whether a decision would come out the same now."""
        if not INCREMENTAL or not (known.current is current or known.current == current) or known.extras != extras:
            return False
        if known.pages and not known.pages.isdisjoint(self.data.pages.keys()):
            return False
        if known.asked and any(key in self.data.requirements for key in known.asked):
            return False
        return self.stale.get((kind, name), 0) <= known.made

    def room(self, roomy: Callable[[str, dict[str, set[str | None]]], bool | None], now: int) -> None:
        """Brings the roomy flags of the projects whose edges in changed (or
        whose page was unread) up to this round; *roomy* answers None while
        the page is unread."""
        for name in self.touched | {name for name, flag in self.roomy.items() if flag is None}:
            into = self.into.get(name)
            flag = roomy(name, into) if into else False
            if flag != self.roomy.get(name):
                self.roomy[name] = flag
                self._changed(name, now, roomy=True)


def followed(choice: Choice | None) -> Chosen | None:
    """The release whose requirements a choice follows (a conflict: the one it keeps)."""
    return choice.kept if isinstance(choice, NoRelease) else choice
