"""When to ask again, and how long to wait first: one policy for both roads.

GETs only. A status of 408, 429, 500, 502, 503 or 504 and a failed
connection (refused, dropped, a name not found) are retried; a time-out, a
certificate failure and every other status, 404 above all, are not. The wait
doubles from ``backoff`` up to ``backoff_max``, with jitter (half of it
random, so clients that failed together do not come back together). A
``Retry-After`` (seconds or an HTTP date) replaces it; one longer than
``retry_after_max`` ends the retries, since asking sooner would only be
refused again.

The loop itself is written once, without I/O: :class:`Attempts` judges each
attempt's result and says how long to wait before the next one, or that the
result is final. Two small drivers run it, :func:`send_with_retries` on a
worker thread (the finder road) and :func:`send_with_retries_async` on the
loop (the JSON road); each is given how to send, release and wait.
"""

from __future__ import annotations

import dataclasses as dc
import random
import time
from collections.abc import Awaitable, Callable
from typing import Any, TypeVar

from .cache import http_date
from .outcomes import classify

class NetworkClosed(Exception):
    """The layer was closed while a request waited to be retried."""


RETRY_STATUSES = frozenset({408, 429, 500, 502, 503, 504})
#: Outcome kinds (see outcomes.py) that a new attempt may mend.
RETRY_KINDS = frozenset({"refused", "closed", "connection", "name"})


@dc.dataclass(frozen=True)
class RetryPolicy:
    retries: int = 5
    backoff: float = 0.25
    backoff_max: float = 10.0
    retry_after_max: float = 60.0

    def retryable_status(self, method: str, status: int) -> bool:
        return method.upper() == "GET" and status in RETRY_STATUSES

    def retryable_kind(self, method: str, kind: str) -> bool:
        return method.upper() == "GET" and kind in RETRY_KINDS

    def delay(self, attempt: int, retry_after: str | None = None, *, now: float | None = None) -> float | None:
        """Seconds to wait before attempt ``attempt + 1`` (``attempt`` counts
        from 0 for the first retry), or None when no attempt is left or the
        server asks for a longer wait than the cap."""
        if attempt >= self.retries:
            return None
        asked = parse_retry_after(retry_after, now=now)
        if asked is not None:
            return asked if asked <= self.retry_after_max else None
        ceiling = min(self.backoff_max, self.backoff * (2 ** attempt))
        return ceiling / 2 + random.uniform(0, ceiling / 2)


def parse_retry_after(value: str | None, *, now: float | None = None) -> float | None:
    """Seconds from a ``Retry-After`` value (delay-seconds or an HTTP date),
    or None when it is absent or neither."""
    if value is None:
        return None
    value = value.strip()
    if value.isdigit():
        return float(int(value))
    when = http_date(value)
    if when is None:
        return None
    return max(0.0, when - (time.time() if now is None else now))


R = TypeVar("R")


class Attempts:
    """The retries of one request. After each attempt the driver calls
    :meth:`judge` with the response or the exception; the answer is the
    seconds to wait before trying again (the retry is announced first) or
    None when this attempt's result is the request's result.

    After the last attempt: ``made`` counts the attempts; ``kind`` and
    ``detail`` describe a failure (see outcomes.py); ``gave_up`` tells a
    result that another attempt might have mended (a retryable status or
    failure with no retry left), which a stale stored answer may stand in for.
    """

    def __init__(self, policy: RetryPolicy, method: str, *, status_of: Callable[[Any], int],
                 retry_after_of: Callable[[Any], str | None], announce: Callable[[int, float, str], None]) -> None:
        self.policy = policy
        self.method = method
        self._status_of = status_of
        self._retry_after_of = retry_after_of
        self._announce = announce
        self.made = 0
        self.kind: str | None = None
        self.detail = ""
        self.gave_up = False

    def judge(self, response: Any = None, error: BaseException | None = None) -> float | None:
        self.made += 1
        policy, method = self.policy, self.method
        if error is not None:
            self.kind, self.detail = classify(error)
            retryable = policy.retryable_kind(method, self.kind)
            delay = policy.delay(self.made - 1) if retryable else None
            why = self.kind
        else:
            self.kind, self.detail = None, ""
            status = self._status_of(response)
            retryable = policy.retryable_status(method, status)
            delay = policy.delay(self.made - 1, self._retry_after_of(response)) if retryable else None
            why = str(status)
        self.gave_up = retryable and delay is None
        if delay is not None:
            self._announce(self.made, delay, why)
        return delay


def send_with_retries(attempts: Attempts, send: Callable[[], R], release: Callable[[R], None],
                      wait: Callable[[float], None]) -> R:
    """Runs the loop on this thread: the last attempt's response, or its exception raised."""
    while True:
        try:
            response = send()
        except Exception as exc:
            delay = attempts.judge(error=exc)
            if delay is None:
                raise
        else:
            delay = attempts.judge(response)
            if delay is None:
                return response
            release(response)
        wait(delay)


async def send_with_retries_async(attempts: Attempts, send: Callable[[], Awaitable[R]], release: Callable[[R], None],
                                  wait: Callable[[float], Awaitable[None]]) -> R:
    """The same loop on an event loop; a cancelled task ends its wait."""
    while True:
        try:
            response = await send()
        except Exception as exc:
            delay = attempts.judge(error=exc)
            if delay is None:
                raise
        else:
            delay = attempts.judge(response)
            if delay is None:
                return response
            release(response)
        await wait(delay)
