"""What ``pkgindex`` learns while the client works: which index is being
asked, which answered, which could not be read and why.

The command line owns the network layer the client runs on, and the layer
records what happened to every request (its outcomes): the index it was for,
and why it failed. Those are the failures. The rest is learnt from the client
itself, through the ways in it leaves open to a host:

- its queries ask each index through methods called on the instance
  (``_get_versions_from_index`` and the like): the command line's subclass
  sees which index each call asked and whether its answer was taken, so it
  knows the index that answered;
- the road of an index is chosen by ``_get_api_pattern_for_index``, also
  called on the instance, and the finder road needs the module global
  ``UNEARTH_AVAILABLE``: an index without a pattern asked while that is false
  is an index left unread;
- an index the finder must not or cannot read (plain HTTP to an untrusted
  host, a missing folder) is refused by the finder factory the command line
  installs, before any request.

One thing remains that only the client's log says: why the requirements of
a file that was fetched could not be read (no METADATA in the wheel, a broken
archive, a cap reached, a hash that does not match). The reader of that
metadata is inside the client, and its empty answer is the same as a file's
that declares nothing. That line is read only while the client's finder
reads requirements for an index (so it is put down to that index, and to no
other), by its fixed start, which a test pins against the client.
"""

from __future__ import annotations

import contextlib
import functools
import logging
import threading
from collections.abc import Awaitable, Callable, Iterable, Iterator
from typing import Any

from .._native import mask_given_url, mask_text
from .config import Indexes, normalized, one_line


class FinderRefused(Exception):
    """Raised inside the finder so that it stops at once; the text is the reason."""


# -- reasons ------------------------------------------------------------------


def status_problem(status: int) -> str | None:
    """Why an HTTP status means the index could not be read, or None."""
    if status in (401, 407):
        return f"authentication required (HTTP {status})"
    if status == 403:
        return "access refused (HTTP 403)"
    if status == 429:
        return "too many requests (HTTP 429)"
    if status >= 500:
        return f"server error (HTTP {status})"
    return None


def failure_of(outcome: Any) -> str | None:
    """Why a request's outcome means its index could not be read, or None.

    A status the finder road meets on its way (a 416 to a range request, say)
    is no failure of the index unless it is one of the statuses that are;
    the JSON road takes any status but 200 and 404 as one, as the client does.
    An answer served from the cache after a failure is an answer.
    """
    if not outcome.failed or outcome.from_cache:
        return None
    if outcome.kind == "status":
        problem = status_problem(outcome.status)
        if problem is None and outcome.road == "json":
            problem = f"HTTP {outcome.status}"
        return problem
    if outcome.kind == "offline-miss":
        return "not in the cache, and --offline asks no index"
    return outcome.reason


# -- the watch ------------------------------------------------------------------

#: Why an index without a JSON API pattern was not read.
FINDER_MISSING = "the unearth finder is not installed"


