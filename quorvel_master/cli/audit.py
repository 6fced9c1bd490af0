"""``pkgindex audit [NAME ...] [-r REQUIREMENTS_FILE]``: every configured index
asked about every name, and what a user should know about the answers
(quorvel_master.indexdata.audit). Pinned names are asked of every index too:
whether another index holds them is the question.

Exit status: 0 no finding, 1 findings, 2 usage, 3 an index could not be read.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

from .._native import mask_given_url
from .arguments import EXIT_FOUND, EXIT_NOT_FOUND, EXIT_UNREADABLE, UsageError, project_name
from .netrun import asked_indexes, run_on_network
from .output import Output, dump_json

if TYPE_CHECKING:
    from .config import Indexes
    from .console import Console

#: The largest requirements file read.
REQUIREMENTS_MAX_BYTES = 4 * 1024 * 1024


def read_requirements(path: str) -> tuple[list[str], dict[str, str]]:
    """The names of a requirements file, and the ``==`` pins by normal name.
    Option lines (``-r``, ``--index-url``, ...) and comments are left out."""
    from packaging.requirements import InvalidRequirement, Requirement
    from packaging.utils import canonicalize_name

    try:
        with open(path, "rb") as file:
            raw = file.read(REQUIREMENTS_MAX_BYTES + 1)
    except OSError as exc:
        raise UsageError(f"cannot read requirements file {path}: {exc.strerror or exc}") from None
    if len(raw) > REQUIREMENTS_MAX_BYTES:
        raise UsageError(f"requirements file {path} is larger than {REQUIREMENTS_MAX_BYTES} bytes")
    names: list[str] = []
    pins: dict[str, str] = {}
    for number, line in enumerate(raw.decode("utf-8", "replace").splitlines(), 1):
        text = line.split(" #", 1)[0].strip()
        if not text or text.startswith(("#", "-")):
            continue
        try:
            req = Requirement(text)
        except InvalidRequirement as exc:
            raise UsageError(f"{path}:{number}: not a requirement: {str(exc).splitlines()[0]}") from None
        name = canonicalize_name(req.name)
        names.append(name)
        exact = [s.version for s in req.specifier if s.operator == "==" and "*" not in s.version]
        if exact:
            pins[name] = exact[0]
    return names, pins


def audit(args: argparse.Namespace, console: Console, indexes: Indexes) -> int:
    from ..indexdata.audit import findings_of, survey

    names = [project_name(n) for n in getattr(args, "names", None) or []]
    pinned_versions: dict[str, str] = {}
    for path in getattr(args, "requirement", None) or []:
        listed, pins = read_requirements(path)
        names += listed
        pinned_versions.update(pins)
    if not names:
        raise UsageError("audit needs a NAME or a requirements file (-r FILE)")
    async def work(network: Any) -> tuple[Any, Any]:
        return await survey(network, asked_indexes(indexes, every=True), names, routes=network.routes), network.routes

    found, routes = run_on_network(args, console, indexes, work)
    findings = findings_of(found, pinned_versions, routes)
    unreadable = found.unreadable()
    if getattr(args, "json", False):
        Output().write([dump_json({
            "findings": [f.to_json() for f in findings],
            "unreadable": [{"index": mask_given_url(e.index_url or ""), "page": mask_given_url(e.page_url),
                            "kind": e.kind, "reason": e.reason} for e in unreadable],
            "indexes": [mask_given_url(url) for url in found.indexes],
        })])
    else:
        Output().write([f"{f.kind}: {f.text}" for f in findings])
    if not findings:
        console.say(f"no findings: {len(found.said)} name(s) on {len(found.indexes)} index(es)")
    by_index: dict[str, list[Any]] = {}
    for error in unreadable:
        by_index.setdefault(error.index_url or error.page_url, []).append(error)
    for index, errors in by_index.items():
        console.error(f"could not read {mask_given_url(index)} about {len(errors)} name(s): {errors[0].reason}")
    if unreadable:
        return EXIT_UNREADABLE
    return EXIT_NOT_FOUND if findings else EXIT_FOUND
