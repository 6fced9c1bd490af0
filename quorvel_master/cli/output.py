"""What ``pkgindex`` prints on stdout: one ``show_*`` per command (lines of
text, tables), the raw answers as JSON, and the stream that writes them.

Every text goes out masked: an index URL keeps no password or token.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .._native import mask_given_url, mask_text

if TYPE_CHECKING:
    from .questions import Answer, Query


def table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip()

    return [line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows]


# -- answers ----------------------------------------------------------------------


def _nowhere(q: Query) -> str:
    if q.watch.failures:
        return "not found on the indexes that could be read"
    return "not found on any configured index"


def _source(q: Query, a: Answer) -> str | None:
    """The index that gave the answer, when it is not the one asked first."""
    if a.index is None or q.watch.is_first(a.index):
        return None
    return mask_given_url(a.index)


def _counted(q: Query, a: Answer, what: str) -> str:
    source = _source(q, a)
    return f"{q.subject}: {len(a.result)} {what}" + (f", from {source}" if source else "")


def show_versions(q: Query, a: Answer) -> list[str]:
    if a.found:
        return [_counted(q, a, "version(s), newest first")] + table(["VERSION"], [[v] for v in a.result])
    if a.extra:
        return [f"{q.subject}: no final releases, only {a.extra} pre-release(s) (--pre shows them)"]
    return [f"{q.subject}: {_nowhere(q)}"]


def show_find(q: Query, a: Answer) -> list[str]:
    if not a.found:
        return [f"{q.subject}: {_nowhere(q)}"]
    return table(["PACKAGE", "VERSION", "INDEX"], [[q.name, q.version or "(any)", a.result]])


def _show_empty(q: Query, a: Answer, what: str) -> list[str]:
    index = mask_given_url(a.index) if a.index else ""
    if a.empty == "none":
        return [f"{q.subject}: declares no {what} ({index})"]
    if a.empty == "unknown":
        return [f"{q.subject}: the index does not say which {what} it declares ({index})"]
    if a.empty == "unreadable":
        return [f"{q.subject}: found at {index}, but its {what} could not be read: {a.reason}"]
    return [f"{q.subject}: version {_nowhere(q)}"]


def show_extras(q: Query, a: Answer) -> list[str]:
    if a.empty:
        return _show_empty(q, a, "extras")
    return [_counted(q, a, "extra(s)")] + table(["EXTRA"], [[e] for e in a.result])


def _specifier(text: str) -> str:
    # Old metadata writes "name (>=1.0)"; the parentheses say nothing.
    return text[1:-1].strip() if text.startswith("(") and text.endswith(")") else text


def show_deps(q: Query, a: Answer) -> list[str]:
    if a.empty:
        return _show_empty(q, a, "requirements")
    rows = [
        [d.get("name", ""), _specifier(d.get("version_spec", "")) or "-",
         ",".join(d.get("extras") or []) or "-", d.get("markers", "") or "-"]
        for d in a.result
    ]
    return [_counted(q, a, "requirement(s)")] + table(["NAME", "VERSION", "EXTRAS", "MARKERS"], rows)


def show_info(q: Query, a: Answer) -> list[str]:
    if not a.found:
        return [f"{q.subject}: {_nowhere(q)}"]
    return table(["FIELD", "VALUE"], info_rows(q, a))


def info_rows(q: Query, a: Answer) -> list[list[str]]:
    """The rows of a found project's info: name, latest version, summary, and
    the index when it is not the first."""
    latest = a.result["latest_version"]
    if latest is None:
        latest = f"none final, only {a.extra} pre-release(s) (--pre shows them)" if a.extra else "none listed"
    summary = a.result.get("summary") or "(the index publishes none)"
    rows = [["name", str(a.result.get("name", ""))], ["latest_version", str(latest)], ["summary", str(summary)]]
    source = _source(q, a)
    if source:
        rows.append(["index", source])
    return rows


def show_installed(q: Query, a: Answer) -> list[str]:
    if a.found:
        shown = a.result
    elif a.extra is None:
        shown = "no (not installed)"
    else:
        shown = f"no ({a.extra} installed, does not satisfy it)"
    return table(["REQUIREMENT", "INSTALLED"], [[str(q.requirement), shown]])


# -- JSON ---------------------------------------------------------------------------


def to_jsonable(value: Any) -> Any:
    """Sets become sorted lists, recursively; every text is masked."""
    if isinstance(value, (set, frozenset)):
        return sorted(to_jsonable(v) for v in value)
    if isinstance(value, dict):
        return {str(k): to_jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_jsonable(v) for v in value]
    if isinstance(value, str):
        return mask_text(value)
    return value


def dump_json(value: Any) -> str:
    import json

    return json.dumps(to_jsonable(value), indent=2)


# -- stdout ---------------------------------------------------------------------------


class Output:
    """stdout, written whole and flushed at once. A reader that went away (a
    closed pipe) ends the output quietly."""

    def __init__(self) -> None:
        self.closed = False

    def write(self, lines: Sequence[str]) -> None:
        if self.closed:
            return
        try:
            sys.stdout.write("".join(mask_text(line) + "\n" for line in lines))
            sys.stdout.flush()
        except BrokenPipeError:
            self.closed = True
            # Nothing more reaches the reader; keep the interpreter's own
            # flush at exit from failing too.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