class Watch:
    """Failures and notes per index, and the index being asked now."""

    def __init__(self, indexes: Indexes) -> None:
        self.indexes = indexes
        self._lock = threading.Lock()
        #: normalized URL -> reason, in the order they were seen
        self.failures: dict[str, str] = {}
        #: normalized URL -> why its requirements could not be read
        self.notes: dict[str, str] = {}
        self.current: str | None = None
        # The index whose requirements the finder reads on this thread.
        self._reading = threading.local()
        #: The indexes in the order the client asks them (normalized): the primary first.
        first = [indexes.primary] if indexes.primary else []
        self.order = list(dict.fromkeys(normalized(u) for u in first + indexes.urls))

    def heard(self, event: str, value: Any) -> None:
        """The network layer's listener: a request starts (its index is the
        one being asked) or ends (a failure is its index's)."""
        if event == "start":
            self.asking(value.index)
        elif event == "end" and value.index is not None:
            reason = failure_of(value)
            if reason is not None:
                self.failed(value.index, reason)

    def asking(self, url: str | None) -> None:
        if url is not None:
            self.current = url

    def failed(self, url: str | None, reason: str) -> None:
        url = url or self.current
        if url is None:
            return
        with self._lock:
            self.failures.setdefault(normalized(url), reason)

    def noted(self, url: str | None, note: str) -> None:
        url = url or self.current
        if url is None:
            return
        with self._lock:
            self.notes.setdefault(normalized(url), note)

    def failure_of(self, url: str) -> str | None:
        return self.failures.get(normalized(url))

    def note_of(self, url: str) -> str | None:
        return self.notes.get(normalized(url))

    def is_first(self, url: str) -> bool:
        """Whether the index is the one the client asks first."""
        return bool(self.order) and normalized(url) == self.order[0]

    def failed_before(self, url: str) -> list[str]:
        """The indexes asked before this one that could not be read (normalized)."""
        key = normalized(url)
        before = self.order[: self.order.index(key)] if key in self.order else []
        return [k for k in self.failures if k in before]

    def failure_lines(self, leave_out: Iterable[str] = ()) -> list[str]:
        left_out = set(leave_out)
        return [f"could not read {self.shown(key)}: {reason}"
                for key, reason in self.failures.items() if key not in left_out]

    def shown(self, key: str) -> str:
        """A normalized index URL as configured, masked."""
        by_key = {normalized(u): u for u in self.indexes.urls}
        return mask_given_url(by_key.get(key, key))

    def status_text(self) -> str | None:
        if self.current is None:
            return None
        role = "primary" if self.current == self.indexes.primary else "secondary"
        return f"asking the {role} index {mask_given_url(self.current)} ..."

    @contextlib.contextmanager
    def reading_requirements(self, url: str) -> Iterator[None]:
        """While the finder reads the requirements of a file of this index, on
        this thread."""
        previous = getattr(self._reading, "url", None)
        self._reading.url = url
        try:
            yield
        finally:
            self._reading.url = previous

    def requirements_index(self) -> str | None:
        return getattr(self._reading, "url", None)


# -- the client's log line that remains the only source ------------------------------

#: The finder answered, but the requirements of the file it chose could not be
#: read (a failure of the index itself is an outcome, and says more).
REQUIREMENTS_UNREADABLE = ("Unearth get_extras failed: ", "Unearth get_dependencies failed: ")


class ClientLogHandler(logging.Handler):
    """Reads that line of the client's logger into the watch."""

    def __init__(self, watch: Watch) -> None:
        super().__init__(logging.DEBUG)
        self.watch = watch

    def emit(self, record: logging.LogRecord) -> None:
        watch = self.watch
        target = watch.requirements_index()
        if target is None:
            return
        try:
            message = record.getMessage()
        except Exception:
            return
        for start in REQUIREMENTS_UNREADABLE:
            if message.startswith(start):
                if watch.failure_of(target) is None:
                    watch.noted(target, mask_text(one_line(message[len(start):]))[:300])
                return


# -- the client the command line runs ------------------------------------------------


class WatchingClient:
    """Mixed into the layer's client (before it): tells the watch which index
    each per-index call asked, which answered, and which could not be read,
    and keeps which index gave the JSON document the client cached. Every
    method gives the client's own answer unchanged."""

    def __init__(self, settings_manager: Any, network: Any, watch: Watch, module: Any) -> None:
        super().__init__(settings_manager, network)
        self.watch, self.module = watch, module
        self.answered_by: str | None = None
        #: (name, version) -> the index whose JSON document the client kept
        self.documents: dict[tuple[str, str], str] = {}

    async def answer(self, awaitable: Awaitable[Any]) -> tuple[Any, str | None]:
        """The answer of one query, and the index that gave it (None: none did)."""
        self.answered_by = None
        result = await awaitable
        return result, self.answered_by

    async def _asked(self, url: str, answer: Awaitable[Any], taken: Callable[[Any], bool] = bool) -> Any:
        self.watch.asking(url)
        result = await answer
        if taken(result):
            self.answered_by = url
        return result

    def _get_api_pattern_for_index(self, index_url: str) -> Any:
        pattern = super()._get_api_pattern_for_index(index_url)
        if not pattern and not self.module.UNEARTH_AVAILABLE:
            self.watch.failed(index_url, FINDER_MISSING)
        return pattern

    async def _package_exists_in_index(self, name: str, index_url: str) -> Any:
        return await self._asked(index_url, super()._package_exists_in_index(name, index_url))

    async def _package_version_exists_in_index(self, name: str, version: str, index_url: str) -> Any:
        return await self._asked(index_url, super()._package_version_exists_in_index(name, version, index_url))

    async def _get_versions_from_index(self, name: str, index_url: str) -> Any:
        return await self._asked(index_url, super()._get_versions_from_index(name, index_url))

    async def _get_extras_from_index(self, name: str, version: str, index_url: str) -> Any:
        return await self._asked(index_url, super()._get_extras_from_index(name, version, index_url))

    async def _get_dependencies_from_index(self, name: str, version: str, index_url: str) -> Any:
        key = (name.lower(), version)
        kept = key in self._metadata_cache
        result = await self._asked(index_url, super()._get_dependencies_from_index(name, version, index_url))
        if not kept and key in self._metadata_cache:
            self.documents[key] = index_url
        return result

    async def _get_package_info_from_index(self, name: str, index_url: str) -> Any:
        found = lambda info: isinstance(info, dict) and "error" not in info  # noqa: E731
        return await self._asked(index_url, super()._get_package_info_from_index(name, index_url), found)

    def _get_extras_via_unearth(self, name: str, version: str, index_url: str) -> Any:
        with self.watch.reading_requirements(index_url):
            return super()._get_extras_via_unearth(name, version, index_url)

    def _get_dependencies_via_unearth(self, name: str, version: str, index_url: str) -> Any:
        with self.watch.reading_requirements(index_url):
            return super()._get_dependencies_via_unearth(name, version, index_url)

    def silent_on_requirements(self, name: str, version: str) -> str | None:
        """The index whose JSON document for this version gives its
        requirements as null (it does not know them), else None."""
        key = (name.lower(), version)
        index, document = self.documents.get(key), self._metadata_cache.get(key)
        if index is None or not isinstance(document, dict):
            return None
        info = document.get("info")
        return index if not isinstance(info, dict) or info.get("requires_dist") is None else None


