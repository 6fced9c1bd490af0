"""The HTTP cache both roads share: the caching rules once, over a store that
only keeps bytes under keys.

A private cache in the sense of RFC 9111, for GET only:

* the key is the whole URL without user-info or fragment, and who asked: a
  digest of the credentials the request was sent with (its ``Authorization``
  value, else its URL's user-info), so that no answer fetched as one identity
  ever serves another, online, offline or stale; answers that ``Vary`` are
  kept per value of the request headers they name (``Vary: *`` is never
  stored; a secret header's value is kept as a digest);
* a 200 is stored, and a range request's answer (a 206, or the 200 of a
  server that ignores ranges) under the range asked and the file's
  validators (``ETag``, ``Last-Modified``, size), so that the wheels read by
  range requests read the same offline; neither when the request or the
  answer says ``no-store``, nor beyond the store's entry limit;
* a stored answer is fresh while its age is below its lifetime (``max-age``,
  else ``Expires`` minus ``Date``; no heuristic lifetime, so an answer with
  neither is always revalidated). A request's own ``max-age`` (index pages
  and JSON documents are asked with ``max-age=0``) and ``no-cache``, an
  answer's ``no-cache``, and the refresh mode make it stale at once;
* a stale answer is revalidated with ``If-None-Match`` / ``If-Modified-Since``;
  a 304 refreshes the stored headers and answers with the stored body. A
  stale range answer is not revalidated (a 304 cannot answer a range): the
  range is asked again;
* offline, any stored answer serves, fresh or not; a question not stored is a
  miss. With ``stale_on_error``, a stored answer (unless ``must-revalidate``)
  serves when the network fails.

A whole answer carries its body's SHA-256; a body above ``INLINE_BODY`` bytes
is kept apart from the entry, under that digest, so that a 304 rewrites the
small entry alone (a smaller body stays inline: one file is cheaper to write
than two). An answer that repeats the stored one (the same body and headers,
Date and Age aside) rewrites nothing when the stored clock does not matter (an
entry with no lifetime of its own is never fresh): a warm run against an index
that sends no validators costs no writes. The Vary names of a URL are kept
only when there are some. Range answers are kept whole, as parts are small.

The stores are stores.py's: in memory, or a folder several processes share.
No secret is kept in clear in a key, a file name or an entry.
"""

from __future__ import annotations

import calendar
import dataclasses as dc
import email.utils
import hashlib
import json
import threading
import time
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from typing import Any

from .stores import DirectoryStore, MemoryStore, Store, make_store
from .urls import identity, without_credentials

__all__ = [
    "DirectoryStore", "Entry", "HTTPCache", "Lookup", "MemoryStore", "OfflineMiss", "Store", "directives", "header",
    "header_list", "http_date", "make_store",
]

Headers = list[tuple[str, str]]

STORABLE_STATUSES = frozenset({200})
#: The largest body kept inside its entry; a larger one is kept apart, and never rewritten by a 304.
INLINE_BODY = 64 * 1024
#: A range request's answers that are kept: the part, or the whole file.
RANGE_STATUSES = frozenset({200, 206})
#: Request headers whose values a Vary selection keeps as digests.
_SECRET_HEADERS = frozenset({"authorization", "proxy-authorization", "cookie"})
# Headers that say when an answer was sent, not what it is: an answer that
# differs from the stored one in these only repeats it.
_CLOCK_HEADERS = frozenset({"date", "age"})
# Headers of a 304 that must not replace the stored ones (RFC 9111 3.2 leaves
# these out of an update: they describe the 304's own, empty, content).
_NOT_UPDATED = frozenset({"content-length", "content-encoding", "transfer-encoding", "content-range"})


def header(headers: Iterable[tuple[str, str]], name: str) -> str | None:
    """The values of ``name`` joined by commas, or None."""
    name = name.lower()
    values = [v for k, v in headers if k.lower() == name]
    return ", ".join(values) if values else None


def directives(value: str | None) -> dict[str, str | None]:
    """Cache-Control as {directive: argument or None}; names lower case."""
    found: dict[str, str | None] = {}
    if not value:
        return found
    for part in value.split(","):
        name, sep, argument = part.strip().partition("=")
        name = name.strip().lower()
        if name:
            found.setdefault(name, argument.strip().strip('"') if sep else None)
    return found


def _seconds(value: str | None) -> int | None:
    if value is None:
        return None
    try:
        return max(0, int(value))
    except ValueError:
        return None


