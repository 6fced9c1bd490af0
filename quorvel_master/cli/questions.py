"""The questions ``pkgindex`` puts to the client, one ``ask_*`` per command:
the client's answer, which index gave it, and what explains an empty one.

The client is the command line's own subclass (watch.py), which records the
index each answer came from; these functions only ask and sort the answers.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

from .._native import mask_given_url

if TYPE_CHECKING:
    from .watch import Watch


class Query:
    """One question: the checked arguments and what the run offers to answer it."""

    def __init__(self, command: Any, values: dict[str, Any], args: argparse.Namespace, watch: Watch) -> None:
        #: The row of the command table (commands.Command) being asked.
        self.command = command
        self.name: str = values.get("name", "")
        self.version: str | None = values.get("version")
        self.requirement: Any = values.get("requirement")
        self.pre = bool(getattr(args, "pre", False))
        #: --as-of: an aware datetime, or None for today's answer.
        self.as_of: Any = getattr(args, "as_of", None)
        #: Lines for stderr, said once the answer is shown.
        self.remarks: list[str] = []
        #: Project pages read for this question, by normalized index URL.
        self.pages: dict[str, Any] = {}
        self.watch = watch

    @property
    def subject(self) -> str:
        return " ".join(p for p in (self.name, self.version) if p) or str(self.requirement)


class Answer:
    """What a command found: the raw result (for --json), whether it counts as
    found, the index it is about (as configured: masked when shown), and what
    explains an empty one.

    ``empty`` is None for an answer with something in it, else ``"none"``
    (the index says there is nothing), ``"unknown"`` (the index does not say),
    ``"unreadable"`` (found, but what it declares could not be read) or
    ``"missing"`` (no index has the version).
    """

    def __init__(self, result: Any, found: bool, *, empty: str | None = None, index: str | None = None,
                 reason: str | None = None, extra: Any = None) -> None:
        self.result, self.found = result, found
        self.empty, self.index, self.reason, self.extra = empty, index, reason, extra
        self.seconds = 0.0


def _is_prerelease(version: str) -> bool:
    from packaging.version import InvalidVersion, Version

    try:
        return Version(version).is_prerelease
    except InvalidVersion:
        return False


async def ask_versions(client: Any, q: Query) -> Answer:
    versions, index = await client.answer(client.get_versions(q.name))
    shown = versions if q.pre else [v for v in versions if not _is_prerelease(v)]
    return Answer(shown, bool(shown), index=index, extra=len(versions) - len(shown))


async def ask_find(client: Any, q: Query) -> Answer:
    if q.version is None:
        url = await client.find_repo_for_package(q.name)
    else:
        url = await client.find_repo_for_package_version(q.name, q.version)
    # --json prints the result: the URL as configured, masked.
    return Answer(mask_given_url(url) if url else None, url is not None, index=url)


async def _explain_empty(client: Any, q: Query, result: Any) -> Answer:
    """An empty list of extras or requirements: does the version exist, and
    could what it declares be read?"""
    where = await client.find_repo_for_package_version(q.name, q.version)
    if where is None:
        return Answer(result, False, empty="missing")
    reason = q.watch.failure_of(where) or q.watch.note_of(where)
    if reason is not None:
        return Answer(result, False, empty="unreadable", index=where, reason=reason)
    return Answer(result, True, empty="none", index=where)


async def _explain_silent(client: Any, q: Query, result: Any) -> Answer:
    # The client answers an empty list for a document whose requirements are
    # null as well (its extras come from them); the document it kept tells
    # the two apart. Extras keep no document: the requirements' question keeps
    # it (the layer's cache answers the second request).
    silent = client.silent_on_requirements(q.name, q.version)
    if silent is None and q.command.name == "extras":
        where = await client.find_repo_for_package_version(q.name, q.version)
        if where is not None and client._get_api_pattern_for_index(where):
            await client._get_dependencies_from_index(q.name, q.version, where)
            silent = client.silent_on_requirements(q.name, q.version)
    if silent is not None:
        return Answer(result, False, empty="unknown", index=silent)
    return await _explain_empty(client, q, result)


async def ask_extras(client: Any, q: Query) -> Answer:
    extras, index = await client.answer(client.get_extras(q.name, q.version))
    return Answer(extras, True, index=index) if extras else await _explain_silent(client, q, extras)


async def ask_deps(client: Any, q: Query) -> Answer:
    deps, index = await client.answer(client.get_dependencies(q.name, q.version))
    return Answer(deps, True, index=index) if deps else await _explain_silent(client, q, deps)


async def ask_installed(client: Any, q: Query) -> Answer:
    req = q.requirement
    extras = sorted(req.extras) or None
    result = client.check_specifier_in_dist(req.name, str(req.specifier), extras)
    if result is not None:
        return Answer(result, True)
    installed = client.check_specifier_in_dist(req.name, "", None)
    return Answer(None, False, extra=installed)
