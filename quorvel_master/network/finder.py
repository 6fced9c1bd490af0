"""The finder road: unearth's HTTP client with the layer's cache, retries and
network setup, one client per index shared across calls.

unearth 0.17 and 0.18 build their client on httpx, newer releases on httpx2;
both offer the same transport interface (``handle_request(request)`` giving
a response with a byte stream), so the layer's transport is made once per
library from the classes of whichever one unearth uses.

The client closes a finder's session after every call and drops unearth's
atexit registration of it. The shared clients therefore ignore ``close()``;
the layer closes them for real (:meth:`FinderClients.close`), and a closed
layer makes new ones on the next call.
"""

from __future__ import annotations

import asyncio
import dataclasses
import sys
import threading
import time
from typing import TYPE_CHECKING, Any

from .cache import OfflineMiss, header, header_list
from .outcomes import Outcome, Request, Retry, classify, kind_of_status
from .retry import Attempts, NetworkClosed, send_with_retries
from .setup import basic_auth, without_credentials

if TYPE_CHECKING:
    from .layer import Network

#: An answer longer than this streams through without being stored, so a
#: wheel downloaded whole is never held in memory.
TEE_LIMIT = 16 * 1024 * 1024

_PAGE_TYPES = ("text/html", "application/vnd.pypi.simple")


def http_library() -> Any:
    """The module (httpx or httpx2) that unearth's client is built on."""
    from unearth.fetchers import PyPIClient

    for base in PyPIClient.__mro__[1:]:
        top = base.__module__.partition(".")[0]
        if top in ("httpx", "httpx2"):
            return sys.modules[top]
    raise ImportError("unearth's HTTP client is built on neither httpx nor httpx2")


_classes: dict[str, Any] = {}
_classes_lock = threading.Lock()


def classes(httpx: Any) -> Any:
    """(transport class, shared client class) for ``httpx`` (or httpx2)."""
    with _classes_lock:
        found = _classes.get(httpx.__name__)
        if found is None:
            found = _classes[httpx.__name__] = _make_classes(httpx)
        return found


def _make_classes(httpx: Any) -> Any:
    from unearth.fetchers import PyPIClient

    class TeeStream(httpx.SyncByteStream):
        """Passes the body on and keeps a copy, up to a limit; hands the copy
        over when the body was read to its end (with ``done`` given), and
        reports a body that breaks off."""

        def __init__(self, inner: Any, limit: int, done: Any, failed: Any) -> None:
            self._inner = inner
            self._limit = limit
            self._done = done
            self._failed = failed
            self._chunks: list[bytes] | None = [] if done is not None else None
            self._size = 0
            self._complete = False

        def __iter__(self) -> Any:
            try:
                yield from self._copy()
            except Exception as exc:
                self._failed(exc)
                raise

        def _copy(self) -> Any:
            for chunk in self._inner:
                if self._chunks is not None:
                    self._size += len(chunk)
                    if self._size > self._limit:
                        self._chunks = None
                    else:
                        self._chunks.append(chunk)
                yield chunk
            self._complete = True

        def close(self) -> None:
            try:
                self._inner.close()
            finally:
                chunks, self._chunks = self._chunks, None
                if self._complete and chunks is not None and self._done is not None:
                    self._done(b"".join(chunks))

    class CachingTransport(httpx.BaseTransport):
        def __init__(self, network: Network, index: str | None) -> None:
            self.network = network
            self.index = index
            self._inner: dict[tuple[str | None, bool], Any] = {}
            self._lock = threading.Lock()

        def _transport(self, url: str) -> Any:
            setup = self.network.setup
            key = (setup.proxy_for(url), setup.trusted(url))
            with self._lock:
                transport = self._inner.get(key)
                if transport is None:
                    cap = setup.options.per_host_connections
                    transport = self._inner[key] = httpx.HTTPTransport(
                        verify=False if key[1] else setup.ssl,
                        limits=httpx.Limits(max_connections=cap, max_keepalive_connections=cap),
                        proxy=key[0],
                        trust_env=False,
                    )
                return transport

        def _outcome(self, url: str, kind: str, status: int | None = None, detail: str = "", attempts: int = 1,
                     from_cache: bool = False) -> None:
            self.network.outcomes.record(
                Outcome(self.index, without_credentials(url), "finder", kind, status, detail, attempts, from_cache))

        def _cached(self, request: Any, entry: Any) -> Any:
            response = httpx.Response(entry.status, headers=entry.headers, stream=httpx.ByteStream(entry.body),
                                      request=request)
            response.from_cache = True  # unearth notes it in its log line
            return response

        def handle_request(self, request: Any) -> Any:
            network = self.network
            options = network.setup.options
            url = str(request.url)
            method = request.method
            accept = request.headers.get("Accept", "")
            if options.revalidate_documents and "Cache-Control" not in request.headers and any(
                    t in accept for t in _PAGE_TYPES):
                request.headers["Cache-Control"] = "max-age=0"
            if "Authorization" not in request.headers and "@" not in request.url.netloc.decode("ascii", "replace"):
                found = network.setup.credentials(url)
                if found is not None:
                    request.headers["Authorization"] = basic_auth(*found)
            headers = header_list(request.headers)
            network.outcomes.started(Request(self.index, without_credentials(url), "finder"))
            cache = network.cache
            lookup = None
            if cache is not None:
                try:
                    lookup = cache.lookup(method, url, headers)
                except OfflineMiss as miss:
                    self._outcome(url, "offline-miss")
                    raise httpx.ConnectError(str(miss), request=request) from miss
                if lookup.fresh and lookup.entry is not None:
                    self._outcome(url, "ok", 200, from_cache=True)
                    return self._cached(request, lookup.entry)
                for name, value in lookup.conditional.items():
                    request.headers[name] = value
            closing = network.closing  # a close from now on ends this request's waits
            bare = without_credentials(url)
            policy = network.policy
            if _on_a_loop_thread():
                # The client's existence check asks the finder on the loop's
                # own thread: a wait there would stall every task of the host.
                policy = dataclasses.replace(policy, retries=0)
            attempts = Attempts(
                policy, method, status_of=_status_code, retry_after_of=_retry_after,
                announce=lambda made, delay, why: network.outcomes.retrying(
                    Retry(self.index, bare, "finder", made, delay, why)),
            )
            request_time = 0.0

            def send() -> Any:
                nonlocal request_time
                request_time = time.time()
                return self._transport(url).handle_request(request)

            try:
                response = send_with_retries(attempts, send, _close, lambda delay: network.wait(delay, closing))
            except NetworkClosed:
                raise
            except Exception:
                stale = cache.stale_answer(lookup) if cache is not None and lookup is not None else None
                self._outcome(url, attempts.kind or "connection", None, attempts.detail, attempts.made,
                              stale is not None)
                if stale is not None:
                    return self._cached(request, stale)
                raise
            status = response.status_code
            if attempts.gave_up:
                stale = cache.stale_answer(lookup) if cache is not None and lookup is not None else None
                if stale is not None:
                    response.close()
                    self._outcome(url, "status", status, attempts=attempts.made, from_cache=True)
                    return self._cached(request, stale)
            made = attempts.made
            self._outcome(url, kind_of_status(status), status, attempts=made, from_cache=status == 304)

            def failed(exc: BaseException) -> None:  # the body broke off after a good start
                kind, detail = classify(exc)
                self._outcome(url, kind, status, detail, made)

            def watched(done: Any = None, limit: int = 0) -> Any:
                return httpx.Response(status, headers=response.headers, extensions=response.extensions,
                                      stream=TeeStream(response.stream, limit, done, failed), request=request)

            if cache is None or lookup is None or lookup.bypass:
                return watched()
            response_time = time.time()
            response_headers = header_list(response.headers)
            if status == 304 and lookup.entry is not None:
                response.close()
                entry = cache.revalidated(url, headers, lookup.entry, response_headers, request_time, response_time)
                return self._cached(request, entry)
            if not cache.storable(status, headers, response_headers):
                cache.keep(url, headers, status, response_headers, b"", request_time, response_time)
                return watched()
            limit = min(TEE_LIMIT, cache.store.max_entry)
            length = header(response_headers, "content-length")
            if length is not None and length.isdigit() and int(length) > limit:
                return watched()

            def done(body: bytes) -> None:
                cache.keep(url, headers, status, response_headers, body, request_time, response_time)

            return watched(done, limit)

        def close(self) -> None:
            with self._lock:
                transports = list(self._inner.values())
                self._inner.clear()
            for transport in transports:
                transport.close()

    class SharedClient(PyPIClient):  # type: ignore[misc, valid-type]
        """A finder client that outlives the finder: its ``close`` is the
        client's per-call release, which must not end it."""

        def close(self) -> None:
            return None

        def close_for_real(self) -> None:
            PyPIClient.close(self)

    return CachingTransport, SharedClient


