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
import time
from typing import TYPE_CHECKING, Any

from .cache import Entry, Lookup, OfflineMiss, header, header_list
from .outcomes import Outcome, Request, Retry, classify, kind_of_status
from .retry import Attempts, send_with_retries_async
from .setup import basic_auth, without_credentials

if TYPE_CHECKING:
    from .layer import Network


class ResponseTooLarge(Exception):
    def __init__(self, url: str, limit: int) -> None:
        super().__init__(f"the answer of {without_credentials(url)} is larger than {limit} bytes")


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

    def __init__(self, network: Network) -> None:
        import aiohttp

        self.network = network
        setup = network.setup
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
        network = self.network
        options = network.setup.options
        headers = header_list(kwargs.pop("headers", None) or {})
        if options.revalidate_documents and header(headers, "cache-control") is None:
            headers.append(("Cache-Control", "max-age=0"))
        if options.timeout is not None:
            kwargs["timeout"] = self._aiohttp.ClientTimeout(total=options.timeout)
        index = network.index_of(url)
        network.outcomes.started(Request(index, without_credentials(url), "json"))
        cache = network.cache
        lookup = Lookup(bypass=True)
        if cache is not None:
            try:
                lookup = cache.lookup("GET", url, headers)
            except OfflineMiss as miss:
                network.outcomes.record(Outcome(index, miss.url, "json", "offline-miss"))
                raise self._aiohttp.ClientConnectionError(str(miss)) from miss
        if lookup.fresh and lookup.entry is not None:
            network.outcomes.record(Outcome(index, without_credentials(url), "json", "ok", 200, from_cache=True))
            return _from_entry(url, lookup.entry, from_cache=True)
        sent = headers + list(lookup.conditional.items())
        bare = without_credentials(url)
        attempts = Attempts(
            network.policy, "GET", status_of=_status, retry_after_of=_retry_after,
            announce=lambda made, delay, why: network.outcomes.retrying(Retry(index, bare, "json", made, delay, why)),
        )
        request_time = 0.0

        async def send() -> Any:
            nonlocal request_time
            request_time = time.time()
            return await self._send(url, sent, kwargs)

        try:
            response = await send_with_retries_async(attempts, send, _release, asyncio.sleep)
        except Exception:
            stale = cache.stale_answer(lookup) if cache is not None else None
            network.outcomes.record(Outcome(index, bare, "json", attempts.kind or "connection", None, attempts.detail,
                                            attempts.made, from_cache=stale is not None))
            if stale is not None:
                return _from_entry(url, stale, from_cache=True)
            raise
        status = response.status
        if attempts.gave_up:
            stale = cache.stale_answer(lookup) if cache is not None else None
            if stale is not None:
                response.release()
                network.outcomes.record(Outcome(index, bare, "json", "status", status, attempts=attempts.made,
                                                from_cache=True))
                return _from_entry(url, stale, from_cache=True)
        try:
            answer = await self._answer(url, headers, lookup, response, request_time)
        except Exception as exc:
            response.release()
            kind, detail = ("too-large", str(exc)) if isinstance(exc, ResponseTooLarge) else classify(exc)
            network.outcomes.record(Outcome(index, bare, "json", kind, status, detail, attempts.made))
            raise
        except BaseException:
            response.release()
            raise
        network.outcomes.record(Outcome(index, bare, "json", kind_of_status(status), status, attempts=attempts.made,
                                        from_cache=status == 304))
        return answer

    async def _send(self, url: str, headers: list[tuple[str, str]], kwargs: dict[str, Any]) -> Any:
        setup = self.network.setup
        extra: dict[str, Any] = {}
        proxy = setup.proxy_for(url)
        if proxy is not None:
            proxy_url, proxy_credentials = _split_credentials(proxy)
            extra["proxy"] = proxy_url
            if proxy_credentials is not None:
                extra["proxy_headers"] = {"Proxy-Authorization": basic_auth(*proxy_credentials)}
        if setup.trusted(url):
            extra["ssl"] = False
        if "auth" not in kwargs and header(headers, "authorization") is None:
            found = setup.credentials(url)
            if found is not None:
                headers = headers + [("Authorization", basic_auth(*found))]
        from multidict import CIMultiDict

        return await self.session.get(url, headers=CIMultiDict(headers), **{**kwargs, **extra})

    async def _answer(self, url: str, headers: list[tuple[str, str]], lookup: Lookup, response: Any,
                      request_time: float) -> Any:
        cache = self.network.cache
        if response.status == 304 and lookup.entry is not None and cache is not None:
            response.release()
            entry = cache.revalidated(url, headers, lookup.entry, header_list(response.headers), request_time, time.time())
            return _from_entry(url, entry, from_cache=True)
        if response.status != 200:
            return response
        body = await _read_bounded(response, url, self.network.setup.options.max_body)
        response_headers = [(k, v) for k, v in header_list(response.headers)
                            if k.lower() not in ("content-encoding", "content-length", "transfer-encoding")]
        response_headers.append(("Content-Length", str(len(body))))
        response.release()
        if cache is not None:
            cache.keep(url, headers, 200, response_headers, body, request_time, time.time())
        return StoredResponse(url, 200, response_headers, body, from_cache=False)


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


def _status(response: Any) -> int:
    return response.status


def _retry_after(response: Any) -> str | None:
    return response.headers.get("Retry-After")


def _release(response: Any) -> None:
    response.release()


def _split_credentials(proxy: str) -> tuple[str, tuple[str, str] | None]:
    from yarl import URL

    parsed = URL(proxy)
    if parsed.user is None:
        return proxy, None
    return str(parsed.with_user(None)), (parsed.user, parsed.password or "")
