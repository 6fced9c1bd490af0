"""The core metadata of a wheel on an index, read on the event loop.

    requires = await read_wheel_metadata(session, wheel_url, hashes={"sha256": digest})

The reading itself (which bytes to ask for, which answers to use, the caps on
what a server may send, decoding, the hash check, which redirects to follow)
is the finder road's own reader, ``quorvel_master._native.WheelMetadataReader``,
the same code that serves the client's blocking road. This module drives it
with an aiohttp-shaped session (``aiohttp.ClientSession``, or the network
layer's ``Network.session()``): it sends the requests, bounds each in time,
follows redirects by the reader's rule, and keeps the temporary copy of a
wheel that had to be downloaded whole.

A wheel costs one to three range requests and a few dozen KiB when the server
honours ranges; otherwise it is streamed once into a temporary file, which is
gone on every way out. With ``metadata_url`` the metadata file the index
announces beside the wheel is read instead, and the wheel is never asked for.
"""

from __future__ import annotations

import asyncio
import posixpath
import tempfile
import urllib.parse
from collections.abc import AsyncIterator, Mapping
from typing import IO, Any

import aiohttp

from .._native import WheelMetadataReader, mask_text

Wanted = tuple[str, int, "int | None"]


class UnreadableMetadata(Exception):
    """The core metadata could not be read; the message says why, with any
    credentials of a URL masked. The error that ended the read is its cause."""


async def read_wheel_metadata(
    session: Any,
    url: str,
    *,
    hashes: Mapping[str, str] | None = None,
    metadata_url: str | None = None,
    metadata_hashes: Mapping[str, str] | None = None,
    headers: Mapping[str, str] | None = None,
    timeout: float | None = None,
    whole: bool = False,
) -> list[str] | bytes:
    """The Requires-Dist values of the wheel at `url` (or, with `whole`, its
    METADATA file itself), as the email parser reads them.

    `hashes` ({hashlib name: hex digest}) check a wheel downloaded whole; with
    `metadata_url` its announced metadata file is read instead, checked
    against `metadata_hashes`. `headers` go with every request (Authorization
    and Cookie only to the origin asked). `timeout` bounds each request in
    all, the reader's ``TIMEOUT`` by default; a whole wheel has no total but
    must bring ``LEAST_PROGRESS`` bytes in every such period.

    Raises UnreadableMetadata; cancellation passes through.
    """
    seconds = timeout if timeout is not None and timeout > 0 else WheelMetadataReader.TIMEOUT
    target = metadata_url or url
    checked = metadata_hashes if metadata_url else hashes
    reader = WheelMetadataReader(target, filename=wheel_filename(url), hashes=dict(checked) if checked else None,
                                 metadata_file=metadata_url is not None, whole=whole)
    read = _Read(session, target, dict(headers or {}), seconds, metadata_url is not None)
    try:
        while (want := reader.wanted()) is not None:
            if want[0] == "copy":
                read.copy.feed(reader, want)
            else:
                await read.fetch(reader, want)
        return reader.metadata() if whole else reader.result()
    except Exception as exc:
        raise UnreadableMetadata(mask_text(str(exc) or type(exc).__name__)) from exc
    finally:
        read.copy.close()


def wheel_filename(url: str) -> str:
    """The file name a wheel's URL ends in, as the archive's messages name it."""
    return urllib.parse.unquote(posixpath.basename(urllib.parse.urlsplit(url).path))


class _Copy:
    """The temporary copy of a wheel downloaded whole: made when the download
    starts, read where the reader asks, closed (and so gone) at the end."""

    def __init__(self) -> None:
        self.file: IO[bytes] | None = None

    def keep(self, piece: bytes) -> None:
        if self.file is None:
            self.file = tempfile.TemporaryFile(prefix="pkgindex-", suffix=".whl")
        self.file.write(piece)

    def feed(self, reader: WheelMetadataReader, want: Wanted) -> None:
        _, start, end = want
        assert self.file is not None and end is not None, "a copy is read only after its download"
        self.file.seek(start)
        reader.feed(self.file.read(end - start))
        reader.end()

    def close(self) -> None:
        if self.file is not None:
            self.file.close()


