"""Fault hooks of the sample index: what a test asks a path to do instead of
its normal answer.

Fixed responses, hanging, delays, connections closed mid-body, slow bodies,
bodies that trickle a few bytes at a time or never end, range requests
answered whole, redirects and redirect loops. A hook applies to an exact path
or an ``fnmatch`` pattern; the newest answering hook wins and every matching
delay is waited out first. A hook given ``times=N`` expires after N uses, one
given ``after=N`` lets the first N matching requests pass.
"""

from __future__ import annotations

import asyncio
import dataclasses as dc
import fnmatch
import io
import json
import os
import threading
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any

from aiohttp import web

from .requestlog import RequestRecord

__all__ = ["FaultHooks", "Hook", "Reply", "byte_range"]

_CHUNK = 64 * 1024


@dc.dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    content_type: str = "text/plain"
    headers: dict[str, str] = dc.field(default_factory=dict)

    def to_response(self) -> web.Response:
        resp = web.Response(status=self.status, body=self.body, headers=self.headers)
        resp.content_type = self.content_type
        return resp


@dc.dataclass
class Hook:
    pattern: str
    kind: str  # response | hang | delay | close | redirect | loop | throttle | trickle | endless | whole
    reply: Reply | None = None
    seconds: float = 0.0
    rate: int = 0
    #: Where a redirect sends the client.
    location: str = ""
    #: The chunks of a body that may never end.
    chunks: Callable[[], Iterable[bytes]] | None = None
    times: int | None = None
    #: Matching requests to let pass untouched before the hook applies.
    after: int = 0

    def matches(self, path: str) -> bool:
        return self.pattern == path or fnmatch.fnmatchcase(path, self.pattern)


_REDIRECTS: dict[int, type[web.HTTPRedirection]] = {
    301: web.HTTPMovedPermanently,
    302: web.HTTPFound,
    303: web.HTTPSeeOther,
    307: web.HTTPTemporaryRedirect,
    308: web.HTTPPermanentRedirect,
}


def byte_range(header: str, size: int) -> tuple[int, int] | None:
    """[start, end) of a single-range request (``bytes=A-B``, ``bytes=A-``,
    ``bytes=-N``) within *size* bytes; None for anything else."""
    unit, _, spec = header.partition("=")
    first, dash, last = spec.strip().partition("-")
    if unit.strip() != "bytes" or not dash or "," in spec:
        return None
    try:
        if not first:
            start, end = max(size - int(last), 0), size
        else:
            start, end = int(first), min(int(last) + 1, size) if last else size
    except ValueError:
        return None
    return (start, end) if 0 <= start < end else None


