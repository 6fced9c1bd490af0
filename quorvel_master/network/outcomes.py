"""What happened to each request, per index: the record a host (or the
command line) reads instead of the client's log wording.

Every request the layer makes or answers from its cache ends as one
:class:`Outcome`: which index it was for, which URL (credentials removed),
and its kind: ``ok`` (an answer, from the network or the cache),
``not-found`` (a 404 or 410: an answer too), ``status`` (any other status of
400 or more, after the retries), ``refused``, ``timeout``, ``tls`` (the
certificate or the handshake failed; the detail says which, in the
verifier's words), ``name`` (the host name is unknown),
``closed`` (the server dropped the connection, also in the middle of a
body), ``proxy``, ``offline-miss`` (offline, and not in the cache),
``too-large`` (a JSON answer beyond ``max_body``), ``unusable`` (a 200 whose
body the client cannot use: on the JSON road not a JSON object, such as a
proxy's HTML login page; on the finder road an index page that is neither
HTML nor a PEP 691 JSON page) or ``connection`` (any other failure to talk to
the server).

A request to a host the layer gave up on a moment ago (see
``NetworkOptions.dead_host_seconds``) ends at once with that failure's kind
and detail, and ``attempts`` 0 (as an offline miss: no request was made).

Every text of these records for people is masked by the client's own rules,
and so is the ``repr`` (and ``str``) of each record: a host may log them.
"""

from __future__ import annotations

import dataclasses as dc
import errno
import socket
import ssl
import threading
from collections import deque
from collections.abc import Callable
from typing import Any

from .cache import OfflineMiss
from .urls import index_key, mask_given_url, mask_text, masked_repr, without_credentials

FAILED_KINDS = frozenset({
    "status", "refused", "timeout", "tls", "name", "closed", "proxy", "offline-miss", "too-large", "unusable",
    "connection",
})


class ResponseTooLarge(Exception):
    def __init__(self, url: str, limit: int) -> None:
        super().__init__(f"the answer of {without_credentials(url)} is larger than {limit} bytes")


@dc.dataclass(frozen=True, repr=False)
class Outcome:
    index: str | None  # the index URL as configured, or None for a URL of no index
    url: str           # the request URL without credentials
    road: str          # "json" (the aiohttp session) or "finder"
    kind: str
    status: int | None = None
    detail: str = ""   # a short reason, its credentials masked
    attempts: int = 1  # 0: no request made (offline, or its host was given up on a moment ago)
    from_cache: bool = False

    __repr__ = masked_repr

    @property
    def failed(self) -> bool:
        return self.kind in FAILED_KINDS

    @property
    def where(self) -> str:
        """The index (else the URL), for people: its credentials masked."""
        return mask_given_url(self.index if self.index is not None else self.url)

    @property
    def reason(self) -> str:
        """One phrase for a person: what went wrong."""
        if self.kind == "status":
            return f"HTTP {self.status}"
        if self.kind == "tls":
            # The detail says what failed, with the verifier's own words.
            return mask_text(self.detail) or "certificate verification failed"
        explained = self.kind in ("connection", "unusable") and self.detail
        return _REASONS.get(self.kind, self.kind) + (f": {mask_text(self.detail)}" if explained else "")


_REASONS = {
    "ok": "ok",
    "not-found": "not found",
    "refused": "connection refused",
    "timeout": "timed out",
    "tls": "certificate verification failed",
    "name": "host name not found",
    "closed": "connection closed by the server",
    "proxy": "the proxy refused the request",
    "offline-miss": "offline, and not in the cache",
    "too-large": "the answer is larger than the layer holds",
    "unusable": "an answer the client cannot use",
    "connection": "connection failed",
}


def kind_of_status(status: int) -> str:
    if status in (404, 410):
        return "not-found"
    return "status" if status >= 400 else "ok"


def classify(exc: BaseException) -> tuple[str, str]:
    """(kind, detail) of a failure raised by aiohttp, httpx or the OS,
    read from the exception and its causes."""
    seen: set[int] = set()
    current: BaseException | None = exc
    kind = None
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        found = _kind(current)
        if found is not None:
            kind = found
            break
        current = current.__cause__ or current.__context__
    if kind is None:
        kind = "connection"
    if kind == "tls":
        verification = _verification(exc)
        if verification is not None:
            return kind, verification
        return kind, "TLS failed: " + _detail(current if current is not None else exc)
    detail = _detail(current if current is not None else exc)
    return kind, detail