def http_date(value: str | None) -> float | None:
    """An HTTP date as a POSIX time, or None when it is not one."""
    if not value:
        return None
    try:
        parsed = email.utils.parsedate_tz(value)
    except (TypeError, ValueError):
        return None
    if parsed is None:
        return None
    return float(calendar.timegm(parsed[:9]) - (parsed[9] or 0))


@dc.dataclass
class Entry:
    """One stored answer."""

    url: str
    status: int
    headers: Headers
    body: bytes
    request_time: float
    response_time: float
    #: The request header values it was chosen by: {lower-case name: value or None}.
    vary: dict[str, str | None]
    #: Who asked for it: the digest of the credentials sent, "" for nobody.
    identity: str = ""
    #: The body's SHA-256 ("" for a range answer).
    digest: str = ""
    #: What the body was judged usable as when kept (the pipeline's ``expects``), "" for nothing.
    judged: str = ""
    #: The body is kept apart, under its digest.
    apart: bool = False

    def _meta(self) -> dict[str, Any]:
        meta = {
            "url": self.url,
            "identity": self.identity,
            "status": self.status,
            "headers": self.headers,
            "request_time": self.request_time,
            "response_time": self.response_time,
            "vary": self.vary,
        }
        if self.digest:
            meta.update(digest=self.digest, judged=self.judged, apart=self.apart)
        return meta

    def encode(self) -> bytes:
        """The entry with its body inline."""
        return json.dumps(self._meta(), separators=(",", ":")).encode() + b"\n" + self.body

    def encode_head(self) -> bytes:
        """The entry without its body, which is kept under its digest."""
        return json.dumps(self._meta(), separators=(",", ":")).encode() + b"\n"

    @classmethod
    def decode(cls, data: bytes) -> Entry:
        """An entry, or a head (``apart``, its ``body`` empty until loaded)."""
        meta_bytes, sep, body = data.partition(b"\n")
        if not sep:
            raise ValueError("truncated entry")
        meta = json.loads(meta_bytes)
        return cls(
            url=meta["url"],
            status=int(meta["status"]),
            headers=[(str(k), str(v)) for k, v in meta["headers"]],
            body=body,
            request_time=float(meta["request_time"]),
            response_time=float(meta["response_time"]),
            vary=dict(meta["vary"]),
            identity=str(meta.get("identity", "")),
            digest=str(meta.get("digest", "")),
            judged=str(meta.get("judged", "")),
            apart=bool(meta.get("apart", False)),
        )

    def repeats(self, other: Entry) -> bool:
        """Whether ``other`` says nothing this entry does not: the same body,
        status and headers (Date and Age aside), and no lifetime in either,
        so that neither clock can make it fresh."""
        if (self.status, self.digest, self.judged, self.vary) != (other.status, other.digest, other.judged, other.vary):
            return False
        # In any order: a 304's headers are merged after the kept ones.
        mine = sorted((k.lower(), v) for k, v in self.headers if k.lower() not in _CLOCK_HEADERS)
        theirs = sorted((k.lower(), v) for k, v in other.headers if k.lower() not in _CLOCK_HEADERS)
        return mine == theirs and self.lifetime() == 0 and other.lifetime() == 0

    # -- freshness (RFC 9111 4.2) --

    def age(self, now: float) -> float:
        date = self._date()
        apparent = max(0.0, self.response_time - date) if date is not None else 0.0
        age_value = _seconds(self.header("age")) or 0
        response_delay = max(0.0, self.response_time - self.request_time)
        corrected_initial = max(apparent, age_value + response_delay)
        return corrected_initial + max(0.0, now - self.response_time)

    def header(self, name: str) -> str | None:
        """``header(self.headers, name)``, from an index made once per entry."""
        index = self.__dict__.get("_header_index")
        if index is None:
            index = {}
            for k, v in self.headers:
                k = k.lower()
                index[k] = f"{index[k]}, {v}" if k in index else v
            self.__dict__["_header_index"] = index
        return index.get(name)

    def _date(self) -> float | None:
        found = self.__dict__.get("_date_value", False)
        if found is False:
            found = self.__dict__["_date_value"] = http_date(self.header("date"))
        return found

    def lifetime(self) -> float:
        cc = directives(self.header("cache-control"))
        max_age = _seconds(cc.get("max-age")) if "max-age" in cc else None
        if max_age is not None:
            return float(max_age)
        expires = self.header("expires")
        if expires is not None:
            expires_at = http_date(expires)
            if expires_at is None:
                return 0.0  # an invalid Expires means already expired
            date = self._date()
            return max(0.0, expires_at - (date if date is not None else self.response_time))
        return 0.0

    def validators(self) -> dict[str, str]:
        found = {}
        etag = self.header("etag")
        if etag:
            found["If-None-Match"] = etag
        modified = self.header("last-modified")
        if modified:
            found["If-Modified-Since"] = modified
        return found


