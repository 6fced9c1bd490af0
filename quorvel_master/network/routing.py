"""Which indexes may be asked about a project, and when asking must stop.

One decision, made here for every caller: the client's walk (through
:class:`~quorvel_master.network.layer.NetworkClient`), a host's own reader,
``pkgindex audit`` and the dependency tree all ask :class:`Routes`.

- A pin sends a project to one index alone, whatever the configured order. A
  pin names a project or a glob (``acme-*``); both are compared on the PEP 503
  normal form. An exact name wins over a glob; among globs the first given wins.
- Fail-closed: an index that could not be read about a project (a failed
  outcome: refused, timed out, TLS, 401, 403, 5xx after the retries, an
  unusable body) ends the question about that project; no later index hears
  of it. Without it, a failing index hands the question to the next one, which
  is how a private name leaks to a public index.
"""

from __future__ import annotations

import contextlib
import dataclasses as dc
import fnmatch
import threading
from collections.abc import Iterable, Iterator, Sequence
from typing import Any
from urllib.parse import urlsplit

from .outcomes import Outcome
from .urls import index_key, mask_given_url, masked_repr, without_credentials

__all__ = ["FailureWatch", "IndexUnreadable", "Pin", "Routes", "same_index"]


def canonicalize_name(name: str) -> str:
    """The PEP 503 normal form (packaging's; imported when first needed, since
    the layer is imported by the command line's help too)."""
    from packaging.utils import canonicalize_name as normal

    return normal(name)


def same_index(a: str, b: str) -> bool:
    """Two index URLs name the same index (credentials and trailing slashes aside)."""
    return index_key(without_credentials(a)) == index_key(without_credentials(b))


@dc.dataclass(frozen=True, repr=False)
class Pin:
    """``pattern`` (a project name or a glob) is asked of ``index_url`` alone."""

    pattern: str
    index_url: str

    __repr__ = masked_repr

    def __post_init__(self) -> None:
        if not self.pattern or not self.index_url:
            raise ValueError("a pin needs a project name (or glob) and an index URL")
        object.__setattr__(self, "pattern", canonicalize_name(self.pattern) if not _is_glob(self.pattern)
                           else self.pattern.lower().replace("_", "-").replace(".", "-"))

    @property
    def is_glob(self) -> bool:
        return _is_glob(self.pattern)

    def matches(self, normal_name: str) -> bool:
        if self.is_glob:
            return fnmatch.fnmatchcase(normal_name, self.pattern)
        return normal_name == self.pattern


def _is_glob(text: str) -> bool:
    return any(c in text for c in "*?[")


class IndexUnreadable(Exception):
    """Fail-closed: ``index`` could not be read about ``project``, so no
    later index was asked. ``outcome`` is the failure (None when it is not known)."""

    def __init__(self, project: str, index: str, outcome: Outcome | None = None) -> None:
        self.project, self.index, self.outcome = project, index, outcome
        why = outcome.reason if outcome is not None else "it could not be read"
        super().__init__(f"{project}: {mask_given_url(index)} could not be read ({why}); "
                         "fail-closed: no other index was asked")


class Routes:
    """The pins and the fail-closed rule of one layer."""

    def __init__(self, pins: Iterable[Pin | tuple[str, str]] = (), fail_closed: bool = False) -> None:
        self.pins: tuple[Pin, ...] = tuple(p if isinstance(p, Pin) else Pin(*p) for p in pins)
        self.fail_closed = bool(fail_closed)

    def __bool__(self) -> bool:
        return bool(self.pins) or self.fail_closed

    def pin_for(self, project: str) -> str | None:
        """The index ``project`` is pinned to, or None."""
        name = canonicalize_name(project)
        exact = next((p for p in self.pins if not p.is_glob and p.matches(name)), None)
        found = exact or next((p for p in self.pins if p.is_glob and p.matches(name)), None)
        return found.index_url if found is not None else None

    def allows(self, project: str, index_url: str) -> bool:
        """Whether ``index_url`` may hear of ``project`` at all."""
        pinned = self.pin_for(project)
        return pinned is None or same_index(pinned, index_url)

    def plan(self, project: str, indexes: Sequence[str]) -> list[str]:
        """The indexes to ask about ``project``, in order. A pinned project
        gets its pinned index alone: the configured URL when it is listed
        (it may carry credentials the pin does not), else the pin's own."""
        pinned = self.pin_for(project)
        if pinned is None:
            return list(indexes)
        listed = next((url for url in indexes if same_index(url, pinned)), None)
        return [listed if listed is not None else pinned]

    def ends_question(self, outcome: Outcome | None) -> bool:
        """After an index was asked: whether this outcome stops the walk."""
        # A stale answer that stood in for a failure is an answer.
        return self.fail_closed and outcome is not None and outcome.failed and not outcome.from_cache

    def pip_settings(self, project: str, settings: Any) -> Any:
        """The client's settings as a walk about ``project`` may see them:
        for a pinned project, its index alone, as the primary."""
        pinned = self.pin_for(project)
        if pinned is None or not isinstance(settings, dict) or "index_urls" not in settings:
            return settings
        urls = [e["url"] for e in settings["index_urls"] if isinstance(e, dict) and isinstance(e.get("url"), str)]
        (url,) = self.plan(project, urls)
        return dict(settings, index_urls=[{"url": url, "primary": True}], use_secondary_urls=False)


def _mentions(url: str, project: str) -> bool:
    """Whether a request URL is about ``project``: a path segment is its name,
    or a file of it (``acme_secret-1.0.tar.gz``)."""
    for segment in urlsplit(url).path.split("/"):
        if not segment:
            continue
        normal = canonicalize_name(segment)
        if normal == project or normal.startswith(project + "-"):
            return True
    return False


class FailureWatch:
    """The first failed outcome per (index, project) while it is watched.

    The finder road runs on worker threads, where the asking task's context
    variables are not seen; an outcome is therefore put down to a watch by
    its index and by the project its URL names. A layer owns one and feeds it
    every outcome (``heard``)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._open: dict[int, tuple[str, str, list[Outcome]]] = {}

    def heard(self, event: str, value: Any) -> None:
        if event != "end" or not value.failed or value.index is None or not self._open:
            return
        key = index_key(without_credentials(value.index))
        with self._lock:
            for index, project, seen in self._open.values():
                if index == key and _mentions(value.url, project):
                    seen.append(value)

    @contextlib.contextmanager
    def watching(self, index_url: str, project: str) -> Iterator[list[Outcome]]:
        """``with watch.watching(index, name) as failed:`` ``failed`` holds the
        failed outcomes about ``name`` at ``index`` made inside the block."""
        seen: list[Outcome] = []
        token = object()
        with self._lock:
            self._open[id(token)] = (index_key(without_credentials(index_url)), canonicalize_name(project), seen)
        try:
            yield seen
        finally:
            with self._lock:
                del self._open[id(token)]