def _status_code(response: Any) -> int:
    return response.status_code


def _retry_after(response: Any) -> str | None:
    return response.headers.get("Retry-After")


def _close(response: Any) -> None:
    response.close()


class FinderClients:
    """One shared unearth client per index."""

    def __init__(self, network: Network) -> None:
        self.network = network
        self._clients: dict[str, Any] = {}
        self._lock = threading.Lock()

    def client(self, index: str | None) -> Any:
        key = (index or "").rstrip("/\\")
        with self._lock:
            found = self._clients.get(key)
            if found is None:
                self.network.mask_logs()
                found = self._clients[key] = self._make(index)
            return found

    def _make(self, index: str | None) -> Any:
        from unearth.auth import MultiDomainBasicAuth

        transport_class, client_class = classes(http_library())
        options = self.network.setup.options
        transport = transport_class(self.network, index)
        client = client_class(
            trusted_hosts=options.trusted_hosts,
            transport=transport,
            # unearth mounts an unverified transport of its own for trusted
            # hosts; the layer's transport knows them and must see those too.
            mounts={f"all://{host}": transport for host in options.trusted_hosts},
            trust_env=False,
            timeout=options.timeout if options.timeout is not None else 10.0,
        )
        client.auth = MultiDomainBasicAuth(prompting=False, index_urls=[index] if index else [])
        return client

    def close(self) -> None:
        with self._lock:
            clients = list(self._clients.values())
            self._clients.clear()
        for client in clients:
            client.close_for_real()

    def __len__(self) -> int:
        return len(self._clients)


class FinderFactory:
    """Stands in for ``unearth.PackageFinder`` in the client module's globals:
    a finder on the shared client of its (first) index."""

    def __init__(self, network: Network) -> None:
        self.network = network

    def __call__(self, *args: Any, index_urls: Any = (), **kwargs: Any) -> Any:
        urls = list(index_urls)
        index = urls[0] if urls else None
        kwargs.setdefault("trusted_hosts", list(self.network.setup.options.trusted_hosts))
        kwargs.setdefault("session", self.network.finder_clients.client(index))
        return self.make_finder(*args, index_urls=urls, **kwargs)

    def make_finder(self, *args: Any, **kwargs: Any) -> Any:
        """The finder itself; a host may make a subclass of unearth's."""
        import unearth

        return unearth.PackageFinder(*args, **kwargs)


def _on_a_loop_thread() -> bool:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True