@dc.dataclass
class Lookup:
    """What the cache says about one request before it is sent."""

    #: The request is not the cache's business (not a GET, no-store).
    bypass: bool = False
    entry: Entry | None = None
    #: ``entry`` answers the request as it is: no request is made.
    fresh: bool = False
    #: Headers to add to the request to revalidate ``entry``.
    conditional: dict[str, str] = dc.field(default_factory=dict)
    #: A range request: ``entry`` is the part kept for the same range of the same file.
    partial: bool = False


class OfflineMiss(LookupError):
    """Offline, and the cache holds no answer for the URL."""

    def __init__(self, url: str) -> None:
        self.url = without_credentials(url)
        super().__init__(f"offline, and {self.url} is not in the cache")


class HTTPCache:
    """The caching rules over a store; one instance serves both roads."""

    def __init__(self, store: Store, *, mode: str = "normal", stale_on_error: bool = False) -> None:
        self.store = store
        self.mode = mode
        self.stale_on_error = stale_on_error
        # The last decoding of each stored value, so that an entry read back
        # unchanged (the memory store hands out the very bytes it keeps) is
        # not decoded again.
        self._decoded: OrderedDict[str, tuple[bytes, Any]] = OrderedDict()
        self._decoded_lock = threading.Lock()

    def _remember(self, key: str, data: bytes, value: Any) -> None:
        with self._decoded_lock:
            self._decoded[key] = (data, value)
            self._decoded.move_to_end(key)
            if len(self._decoded) > 512:
                self._decoded.popitem(last=False)

    def _decode(self, key: str, data: bytes, decode: Any) -> Any:
        with self._decoded_lock:
            memo = self._decoded.get(key)
            if memo is not None and memo[0] is data:
                self._decoded.move_to_end(key)
                return memo[1]
        value = decode(data)
        self._remember(key, data, value)
        return value

    # -- keys --

    @staticmethod
    def _who(url: str, request_headers: Headers) -> str:
        return identity(url, header(request_headers, "authorization"))

    @staticmethod
    def _primary(bare: str, who: str) -> str:
        return hashlib.sha256(f"GET {bare}\n{who}".encode()).hexdigest()

    @staticmethod
    def _variant(primary: str, names: list[str], request_headers: Iterable[tuple[str, str]]) -> tuple[str, dict[str, str | None]]:
        chosen = {name: _selected(name, header(request_headers, name)) for name in names}
        digest = hashlib.sha256(json.dumps(sorted(chosen.items())).encode()).hexdigest()[:32]
        return f"{primary}-{digest}", chosen

    def _entry(self, key: str, bare: str, who: str) -> Entry | None:
        data = self.store.get(key)
        if data is None:
            return None
        try:
            entry = self._decode(key, data, Entry.decode)
        except (ValueError, KeyError, TypeError):
            self.store.delete(key)
            return None
        if entry.url != bare or entry.identity != who:
            return None  # another URL or identity with the same digest
        if not entry.apart:
            return entry
        body = self.store.get(self._body_key(key, entry.digest))
        if body is None:
            return None  # the body went first (evicted, or another process replaced it)
        return dc.replace(entry, body=body)

    @staticmethod
    def _body_key(key: str, digest: str) -> str:
        return hashlib.sha256(f"BODY {key}\n{digest}".encode()).hexdigest()

    def _put_entry(self, key: str, entry: Entry) -> None:
        if entry.apart:
            data = entry.encode_head()
            self.store.put(key, data)
            self._remember(key, data, dc.replace(entry, body=b""))
        else:
            data = entry.encode()
            self.store.put(key, data)
            self._remember(key, data, entry)

    def _names(self, primary: str) -> list[str] | None:
        """The Vary names kept for a URL: [] when none are kept, None when
        the record is damaged."""
        names_data = self.store.get(primary)
        if names_data is None:
            return []
        try:
            return self._decode(primary, names_data, lambda d: [str(n) for n in json.loads(d)])
        except ValueError:
            return None

    def _load(self, url: str, request_headers: Headers) -> Entry | None:
        bare, who = without_credentials(url), self._who(url, request_headers)
        primary = self._primary(bare, who)
        names = self._names(primary)
        if names is None:
            return None
        key, chosen = self._variant(primary, names, request_headers)
        entry = self._entry(key, bare, who)
        if entry is None or entry.vary != chosen:
            return None  # an older Vary
        return entry

    # -- range answers: per file, under the validators last seen for it --

    @staticmethod
    def _file_key(bare: str, who: str) -> str:
        return hashlib.sha256(f"FILE {bare}\n{who}".encode()).hexdigest()

    @staticmethod
    def _part_key(bare: str, who: str, asked: str, validators: str) -> str:
        return hashlib.sha256(f"RANGE {bare}\n{who}\n{asked}\n{validators}".encode()).hexdigest()

    def _load_part(self, url: str, request_headers: Headers) -> Entry | None:
        bare, who = without_credentials(url), self._who(url, request_headers)
        validators = self.store.get(self._file_key(bare, who))
        if validators is None:
            return None
        asked = _normal(header(request_headers, "range")) or ""
        return self._entry(self._part_key(bare, who, asked, validators.decode("utf-8", "replace")), bare, who)

    def _keep_part(self, url: str, request_headers: Headers, entry: Entry) -> None:
        validators = _file_validators(entry.status, entry.headers).encode()
        asked = _normal(header(request_headers, "range")) or ""
        data = entry.encode()
        if len(data) > self.store.max_entry:
            return
        # The part first: a reader that finds the new validators finds the part too.
        key = self._part_key(entry.url, entry.identity, asked, validators.decode())
        self.store.put(key, data)
        self.store.put(self._file_key(entry.url, entry.identity), validators)
        self._remember(key, data, entry)

    # -- before the request --

    def lookup(self, method: str, url: str, request_headers: Headers, *, now: float | None = None) -> Lookup:
        request_cc = directives(header(request_headers, "cache-control"))
        if method.upper() != "GET" or "no-store" in request_cc:
            if self.mode == "offline":
                raise OfflineMiss(url)
            return Lookup(bypass=True)
        partial = header(request_headers, "range") is not None
        entry = self._load_part(url, request_headers) if partial else self._load(url, request_headers)
        if self.mode == "offline":
            if entry is None:
                raise OfflineMiss(url)
            return Lookup(entry=entry, fresh=True, partial=partial)
        if entry is None:
            return Lookup(partial=partial)
        fresh = self._fresh(entry, request_cc, time.time() if now is None else now)
        conditional = {} if fresh or partial else entry.validators()
        return Lookup(entry=entry, fresh=fresh, conditional=conditional, partial=partial)

    def _fresh(self, entry: Entry, request_cc: dict[str, str | None], now: float) -> bool:
        age = entry.age(now)
        response_cc = directives(entry.header("cache-control"))
        fresh = (
            self.mode != "refresh"
            and "no-cache" not in request_cc
            and "no-cache" not in response_cc
            and age < entry.lifetime()
        )
        if fresh and "max-age" in request_cc:
            limit = _seconds(request_cc["max-age"])
            fresh = limit is not None and age <= limit and limit > 0
        return fresh

    # -- after the answer --

    def storable(self, status: int, request_headers: Headers, response_headers: Headers) -> bool:
        partial = header(request_headers, "range") is not None
        if status not in (RANGE_STATUSES if partial else STORABLE_STATUSES):
            return False
        if status == 206 and header(response_headers, "content-range") is None:
            return False
        if "no-store" in directives(header(request_headers, "cache-control")):
            return False
        if "no-store" in directives(header(response_headers, "cache-control")):
            return False
        vary = header(response_headers, "vary")
        return not (vary and "*" in vary)

    def keep(
        self,
        url: str,
        request_headers: Headers,
        status: int,
        response_headers: Headers,
        body: bytes,
        request_time: float,
        response_time: float,
        *,
        previous: Entry | None = None,
        judged: str = "",
    ) -> None:
        """Keeps the answer when it may be kept; an answer that may not
        (``no-store``) removes what was kept for the URL's variant.
        ``previous``: the entry the lookup found for this request, so that
        what it already holds is not written again; ``judged``: what the body
        was found usable as."""
        bare, who = without_credentials(url), self._who(url, request_headers)
        if header(request_headers, "range") is not None:
            if self.storable(status, request_headers, response_headers):
                entry = Entry(bare, status, list(response_headers), body, request_time, response_time, {}, who)
                self._keep_part(url, request_headers, entry)
            return
        primary = self._primary(bare, who)
        names = sorted({n.strip().lower() for n in (header(response_headers, "vary") or "").split(",") if n.strip()})
        key, chosen = self._variant(primary, names, request_headers)
        if not self.storable(status, request_headers, response_headers):
            if status in STORABLE_STATUSES and "no-store" in directives(header(response_headers, "cache-control")):
                self.store.delete(key)
            return
        if len(body) > self.store.max_entry:
            return
        if previous is not None and (previous.url, previous.identity, previous.vary) != (bare, who, chosen):
            previous = None  # kept under another variant
        same_body = previous is not None and bool(previous.digest) and previous.body == body
        digest = previous.digest if same_body and previous is not None else hashlib.sha256(body).hexdigest()
        entry = Entry(bare, status, list(response_headers), body, request_time, response_time, chosen, who,
                      digest, judged, apart=len(body) > INLINE_BODY)
        if previous is not None and same_body and previous.repeats(entry):
            return  # the stored answer says all this one does
        if entry.apart and not (same_body and previous is not None and previous.apart):
            # The body first: a reader that finds the new head finds its body too.
            self.store.put(self._body_key(key, digest), body)
        if previous is None and self._names(primary) != names:
            if names:
                names_data = json.dumps(names).encode()
                self.store.put(primary, names_data)
                self._remember(primary, names_data, names)
            else:
                self.store.delete(primary)
        self._put_entry(key, entry)
        if previous is not None and previous.apart and not (same_body and entry.apart):
            self.store.delete(self._body_key(key, previous.digest))

    def revalidated(self, url: str, request_headers: Headers, entry: Entry, not_modified_headers: Headers,
                    request_time: float, response_time: float) -> Entry:
        """The stored answer after a 304: its headers updated, its clock reset."""
        replaced = {k.lower() for k, _ in not_modified_headers if k.lower() not in _NOT_UPDATED}
        headers = [(k, v) for k, v in entry.headers if k.lower() not in replaced]
        headers += [(k, v) for k, v in not_modified_headers if k.lower() in replaced]
        updated = dc.replace(entry, headers=headers, request_time=request_time, response_time=response_time)
        if self.storable(updated.status, request_headers, headers) and not entry.repeats(updated):
            primary = self._primary(entry.url, entry.identity)
            key, _ = self._variant(primary, sorted(updated.vary), request_headers)
            if entry.digest:
                self._put_entry(key, updated)  # a body kept apart stays as it is
            else:
                data = updated.encode()
                if len(data) <= self.store.max_entry:
                    self.store.put(key, data)
                    self._remember(key, data, updated)
        return updated

    def stale_answer(self, lookup: Lookup) -> Entry | None:
        """The stored answer to serve when the network failed, if allowed."""
        if not self.stale_on_error or lookup.entry is None:
            return None
        if "must-revalidate" in directives(lookup.entry.header("cache-control")):
            return None
        return lookup.entry

    def close(self) -> None:
        self.store.close()


def _normal(value: str | None) -> str | None:
    return None if value is None else " ".join(value.split())


def _selected(name: str, value: str | None) -> str | None:
    """A request header's value as a Vary selection keeps it."""
    value = _normal(value)
    if value is not None and name in _SECRET_HEADERS:
        return "digest:" + identity("", value)
    return value


def _file_validators(status: int, headers: Headers) -> str:
    """What tells one version of a file from another: its validators and size."""
    size = header(headers, "content-length") if status == 200 else None
    content_range = header(headers, "content-range")
    if content_range is not None:
        size = content_range.rpartition("/")[2].strip()
    return json.dumps([header(headers, "etag"), header(headers, "last-modified"), size])


def header_list(headers: Any) -> Headers:
    """(name, value) pairs of any header collection, repeated names kept."""
    if hasattr(headers, "multi_items"):  # httpx
        items = headers.multi_items()
    elif isinstance(headers, Mapping):
        items = headers.items()
    else:
        items = headers
    return [(str(k), str(v)) for k, v in items]