@functools.cache
def _client_class() -> type:
    # The layer's client class comes with the extension: made on first use.
    from ..network import NetworkClient

    return type("CommandClient", (WatchingClient, NetworkClient), {"__module__": __name__})


def command_client(settings_manager: Any, network: Any, watch: Watch, module: Any) -> Any:
    """A client on the layer that keeps the watch informed."""
    return _client_class()(settings_manager, network, watch, module)


# -- the finder the client is given ----------------------------------------------------


def finder_factory(network: Any, watch: Watch) -> Any:
    """The layer's finder factory with the command line's checks: an index
    that the finder would skip (plain HTTP to an untrusted host) or that does
    not exist (a missing ``file://`` folder) fails before any request, and a
    best match that is only a source distribution is noted."""
    import unearth
    from unearth.collector import is_secure_origin
    from unearth.link import Link

    from ..network.finder import FinderFactory

    finder_class = _finder_class(unearth.PackageFinder)

    class CommandFinderFactory(FinderFactory):
        def __call__(self, *args: Any, index_urls: Any = (), **kwargs: Any) -> Any:
            urls = list(index_urls)
            index = urls[0] if urls else None
            watch.asking(index)
            if index is not None:
                problem = self._refusal(index)
                if problem is not None:
                    watch.failed(index, problem)
                    raise FinderRefused(problem)
            finder = super().__call__(*args, index_urls=urls, **kwargs)
            finder.watch = watch
            finder.index = index
            return finder

        def make_finder(self, *args: Any, **kwargs: Any) -> Any:
            return finder_class(*args, **kwargs)

        def _refusal(self, index: str) -> str | None:
            link = Link(index)
            if link.is_file:
                return None if link.file_path.is_dir() else f"no such folder: {link.file_path}"
            if not is_secure_origin(self.network.finder_clients.client(index), link):
                host = link.parsed.netloc.rpartition("@")[2]
                return (f"plain HTTP to a host that is not trusted (pass --trusted-host {host} or set "
                        "trusted-host in pip's configuration)")
            return None

    return CommandFinderFactory(network)


def _finder_class(base: type) -> type:
    class Finder(base):  # type: ignore[misc, valid-type]
        """Notes when the best match is a file whose requirements no index publishes."""

        watch: Watch
        index: str | None

        def find_best_match(self, *args: Any, **kwargs: Any) -> Any:
            result = super().find_best_match(*args, **kwargs)
            best = getattr(result, "best", None)
            link = getattr(best, "link", None)
            if link is not None and not link.is_wheel and not link.dist_info_link:
                self.watch.noted(self.index, "only a source distribution, whose requirements the index does not publish")
            return result

    return Finder