class FaultHooks:
    """The hooks' part of :class:`IndexServer`: setting hooks, and answering
    a request a hook took. The server gives it ``_lock``, ``ranges``,
    ``_stopping`` (set when it stops, which ends every wait), ``_file`` and
    ``_file_path`` (its file route and the file a request names)."""

    _lock: threading.RLock
    _hooks: list[Hook]
    ranges: bool
    _stopping: asyncio.Event | None

    def _add_hook(self, hook: Hook) -> None:
        with self._lock:
            self._hooks.insert(0, hook)

    def set_response(
        self,
        path: str,
        body: bytes | str | dict | list = b"",
        *,
        status: int = 200,
        content_type: str | None = None,
        headers: Mapping[str, str] | None = None,
        times: int | None = None,
    ) -> None:
        """Answer *path* with a fixed response (dict/list bodies become JSON)."""
        if isinstance(body, (dict, list)):
            data, ctype = json.dumps(body).encode(), "application/json"
        elif isinstance(body, str):
            data, ctype = body.encode("utf-8"), "text/plain"
        else:
            data, ctype = bytes(body), "application/octet-stream"
        reply = Reply(status, data, content_type or ctype, dict(headers or {}))
        self._add_hook(Hook(path, "response", reply=reply, times=times))

    def set_status(
        self, path: str, status: int, body: bytes | str = b"", *, times: int | None = None
    ) -> None:
        self.set_response(path, body, status=status, content_type="text/plain", times=times)

    def hang(self, path: str, *, times: int | None = None) -> None:
        """Never answer *path* (until the server stops)."""
        self._add_hook(Hook(path, "hang", times=times))

    def delay(self, path: str, seconds: float, *, times: int | None = None) -> None:
        """Wait *seconds* before the normal (or hooked) answer."""
        self._add_hook(Hook(path, "delay", seconds=seconds, times=times))

    def close_mid_body(
        self, path: str, body: bytes | None = None, *, times: int | None = None
    ) -> None:
        """Send headers and about half of the body, then drop the connection."""
        reply = None if body is None else Reply(200, body, "application/octet-stream")
        self._add_hook(Hook(path, "close", reply=reply, times=times))

    def throttle(self, path: str, bytes_per_second: int, *, times: int | None = None) -> None:
        """Send the normal answer's body whole (status 200, ranges ignored) at
        about *bytes_per_second*, in chunks of 64 KiB; stops when the client
        goes away."""
        self._add_hook(Hook(path, "throttle", rate=bytes_per_second, times=times))

    def ignore_ranges(self, path: str, *, after: int = 0, times: int | None = None) -> None:
        """Answer range requests for the files at *path* with the whole file
        (status 200), after letting the first *after* requests pass."""
        self._add_hook(Hook(path, "whole", times=times, after=after))

    def redirect_loop(self, path: str, *, times: int | None = None) -> None:
        """Redirect *path* back and forth to itself forever."""
        self._add_hook(Hook(path, "loop", times=times))

    def redirect(
        self, path: str, location: str, *, status: int = 302, after: int = 0, times: int | None = None
    ) -> None:
        """Answer *path* with a redirect (*status* 301, 302, 303, 307 or 308)
        to *location*, a URL or a path, after letting the first *after*
        requests pass."""
        if status not in _REDIRECTS:
            raise ValueError(f"not a redirect status: {status}")
        self._add_hook(Hook(path, "redirect", rate=status, location=location, after=after, times=times))

    def trickle(
        self, path: str, interval: float, *, piece: int = 1, after: int = 0, times: int | None = None
    ) -> None:
        """Send the normal answer of *path* (a range request to a file
        answered as a file server answers it, unless ranges are off) *piece*
        bytes every *interval* seconds, after letting the first *after*
        requests pass; stops when the client goes away."""
        self._add_hook(Hook(path, "trickle", seconds=interval, rate=piece, after=after, times=times))

    def endless(
        self,
        path: str,
        chunks: Callable[[], Iterable[bytes]],
        *,
        status: int = 200,
        headers: Mapping[str, str] | None = None,
        content_type: str = "application/octet-stream",
        interval: float = 0.0,
        after: int = 0,
        times: int | None = None,
    ) -> None:
        """Answer *path* with the chunks that ``chunks()`` gives (it may give
        them forever), one every *interval* seconds, chunked unless *headers*
        name a Content-Length; stops when the client goes away."""
        reply = Reply(status, b"", content_type, dict(headers or {}))
        self._add_hook(Hook(path, "endless", reply=reply, seconds=interval, chunks=chunks, after=after,
                            times=times))

    def clear_hook(self, path: str) -> None:
        with self._lock:
            self._hooks = [h for h in self._hooks if h.pattern != path]

    def clear_hooks(self) -> None:
        with self._lock:
            self._hooks.clear()

    def _take_hooks(self, path: str) -> list[Hook]:
        """All active delays for *path*, then the newest hook that answers."""
        taken = []
        answered = False
        for hook in self._hooks:
            if not hook.matches(path) or hook.times == 0:
                continue
            if hook.after > 0:
                hook.after -= 1
                continue
            if hook.kind != "delay":
                if answered:
                    continue
                answered = True
            if hook.times is not None:
                hook.times -= 1
            taken.append(hook)
        # Delays first, so they also hold back a fixed or broken answer.
        return sorted(taken, key=lambda h: h.kind != "delay")

    # -- answering ------------------------------------------------------------

    async def _answer(
        self, request: web.Request, handler: Any, record: RequestRecord, hooks: list[Hook]
    ) -> web.StreamResponse:
        """The answer to *request* under the *hooks* taken for it (delays
        first), or the route's own when none answers."""
        path = request.path
        for hook in hooks:
            if hook.kind == "delay":
                await self._sleep(hook.seconds)
            elif hook.kind == "hang":
                await self._sleep(None)
                return Reply(503, b"server stopping").to_response()
            elif hook.kind == "response":
                assert hook.reply is not None
                return hook.reply.to_response()
            elif hook.kind == "loop":
                target = path if request.query_string else path + "?loop=1"
                raise web.HTTPFound(target)
            elif hook.kind == "redirect":
                raise _REDIRECTS[hook.rate](hook.location)
            elif hook.kind == "close":
                reply = hook.reply or await self._normal_reply(request, handler)
                return await _close_mid_body(request, record, reply)
            elif hook.kind == "throttle":
                return await self._throttled(request, record, handler, hook.rate)
            elif hook.kind == "trickle":
                return await self._trickled(request, record, handler, hook.seconds, hook.rate)
            elif hook.kind == "endless":
                return await self._endless(request, record, hook)
            elif hook.kind == "whole" and request.match_info.route.name == "file":
                return await self._file(request, ranges=False)
        return await handler(request)

    async def _sleep(self, seconds: float | None) -> None:
        """Waits *seconds* (None: for ever), or until the server stops."""
        assert self._stopping is not None
        try:
            await asyncio.wait_for(self._stopping.wait(), seconds)
        except asyncio.TimeoutError:
            pass

    async def _normal_answer(self, request: web.Request, handler: Any) -> tuple[int, str, bytes | Path]:
        """Status, content type and body (bytes, or the file) that the
        routes give for *request*."""
        if request.match_info.route.name == "file":
            path = await self._file_path(request)
            if path is not None:
                return 200, "application/octet-stream", path
        try:
            response = await handler(request)
        except web.HTTPException as exc:
            response = exc
        body = response.body if isinstance(response.body, bytes) else b""
        return response.status, response.content_type, body

    async def _normal_reply(self, request: web.Request, handler: Any) -> Reply:
        status, content_type, body = await self._normal_answer(request, handler)
        data = body.read_bytes() if isinstance(body, Path) else body
        return Reply(status, data, content_type)

    async def _throttled(
        self, request: web.Request, record: RequestRecord, handler: Any, rate: int
    ) -> web.StreamResponse:
        status, content_type, body = await self._normal_answer(request, handler)
        with _opened(body) as source:
            resp = web.StreamResponse(status=status)
            resp.content_type = content_type
            resp.content_length = os.fstat(source.fileno()).st_size if isinstance(body, Path) else len(body)
            await resp.prepare(request)

            async def chunks() -> Any:
                while chunk := source.read(_CHUNK):
                    await asyncio.sleep(len(chunk) / rate)
                    yield chunk

            await _send(resp, record, chunks(), eof=True)
        return resp

    async def _trickled(
        self, request: web.Request, record: RequestRecord, handler: Any, interval: float, piece: int
    ) -> web.StreamResponse:
        status, content_type, body = await self._normal_answer(request, handler)
        with _opened(body) as source:
            size = source.seek(0, io.SEEK_END)
            start, end, headers = 0, size, {}
            wanted = byte_range(request.headers.get("Range", ""), size) if status == 200 and self.ranges else None
            if wanted is not None:
                start, end = wanted
                status, headers = 206, {"Content-Range": f"bytes {start}-{end - 1}/{size}"}
            source.seek(start)
            resp = web.StreamResponse(status=status, headers=headers)
            resp.content_type = content_type
            resp.content_length = end - start
            await resp.prepare(request)

            async def chunks() -> Any:
                left = end - start
                while left and not self._stopping.is_set():
                    await self._sleep(interval)
                    chunk = source.read(min(piece, left))
                    left -= len(chunk)
                    yield chunk

            await _send(resp, record, chunks(), eof=True)
        return resp

    async def _endless(self, request: web.Request, record: RequestRecord, hook: Hook) -> web.StreamResponse:
        assert hook.reply is not None and hook.chunks is not None
        resp = web.StreamResponse(status=hook.reply.status, headers=hook.reply.headers)
        resp.content_type = hook.reply.content_type
        if "Content-Length" not in hook.reply.headers:
            resp.enable_chunked_encoding()
        await resp.prepare(request)

        async def chunks() -> Any:
            for chunk in hook.chunks():
                if self._stopping.is_set():
                    break
                if hook.seconds:
                    await self._sleep(hook.seconds)
                yield chunk

        await _send(resp, record, chunks(), eof=False)
        return resp


