"""The HTTP cache both roads share: the caching rules once, over a store that
only keeps bytes under keys.

A private cache in the sense of RFC 9111, for GET only:

* the key is the whole URL without user-info or fragment; answers that
  ``Vary`` are kept per value of the request headers they name (``Vary: *``
  is never stored);
* only a 200 is stored, and neither when the request or the answer says
  ``no-store``, nor a range request, nor an answer larger than the store's
  entry limit;
* a stored answer is fresh while its age is below its lifetime (``max-age``,
  else ``Expires`` minus ``Date``; no heuristic lifetime, so an answer with
  neither is always revalidated). A request's own ``max-age`` (index pages
  and JSON documents are asked with ``max-age=0``) and ``no-cache``, an
  answer's ``no-cache``, and the refresh mode make it stale at once;
* a stale answer is revalidated with ``If-None-Match`` / ``If-Modified-Since``;
  a 304 refreshes the stored headers and answers with the stored body;
* offline, any stored answer serves, fresh or not; a question not stored is a
  miss. With ``stale_on_error``, a stored answer (unless ``must-revalidate``)
  serves when the network fails.

Two stores: :class:`MemoryStore` (bounded, least recently used out) and
:class:`DirectoryStore` (one file per entry, written to a temporary file and
renamed into place, so a reader in another process sees a whole entry or
none; bounded, the least recently used files deleted under a lock file).
"""

from __future__ import annotations

import calendar
import dataclasses as dc
import email.utils
import errno
import fcntl
import hashlib
import json
import os
import random
import tempfile
import threading
import time
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

from .setup import without_credentials

Headers = list[tuple[str, str]]

STORABLE_STATUSES = frozenset({200})
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

    def encode(self) -> bytes:
        meta = {
            "url": self.url,
            "status": self.status,
            "headers": self.headers,
            "request_time": self.request_time,
            "response_time": self.response_time,
            "vary": self.vary,
        }
        return json.dumps(meta, separators=(",", ":")).encode() + b"\n" + self.body

    @classmethod
    def decode(cls, data: bytes) -> Entry:
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
        )

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

    #: The request is not the cache's business (not a GET, a range, no-store).
    bypass: bool = False
    entry: Entry | None = None
    #: ``entry`` answers the request as it is: no request is made.
    fresh: bool = False
    #: Headers to add to the request to revalidate ``entry``.
    conditional: dict[str, str] = dc.field(default_factory=dict)


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
    def _primary(url: str) -> str:
        return hashlib.sha256(b"GET " + without_credentials(url).encode()).hexdigest()

    @staticmethod
    def _variant(primary: str, names: list[str], request_headers: Iterable[tuple[str, str]]) -> tuple[str, dict[str, str | None]]:
        chosen = {name: _normal(header(request_headers, name)) for name in names}
        digest = hashlib.sha256(json.dumps(sorted(chosen.items())).encode()).hexdigest()[:32]
        return f"{primary}-{digest}", chosen

    def _load(self, url: str, request_headers: Headers) -> Entry | None:
        primary = self._primary(url)
        names_data = self.store.get(primary)
        if names_data is None:
            return None
        try:
            names = self._decode(primary, names_data, lambda d: [str(n) for n in json.loads(d)])
        except ValueError:
            return None
        key, chosen = self._variant(primary, names, request_headers)
        data = self.store.get(key)
        if data is None:
            return None
        try:
            entry = self._decode(key, data, Entry.decode)
        except (ValueError, KeyError, TypeError):
            self.store.delete(key)
            return None
        if entry.url != without_credentials(url) or entry.vary != chosen:
            return None  # another URL with the same digest, or an older Vary
        return entry

    # -- before the request --

    def lookup(self, method: str, url: str, request_headers: Headers, *, now: float | None = None) -> Lookup:
        request_cc = directives(header(request_headers, "cache-control"))
        if method.upper() != "GET" or header(request_headers, "range") is not None or "no-store" in request_cc:
            if self.mode == "offline":
                raise OfflineMiss(url)
            return Lookup(bypass=True)
        entry = self._load(url, request_headers)
        if self.mode == "offline":
            if entry is None:
                raise OfflineMiss(url)
            return Lookup(entry=entry, fresh=True)
        if entry is None:
            return Lookup()
        now = time.time() if now is None else now
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
        return Lookup(entry=entry, fresh=fresh, conditional={} if fresh else entry.validators())

    # -- after the answer --

    def storable(self, status: int, request_headers: Headers, response_headers: Headers) -> bool:
        if status not in STORABLE_STATUSES:
            return False
        if "no-store" in directives(header(request_headers, "cache-control")):
            return False
        if "no-store" in directives(header(response_headers, "cache-control")):
            return False
        if header(request_headers, "range") is not None:
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
    ) -> None:
        """Keeps the answer when it may be kept; an answer that may not
        (``no-store``) removes what was kept for the URL's variant."""
        primary = self._primary(url)
        names = sorted({n.strip().lower() for n in (header(response_headers, "vary") or "").split(",") if n.strip()})
        key, chosen = self._variant(primary, names, request_headers)
        if not self.storable(status, request_headers, response_headers):
            if status in STORABLE_STATUSES and "no-store" in directives(header(response_headers, "cache-control")):
                self.store.delete(key)
            return
        entry = Entry(without_credentials(url), status, list(response_headers), body, request_time, response_time, chosen)
        data = entry.encode()
        if len(data) > self.store.max_entry:
            return
        names_data = json.dumps(names).encode()
        self.store.put(primary, names_data)
        self.store.put(key, data)
        self._remember(primary, names_data, names)
        self._remember(key, data, entry)

    def revalidated(self, url: str, request_headers: Headers, entry: Entry, not_modified_headers: Headers,
                    request_time: float, response_time: float) -> Entry:
        """The stored answer after a 304: its headers updated, its clock reset."""
        replaced = {k.lower() for k, _ in not_modified_headers if k.lower() not in _NOT_UPDATED}
        headers = [(k, v) for k, v in entry.headers if k.lower() not in replaced]
        headers += [(k, v) for k, v in not_modified_headers if k.lower() in replaced]
        updated = dc.replace(entry, headers=headers, request_time=request_time, response_time=response_time)
        if self.storable(updated.status, request_headers, headers):
            primary = self._primary(url)
            key, _ = self._variant(primary, sorted(updated.vary), request_headers)
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


