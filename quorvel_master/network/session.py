"""The JSON road: an aiohttp session with the layer's cache, retries and
network setup, shaped as the client uses its session.

The client asks ``session.get(url, timeout=...)`` as an asynchronous context
manager and reads ``status`` and ``json()``; a host may do more. A 200 to a
GET is read whole (up to ``max_body``) and answered as a
:class:`StoredResponse`, the same object whether it came from the network,
a revalidation or the cache, so that a cached answer cannot behave unlike a
fresh one. Any other status is the live aiohttp response, released on exit.
"""

from __future__ import annotations

import asyncio
import functools
import json
from typing import Any

from .cache import Entry, header, header_list
from .context import RoadContext, current_index
from .outcomes import ResponseTooLarge
from .pipeline import Exchange, Unreachable, Wire
from .retry import send_with_retries_async
from .urls import basic_auth, credentials_in, without_credentials


class StoredResponse:
    """A whole 200 answer: what the client and hosts read of an aiohttp response."""

    def __init__(self, url: str, status: int, headers: list[tuple[str, str]], body: bytes, *, from_cache: bool) -> None:
        from multidict import CIMultiDict, CIMultiDictProxy

        self._url_text = url
        self.method = "GET"
        self.status = status
        self.reason = "OK" if status == 200 else ""
        self.headers = CIMultiDictProxy(CIMultiDict(headers))
        self._body = body
        self.from_cache = from_cache
        self.history = ()

    # Made when asked for: the client reads only the status and the body.
    @functools.cached_property
    def url(self) -> Any:
        from yarl import URL

        return URL(self._url_text)

    @property
    def real_url(self) -> Any:
        return self.url

    @functools.cached_property
    def request_info(self) -> Any:
        import aiohttp
        from multidict import CIMultiDict, CIMultiDictProxy

        return aiohttp.RequestInfo(self.url, "GET", CIMultiDictProxy(CIMultiDict()), self.url)

    @property
    def ok(self) -> bool:
        return self.status < 400

    @property
    def content_type(self) -> str:
        value = self.headers.get("Content-Type", "application/octet-stream")
        return value.partition(";")[0].strip().lower()

    @property
    def charset(self) -> str | None:
        for part in self.headers.get("Content-Type", "").split(";")[1:]:
            name, _, value = part.partition("=")
            if name.strip().lower() == "charset":
                return value.strip().strip('"') or None
        return None

    async def read(self) -> bytes:
        return self._body

    async def text(self, encoding: str | None = None, errors: str = "strict") -> str:
        return self._body.decode(encoding or self.charset or "utf-8", errors)

    async def json(self, *, encoding: str | None = None, loads: Any = json.loads,
                   content_type: str | None = "application/json") -> Any:
        # aiohttp's rules: the expected type (or any +json type for the
        # default), else ContentTypeError; an empty body is None.
        if content_type is not None and not _expected_type(self.content_type, content_type):
            import aiohttp

            raise aiohttp.ContentTypeError(
                self.request_info, self.history, status=self.status,
                message=f"Attempt to decode JSON with unexpected mimetype: {self.content_type}",
                headers=self.headers,
            )
        text = self._body.strip()
        if not text:
            return None
        return loads(self._body.decode(encoding or self.charset or "utf-8"))

    def raise_for_status(self) -> None:
        return None

    def release(self) -> None:
        return None

    def close(self) -> None:
        return None

    async def __aenter__(self) -> StoredResponse:
        return self

    async def __aexit__(self, *exc: object) -> None:
        return None


def _expected_type(actual: str, expected: str) -> bool:
    if expected == "application/json":
        return actual == "application/json" or (actual.startswith("application/") and actual.endswith("+json"))
    return expected in actual


class _RequestContext:
    """What ``get`` returns: awaitable, and an asynchronous context manager
    that releases the response on exit."""

    def __init__(self, coro: Any) -> None:
        self._coro = coro
        self._response: Any = None

    def __await__(self) -> Any:
        return self._coro.__await__()

    async def __aenter__(self) -> Any:
        self._response = await self._coro
        return self._response

    async def __aexit__(self, *exc: object) -> None:
        if self._response is not None:
            self._response.release()


