"""One request through the layer, written once for both roads and without
I/O: each road only sends and reads (the JSON road on the loop with aiohttp,
the finder road on a worker thread with httpx), and asks an
:class:`Exchange` what to do at each step:

1. :meth:`Exchange.begin`: the request is announced, its credentials (netrc)
   and revalidation header added, and the cache asked. A stored answer that
   serves as it is comes back, else the road sends ``sent_headers``. A host
   the layer gave up on a moment ago, or offline with nothing stored, raise
   :class:`Unreachable` (a stale stored answer stands in when allowed).
2. The road's retry driver runs ``attempts`` (retry.py).
3. :meth:`Exchange.failed` when no attempt got an answer, else
   :meth:`Exchange.arrived` with the answer: a stored answer that stands in
   for it (a 304 revalidated it, or a stale one after the retries), or None,
   and the road reads the body (whole, or streamed through).
4. :meth:`Exchange.body_read` or :meth:`Exchange.body_failed`: the body is
   judged and kept.

Every request ends as one outcome (outcomes.py). A body read whole is judged
before its outcome is recorded; a streamed one is recorded when its headers
come, and a body that then breaks off or turns out unusable adds a second,
failed, outcome.

What the client can use: a request that asks for index pages (its Accept
names them) wants an HTML or PEP 691 JSON page; any other request of the JSON
road made for an index (see context.py's ``asking``) wants a JSON object. A
200 that is not that is an ``unusable`` outcome, and is not kept.
"""

from __future__ import annotations

import dataclasses as dc
import json
import time
from collections.abc import Callable
from typing import Any

from .._native import is_json_object
from .cache import Entry, Headers, Lookup, OfflineMiss, header
from .context import RoadContext
from .outcomes import Outcome, Request, Retry, classify, kind_of_status
from .retry import RETRY_KINDS, Attempts
from .urls import basic_auth, origin_of, without_credentials

#: What the finder asks for when it reads an index page.
PAGE_ACCEPTS = ("text/html", "application/vnd.pypi.simple")
#: What it reads as one.
PAGE_TYPES = ("text/html", "application/vnd.pypi.simple.v1+html", "application/vnd.pypi.simple.v1+json")
PEP691_TYPE = "application/vnd.pypi.simple.v1+json"


class Unreachable(Exception):
    """No request was made: offline with nothing stored, or the host was
    given up on a moment ago. ``kind`` is the outcome's."""

    def __init__(self, kind: str, text: str) -> None:
        super().__init__(text)
        self.kind = kind


@dc.dataclass(frozen=True)
class Wire:
    """How a road's HTTP library shows a response."""

    status: Callable[[Any], int]
    headers: Callable[[Any], Headers]
    retry_after: Callable[[Any], str | None]


