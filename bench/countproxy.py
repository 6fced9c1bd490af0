"""A counting reverse proxy on 127.0.0.1 in front of an index, so that tools
which cannot count their own traffic are counted the same way: requests, and
the response body bytes they receive (as sent, compressed where the index
compressed them).

Every path goes to the index's origin, except ``/_files/<scheme>/<host>/<path>``,
which goes to that host. Absolute links in pages (HTML ``href`` values, JSON
``"url"`` values, redirect targets) are rewritten to one of the two, so files
are fetched through the proxy as well. Range, If-Range, If-None-Match and
If-Modified-Since go up unchanged and the status (200, 206, 304, 416, a
redirect) comes back unchanged. Pages are read whole, up to a bound; files
stream through.
"""

from __future__ import annotations

import asyncio
import collections
import gzip
import re
import zlib
from urllib.parse import urljoin, urlsplit

import aiohttp
from aiohttp import web

FILES = "/_files/"
#: A page larger than this is refused (502): pages are held whole to be rewritten.
PAGE_MAX_BYTES = 64 * 1024 * 1024
CHUNK = 256 * 1024

#: Request headers passed up; Accept-Encoding is narrowed to what the proxy can decode.
FORWARD = ("Accept", "Range", "If-Range", "If-None-Match", "If-Modified-Since", "Cache-Control", "User-Agent")
#: Response headers passed back (Content-Length is set from what is sent).
BACK = ("Content-Type", "Content-Encoding", "Content-Range", "Accept-Ranges", "ETag", "Last-Modified",
        "Cache-Control", "Age", "Expires", "Vary", "Date")
_DECODABLE = ("gzip", "deflate", "identity")

_HTML_LINK = re.compile(rb"""(\bhref\s*=\s*["'])(https?)://([^/"'\s>]+)""", re.IGNORECASE)
_JSON_LINK = re.compile(rb'("url"\s*:\s*")(https?)://([^/"\\\s]+)')


def local_prefix(scheme: str, host: str, index_origin: str, proxy_origin: str) -> str:
    """What ``scheme://host`` becomes in a rewritten link: the proxy itself for
    the index's own origin, its ``/_files/`` road for any other host."""
    if f"{scheme}://{host}".lower() == index_origin.lower():
        return proxy_origin
    return f"{proxy_origin}{FILES}{scheme.lower()}/{host}"


def rewrite_links(body: bytes, kind: str, index_origin: str, proxy_origin: str) -> bytes:
    """*body* (``kind`` "html" or "json") with every absolute link pointed at the
    proxy; relative links already resolve against it and are left alone."""
    pattern = _JSON_LINK if kind == "json" else _HTML_LINK

    def replace(match: re.Match[bytes]) -> bytes:
        scheme, host = match.group(2).decode("ascii", "replace"), match.group(3).decode("ascii", "replace")
        return match.group(1) + local_prefix(scheme, host, index_origin, proxy_origin).encode()

    return pattern.sub(replace, body)


def upstream_url(path_qs: str, index_origin: str) -> str | None:
    """The URL a proxied path stands for, or None for a malformed ``/_files/`` path."""
    if not path_qs.startswith(FILES):
        return index_origin + path_qs
    scheme, _, rest = path_qs[len(FILES):].partition("/")
    host, _, tail = rest.partition("/")
    if scheme not in ("http", "https") or not host or "@" in host:
        return None
    return f"{scheme}://{host}/{tail}"


def rewrite_location(location: str, requested: str, index_origin: str, proxy_origin: str) -> str:
    """A redirect's target, resolved against the URL that was asked, then
    pointed at the proxy."""
    target = urlsplit(urljoin(requested, location))
    if target.scheme not in ("http", "https"):
        return location
    rest = target.path + (f"?{target.query}" if target.query else "")
    rest += f"#{target.fragment}" if target.fragment else ""
    return local_prefix(target.scheme, target.netloc, index_origin, proxy_origin) + rest


def page_kind(content_type: str) -> str | None:
    media = content_type.split(";", 1)[0].strip().lower()
    if media.endswith("json"):
        return "json"
    if media.endswith("html"):
        return "html"
    return None


def accept_encoding(asked: str | None) -> str:
    """The client's Accept-Encoding less what the proxy could not decode to
    rewrite a page; ``identity`` when nothing is left (aiohttp would add its own)."""
    kept = [part.strip() for part in (asked or "").split(",")
            if part.split(";", 1)[0].strip().lower() in _DECODABLE]
    return ", ".join(kept) or "identity"


def _decode(body: bytes, encoding: str) -> bytes:
    if encoding == "gzip":
        return _inflate(zlib.decompressobj(16 + zlib.MAX_WBITS), body)
    if encoding == "deflate":
        return _inflate(zlib.decompressobj(), body)
    return body


def _inflate(inflater: zlib._Decompress, body: bytes) -> bytes:
    out = inflater.decompress(body, PAGE_MAX_BYTES + 1)
    if len(out) > PAGE_MAX_BYTES:
        raise ValueError("page larger than the bound once inflated")
    return out