def _request_headers(headers: dict[str, str], want: Wanted) -> dict[str, str]:
    kind, start, end = want
    sent = {name: value for name, value in headers.items() if name.lower() not in ("range", "accept-encoding")}
    if kind == "tail":
        sent["Range"] = f"bytes={start}"
    elif kind == "range":
        sent["Range"] = f"bytes={start}-{end - 1}"  # type: ignore[operator]
    sent["Accept-Encoding"] = "identity"
    return sent


class _Read:
    """The requests of one read: where, with which headers, in how long."""

    def __init__(self, session: Any, url: str, headers: dict[str, str], seconds: float, metadata_file: bool) -> None:
        self.session, self.url, self.headers, self.seconds = session, url, headers, seconds
        self.metadata_file = metadata_file
        self.copy = _Copy()

    async def fetch(self, reader: WheelMetadataReader, want: Wanted) -> None:
        """One request for what the reader wants; its answer handed to the reader."""
        deadline = asyncio.get_running_loop().time() + self.seconds
        try:
            async with asyncio.timeout_at(deadline):
                response = await _open(self.session, self.url, _request_headers(self.headers, want))
        except TimeoutError:
            raise TimeoutError(_no_whole_answer(self.url, self.seconds)) from None
        try:
            status = response.status
            if want[0] == "whole" or status != 416:  # a 416 to a range request is an answer the reader weighs
                response.raise_for_status()
            body = reader.respond(status, response.headers)
            if body == "skip":
                return
            if body == "whole" and not self.metadata_file:
                await _download(response, reader, self.url, self.seconds, self.copy)
            else:
                await _read_within(response, reader, self.url, self.seconds, deadline)
            reader.end()
        finally:
            response.release()  # aiohttp closes a connection whose body was not read to its end


async def _open(session: Any, first: str, headers: dict[str, str]) -> Any:
    """The first answer that is not a redirect to follow, its body unread.
    The session's own time-outs are off: the deadlines here bound the request,
    and a whole wheel may take longer than any total."""
    url, sent, made = first, headers, 0
    while True:
        response = await session.get(url, headers=sent, allow_redirects=False, auto_decompress=False,
                                     timeout=aiohttp.ClientTimeout())
        try:
            hop = WheelMetadataReader.redirect(first, url, response.status, response.headers.get("Location"), sent,
                                               made)
        except BaseException:
            response.close()
            raise
        if hop is None:
            return response
        response.close()
        (url, sent), made = hop, made + 1


# Pieces of a body as the finder's client hands them out: a chunk never
# carries a body past two of the reader's caps at once.
_CHUNK = 64 << 10


async def _chunks(response: Any) -> AsyncIterator[bytes]:
    """The body as it arrives, at most _CHUNK bytes at a time; a response read
    whole already comes in one piece."""
    content = getattr(response, "content", None)
    if content is None:
        yield await response.read()
        return
    while chunk := await content.read(_CHUNK):
        yield chunk


async def _read_within(response: Any, reader: WheelMetadataReader, url: str, seconds: float,
                       deadline: float) -> None:
    """The body of a small read, within the request's total time; it stops
    where the reader wants no more of it."""
    try:
        async with asyncio.timeout_at(deadline):
            async for chunk in _chunks(response):
                if not reader.feed(chunk):
                    return
    except TimeoutError:
        raise TimeoutError(_no_whole_answer(url, seconds)) from None


async def _download(response: Any, reader: WheelMetadataReader, url: str, seconds: float, copy: _Copy) -> None:
    """A whole wheel into the copy: no total time, but LEAST_PROGRESS bytes
    must arrive in every period of `seconds`."""
    least = WheelMetadataReader.LEAST_PROGRESS
    loop = asyncio.get_running_loop()
    arrived = 0
    try:
        async with asyncio.timeout(seconds) as period:
            async for chunk in _chunks(response):
                arrived += len(chunk)
                if arrived >= least:  # this period has brought enough: the next one starts
                    arrived = 0
                    period.reschedule(loop.time() + seconds)
                reader.feed(chunk, copy.keep)
    except TimeoutError:
        raise TimeoutError(f"{url} timed out: less than {least >> 10} KiB arrived in {seconds:g} s") from None


def _no_whole_answer(url: str, seconds: float) -> str:
    return f"{url} timed out: no whole answer within {seconds:g} s"