class CachingSession:
    """The session a client of the layer gets from ``_get_session``."""

    def __init__(self, ctx: RoadContext) -> None:
        import aiohttp

        self.ctx = ctx
        setup = ctx.setup
        self._aiohttp = aiohttp
        connector = aiohttp.TCPConnector(ssl=setup.ssl, limit_per_host=setup.options.per_host_connections)
        # trust_env stays off: proxies and netrc come from the layer's setup,
        # the same answers the finder road gets.
        self.session = aiohttp.ClientSession(connector=connector, trust_env=False)

    @property
    def closed(self) -> bool:
        return self.session.closed

    async def close(self) -> None:
        await self.session.close()

    def get(self, url: Any, **kwargs: Any) -> _RequestContext:
        return _RequestContext(self._get(str(url), kwargs))

    async def _get(self, url: str, kwargs: dict[str, Any]) -> Any:
        headers = header_list(kwargs.pop("headers", None) or {})
        auth = kwargs.pop("auth", None)
        if auth is not None:
            headers.append(("Authorization", auth.encode()))
        if self.ctx.options.timeout is not None:
            kwargs["timeout"] = self._aiohttp.ClientTimeout(total=self.ctx.options.timeout)
        exchange = Exchange(self.ctx, "json", current_index(), "GET", url, headers, wire=AIOHTTP,
                            keep_cap=self.ctx.cache.store.max_entry if self.ctx.cache is not None else 0)
        try:
            ready = exchange.begin()
        except Unreachable as gone:
            raise _connection_error(self._aiohttp, gone) from gone
        if ready is not None:
            return _from_entry(url, ready, from_cache=True)

        async def send() -> Any:
            exchange.sending()
            return await self._send(url, exchange.sent_headers, kwargs)

        try:
            response = await send_with_retries_async(exchange.attempts, send, _release, asyncio.sleep)
        except Exception as exc:
            stale = exchange.failed(exc)
            if stale is None:
                raise
            return _from_entry(url, stale, from_cache=True)
        stored = exchange.arrived(response, whole=True)
        if stored is not None:
            response.release()
            return _from_entry(url, stored, from_cache=True)
        if response.status != 200:
            return response
        try:
            body = await _read_bounded(response, url, self.ctx.options.max_body)
        except BaseException as exc:
            response.release()
            if isinstance(exc, Exception):
                exchange.body_failed(exc)
            raise
        response.release()
        # aiohttp decoded the body: what is kept and shown says so.
        exchange.response_headers = _whole_body_headers(exchange.response_headers, body)
        exchange.body_read(body)
        return StoredResponse(url, 200, exchange.response_headers, body, from_cache=False)

    async def _send(self, url: str, headers: list[tuple[str, str]], kwargs: dict[str, Any]) -> Any:
        setup = self.ctx.setup
        extra: dict[str, Any] = {}
        proxy = setup.proxy_for(url)
        if proxy is not None:
            found = credentials_in(proxy)
            extra["proxy"] = proxy if found is None else without_credentials(proxy)
            if found is not None:
                extra["proxy_headers"] = {"Proxy-Authorization": basic_auth(*found)}
        if setup.trusted(url):
            extra["ssl"] = False
        from multidict import CIMultiDict

        return await self.session.get(url, headers=CIMultiDict(headers), **{**kwargs, **extra})


def _connection_error(aiohttp: Any, gone: Unreachable) -> Exception:
    """What aiohttp would have raised had the request been made."""
    if gone.kind == "timeout":
        return aiohttp.ServerTimeoutError(str(gone))
    return aiohttp.ClientConnectionError(str(gone))


def _whole_body_headers(headers: list[tuple[str, str]], body: bytes) -> list[tuple[str, str]]:
    """The answer's headers once its body is held whole and decoded."""
    kept = [(k, v) for k, v in headers if k.lower() not in ("content-encoding", "content-length", "transfer-encoding")]
    return kept + [("Content-Length", str(len(body)))]


async def _read_bounded(response: Any, url: str, limit: int) -> bytes:
    length = response.content_length
    if length is not None and length > limit:
        raise ResponseTooLarge(url, limit)
    chunks = []
    size = 0
    async for chunk in response.content.iter_chunked(64 * 1024):
        size += len(chunk)
        if size > limit:
            raise ResponseTooLarge(url, limit)
        chunks.append(chunk)
    return b"".join(chunks)


def _from_entry(url: str, entry: Entry, *, from_cache: bool) -> StoredResponse:
    body = _decoded(entry)
    headers = entry.headers
    if body is not entry.body:
        headers = [(k, v) for k, v in headers if k.lower() not in ("content-encoding", "content-length")]
        headers.append(("Content-Length", str(len(body))))
    return StoredResponse(url, entry.status, headers, body, from_cache=from_cache)


def _decoded(entry: Entry) -> bytes:
    """The body as aiohttp would hand it over: entries the finder road stored
    keep the server's content coding."""
    coding = (header(entry.headers, "content-encoding") or "identity").strip().lower()
    if coding in ("", "identity"):
        return entry.body
    import zlib

    if coding in ("gzip", "x-gzip"):
        return zlib.decompress(entry.body, 16 + zlib.MAX_WBITS)
    if coding == "deflate":
        try:
            return zlib.decompress(entry.body)
        except zlib.error:
            return zlib.decompress(entry.body, -zlib.MAX_WBITS)
    raise ValueError(f"stored answer with unsupported content coding {coding}")


AIOHTTP = Wire(status=lambda response: response.status, headers=lambda response: header_list(response.headers),
              retry_after=lambda response: response.headers.get("Retry-After"))


def _release(response: Any) -> None:
    response.release()