def _opened(body: bytes | Path) -> io.BufferedIOBase:
    return body.open("rb") if isinstance(body, Path) else io.BytesIO(body)


async def _send(resp: web.StreamResponse, record: RequestRecord, chunks: Any, *, eof: bool) -> None:
    """Writes *chunks* (an async iterator) until they end or the client goes
    away, counting in *record* what was handed over (so a client holding a
    chunk sees it counted)."""
    record.sent = 0
    try:
        async for chunk in chunks:
            record.sent += len(chunk)
            try:
                await resp.write(chunk)
            except ConnectionError:
                record.sent -= len(chunk)
                raise
        if eof:
            await resp.write_eof()
    except ConnectionError:
        pass  # the client went away: nothing more is sent


async def _close_mid_body(request: web.Request, record: RequestRecord, reply: Reply) -> web.StreamResponse:
    """Sends the headers and about half of *reply*'s body, then drops the connection."""
    declared = max(len(reply.body), 2)
    resp = web.StreamResponse(status=reply.status, headers=reply.headers)
    resp.content_type = reply.content_type
    resp.content_length = declared
    await resp.prepare(request)
    await resp.write(reply.body[: declared // 2])
    record.sent = declared // 2
    # close() (not abort()) flushes what was written before dropping.
    if request.transport is not None:
        request.transport.close()
    # aiohttp treats the ConnectionError of its final write_eof() as a
    # client disconnect, so this ends quietly.
    return resp
