"""When to ask again, and how long to wait first: one policy for both roads.

GETs only. A status of 408, 429, 500, 502, 503 or 504 and a failed
connection (refused, dropped, a name not found) are retried; a time-out, a
certificate failure and every other status, 404 above all, are not. The wait
doubles from ``backoff`` up to ``backoff_max``, with jitter (half of it
random, so clients that failed together do not come back together). A
``Retry-After`` (seconds or an HTTP date) replaces it; one longer than
``retry_after_max`` ends the retries, since asking sooner would only be
refused again.
"""

from __future__ import annotations

import dataclasses as dc
import random
import time

from .cache import http_date

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
