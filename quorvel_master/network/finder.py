"""The finder road: unearth's HTTP client with the layer's cache, retries and
network setup, one client per index shared across calls.

unearth 0.17 and 0.18 build their client on httpx, newer releases on httpx2;
both offer the same transport interface (``handle_request(request)`` giving
a response with a byte stream). The layer's classes are written once here,
and made into the library's own (a byte stream, a transport, unearth's
client) once per library by :func:`classes`. The request itself goes
through the pipeline both roads share (pipeline.py).

The client closes a finder's session after every call and drops unearth's
atexit registration of it. The shared clients therefore ignore ``close()``;
the layer closes them for real (:meth:`FinderClients.close`), and a closed
layer makes new ones on the next call.
"""

from __future__ import annotations

import asyncio
import sys
import threading
from typing import Any

from .cache import header_list
from .context import RoadContext
from .pipeline import Exchange, Unreachable, Wire
from .retry import NetworkClosed, send_with_retries
from .urls import index_key

#: An answer longer than this streams through without being stored, so a
#: wheel downloaded whole is never held in memory.
TEE_LIMIT = 16 * 1024 * 1024


def http_library() -> Any:
    """The module (httpx or httpx2) that unearth's client is built on."""
    from unearth.fetchers import PyPIClient

    for base in PyPIClient.__mro__[1:]:
        top = base.__module__.partition(".")[0]
        if top in ("httpx", "httpx2"):
            return sys.modules[top]
    raise ImportError("unearth's HTTP client is built on neither httpx nor httpx2")


class TeeStream:
    """Passes the body on and keeps a copy, up to a limit; hands the copy
    over when the body was read to its end (with ``done`` given), and
    reports a body that breaks off. Made a byte stream of the HTTP library by
    :func:`classes`."""

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


class CachingTransport:
    """The finder clients' transport: the layer's request pipeline
    (pipeline.py) over the HTTP library's own transports, one per proxy and
    verification choice. Made a transport of the library by :func:`classes`,
    which sets ``httpx`` (the library) and ``stream_class``."""

    httpx: Any
    stream_class: type

    def __init__(self, ctx: RoadContext, index: str | None) -> None:
        self.ctx = ctx
        self.index = index
        self._inner: dict[tuple[str | None, bool], Any] = {}
        self._lock = threading.Lock()

    def _transport(self, url: str) -> Any:
        setup = self.ctx.setup
        key = (setup.proxy_for(url), setup.trusted(url))
        httpx = self.httpx
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

    def _cached(self, request: Any, entry: Any) -> Any:
        response = self.httpx.Response(entry.status, headers=entry.headers, stream=self.httpx.ByteStream(entry.body),
                                       request=request)
        response.from_cache = True  # unearth notes it in its log line
        return response

    def handle_request(self, request: Any) -> Any:
        ctx = self.ctx
        url = str(request.url)
        cap = min(TEE_LIMIT, ctx.cache.store.max_entry) if ctx.cache is not None else 0
        # The client's existence check asks the finder on the loop's own
        # thread: a retry's wait there would stall every task of the host.
        exchange = Exchange(ctx, "finder", self.index, request.method, url, header_list(request.headers),
                            wire=HTTPX, keep_cap=cap, retries=not _on_a_loop_thread())
        for name, value in exchange.added:
            request.headers[name] = value
        try:
            ready = exchange.begin()
        except Unreachable as gone:
            raise _connection_error(self.httpx, gone, request) from gone
        if ready is not None:
            return self._cached(request, ready)
        for name, value in exchange.lookup.conditional.items():
            request.headers[name] = value
        closing = ctx.closing  # a close from now on ends this request's waits

        def send() -> Any:
            exchange.sending()
            return self._transport(url).handle_request(request)

        try:
            response = send_with_retries(exchange.attempts, send, _close, lambda delay: ctx.wait(delay, closing))
        except NetworkClosed:
            raise
        except Exception as exc:
            stale = exchange.failed(exc)
            if stale is None:
                raise
            return self._cached(request, stale)
        stored = exchange.arrived(response, whole=False)
        if stored is not None:
            response.close()
            return self._cached(request, stored)
        # The body streams through; it is kept, or judged (a PEP 691 page), once whole.
        collect = exchange.keep_limit > 0 or exchange.expects is not None
        stream = self.stream_class(response.stream, exchange.keep_limit or TEE_LIMIT,
                                   exchange.body_read if collect else None, exchange.body_failed)
        return self.httpx.Response(response.status_code, headers=response.headers, extensions=response.extensions,
                                   stream=stream, request=request)

    def close(self) -> None:
        with self._lock:
            transports = list(self._inner.values())
            self._inner.clear()
        for transport in transports:
            transport.close()


class SharedClientMethods:
    """A finder client that outlives the finder: its ``close`` is the
    client's per-call release, which must not end it. Made a subclass of
    unearth's client by :func:`classes`."""

    def close(self) -> None:
        return None

    def close_for_real(self) -> None:
        super().close()  # type: ignore[misc]


_classes: dict[str, Any] = {}
_classes_lock = threading.Lock()


def classes(httpx: Any) -> tuple[type, type]:
    """(transport class, shared client class) for ``httpx`` (or httpx2), made
    once per library."""
    with _classes_lock:
        found = _classes.get(httpx.__name__)
        if found is None:
            from unearth.fetchers import PyPIClient

            stream = type("TeeStream", (TeeStream, httpx.SyncByteStream), {"__module__": __name__})
            transport = type("CachingTransport", (CachingTransport, httpx.BaseTransport),
                             {"__module__": __name__, "httpx": httpx, "stream_class": stream})
            client = type("SharedClient", (SharedClientMethods, PyPIClient), {"__module__": __name__})
            found = _classes[httpx.__name__] = (transport, client)
        return found


HTTPX = Wire(status=lambda response: response.status_code, headers=lambda response: header_list(response.headers),
             retry_after=lambda response: response.headers.get("Retry-After"))


def _close(response: Any) -> None:
    response.close()


def _connection_error(httpx: Any, gone: Unreachable, request: Any) -> Exception:
    """What the library would have raised had the request been made."""
    if gone.kind == "timeout":
        return httpx.ConnectTimeout(str(gone), request=request)
    return httpx.ConnectError(str(gone), request=request)


class FinderClients:
    """One shared unearth client per index."""

    def __init__(self, ctx: RoadContext) -> None:
        self.ctx = ctx
        self._clients: dict[str, Any] = {}
        self._lock = threading.Lock()

    def client(self, index: str | None) -> Any:
        key = index_key(index or "")
        with self._lock:
            found = self._clients.get(key)
            if found is None:
                self.ctx.in_use()
                found = self._clients[key] = self._make(index)
            return found

    def _make(self, index: str | None) -> Any:
        from unearth.auth import MultiDomainBasicAuth

        transport_class, client_class = classes(http_library())
        options = self.ctx.options
        transport = transport_class(self.ctx, index)
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
    a finder on the shared client of its (first) index. ``network`` is the
    layer (its ``finder_clients`` and ``options``)."""

    def __init__(self, network: Any) -> None:
        self.network = network

    def __call__(self, *args: Any, index_urls: Any = (), **kwargs: Any) -> Any:
        urls = list(index_urls)
        index = urls[0] if urls else None
        kwargs.setdefault("trusted_hosts", list(self.network.options.trusted_hosts))
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