def _encode(body: bytes, encoding: str) -> bytes:
    if encoding == "gzip":
        return gzip.compress(body, 6, mtime=0)
    if encoding == "deflate":
        return zlib.compress(body, 6)
    return body


class CountingProxy:
    """``async with CountingProxy(index_url) as proxy``: ``proxy.index_url`` is
    the index through the proxy; ``reset()`` starts a new count; ``requests``,
    ``body_bytes``, the share of the index's own paths (``page_requests``,
    ``page_bytes``: pages, the rest are files), ``validated`` (answers carrying
    an ETag or Last-Modified), ``other_paths`` (neither the index's pages nor
    files: a JSON API, say), ``statuses`` (a Counter) and ``hosts``."""

    def __init__(self, index_url: str, *, read_timeout: float = 120.0) -> None:
        parts = urlsplit(index_url)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise ValueError("the upstream index must be an http(s) URL")
        self.index_origin = f"{parts.scheme}://{parts.netloc}"
        self._index_path = parts.path or "/"
        self._read_timeout = read_timeout
        self.hosts: set[str] = {parts.netloc}
        self.reset()

    def reset(self) -> None:
        self.requests = self.body_bytes = 0
        self.page_requests = self.page_bytes = 0
        self.validated = self.other_paths = 0
        self.statuses: collections.Counter[int] = collections.Counter()

    async def __aenter__(self) -> CountingProxy:
        timeout = aiohttp.ClientTimeout(total=None, sock_connect=30, sock_read=self._read_timeout)
        self._client = aiohttp.ClientSession(auto_decompress=False, timeout=timeout,
                                             connector=aiohttp.TCPConnector(limit=64))
        app = web.Application()
        app.router.add_route("*", "/{tail:.*}", self._handle)
        self._runner = web.AppRunner(app, access_log=None)
        await self._runner.setup()
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        await site.start()
        port = self._runner.addresses[0][1]
        self.origin = f"http://127.0.0.1:{port}"
        self.index_url = self.origin + self._index_path
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self._runner.cleanup()
        await self._client.close()

    async def _handle(self, request: web.Request) -> web.StreamResponse:
        self.requests += 1
        page = not request.raw_path.startswith(FILES)
        self.page_requests += page
        self.other_paths += page and not request.path.startswith(self._index_path)
        target = upstream_url(request.raw_path, self.index_origin)
        if target is None or request.method not in ("GET", "HEAD"):
            return self._count(web.Response(status=404 if target is None else 405), page)
        self.hosts.add(urlsplit(target).netloc)
        headers = {name: request.headers[name] for name in FORWARD if name in request.headers}
        headers["Accept-Encoding"] = accept_encoding(request.headers.get("Accept-Encoding"))
        try:
            async with self._client.request(request.method, target, headers=headers, allow_redirects=False) as up:
                back = {name: up.headers[name] for name in BACK if name in up.headers}
                self.validated += "ETag" in back or "Last-Modified" in back
                if "Location" in up.headers:
                    back["Location"] = rewrite_location(up.headers["Location"], target, self.index_origin, self.origin)
                kind = page_kind(up.headers.get("Content-Type", ""))
                if kind and request.method == "GET" and up.status == 200:
                    return self._count(await self._page(up, kind, back), page)
                return await self._stream(request, up, back, page)
        except (aiohttp.ClientError, asyncio.TimeoutError, ValueError) as exc:
            return self._count(web.Response(status=502, text=f"proxy: {type(exc).__name__}"), page)

    async def _page(self, up: aiohttp.ClientResponse, kind: str, back: dict[str, str]) -> web.Response:
        raw = bytearray()
        async for chunk in up.content.iter_chunked(CHUNK):
            raw += chunk
            if len(raw) > PAGE_MAX_BYTES:
                raise ValueError("page larger than the bound")
        encoding = up.headers.get("Content-Encoding", "identity").strip().lower()
        body = _encode(rewrite_links(_decode(bytes(raw), encoding), kind, self.index_origin, self.origin), encoding)
        return web.Response(status=up.status, body=body, headers=back)

    async def _stream(self, request: web.Request, up: aiohttp.ClientResponse,
                      back: dict[str, str], page: bool) -> web.StreamResponse:
        response = web.StreamResponse(status=up.status, reason=up.reason, headers=back)
        if up.headers.get("Content-Length", "").isdigit():
            response.content_length = int(up.headers["Content-Length"])
        self.statuses[up.status] += 1
        await response.prepare(request)
        if request.method == "GET":
            try:
                async for chunk in up.content.iter_chunked(CHUNK):
                    self._add(len(chunk), page)
                    await response.write(chunk)
            except (aiohttp.ClientError, asyncio.TimeoutError):
                # The status is sent: the tool can only be told by a cut connection.
                if request.transport is not None:
                    request.transport.close()
                return response
        await response.write_eof()
        return response

    def _count(self, response: web.Response, page: bool) -> web.Response:
        self.statuses[response.status] += 1
        self._add(len(response.body or b""), page)
        return response

    def _add(self, size: int, page: bool) -> None:
        self.body_bytes += size
        if page:
            self.page_bytes += size