def _verification(exc: BaseException) -> str | None:
    """The verifier's reason ("unable to get local issuer certificate", ...)
    from a certificate verification failure in the exception's chain."""
    seen: set[int] = set()
    pending: list[BaseException | None] = [exc]
    while pending:
        current = pending.pop()
        if current is None or id(current) in seen:
            continue
        seen.add(id(current))
        message = getattr(current, "verify_message", None)
        if isinstance(current, ssl.SSLCertVerificationError) and message:
            return "certificate verification failed: " + " ".join(str(message).split())
        # aiohttp keeps it beside the chain.
        pending += [getattr(current, "certificate_error", None), current.__cause__, current.__context__]
    return None


def _kind(exc: BaseException) -> str | None:
    name = type(exc).__name__
    if isinstance(exc, OfflineMiss):
        return "offline-miss"
    if isinstance(exc, ResponseTooLarge):
        return "too-large"
    if isinstance(exc, (ssl.SSLCertVerificationError, ssl.SSLError)) or "Certificate" in name or "SSL" in name:
        return "tls"
    if "Proxy" in name:
        return "proxy"
    if isinstance(exc, socket.gaierror):
        return "name"
    if isinstance(exc, ConnectionRefusedError) or (isinstance(exc, OSError) and exc.errno == errno.ECONNREFUSED):
        return "refused"
    if isinstance(exc, TimeoutError) or "Timeout" in name:
        return "timeout"
    if isinstance(exc, (ConnectionResetError, ConnectionAbortedError, BrokenPipeError)) or name in (
        "ServerDisconnectedError", "RemoteProtocolError", "ReadError", "ClientPayloadError",
    ):
        return "closed"
    return None


def _detail(exc: BaseException) -> str:
    # Exception texts may carry a URL with credentials.
    return mask_text(" ".join(str(exc).split()) or type(exc).__name__)[:300]


class Outcomes:
    """The outcomes of one layer, newest last; bounded (the oldest go).

    ``listen(callback)`` calls ``callback(event, value)`` for every
    ``"start"`` (with a :class:`Request`), ``"retry"`` (with a
    :class:`Retry`, before its wait) and ``"end"`` (with the
    :class:`Outcome`), from whichever thread made the request.
    """

    def __init__(self, limit: int = 10_000) -> None:
        self._items: deque[Outcome] = deque(maxlen=limit)
        self._lock = threading.Lock()
        self._listeners: list[Callable[[str, Any], None]] = []

    def listen(self, callback: Callable[[str, Any], None]) -> Callable[[], None]:
        """Adds a listener; returns the function that removes it."""
        with self._lock:
            self._listeners.append(callback)

        def remove() -> None:
            with self._lock:
                if callback in self._listeners:
                    self._listeners.remove(callback)

        return remove

    def started(self, request: Request) -> None:
        self._tell("start", request)

    def retrying(self, retry: Retry) -> None:
        self._tell("retry", retry)

    def record(self, outcome: Outcome) -> None:
        with self._lock:
            self._items.append(outcome)
        self._tell("end", outcome)

    def _tell(self, event: str, value: Any) -> None:
        with self._lock:
            listeners = list(self._listeners)
        for listener in listeners:
            listener(event, value)

    def all(self) -> list[Outcome]:
        with self._lock:
            return list(self._items)

    def for_index(self, index: str) -> list[Outcome]:
        key = index_key(index)
        return [o for o in self.all() if o.index is not None and index_key(o.index) == key]

    def failures(self) -> dict[str, Outcome]:
        """The first failed outcome of each index that had one, by index URL,
        in the order they happened."""
        found: dict[str, Outcome] = {}
        for outcome in self.all():
            if outcome.failed and outcome.index is not None:
                found.setdefault(outcome.index, outcome)
        return found

    def clear(self) -> None:
        with self._lock:
            self._items.clear()


@dc.dataclass(frozen=True, repr=False)
class Request:
    index: str | None
    url: str
    road: str

    __repr__ = masked_repr


@dc.dataclass(frozen=True, repr=False)
class Retry:
    index: str | None
    url: str
    road: str
    attempt: int   # 1 for the first retry
    delay: float   # seconds it waits first
    why: str       # the status or failure kind that asked for it

    __repr__ = masked_repr
