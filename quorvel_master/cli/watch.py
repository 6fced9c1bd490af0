"""What ``pkgindex`` learns while the client works: which index is being
asked, which could not be read and why.

The client turns every failure at an index into an empty answer and a line on
its logger; a handler on that logger turns those lines back into one failure
per index. What the client cannot see, because the finder library swallows it
(a refused connection, a time-out, a 401, an untrusted host), the finder that
the command line hands the client through the module's ``PackageFinder``
global reports itself. The JSON API road is watched the same way through the
module's ``aiohttp`` global: a session with a trace that sees the statuses the
client's existence checks pass over in silence.
"""

from __future__ import annotations

import errno
import logging
import os
import re
import sys
import threading
import time
from types import SimpleNamespace
from typing import Any, TextIO

from .._redact import mask_given_url, mask_text, mask_url
from .config import Indexes, normalized, one_line


class IndexUnreadable(Exception):
    """Raised inside the finder so that it stops at once; the text is the reason."""


# -- reasons ------------------------------------------------------------------

#: Exception texts from aiohttp, httpx and the OS, and the reason shown for them.
_REASONS = [
    (re.compile(r"Connect call failed|Connection refused|\[Errno 111\]", re.I), "connection refused"),
    (re.compile(r"Name or service not known|nodename nor servname|name resolution|getaddrinfo failed|"
                r"No address associated", re.I), "host name not found"),
    (re.compile(r"^$|timed out|timeout", re.I), "timed out"),
    (re.compile(r"Server disconnected|Connection reset|peer closed|Connection closed|"
                r"RemoteProtocolError|incomplete", re.I), "connection closed by the server"),
]


def reason_from_text(text: str) -> str:
    text = one_line(text) if text else ""
    for pattern, reason in _REASONS:
        if pattern.search(text):
            return reason
    return mask_text(text)[:300]


def reason_from_exception(exc: BaseException) -> str:
    seen: set[int] = set()
    current: BaseException | None = exc
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        if isinstance(current, OSError) and current.errno == errno.ECONNREFUSED:
            return "connection refused"
        if isinstance(current, TimeoutError) or "Timeout" in type(current).__name__:
            return "timed out"
        current = current.__cause__ or current.__context__
    return reason_from_text(str(exc) or type(exc).__name__)


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
        # The part of each JSON API pattern before the name, to tell which
        # index a request URL belongs to (longest first).
        prefixes = []
        for url in indexes.urls:
            pattern = indexes.pattern_for(url)
            if pattern:
                prefixes.append((_without_user_info(pattern.split("{package_name}")[0]), url))
        self._api_prefixes = sorted(prefixes, key=lambda p: -len(p[0]))

    def url_of(self, text: str | None) -> str | None:
        """The configured index named (masked, as the client logs it) in text."""
        if not text:
            return None
        found = self._masked.get(text)
        if found is None:
            matches = [m for m in self._masked if m in text]
            found = self._masked[max(matches, key=len)] if matches else None
        return found

    def url_of_request(self, request_url: str) -> str | None:
        bare = _without_user_info(request_url)
        return next((url for prefix, url in self._api_prefixes if bare.startswith(prefix)), None)

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


def _without_user_info(url: str) -> str:
    scheme, sep, rest = url.partition("://")
    if not sep:
        return url
    cut = len(rest)
    for end in "/?#":
        position = rest.find(end)
        if position >= 0:
            cut = min(cut, position)
    authority = rest[:cut].rpartition("@")[2]
    return f"{scheme}://{authority}{rest[cut:]}"


# -- the client's log lines ---------------------------------------------------------


#: The client's log lines that tell something: (pattern, what it tells, a
#: fixed reason or None for the line's own). The index is the one whose
#: (masked) URL the line names, else the one being asked.
_LINES: list[tuple[re.Pattern, str, str | None]] = [
    (re.compile(r"Querying primary index "), "asking-primary", None),
    (re.compile(r"Querying secondary index: (?P<index>.+)$"), "asking", None),
    (re.compile(r"Timeout querying (?P<index>.+) for \S+$"), "failed", "timed out"),
    (re.compile(r"Failed to query (?P<index>.+?) for \S+?: (?P<reason>.*)$", re.S), "failed", None),
    (re.compile(r"API returned status (?P<status>\d+) for (?P<api>.+)$"), "failed", None),
    (re.compile(r"API check failed for \S+ at (?P<index>.+?): (?P<reason>.*)$", re.S), "failed", None),
    (re.compile(r"Unearth (?:check )?failed for \S+ at (?P<index>.+?): (?P<reason>.*)$", re.S), "failed", None),
    (re.compile(r"No API pattern and unearth not available for (?P<index>.+)$"), "failed",
     "the unearth finder is not installed"),
    (re.compile(r"Unearth _get_versions failed: (?P<reason>.*)$", re.S), "failed", None),
    (re.compile(r"Unearth failed for (?:extras|dependencies) \S+: (?P<reason>.*)$", re.S), "failed", None),
    # The finder answered, but the requirements of the file it chose could
    # not be read (a failure of the index itself was recorded by the finder).
    (re.compile(r"Unearth get_(?:extras|dependencies) failed: (?P<reason>.*)$", re.S), "note", None),
]


