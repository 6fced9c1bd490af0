"""What a road needs of the layer, and nothing more: the setup, the cache,
the retry policy, the outcomes, the closing event, the hosts given up on,
and which index the current task is asking.

The layer (layer.py) makes one :class:`RoadContext` and hands it to both
roads (session.py, finder.py), so neither road knows the layer itself.
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import threading
import time
from collections.abc import Iterator

from . import logmask
from .cache import HTTPCache
from .outcomes import Outcomes
from .retry import NetworkClosed, RetryPolicy
from .setup import Setup
from .urls import origin_of

#: How often a retry's wait on a worker thread looks at its finder call's stop flag.
STOP_CHECK_SECONDS = 0.05

_asking: contextvars.ContextVar[str | None] = contextvars.ContextVar("quorvel_master_network_asking", default=None)


@contextlib.contextmanager
def asking(index_url: str | None) -> Iterator[None]:
    """Requests the current task (or thread) makes inside the block are
    attributed to ``index_url``. Nested blocks stack."""
    token = _asking.set(index_url)
    try:
        yield
    finally:
        _asking.reset(token)


def current_index() -> str | None:
    """The index the current task is asking (see :func:`asking`), or None."""
    return _asking.get()


class DeadHosts:
    """The hosts the layer gave up on, each with the failure it gave up on,
    for ``seconds`` from then. Thread-safe."""

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self._until: dict[str, tuple[float, str, str]] = {}
        self._lock = threading.Lock()

    def gave_up(self, bare_url: str, kind: str, detail: str) -> None:
        if self.seconds <= 0:
            return
        with self._lock:
            self._until[origin_of(bare_url)] = (time.monotonic() + self.seconds, kind, detail)

    def failure(self, bare_url: str) -> tuple[str, str] | None:
        """(kind, detail) of the failure the URL's host was given up on, while that holds."""
        if not self._until:
            return None
        host = origin_of(bare_url)
        with self._lock:
            found = self._until.get(host)
            if found is None:
                return None
            if found[0] <= time.monotonic():
                del self._until[host]
                return None
            return found[1], found[2]

    def clear(self) -> None:
        with self._lock:
            self._until.clear()


class RoadContext:
    """The layer's parts both roads use. ``closing`` is replaced by a new
    event at each close of the layer; a request reads it when it starts."""

    def __init__(self, setup: Setup, cache: HTTPCache | None, policy: RetryPolicy, outcomes: Outcomes) -> None:
        self.setup = setup
        self.options = setup.options
        self.cache = cache
        self.policy = policy
        self.outcomes = outcomes
        self.dead_hosts = DeadHosts(setup.options.dead_host_seconds)
        self.closing = threading.Event()
        self.log_token = object()

    def in_use(self) -> None:
        """Masks the network libraries' log records (again, after a close)."""
        logmask.hold(self.log_token)

    def wait(self, seconds: float, closing: threading.Event | None = None) -> None:
        """A retry's wait on a worker thread. Ends early with
        :class:`NetworkClosed` when the layer closes (or ``closing``, the
        layer's event read when the request started, is set), and with
        ``asyncio.CancelledError`` when the client's finder call running on
        this thread is given up by its awaiting task: the task was cancelled,
        and nobody waits for the answer any more."""
        from .._native import finder_call_stopped

        event = closing or self.closing
        deadline = time.monotonic() + seconds
        while True:
            if finder_call_stopped():
                raise asyncio.CancelledError("the awaiting task was cancelled")
            left = deadline - time.monotonic()
            if left <= 0:
                return
            # The flag is a plain memory word, not an event: looked at in slices.
            if event.wait(min(left, STOP_CHECK_SECONDS)):
                raise NetworkClosed("the network layer was closed while a request waited to be retried")
