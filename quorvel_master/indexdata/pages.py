"""Project pages as data: what one index says about one project, read on the
event loop through the network layer and given back as a typed record.

    page = await read_project_page(network, "https://example.invalid/simple", "requests")
    if not page:                      # NotFound: the index has no such project
        ...
    for file in page.files:
        file.filename, file.version, file.upload_time, file.yanked, file.core_metadata

The page is asked in JSON first (PEP 691 content negotiation, HTML accepted
at a lower weight; a 406 is answered by asking again for HTML only) and read
by the native parser (``quorvel_master._native.parse_project_page``), which
gives the same record for both forms. Redirects are followed here (each one
a request of the layer's), so that the page's links resolve against the URL
that served it. A 404 or 410 is a :class:`NotFound`,
a falsy result, not an exception; anything that keeps the page from being
read (the connection, a status, a body larger than ``max_bytes``, a page that
is no project page or of a newer major API version) raises
:class:`PageError`, whose ``kind`` says which.
"""

from __future__ import annotations

import contextlib
import dataclasses as dc
import re
from collections.abc import AsyncIterator
from typing import Any, Literal

from .._native import ProjectFile, ProjectPage, mask_text, mask_url, parse_project_page, project_page_url, resolve_url

__all__ = [
    "ACCEPT",
    "PAGE_MAX_BYTES",
    "NotFound",
    "PageError",
    "ProjectFile",
    "ProjectPage",
    "page_format",
    "parse_project_page",
    "project_page_url",
    "read_project_page",
]

#: The largest page read, in bytes (the body as received, before any
#: decoding of its text). The default index's largest project pages are a
#: few tens of megabytes.
PAGE_MAX_BYTES = 64 * 1024 * 1024

#: JSON preferred, then HTML in either media type.
ACCEPT = "application/vnd.pypi.simple.v1+json, application/vnd.pypi.simple.v1+html;q=0.2, text/html;q=0.01"
#: After a 406: HTML only.
ACCEPT_HTML = "application/vnd.pypi.simple.v1+html, text/html;q=0.01"

#: Redirects followed for one page.
MAX_REDIRECTS = 10

_CHUNK = 64 * 1024
_REDIRECTS = frozenset({301, 302, 303, 307, 308})
_VERSIONED = re.compile(r"application/vnd\.pypi\.simple\.(v\d+|latest)\+(json|html)")


@dc.dataclass(frozen=True)
class NotFound:
    """The index answered that it has no such project (404 or 410). Falsy."""

    name: str
    index_url: str
    page_url: str
    status: int

    def __bool__(self) -> bool:
        return False

    def __repr__(self) -> str:
        return (f"NotFound(name={self.name!r}, index_url={mask_url(self.index_url)!r}, "
                f"page_url={mask_url(self.page_url)!r}, status={self.status})")


class PageError(Exception):
    """The page could not be read. ``kind`` is one of:

    - ``"unreachable"``: no answer (refused, timed out, TLS, ...; the
      network's exception is the ``__cause__``);
    - ``"status"``: an HTTP status other than 200, 404 and 410 (``status``);
    - ``"too-large"``: a body above the cap;
    - ``"unusable"``: a body that is no project page (its content type, broken
      JSON, an API version of a newer major).

    The message names the page with its credentials masked.
    """

    def __init__(self, kind: str, page_url: str, reason: str, *, index_url: str | None = None,
                 status: int | None = None) -> None:
        super().__init__(f"{mask_url(page_url)}: {mask_text(reason)}")
        self.kind = kind
        self.page_url = page_url
        self.index_url = index_url
        self.status = status
        self.reason = mask_text(reason)


def page_format(content_type: str) -> Literal["json", "html"]:
    """``"json"`` or ``"html"`` for a project page's Content-Type; raises
    ValueError for any other type, and for a version of the page formats
    other than 1."""
    media = content_type.partition(";")[0].strip().lower()
    if media == "text/html":
        return "html"
    match = _VERSIONED.fullmatch(media)
    if match is None:
        raise ValueError(f"the content type {media or '(none)'!r} is not a project page")
    if match[1] not in ("v1", "latest"):
        raise ValueError(f"the page's API version {match[1]} is one this reader does not know")
    return "json" if match[2] == "json" else "html"


