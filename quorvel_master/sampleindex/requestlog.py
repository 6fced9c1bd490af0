"""What a sample index saw: each request, its answer's status and the bytes of
body sent, and the waits tests make on them instead of sleeping."""

from __future__ import annotations

import dataclasses as dc
import threading
from collections import Counter
from collections.abc import Mapping

from aiohttp import web

__all__ = ["RequestLog", "RequestRecord"]


@dc.dataclass
class RequestRecord:
    method: str
    path: str
    query: str
    headers: Mapping[str, str]
    #: The answer's status, once the server answered.
    status: int | None = None
    #: Bytes of body sent: the declared length of a complete answer, what was
    #: written for a body cut short or sent slowly by a hook.
    sent: int = 0
    #: Whether the server's handling is over. For the hooks that write the
    #: body themselves (slow, trickling or endless bodies, bodies cut short)
    #: the last byte is out or the client went away; an ordinary answer may
    #: still be on its way.
    done: bool = False


class RequestLog:
    """The server's record of requests, shared with its loop's thread under
    one lock; waiters are woken when a request arrives and when its handling
    ends."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
        self._changed = threading.Condition(lock)
        self._hits: Counter[str] = Counter()
        self._log: list[RequestRecord] = []
        # id(request) -> (request, its record) until its answer is prepared;
        # the request is held so that its id is not reused meanwhile
        self._unanswered: dict[int, tuple[web.BaseRequest, RequestRecord]] = {}

    def arrived(self, request: web.BaseRequest) -> RequestRecord:
        """Records *request*; call under the lock (``changed``), which the
        caller holds to take the hooks for it at the same moment."""
        record = RequestRecord(request.method, request.path, request.query_string, dict(request.headers))
        self._hits[record.path] += 1
        self._log.append(record)
        self._unanswered[id(request)] = (request, record)
        self._changed.notify_all()
        return record

    @property
    def changed(self) -> threading.Condition:
        return self._changed

    def answered(self, request: web.BaseRequest, response: web.StreamResponse) -> None:
        """Notes the status and declared length of *request*'s answer."""
        with self._lock:
            _, record = self._unanswered.pop(id(request), (None, None))
        if record is not None:
            record.status = response.status
            record.sent = response.content_length or 0

    def done(self, record: RequestRecord) -> None:
        with self._changed:
            record.done = True
            self._changed.notify_all()

    def hits(self, path: str | None = None) -> int:
        with self._lock:
            return sum(self._hits.values()) if path is None else self._hits[path]

    def bytes_sent(self, path: str | None = None) -> int:
        with self._lock:
            return sum(r.sent for r in self._log if path is None or r.path == path)

    def wait_for_hits(self, path: str | None, count: int, timeout: float) -> bool:
        with self._changed:
            return self._changed.wait_for(lambda: self.hits(path) >= count, timeout)

    def wait_until_done(self, path: str | None, timeout: float) -> bool:
        with self._changed:
            return self._changed.wait_for(
                lambda: all(r.done for r in self._log if path is None or r.path == path), timeout
            )

    def reset(self) -> None:
        with self._lock:
            self._hits.clear()
            self._log.clear()
            self._unanswered.clear()

    def records(self) -> list[RequestRecord]:
        with self._lock:
            return list(self._log)