# -- stores --------------------------------------------------------------------------


class Store:
    """Bytes under keys; bounded; safe to call from any thread."""

    max_entry: int

    def get(self, key: str) -> bytes | None:
        raise NotImplementedError

    def put(self, key: str, data: bytes) -> None:
        raise NotImplementedError

    def delete(self, key: str) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass


class MemoryStore(Store):
    """In this process only; least recently used entries go first."""

    def __init__(self, max_bytes: int, max_entry: int | None = None) -> None:
        self.max_bytes = max_bytes
        self.max_entry = min(max_bytes, max_entry if max_entry is not None else max_bytes)
        self._data: OrderedDict[str, bytes] = OrderedDict()
        self._size = 0
        self._lock = threading.Lock()

    def get(self, key: str) -> bytes | None:
        with self._lock:
            data = self._data.get(key)
            if data is not None:
                self._data.move_to_end(key)
            return data

    def put(self, key: str, data: bytes) -> None:
        if len(data) > self.max_entry:
            return
        with self._lock:
            old = self._data.pop(key, None)
            if old is not None:
                self._size -= len(old)
            self._data[key] = data
            self._size += len(data)
            while self._size > self.max_bytes and self._data:
                _, dropped = self._data.popitem(last=False)
                self._size -= len(dropped)

    def delete(self, key: str) -> None:
        with self._lock:
            old = self._data.pop(key, None)
            if old is not None:
                self._size -= len(old)

    @property
    def size(self) -> int:
        return self._size