async def read_project_page(network: Any, index_url: str, name: str, *,
                            max_bytes: int = PAGE_MAX_BYTES) -> ProjectPage | NotFound:
    """The page of project ``name`` at ``index_url``, through ``network``
    (a :class:`quorvel_master.network.Network`: its cache, retries, proxies,
    TLS, netrc and outcomes). A :class:`ProjectPage`, or :class:`NotFound`;
    raises :class:`PageError` when the page cannot be read."""
    page_url = project_page_url(index_url, name)
    async with _attributed(network, index_url):
        status, content_type, final_url, body = await _follow(network, index_url, page_url, ACCEPT, max_bytes)
        if status == 406:
            status, content_type, final_url, body = await _follow(network, index_url, page_url, ACCEPT_HTML,
                                                                  max_bytes)
    if status in (404, 410):
        return NotFound(name, index_url, page_url, status)
    if status != 200 or body is None:
        raise PageError("status", page_url, f"HTTP {status}", index_url=index_url, status=status)
    try:
        kind = page_format(content_type)
        return parse_project_page(_utf8(body, content_type) if kind == "html" else body, final_url, name,
                                  format=kind, index_url=index_url)
    except ValueError as exc:
        raise PageError("unusable", final_url, str(exc), index_url=index_url, status=status) from exc


@contextlib.asynccontextmanager
async def _attributed(network: Any, index_url: str) -> AsyncIterator[None]:
    """The requests made inside count for ``index_url`` in the layer's outcomes,
    where the layer can be told so."""
    asking = getattr(network, "asking", None)
    if asking is None:
        yield
        return
    manager = asking(index_url)
    if hasattr(manager, "__aenter__"):
        async with manager:
            yield
    else:
        with manager:
            yield


async def _follow(network: Any, index_url: str, page_url: str, accept: str,
                  max_bytes: int) -> tuple[int, str, str, bytes | None]:
    """(status, content type, URL, body of a 200), redirects followed here,
    each a request of the layer's, so that the page's links resolve against
    the URL that served it."""
    url = page_url
    for _ in range(MAX_REDIRECTS + 1):
        status, content_type, location, body = await _get(network, index_url, url, accept, max_bytes)
        if status not in _REDIRECTS or not location:
            return status, content_type, url, body
        url = resolve_url(url, location)
    raise PageError("unreachable", page_url, f"more than {MAX_REDIRECTS} redirects", index_url=index_url)


async def _get(network: Any, index_url: str, url: str, accept: str,
               max_bytes: int) -> tuple[int, str, str, bytes | None]:
    """(status, content type, Location, body of a 200)."""
    try:
        async with network.session().get(url, headers={"Accept": accept}, allow_redirects=False) as response:
            status = response.status
            if status != 200:
                return status, "", response.headers.get("Location", ""), None
            content_type = response.headers.get("Content-Type", "")
            body = await _read_bounded(response, url, index_url, max_bytes)
            return status, content_type, "", body
    except PageError:
        raise
    except Exception as exc:
        too_large = type(exc).__name__ == "ResponseTooLarge"  # the layer's own cap, below ours
        raise PageError("too-large" if too_large else "unreachable", url, str(exc) or type(exc).__name__,
                        index_url=index_url) from exc


async def _read_bounded(response: Any, page_url: str, index_url: str, limit: int) -> bytes:
    def too_large() -> PageError:
        return PageError("too-large", page_url, f"the page is larger than {limit} bytes", index_url=index_url)

    length = response.content_length if hasattr(response, "content_length") else None
    if length is not None and length > limit:
        raise too_large()
    stream = getattr(response, "content", None)
    if stream is None:  # an answer the layer holds whole already
        body: bytes = await response.read()
        if len(body) > limit:
            raise too_large()
        return body
    chunks, size = [], 0
    async for chunk in stream.iter_chunked(_CHUNK):
        size += len(chunk)
        if size > limit:
            raise too_large()
        chunks.append(chunk)
    return b"".join(chunks)


def _utf8(body: bytes, content_type: str) -> bytes:
    """An HTML page in UTF-8, from the charset its Content-Type names."""
    charset = None
    for parameter in content_type.split(";")[1:]:
        key, _, value = parameter.partition("=")
        if key.strip().lower() == "charset":
            charset = value.strip().strip('"').lower()
    if charset in (None, "", "utf-8", "utf8", "us-ascii", "ascii"):
        return body
    try:
        return body.decode(charset, "replace").encode("utf-8")
    except LookupError:
        return body