class Exchange:
    """The steps of one request (see the module's docstring)."""

    def __init__(self, ctx: RoadContext, road: str, index: str | None, method: str, url: str, headers: Headers, *,
                 wire: Wire, keep_cap: int, retries: bool = True) -> None:
        self.ctx, self.road, self.index, self.method, self.url = ctx, road, index, method, url
        self.bare = without_credentials(url)
        self.headers = list(headers)
        #: Headers the layer added to the request (the road copies them over).
        self.added: Headers = []
        accept = header(self.headers, "accept") or ""
        page = any(t in accept for t in PAGE_ACCEPTS)
        self.expects = "page" if page else "json" if road == "json" and index is not None else None
        self._prepare(document=page or road == "json")
        self.lookup = Lookup(bypass=True)
        policy = ctx.policy if retries else dc.replace(ctx.policy, retries=0)
        self.attempts = Attempts(policy, method, status_of=wire.status, retry_after_of=wire.retry_after,
                                 announce=self._retrying)
        self._wire = wire
        self._keep_cap = keep_cap
        self.request_time = self.response_time = 0.0
        self.status: int | None = None
        self.response_headers: Headers = []
        #: Bytes of the body to keep at most; 0: the body is not kept.
        self.keep_limit = 0
        self._waiting = False  # the outcome waits for the whole body

    def _prepare(self, *, document: bool) -> None:
        if document and self.ctx.options.revalidate_documents and header(self.headers, "cache-control") is None:
            self._add("Cache-Control", "max-age=0")
        if header(self.headers, "authorization") is None:
            found = self.ctx.setup.credentials(self.url)  # none when the URL carries its own
            if found is not None:
                self._add("Authorization", basic_auth(*found))

    def _add(self, name: str, value: str) -> None:
        self.headers.append((name, value))
        self.added.append((name, value))

    @property
    def sent_headers(self) -> Headers:
        return self.headers + list(self.lookup.conditional.items())

    def _retrying(self, made: int, delay: float, why: str) -> None:
        self.ctx.outcomes.retrying(Retry(self.index, self.bare, self.road, made, delay, why))

    def _record(self, kind: str, status: int | None = None, detail: str = "", attempts: int | None = None,
                from_cache: bool = False) -> None:
        made = self.attempts.made if attempts is None else attempts
        self.ctx.outcomes.record(Outcome(self.index, self.bare, self.road, kind, status, detail, made, from_cache))

    def _stale(self) -> Entry | None:
        cache = self.ctx.cache
        return cache.stale_answer(self.lookup) if cache is not None else None

    # -- before sending --

    def begin(self) -> Entry | None:
        ctx = self.ctx
        ctx.outcomes.started(Request(self.index, self.bare, self.road))
        if ctx.cache is not None:
            try:
                self.lookup = ctx.cache.lookup(self.method, self.url, self.headers)
            except OfflineMiss as miss:
                self._record("offline-miss", attempts=0)
                raise Unreachable("offline-miss", str(miss)) from miss
            entry = self.lookup.entry
            if self.lookup.fresh and entry is not None:
                self._record("ok", entry.status, attempts=1, from_cache=True)
                return entry
        down = ctx.dead_hosts.failure(self.bare)
        if down is None:
            return None
        kind, detail = down
        stale = self._stale()
        self._record(kind, None, detail, attempts=0, from_cache=stale is not None)
        if stale is not None:
            return stale
        reason = Outcome(self.index, self.bare, self.road, kind, None, detail).reason
        raise Unreachable(kind, f"{origin_of(self.bare)} failed a moment ago and is not asked again yet: {reason}")

    def sending(self) -> None:
        self.request_time = time.time()

    # -- after the attempts --

    def failed(self, exc: BaseException) -> Entry | None:
        """No attempt got an answer: a stale stored answer that stands in, or None."""
        attempts = self.attempts
        kind = attempts.kind or classify(exc)[0]
        spent = attempts.made > self.ctx.policy.retries
        if kind == "timeout" or (kind in RETRY_KINDS and spent):
            self.ctx.dead_hosts.gave_up(self.bare, kind, attempts.detail)
        stale = self._stale()
        self._record(kind, None, attempts.detail, from_cache=stale is not None)
        return stale

    def arrived(self, response: Any, *, whole: bool) -> Entry | None:
        """The last attempt's answer: a stored answer that stands in for it
        (the road releases the response), or None (the road reads the body,
        whole or streamed, and keeps at most ``keep_limit`` bytes of it)."""
        self.response_time = time.time()
        status = self.status = self._wire.status(response)
        headers = self.response_headers = self._wire.headers(response)
        cache = self.ctx.cache
        if self.attempts.gave_up:
            stale = self._stale()
            if stale is not None:
                self._record("status", status, from_cache=True)
                return stale
        if status == 304 and self.lookup.conditional and self.lookup.entry is not None and cache is not None:
            entry = cache.revalidated(self.url, self.headers, self.lookup.entry, headers, self.request_time,
                                      self.response_time)
            self._record("ok", 304, from_cache=True)
            return entry
        if cache is not None and not self.lookup.bypass:
            if not cache.storable(status, self.headers, headers):
                # kept nothing, or forgets what it kept (no-store)
                cache.keep(self.url, self.headers, status, headers, b"", self.request_time, self.response_time)
            else:
                length = header(headers, "content-length")
                too_long = length is not None and length.isdigit() and int(length) > self._keep_cap
                self.keep_limit = 0 if too_long else self._keep_cap
        if whole and status == 200:
            self._waiting = True
        else:
            self._record(kind_of_status(status), status)
        return None

    def body_read(self, body: bytes) -> bool:
        """The whole body came: judged, and kept when it may be. False when
        the client cannot use it. (A road that decoded the body sets
        ``response_headers`` to say so first.)"""
        problem = self._unusable(body) if self.status == 200 and not self._repeated(body) else None
        if self._waiting or problem is not None:
            self._waiting = False
            assert self.status is not None
            self._record("unusable" if problem else kind_of_status(self.status), self.status, problem or "")
        cache = self.ctx.cache
        if cache is not None and problem is None and self.keep_limit and len(body) <= self.keep_limit:
            assert self.status is not None
            cache.keep(self.url, self.headers, self.status, self.response_headers, body, self.request_time,
                       self.response_time, previous=self.lookup.entry, judged=self.expects or "")
        return problem is None

    def _repeated(self, body: bytes) -> bool:
        """The body is the one kept for this request, judged as this request
        would judge it: it was usable then, and is now (an index that sends no
        validators repeats every page whole, and reading a large JSON page
        twice costs more than the request)."""
        stored = self.lookup.entry
        return (stored is not None and bool(stored.digest) and stored.status == 200
                and stored.judged == (self.expects or "") and stored.body == body)

    def body_failed(self, exc: BaseException) -> None:
        """The body broke off (or outgrew what the road holds)."""
        self._waiting = False
        kind, detail = classify(exc)
        self._record(kind, self.status, detail)

    # -- what the client can use --

    def _unusable(self, body: bytes) -> str | None:
        """Why the client cannot use this 200, or None."""
        if self.expects is None:
            return None
        given = header(self.response_headers, "content-type") or ""
        content_type = given.partition(";")[0].strip().lower()
        if self.expects == "page":
            if not content_type.startswith(PAGE_TYPES):
                return f"{_described(content_type)} where an index page (HTML or PEP 691 JSON) was expected"
            return _not_a_json_object(body, given) if content_type.startswith(PEP691_TYPE) else None
        if content_type != "application/json" and not (content_type.startswith("application/")
                                                       and content_type.endswith("+json")):
            return f"{_described(content_type)} where a JSON document was expected"
        return _not_a_json_object(body, given)


def _described(content_type: str) -> str:
    if not content_type:
        return "an answer without a Content-Type"
    if content_type == "text/html":
        return "an HTML page"
    return f"a {content_type} answer"


def _not_a_json_object(body: bytes, content_type: str) -> str | None:
    charset = "utf-8"
    for part in content_type.split(";")[1:]:
        name, _, value = part.partition("=")
        if name.strip().lower() == "charset" and value.strip().strip('"'):
            charset = value.strip().strip('"')
    # Most answers are good: the page parser's reader says so without building
    # the document (which it would throw away). It is stricter than json, so
    # only its yes is taken; the rest go to json for the reason.
    if charset.lower() in ("utf-8", "utf8") and not body.startswith(b"\xef\xbb\xbf") and is_json_object(body):
        return None
    try:
        document = json.loads(body.decode(charset))
    except (LookupError, UnicodeDecodeError, ValueError) as exc:
        return f"not a JSON document ({' '.join(str(exc).split())[:100]})"
    if not isinstance(document, dict):
        return f"a JSON {type(document).__name__ if document is not None else 'null'}, not an object"
    return None
