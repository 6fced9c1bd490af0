"""What ``pkgindex`` learns while the client works: which index is being
asked, which could not be read and why.

The command line owns the network layer the client runs on, and the layer
records what happened to every request (its outcomes): the index it was for,
and why it failed. Those are the failures. Two things no request tells are
learnt elsewhere: an index the finder must not or cannot read (plain HTTP to
an untrusted host, a missing folder) is refused by the finder factory the
command line installs, before any request; and the client's log lines remain
the only word on requirements that could not be read from a file that was
fetched, and on an index left unread because the finder library is missing.
Those lines are matched by their fixed start, which a test pins against the
client.
"""

from __future__ import annotations

import logging
import os
import sys
import threading
import time
from typing import Any, TextIO

from .._native import mask_given_url, mask_text, mask_url
from .config import Indexes, normalized, one_line


class IndexUnreadable(Exception):
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
        # Each URL as the client's log lines write it.
        self._masked = {mask_url(url): url for url in indexes.urls}

    def heard(self, event: str, value: Any) -> None:
        """The network layer's listener: a request starts (its index is the
        one being asked) or ends (a failure is its index's)."""
        if event == "start":
            self.asking(value.index)
        elif event == "end" and value.index is not None:
            reason = failure_of(value)
            if reason is not None:
                self.failed(value.index, reason)

    def url_of(self, text: str | None) -> str | None:
        """The configured index named (masked, as the client logs it) in text."""
        if not text:
            return None
        found = self._masked.get(text)
        if found is None:
            matches = [m for m in self._masked if m in text]
            found = self._masked[max(matches, key=len)] if matches else None
        return found

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

    def failure_lines(self) -> list[str]:
        by_key = {normalized(u): u for u in self.indexes.urls}
        return [f"could not read {mask_given_url(by_key.get(key, key))}: {reason}"
                for key, reason in self.failures.items()]

    def status_text(self) -> str | None:
        if self.current is None:
            return None
        role = "primary" if self.current == self.indexes.primary else "secondary"
        return f"asking the {role} index {mask_given_url(self.current)} ..."


# -- the client's log lines that remain the only source ------------------------------

#: The finder answered, but the requirements of the file it chose could not be
#: read (a failure of the index itself is an outcome, and says more).
REQUIREMENTS_UNREADABLE = ("Unearth get_extras failed: ", "Unearth get_dependencies failed: ")
#: An index without a JSON API pattern, and no finder library to read it.
FINDER_MISSING = "No API pattern and unearth not available for "


class ClientLogHandler(logging.Handler):
    """Reads those lines of the client's logger into the watch."""

    def __init__(self, watch: Watch) -> None:
        super().__init__(logging.DEBUG)
        self.watch = watch

    def emit(self, record: logging.LogRecord) -> None:
        try:
            message = record.getMessage()
        except Exception:
            return
        watch = self.watch
        for start in REQUIREMENTS_UNREADABLE:
            if message.startswith(start):
                target = watch.current
                if target is not None and watch.failure_of(target) is None:
                    watch.noted(target, mask_text(one_line(message[len(start):]))[:300])
                return
        if message.startswith(FINDER_MISSING):
            url = watch.url_of(message[len(FINDER_MISSING):])
            watch.asking(url)
            watch.failed(url, "the unearth finder is not installed")


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
                    raise IndexUnreadable(problem)
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


# -- stderr ---------------------------------------------------------------------------


class Console:
    """The command line's stderr: whole lines, and on a terminal one status
    line (which index is being asked) once a question takes longer than about
    half a second. Any other line, and the answer, clear it first."""

    DELAY = 0.5
    CLEAR = "\r\x1b[K"

    def __init__(self, stream: TextIO | None = None, *, quiet: bool = False) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.quiet = quiet
        self._lock = threading.Lock()
        self._shown: str | None = None
        self._stop: threading.Event | None = None
        self._thread: threading.Thread | None = None
        try:
            self.tty = self.stream.isatty()
        except (AttributeError, ValueError):
            self.tty = False

    def line(self, text: str) -> None:
        with self._lock:
            self._clear()
            self.stream.write(mask_text(text) + "\n")
            self.stream.flush()

    def _clear(self) -> None:
        if self._shown is not None:
            self.stream.write(self.CLEAR)
            self._shown = None

    def clear_at_exit(self) -> None:
        """From the interrupt handler: no lock, no buffered writes."""
        if self._shown is not None:
            try:
                os.write(self.stream.fileno(), self.CLEAR.encode())
            except (OSError, ValueError):
                pass

    def start_status(self, text_of: Any) -> None:
        if not self.tty or self.quiet or self._thread is not None:
            return
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._tick, args=(text_of, self._stop), daemon=True)
        self._thread.start()

    def stop_status(self) -> None:
        if self._thread is None or self._stop is None:
            return
        self._stop.set()
        self._thread.join()
        self._thread = None
        with self._lock:
            self._clear()
            self.stream.flush()

    def _tick(self, text_of: Any, stop: threading.Event) -> None:
        started = time.monotonic()
        while not stop.wait(0.1):
            if time.monotonic() - started < self.DELAY:
                continue
            text = text_of()
            if not text or text == self._shown:
                continue
            width = _terminal_width(self.stream)
            with self._lock:
                if stop.is_set():
                    return
                self.stream.write(self.CLEAR + mask_text(text)[: width - 1])
                self.stream.flush()
                self._shown = text


def _terminal_width(stream: TextIO) -> int:
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (OSError, ValueError):
        return 80


class EchoHandler(logging.Handler):
    """``-v``: log lines on stderr, masked, through the console."""

    def __init__(self, console: Console, level: int) -> None:
        super().__init__(level)
        self.console = console
        self.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.console.line(self.format(record))
        except Exception:
            self.handleError(record)
