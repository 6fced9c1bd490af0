"""Requirement strings: parsed once, their markers answered once per target.

A run meets the same strings thousands of times (every release of a
project repeats most of its requirements), so each string is parsed once and
each marker evaluated once per target and extra. Strings that do not parse,
and direct URL references, are not followed: they come back as reasons.
"""

from __future__ import annotations

import dataclasses as dc
from collections.abc import Sequence

from packaging.markers import Marker
from packaging.requirements import InvalidRequirement, Requirement
from packaging.utils import canonicalize_name

from .targets import Target


@dc.dataclass(frozen=True)
class Dependency:
    """One followed requirement: the project it names and what it asks."""
    text: str
    name: str                 # PEP 503 form
    specifier: str
    extras: frozenset[str]    # PEP 685 form
    marker: Marker | None

    @property
    def marker_text(self) -> str | None:
        return None if self.marker is None else str(self.marker)


@dc.dataclass(frozen=True)
class NotFollowed:
    text: str
    reason: str
    marker: Marker | None = None


Parsed = Dependency | NotFollowed


class Requirements:
    """The memo of one run: parsed strings and marker answers per target."""

    def __init__(self, targets: Sequence[Target]) -> None:
        self._targets = tuple(targets)
        self._parsed: dict[str, Parsed] = {}
        self._answers: dict[tuple[int, int, str], bool | None] = {}

    def parse(self, text: str) -> Parsed:
        known = self._parsed.get(text)
        if known is None:
            known = self._parsed[text] = _parse(text)
        return known

    def holds(self, item: Parsed, target: int, extras: frozenset[str]) -> bool | None:
        """Whether *item*'s marker holds on the target for a node asked with
        *extras*; None when the marker cannot be evaluated there."""
        if item.marker is None:
            return True
        answers = [self._answer(item.marker, target, extra) for extra in ("", *sorted(extras))]
        if True in answers:
            return True
        return None if None in answers else False

    def _answer(self, marker: Marker, target: int, extra: str) -> bool | None:
        key = (id(marker), target, extra)
        if key not in self._answers:
            environment = dict(self._targets[target].environment)
            environment["extra"] = extra
            try:
                self._answers[key] = marker.evaluate(environment)
            except Exception:  # packaging raises several kinds for markers it cannot compare
                self._answers[key] = None
        return self._answers[key]


def _parse(text: str) -> Parsed:
    try:
        requirement = Requirement(text)
    except InvalidRequirement as error:
        first = str(error).splitlines()[0] if str(error) else "not a requirement"
        return NotFollowed(text, f"does not parse: {first}")
    if requirement.url:
        return NotFollowed(text, "a direct URL reference, not looked up", requirement.marker)
    return Dependency(text, canonicalize_name(requirement.name), str(requirement.specifier),
                      frozenset(canonicalize_name(e) for e in requirement.extras), requirement.marker)