class ClientLogHandler(logging.Handler):
    """Reads the client's log lines into the watch."""

    def __init__(self, watch: Watch) -> None:
        super().__init__(logging.DEBUG)
        self.watch = watch

    def emit(self, record: logging.LogRecord) -> None:
        try:
            message = record.getMessage()
        except Exception:
            return
        watch = self.watch
        for pattern, kind, fixed in _LINES:
            match = pattern.match(message)
            if match is None:
                continue
            groups = match.groupdict()
            if "api" in groups:
                url = watch.url_of_request(groups["api"])
            else:
                url = watch.url_of(groups.get("index"))
            if kind == "asking-primary":
                watch.asking(watch.indexes.primary)
            elif kind == "asking":
                watch.asking(url)
            elif kind == "note":
                # A failure of the index itself, recorded by the finder, says more.
                target = url or watch.current
                if target is not None and watch.failure_of(target) is None:
                    watch.noted(target, reason_from_text(groups["reason"]))
            else:
                if "status" in groups:
                    status = int(groups["status"])
                    reason = status_problem(status) or f"HTTP {status}"
                else:
                    reason = fixed or reason_from_text(groups.get("reason", ""))
                watch.failed(url, reason)
            return


# -- the finder the client is given ----------------------------------------------------


class FinderFactory:
    """Stands in for ``unearth.PackageFinder`` in the module's globals.

    Each finder gets a session whose authentication never prompts (an index
    that wants credentials fails instead), the trusted hosts, the time-out of
    the run, and a check of every answer. An index that the finder would skip
    (plain HTTP to an untrusted host) or that does not exist (a missing
    ``file://`` folder) fails before any request.
    """

    def __init__(self, watch: Watch, trusted_hosts: list[str], timeout: float) -> None:
        import unearth
        from unearth.auth import MultiDomainBasicAuth
        from unearth.collector import is_secure_origin
        from unearth.fetchers import PyPIClient
        from unearth.link import Link

        self.watch = watch
        self.trusted_hosts = list(trusted_hosts)
        self.timeout = timeout
        self._auth = MultiDomainBasicAuth
        self._client = PyPIClient
        self._secure = is_secure_origin
        self._link = Link
        self._finder_class = _finder_class(unearth.PackageFinder)

    def __call__(self, *args: Any, index_urls: Any = (), **kwargs: Any) -> Any:
        urls = list(index_urls)
        index = urls[0] if urls else None
        self.watch.asking(index)
        inner = self._client(trusted_hosts=self.trusted_hosts, timeout=self.timeout)
        inner.auth = self._auth(prompting=False, index_urls=urls)
        session = CheckedSession(inner, index, self.watch)
        if index is not None:
            problem = self._refusal(session, index)
            if problem is not None:
                inner.close()
                self.watch.failed(index, problem)
                raise IndexUnreadable(problem)
        kwargs.setdefault("trusted_hosts", self.trusted_hosts)
        finder = self._finder_class(session, *args, index_urls=urls, **kwargs)
        finder.watch = self.watch
        finder.index = index
        return finder

    def _refusal(self, session: Any, index: str) -> str | None:
        link = self._link(index)
        if link.is_file:
            return None if link.file_path.is_dir() else f"no such folder: {link.file_path}"
        if not self._secure(session, link):
            host = link.parsed.netloc.rpartition("@")[2]
            return f"plain HTTP to a host that is not trusted (pass --trusted-host {host} or set trusted-host in pip's configuration)"
        return None


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


class CheckedSession:
    """The finder's HTTP session with every failure to read the index recorded
    and raised; the finder library would otherwise log it and answer nothing."""

    def __init__(self, inner: Any, index: str | None, watch: Watch) -> None:
        self._inner = inner
        self._index = index
        self._watch = watch

    def __getattr__(self, name: str) -> Any:
        return getattr(self._inner, name)

    def _fail(self, reason: str, cause: BaseException | None = None) -> None:
        self._watch.failed(self._index, reason)
        raise IndexUnreadable(reason) from cause

    def _checked(self, response: Any) -> Any:
        problem = status_problem(response.status_code)
        if problem is not None:
            self._fail(problem)
        return response

    def get(self, url: str, **kwargs: Any) -> Any:
        try:
            response = self._inner.get(url, **kwargs)
        except Exception as exc:
            self._fail(reason_from_exception(exc), exc)
        return self._checked(response)

    def head(self, url: str, **kwargs: Any) -> Any:
        try:
            response = self._inner.head(url, **kwargs)
        except Exception as exc:
            self._fail(reason_from_exception(exc), exc)
        return self._checked(response)


# -- the JSON API road --------------------------------------------------------------


def aiohttp_stand_in(watch: Watch, timeout: float) -> Any:
    """What the module reads from its ``aiohttp`` global: sessions that report
    to the watch, and the run's time-out in place of the client's 10 s."""
    import aiohttp

    async def on_start(session: Any, context: Any, params: Any) -> None:
        watch.asking(watch.url_of_request(str(params.url)))

    async def on_end(session: Any, context: Any, params: Any) -> None:
        problem = status_problem(params.response.status)
        if problem is not None:
            watch.failed(watch.url_of_request(str(params.url)), problem)

    trace = aiohttp.TraceConfig()
    trace.on_request_start.append(on_start)
    trace.on_request_end.append(on_end)

    def client_timeout(**_: Any) -> Any:
        return aiohttp.ClientTimeout(total=timeout)

    return SimpleNamespace(
        ClientSession=lambda: aiohttp.ClientSession(trace_configs=[trace]),
        ClientTimeout=client_timeout,
    )


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