class DirectoryStore(Store):
    """One file per key under ``directory``, shared by any number of processes.

    A write goes to a temporary file in the same folder and is renamed over
    the entry, so readers see the old entry or the new one, never a part. A
    read touches the file's time, which eviction orders by. Eviction runs
    about once per tenth of the bound written, by whichever process, under an
    exclusive lock file (a process that finds it taken leaves the work to the
    holder), and deletes down to 90% of the bound; a file that another
    process removed meanwhile is simply gone. Between evictions the folder
    may exceed the bound by about a tenth.
    """

    LAYOUT = "v1"
    #: Temporary files older than this are debris of a process that died.
    STALE_TEMPORARY = 3600.0

    def __init__(self, directory: str | os.PathLike[str], max_bytes: int, max_entry: int | None = None) -> None:
        self.root = Path(directory) / self.LAYOUT
        self.root.mkdir(parents=True, exist_ok=True)
        self.max_bytes = max_bytes
        self.max_entry = min(max_bytes, max_entry if max_entry is not None else max_bytes)
        self._check_every = max(1, max_bytes // 10)

    def _path(self, key: str) -> Path:
        return self.root / key[:2] / key

    def get(self, key: str) -> bytes | None:
        path = self._path(key)
        try:
            with open(path, "rb") as f:
                data = f.read(self.max_entry + 1)
        except OSError:
            return None
        if len(data) > self.max_entry:
            return None
        try:
            os.utime(path)
        except OSError:
            pass
        return data

    def put(self, key: str, data: bytes) -> None:
        if len(data) > self.max_entry:
            return
        path = self._path(key)
        try:
            path.parent.mkdir(exist_ok=True)
            fd, temporary = tempfile.mkstemp(dir=path.parent, prefix=".tmp-")
            try:
                with os.fdopen(fd, "wb") as f:
                    f.write(data)
                os.replace(temporary, path)
            except BaseException:
                _unlink(temporary)
                raise
        except OSError as exc:
            if exc.errno in (errno.ENOSPC, errno.EDQUOT, errno.EACCES, errno.EROFS):
                return  # a cache that cannot write is a cache that misses
            raise
        # Each write starts an eviction with a chance in proportion to its
        # size, so the processes sharing the folder (short-lived ones too,
        # which never write a tenth of the bound each) count once per tenth
        # of the bound written between them, with no shared counter.
        if random.random() * self._check_every < len(data):
            self.evict()

    def delete(self, key: str) -> None:
        _unlink(self._path(key))

    def evict(self) -> None:
        """Deletes the least recently used files until the folder fits."""
        lock_path = self.root / ".lock"
        with open(lock_path, "a+b") as lock:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return
            try:
                self._evict_locked()
            finally:
                fcntl.flock(lock, fcntl.LOCK_UN)

    def _evict_locked(self) -> None:
        files: list[tuple[float, int, str]] = []
        total = 0
        now = time.time()
        for sub in _scandir(self.root):
            if not sub.is_dir(follow_symlinks=False):
                continue
            for item in _scandir(sub.path):
                try:
                    stat = item.stat(follow_symlinks=False)
                except OSError:
                    continue
                if item.name.startswith(".tmp-"):
                    if now - stat.st_mtime > self.STALE_TEMPORARY:
                        _unlink(item.path)
                    continue
                files.append((stat.st_mtime, stat.st_size, item.path))
                total += stat.st_size
        if total <= self.max_bytes:
            return
        files.sort()
        for _mtime, size, path in files:
            if total <= self.max_bytes * 0.9:
                break
            _unlink(path)
            total -= size

    @property
    def size(self) -> int:
        return sum(
            item.stat(follow_symlinks=False).st_size
            for sub in _scandir(self.root) if sub.is_dir(follow_symlinks=False)
            for item in _scandir(sub.path) if not item.name.startswith(".tmp-")
        )


def _scandir(path: Any) -> list[os.DirEntry[str]]:
    try:
        with os.scandir(path) as it:
            return list(it)
    except OSError:
        return []


def _unlink(path: Any) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def make_store(directory: str | os.PathLike[str] | None, max_bytes: int, memory_bytes: int, max_entry: int) -> Store:
    if directory is None:
        return MemoryStore(memory_bytes, max_entry)
    return DirectoryStore(directory, max_bytes, max_entry)


def header_list(headers: Any) -> Headers:
    """(name, value) pairs of any header collection, repeated names kept."""
    if hasattr(headers, "multi_items"):  # httpx
        items = headers.multi_items()
    elif isinstance(headers, Mapping):
        items = headers.items()
    else:
        items = headers
    return [(str(k), str(v)) for k, v in items]
