"""A local package index served by aiohttp from a background thread.

The server runs its own event loop in its own thread, so a client that
blocks its own loop (or the calling thread) still gets answers.

It serves, from an in-memory registry that may be changed at any time:

* ``/pypi/{name}/json`` and ``/pypi/{name}/{version}/json``: JSON API
  documents (``info``, ``releases``, ``urls``),
* ``/simple/`` and ``/simple/{normalized-name}/``: HTML simple pages with
  ``#sha256=`` fragments, ``data-requires-python``, ``data-yanked`` and,
  per project, the announcement of ``<file url>.metadata`` files (with the
  file's hash, or as ``true``),
* ``/files/{normalized-name}/{filename}[.metadata]``: archives and metadata,
  by aiohttp's file response: range requests and conditional requests are
  answered as a file server does, unless ``ranges`` is switched off (then
  every answer is the whole file, status 200).

Archives are kept in memory or, for large ones, in a file of their own
(:class:`DistFile` ``path``); in-memory archives are written to a directory of
the server's while it runs, named by their hash.

Hooks change what any path (an exact path or an ``fnmatch`` pattern) does:
fixed responses, hanging, delays, connections closed mid-body, slow bodies,
bodies that trickle a few bytes at a time or never end, redirects and
redirect loops. The newest answering hook wins; every matching delay is
waited out first. A hook given ``times=N`` expires after N uses.

Every request is recorded with its status and the bytes of body the server
sent (:attr:`IndexServer.requests`, :meth:`IndexServer.bytes_sent`). A test
waits for the server to have seen a request (:meth:`IndexServer.wait_for_hits`)
or to be done with the requests it saw (:meth:`IndexServer.wait_until_done`)
instead of sleeping.
"""

from __future__ import annotations

import asyncio
import dataclasses as dc
import fnmatch
import hashlib
import html
import io
import json
import os
import shutil
import tempfile
import threading
from collections import Counter
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any
from urllib.parse import quote

from aiohttp import web
from packaging.utils import canonicalize_name
from packaging.version import InvalidVersion, Version

from .wheels import build_sdist_bytes, build_wheel_bytes, extract_metadata

__all__ = ["DistFile", "IndexServer", "Project", "Release", "RequestRecord"]

DEFAULT_METADATA_ATTRS = ("data-dist-info-metadata", "data-core-metadata")
_RELEASE_KEYS = frozenset(
    {"summary", "requires_dist", "extras", "requires_python", "yanked", "files"}
)
_CHUNK = 64 * 1024


@dc.dataclass
class DistFile:
    filename: str
    #: The archive's bytes; None when it lives at ``path``.
    content: bytes | None
    #: Core metadata served at ``<file url>.metadata``; None means none exists.
    metadata: bytes | None = None
    requires_python: str | None = None
    #: Yank reason; "" yanks without a reason, None means not yanked.
    yanked: str | None = None
    #: The archive on disk, for files too large to keep in memory.
    path: Path | None = None
    _digests: dict[str, str] | None = dc.field(default=None, init=False, repr=False, compare=False)

    def _digest(self, name: str) -> str:
        if self.content is not None:
            return hashlib.new(name, self.content).hexdigest()
        if self._digests is None:  # a file is read once, for both digests
            assert self.path is not None
            sha256, md5 = hashlib.sha256(), hashlib.md5(usedforsecurity=False)
            with self.path.open("rb") as f:
                while chunk := f.read(1 << 20):
                    sha256.update(chunk)
                    md5.update(chunk)
            self._digests = {"sha256": sha256.hexdigest(), "md5": md5.hexdigest()}
        return self._digests[name]

    @property
    def sha256(self) -> str:
        return self._digest("sha256")

    @property
    def md5(self) -> str:
        return self._digest("md5")

    @property
    def size(self) -> int:
        if self.content is not None:
            return len(self.content)
        assert self.path is not None
        return self.path.stat().st_size

    @property
    def packagetype(self) -> str:
        return "bdist_wheel" if self.filename.endswith(".whl") else "sdist"


@dc.dataclass
class Release:
    version: str
    summary: str = ""
    #: None is published as JSON null, like indexes do for "no requirements".
    requires_dist: list[str] | None = None
    extras: list[str] = dc.field(default_factory=list)
    requires_python: str | None = None
    yanked: str | None = None
    files: list[DistFile] = dc.field(default_factory=list)


@dc.dataclass
class Project:
    name: str
    releases: dict[str, Release] = dc.field(default_factory=dict)
    #: Serve and announce ``.metadata`` files (PEP 658/714).
    metadata_files: bool = True
    metadata_attrs: tuple[str, ...] = DEFAULT_METADATA_ATTRS
    #: The hash the announcement carries (any hashlib name); None announces "true".
    metadata_hash: str | None = "sha256"
    #: Forces ``info.version`` of the project document.
    latest: str | None = None

    @property
    def normalized(self) -> str:
        return canonicalize_name(self.name)


@dc.dataclass
class RequestRecord:
    method: str
    path: str
    query: str
    headers: Mapping[str, str]
    #: The answer's status, once the server answered.
    status: int | None = None
    #: Bytes of body sent: the declared length of a complete answer, what was
    #: written for a body cut short or sent slowly by a hook.
    sent: int = 0
    #: Whether the server's handling is over. For the hooks that write the
    #: body themselves (slow, trickling or endless bodies, bodies cut short)
    #: the last byte is out or the client went away; an ordinary answer may
    #: still be on its way.
    done: bool = False


@dc.dataclass
class _Reply:
    status: int = 200
    body: bytes = b""
    content_type: str = "text/plain"
    headers: dict[str, str] = dc.field(default_factory=dict)

    def to_response(self) -> web.Response:
        resp = web.Response(status=self.status, body=self.body, headers=self.headers)
        resp.content_type = self.content_type
        return resp


@dc.dataclass
class _Hook:
    pattern: str
    kind: str  # response | hang | delay | close | redirect | loop | throttle | trickle | endless | whole
    reply: _Reply | None = None
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


def _byte_range(header: str, size: int) -> tuple[int, int] | None:
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


def _json_reply(doc: Any, status: int = 200) -> web.Response:
    return web.json_response(doc, status=status, dumps=json.dumps)


def _not_found(message: str = "Not Found") -> web.Response:
    return _json_reply({"message": message}, 404)


def _valid_version(text: str) -> Version | None:
    try:
        return Version(text)
    except InvalidVersion:
        return None


class IndexServer:
    """Local package index; use as a context manager or call start()/stop().

    ``ranges=False`` makes the file routes ignore range requests (the whole
    file, status 200), as some servers and proxies do; the attribute may be
    switched while the server runs.
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        version_docs_include_releases: bool = True,
        ranges: bool = True,
    ) -> None:
        self.host = host
        self._port = port
        #: Whether ``/pypi/{name}/{version}/json`` also carries ``releases``.
        self.version_docs_include_releases = version_docs_include_releases
        #: Whether the file routes answer range requests.
        self.ranges = ranges
        self._lock = threading.RLock()
        # notified when a request arrives and when its handling ends
        self._changed = threading.Condition(self._lock)
        self._projects: dict[str, Project] = {}
        self._hooks: list[_Hook] = []
        self._hits: Counter[str] = Counter()
        self._log: list[RequestRecord] = []
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._runner: web.AppRunner | None = None
        self._stopping: asyncio.Event | None = None
        self._ready = threading.Event()
        self._start_error: BaseException | None = None
        self._spool: Path | None = None
        # id(request) -> (request, its record) until its answer is prepared
        self._unanswered: dict[int, tuple[web.BaseRequest, RequestRecord]] = {}

    # -- life cycle -----------------------------------------------------

    def start(self, timeout: float = 10.0) -> IndexServer:
        if self._thread is not None:
            raise RuntimeError("server already started")
        self._ready.clear()
        self._spool = Path(tempfile.mkdtemp(prefix="sampleindex-"))
        self._thread = threading.Thread(
            target=self._run, name=f"IndexServer-{id(self):x}", daemon=True
        )
        self._thread.start()
        if not self._ready.wait(timeout):
            raise RuntimeError("index server did not start in time")
        if self._start_error is not None:
            self._thread.join()
            self._thread = None
            self._remove_spool()
            raise RuntimeError(f"index server failed to start: {self._start_error}") from (
                self._start_error
            )
        return self

    def stop(self, timeout: float = 10.0) -> None:
        thread, loop = self._thread, self._loop
        if thread is None or loop is None:
            return
        future = asyncio.run_coroutine_threadsafe(self._shutdown(), loop)
        try:
            future.result(timeout)
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join(timeout)
            self._thread = None
            self._loop = None
            self._remove_spool()

    def _remove_spool(self) -> None:
        if self._spool is not None:
            shutil.rmtree(self._spool, ignore_errors=True)
            self._spool = None

    def __enter__(self) -> IndexServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _run(self) -> None:
        loop = asyncio.new_event_loop()
        asyncio.set_event_loop(loop)
        self._loop = loop
        try:
            loop.run_until_complete(self._setup())
        except BaseException as exc:  # reported by start()
            self._start_error = exc
            self._ready.set()
            loop.close()
            return
        self._ready.set()
        try:
            loop.run_forever()
        finally:
            pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
            for task in pending:
                task.cancel()
            if pending:
                loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
            loop.close()

    async def _setup(self) -> None:
        self._stopping = asyncio.Event()
        # Hooks see every request first, whatever its path; then a missing
        # trailing slash is redirected as index servers do.
        app = web.Application(
            middlewares=[
                self._hooks_middleware,
                web.normalize_path_middleware(
                    append_slash=True, merge_slashes=False, redirect_class=web.HTTPMovedPermanently
                ),
            ]
        )
        app.router.add_get("/simple/", self._simple_root)
        app.router.add_get("/simple/{name}/", self._simple_page)
        app.router.add_get("/pypi/{name}/json", self._project_json)
        app.router.add_get("/pypi/{name}/{version}/json", self._version_json)
        app.router.add_get("/files/{name}/{filename}", self._file, name="file")
        app.on_response_prepare.append(self._record_answer)
        # Hanging handlers are released by _stopping, so a short grace is enough.
        self._runner = web.AppRunner(
            app, handle_signals=False, access_log=None, shutdown_timeout=2.0
        )
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.host, self._port)
        await site.start()
        self._port = self._runner.addresses[0][1]

    async def _shutdown(self) -> None:
        assert self._stopping is not None and self._runner is not None
        self._stopping.set()
        await self._runner.cleanup()

    # -- addresses --------------------------------------------------------

    @property
    def port(self) -> int:
        return self._port

    @property
    def url(self) -> str:
        if self._thread is None:
            raise RuntimeError("server is not running")
        return f"http://{self.host}:{self._port}"

    @property
    def simple_url(self) -> str:
        return self.url + "/simple"

    @property
    def json_api_pattern(self) -> str:
        return self.url + "/pypi/{package_name}/{version}/json"

    def file_url(self, name: str, filename: str) -> str:
        return f"{self.url}/files/{canonicalize_name(name)}/{quote(filename)}"

    # -- registry ---------------------------------------------------------

    def add_project(
        self,
        name: str,
        releases: Mapping[str, Mapping[str, Any] | None] | Iterable[str] = (),
        *,
        metadata_files: bool = True,
        metadata_attrs: Iterable[str] = DEFAULT_METADATA_ATTRS,
        metadata_hash: str | None = "sha256",
        latest: str | None = None,
    ) -> Project:
        """Register (or replace) a project.

        *releases* maps a version key to ``None`` or a dict with the optional
        keys summary, requires_dist, extras, requires_python, yanked and files.
        ``files`` lists "wheel"/"sdist" (built here; default: a wheel) and/or
        ready :class:`DistFile` objects. Keys that are not valid versions get
        no built files but still appear under ``releases``. *metadata_hash*
        names the hash that announces each metadata file (None: "true").
        """
        if not isinstance(releases, Mapping):
            releases = {v: None for v in releases}
        if metadata_hash is not None:
            hashlib.new(metadata_hash)  # an unknown name fails here, not in a page
        project = Project(
            name,
            metadata_files=metadata_files,
            metadata_attrs=tuple(metadata_attrs),
            metadata_hash=metadata_hash,
            latest=latest,
        )
        for key, info in releases.items():
            project.releases[key] = self._make_release(name, key, dict(info or {}))
        with self._lock:
            self._projects[project.normalized] = project
        return project

    @staticmethod
    def _make_release(name: str, version: str, info: dict[str, Any]) -> Release:
        unknown = set(info) - _RELEASE_KEYS
        if unknown:
            raise ValueError(f"unknown release key(s) for {name} {version}: {sorted(unknown)}")
        requires = info.get("requires_dist")
        release = Release(
            version,
            summary=info.get("summary", ""),
            requires_dist=None if requires is None else list(requires),
            extras=list(info.get("extras", ())),
            requires_python=info.get("requires_python"),
            yanked=info.get("yanked"),
        )
        wanted = info.get("files", ("wheel",) if _valid_version(version) else ())
        for item in wanted:
            if isinstance(item, DistFile):
                release.files.append(item)
                continue
            builder = {"wheel": build_wheel_bytes, "sdist": build_sdist_bytes}.get(item)
            if builder is None:
                raise ValueError(f"files entries must be 'wheel', 'sdist' or DistFile: {item!r}")
            filename, content = builder(
                name,
                version,
                release.requires_dist or (),
                release.extras,
                release.summary,
                release.requires_python,
                check_requirements=False,
            )
            release.files.append(
                DistFile(
                    filename,
                    content,
                    metadata=extract_metadata(filename, content),
                    requires_python=release.requires_python,
                    yanked=release.yanked,
                )
            )
        return release

    def add_file(
        self,
        name: str,
        version: str,
        filename: str,
        content: bytes | os.PathLike[str],
        *,
        metadata: bytes | None = None,
        requires_python: str | None = None,
        yanked: str | None = None,
    ) -> DistFile:
        """Attach an existing archive to a release (created if missing).

        *content* is the archive's bytes or its path; a path is served from
        the disk, never read whole into memory.
        """
        path = None if isinstance(content, (bytes, bytearray)) else Path(content)
        data = bytes(content) if path is None else None
        if metadata is None:
            metadata = extract_metadata(filename, path if path is not None else data)
        dist = DistFile(filename, data, metadata, requires_python, yanked, path)
        dist.sha256  # a file is hashed here, once, not by the server's loop at its first page
        with self._lock:
            project = self._projects.setdefault(canonicalize_name(name), Project(name))
            release = project.releases.setdefault(version, Release(version))
            release.files.append(dist)
        return dist

    def project(self, name: str) -> Project:
        """The live project object; edit it under :meth:`locked` if serving."""
        with self._lock:
            return self._projects[canonicalize_name(name)]

    def locked(self) -> threading.RLock:
        return self._lock

    def set_metadata_files(self, name: str, enabled: bool) -> None:
        with self._lock:
            self._projects[canonicalize_name(name)].metadata_files = enabled

    def remove_project(self, name: str) -> None:
        with self._lock:
            self._projects.pop(canonicalize_name(name), None)

    def clear_projects(self) -> None:
        with self._lock:
            self._projects.clear()

    # -- hooks ------------------------------------------------------------

    def _add_hook(self, hook: _Hook) -> None:
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
        reply = _Reply(status, data, content_type or ctype, dict(headers or {}))
        self._add_hook(_Hook(path, "response", reply=reply, times=times))

    def set_status(
        self, path: str, status: int, body: bytes | str = b"", *, times: int | None = None
    ) -> None:
        self.set_response(path, body, status=status, content_type="text/plain", times=times)

    def hang(self, path: str, *, times: int | None = None) -> None:
        """Never answer *path* (until the server stops)."""
        self._add_hook(_Hook(path, "hang", times=times))

    def delay(self, path: str, seconds: float, *, times: int | None = None) -> None:
        """Wait *seconds* before the normal (or hooked) answer."""
        self._add_hook(_Hook(path, "delay", seconds=seconds, times=times))

    def close_mid_body(
        self, path: str, body: bytes | None = None, *, times: int | None = None
    ) -> None:
        """Send headers and about half of the body, then drop the connection."""
        reply = None if body is None else _Reply(200, body, "application/octet-stream")
        self._add_hook(_Hook(path, "close", reply=reply, times=times))

    def throttle(self, path: str, bytes_per_second: int, *, times: int | None = None) -> None:
        """Send the normal answer's body whole (status 200, ranges ignored) at
        about *bytes_per_second*, in chunks of 64 KiB; stops when the client
        goes away."""
        self._add_hook(_Hook(path, "throttle", rate=bytes_per_second, times=times))

    def ignore_ranges(self, path: str, *, after: int = 0, times: int | None = None) -> None:
        """Answer range requests for the files at *path* with the whole file
        (status 200), after letting the first *after* requests pass."""
        self._add_hook(_Hook(path, "whole", times=times, after=after))

    def redirect_loop(self, path: str, *, times: int | None = None) -> None:
        """Redirect *path* back and forth to itself forever."""
        self._add_hook(_Hook(path, "loop", times=times))

    def redirect(
        self, path: str, location: str, *, status: int = 302, after: int = 0, times: int | None = None
    ) -> None:
        """Answer *path* with a redirect (*status* 301, 302, 303, 307 or 308)
        to *location*, a URL or a path, after letting the first *after*
        requests pass."""
        if status not in _REDIRECTS:
            raise ValueError(f"not a redirect status: {status}")
        self._add_hook(_Hook(path, "redirect", rate=status, location=location, after=after, times=times))

    def trickle(
        self, path: str, interval: float, *, piece: int = 1, after: int = 0, times: int | None = None
    ) -> None:
        """Send the normal answer of *path* (a range request to a file
        answered as a file server answers it, unless ranges are off) *piece*
        bytes every *interval* seconds, after letting the first *after*
        requests pass; stops when the client goes away."""
        self._add_hook(_Hook(path, "trickle", seconds=interval, rate=piece, after=after, times=times))

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
        reply = _Reply(status, b"", content_type, dict(headers or {}))
        self._add_hook(_Hook(path, "endless", reply=reply, seconds=interval, chunks=chunks, after=after,
                             times=times))

    def clear_hook(self, path: str) -> None:
        with self._lock:
            self._hooks = [h for h in self._hooks if h.pattern != path]

    def clear_hooks(self) -> None:
        with self._lock:
            self._hooks.clear()

    def _take_hooks(self, path: str) -> list[_Hook]:
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

    # -- request counters -----------------------------------------------

    def hits(self, path: str | None = None) -> int:
        """Requests seen for *path* (query ignored), or in total."""
        with self._lock:
            return sum(self._hits.values()) if path is None else self._hits[path]

    def bytes_sent(self, path: str | None = None) -> int:
        """Bytes of body sent for *path* (query ignored), or in total."""
        with self._lock:
            return sum(r.sent for r in self._log if path is None or r.path == path)

    def wait_for_hits(self, path: str | None = None, count: int = 1, timeout: float = 30.0) -> bool:
        """Blocks until *count* requests for *path* (or in total) have
        arrived; False if they have not within *timeout* seconds. A client on
        an event loop of its own waits through ``asyncio.to_thread``."""
        with self._changed:
            return self._changed.wait_for(lambda: self.hits(path) >= count, timeout)

    def wait_until_done(self, path: str | None = None, timeout: float = 30.0) -> bool:
        """Blocks until the server is done with every request for *path* (or
        every request) it has seen (see :attr:`RequestRecord.done`); False if
        it is not within *timeout* seconds."""
        with self._changed:
            return self._changed.wait_for(
                lambda: all(r.done for r in self._log if path is None or r.path == path), timeout
            )

    def reset_hits(self) -> None:
        with self._lock:
            self._hits.clear()
            self._log.clear()
            self._unanswered.clear()

    @property
    def requests(self) -> list[RequestRecord]:
        with self._lock:
            return list(self._log)

    # -- request handling ---------------------------------------------------

    @web.middleware
    async def _hooks_middleware(self, request: web.Request, handler: Any) -> web.StreamResponse:
        path = request.path
        record = RequestRecord(request.method, path, request.query_string, dict(request.headers))
        with self._changed:
            self._hits[path] += 1
            self._log.append(record)
            self._unanswered[id(request)] = (request, record)
            hooks = self._take_hooks(path)
            self._changed.notify_all()
        try:
            return await self._answer(request, handler, record, hooks)
        finally:
            with self._changed:
                record.done = True
                self._changed.notify_all()

    async def _answer(
        self, request: web.Request, handler: Any, record: RequestRecord, hooks: list[_Hook]
    ) -> web.StreamResponse:
        path = request.path
        for hook in hooks:
            if hook.kind == "delay":
                await self._sleep(hook.seconds)
            elif hook.kind == "hang":
                await self._sleep(None)
                return _Reply(503, b"server stopping").to_response()
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
                return await self._close_mid_body(request, record, reply)
            elif hook.kind == "throttle":
                return await self._throttled(request, record, handler, hook.rate)
            elif hook.kind == "trickle":
                return await self._trickled(request, record, handler, hook.seconds, hook.rate)
            elif hook.kind == "endless":
                return await self._endless(request, record, hook)
            elif hook.kind == "whole" and request.match_info.route.name == "file":
                return await self._file(request, ranges=False)
        return await handler(request)

    async def _record_answer(self, request: web.BaseRequest, response: web.StreamResponse) -> None:
        with self._lock:
            _, record = self._unanswered.pop(id(request), (None, None))
        if record is not None:
            record.status = response.status
            record.sent = response.content_length or 0

    async def _sleep(self, seconds: float | None) -> None:
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

    async def _normal_reply(self, request: web.Request, handler: Any) -> _Reply:
        status, content_type, body = await self._normal_answer(request, handler)
        data = body.read_bytes() if isinstance(body, Path) else body
        return _Reply(status, data, content_type)

    @staticmethod
    async def _close_mid_body(request: web.Request, record: RequestRecord, reply: _Reply) -> web.StreamResponse:
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

    async def _throttled(
        self, request: web.Request, record: RequestRecord, handler: Any, rate: int
    ) -> web.StreamResponse:
        status, content_type, body = await self._normal_answer(request, handler)
        source = body.open("rb") if isinstance(body, Path) else io.BytesIO(body)
        with source:
            resp = web.StreamResponse(status=status)
            resp.content_type = content_type
            resp.content_length = os.fstat(source.fileno()).st_size if isinstance(body, Path) else len(body)
            await resp.prepare(request)
            record.sent = 0
            try:
                while chunk := source.read(_CHUNK):
                    await asyncio.sleep(len(chunk) / rate)
                    # Counted when handed over, so a client holding it sees it counted.
                    record.sent += len(chunk)
                    try:
                        await resp.write(chunk)
                    except ConnectionError:
                        record.sent -= len(chunk)
                        raise
                await resp.write_eof()
            except ConnectionError:
                pass  # the client went away: nothing more is sent
        return resp

    async def _trickled(
        self, request: web.Request, record: RequestRecord, handler: Any, interval: float, piece: int
    ) -> web.StreamResponse:
        status, content_type, body = await self._normal_answer(request, handler)
        source = body.open("rb") if isinstance(body, Path) else io.BytesIO(body)
        with source:
            size = source.seek(0, io.SEEK_END)
            start, end, headers = 0, size, {}
            wanted = _byte_range(request.headers.get("Range", ""), size) if status == 200 and self.ranges else None
            if wanted is not None:
                start, end = wanted
                status, headers = 206, {"Content-Range": f"bytes {start}-{end - 1}/{size}"}
            source.seek(start)
            resp = web.StreamResponse(status=status, headers=headers)
            resp.content_type = content_type
            resp.content_length = end - start
            await resp.prepare(request)
            record.sent = 0
            left = end - start
            try:
                while left and not self._stopping.is_set():
                    await self._sleep(interval)
                    chunk = source.read(min(piece, left))
                    left -= len(chunk)
                    record.sent += len(chunk)
                    try:
                        await resp.write(chunk)
                    except ConnectionError:
                        record.sent -= len(chunk)
                        raise
                await resp.write_eof()
            except ConnectionError:
                pass  # the client went away: nothing more is sent
        return resp

    async def _endless(self, request: web.Request, record: RequestRecord, hook: _Hook) -> web.StreamResponse:
        assert hook.reply is not None and hook.chunks is not None
        resp = web.StreamResponse(status=hook.reply.status, headers=hook.reply.headers)
        resp.content_type = hook.reply.content_type
        if "Content-Length" not in hook.reply.headers:
            resp.enable_chunked_encoding()
        await resp.prepare(request)
        record.sent = 0
        try:
            for chunk in hook.chunks():
                if self._stopping.is_set():
                    break
                if hook.seconds:
                    await self._sleep(hook.seconds)
                record.sent += len(chunk)
                try:
                    await resp.write(chunk)
                except ConnectionError:
                    record.sent -= len(chunk)
                    raise
        except ConnectionError:
            pass
        return resp

    # simple pages

    @staticmethod
    def _html(title: str, body: list[str]) -> web.Response:
        page = (
            "<!DOCTYPE html>\n<html>\n<head>\n"
            '<meta name="pypi:repository-version" content="1.0">\n'
            f"<title>{html.escape(title)}</title>\n</head>\n<body>\n"
            + "\n".join(body)
            + "\n</body>\n</html>\n"
        )
        return web.Response(text=page, content_type="text/html")

    async def _simple_root(self, request: web.Request) -> web.Response:
        with self._lock:
            anchors = [
                f'<a href="{quote(norm)}/">{html.escape(p.name)}</a><br>'
                for norm, p in sorted(self._projects.items())
            ]
        return self._html("Simple index", anchors)

    async def _simple_page(self, request: web.Request) -> web.Response:
        name = request.match_info["name"]
        if canonicalize_name(name) != name:
            raise web.HTTPMovedPermanently(f"/simple/{canonicalize_name(name)}/")
        with self._lock:
            project = self._projects.get(name)
            if project is None:
                raise web.HTTPNotFound()
            anchors = [self._anchor(project, dist) for r in project.releases.values() for dist in r.files]
        return self._html(f"Links for {project.name}", anchors)

    @staticmethod
    def _anchor(project: Project, dist: DistFile) -> str:
        attrs = [f'href="../../files/{quote(project.normalized)}/{quote(dist.filename)}#sha256={dist.sha256}"']
        if dist.requires_python:
            attrs.append(f'data-requires-python="{html.escape(dist.requires_python)}"')
        if dist.yanked is not None:
            attrs.append(f'data-yanked="{html.escape(dist.yanked)}"')
        if project.metadata_files and dist.metadata is not None:
            if project.metadata_hash is None:
                announced = "true"
            else:
                announced = f"{project.metadata_hash}={hashlib.new(project.metadata_hash, dist.metadata).hexdigest()}"
            attrs += [f'{a}="{announced}"' for a in project.metadata_attrs]
        return f"<a {' '.join(attrs)}>{html.escape(dist.filename)}</a><br>"

    # files

    async def _file(self, request: web.Request, *, ranges: bool | None = None) -> web.StreamResponse:
        path = await self._file_path(request)
        if path is None:
            return web.Response(status=404, text="Not Found")
        honour_ranges = self.ranges if ranges is None else ranges
        if honour_ranges:
            return web.FileResponse(path, chunk_size=_CHUNK)
        return web.Response(body=path.open("rb"), content_type="application/octet-stream")

    async def _file_path(self, request: web.Request) -> Path | None:
        """The archive or metadata file that a files route names, on disk."""
        name, filename = request.match_info["name"], request.match_info["filename"]
        want_meta = filename.endswith(".metadata")
        base = filename[: -len(".metadata")] if want_meta else filename
        with self._lock:
            project = self._projects.get(canonicalize_name(name))
            dists = [d for r in project.releases.values() for d in r.files] if project else []
            dist = next((d for d in dists if d.filename == base), None)
            if dist is None or (want_meta and not (project.metadata_files and dist.metadata is not None)):
                return None
            data = dist.metadata if want_meta else dist.content
            if data is None:
                return dist.path
        return await asyncio.get_running_loop().run_in_executor(None, self._spooled, data)

    def _spooled(self, data: bytes) -> Path:
        """In-memory bytes as a file of the server's, named by their hash."""
        assert self._spool is not None
        path = self._spool / hashlib.sha256(data).hexdigest()
        if not path.exists():
            partial = path.with_suffix(f".{threading.get_ident()}")
            partial.write_bytes(data)
            partial.replace(path)
        return path

    # JSON API

    async def _project_json(self, request: web.Request) -> web.Response:
        with self._lock:
            project = self._projects.get(canonicalize_name(request.match_info["name"]))
            if project is None:
                return _not_found()
            return _json_reply(self._project_doc(project))

    async def _version_json(self, request: web.Request) -> web.Response:
        with self._lock:
            project = self._projects.get(canonicalize_name(request.match_info["name"]))
            release = project and self._find_release(project, request.match_info["version"])
            if project is None or release is None:
                return _not_found()
            doc = {"info": self._info(project, release), "urls": self._files_json(project, release)}
            if self.version_docs_include_releases:
                doc["releases"] = self._releases_json(project)
            return _json_reply(doc)

    @staticmethod
    def _find_release(project: Project, version: str) -> Release | None:
        if version in project.releases:
            return project.releases[version]
        wanted = _valid_version(version)
        if wanted is None:
            return None
        for key, release in project.releases.items():
            if _valid_version(key) == wanted:
                return release
        return None

    @staticmethod
    def _latest(project: Project) -> Release | None:
        if project.latest is not None:
            return project.releases.get(project.latest)
        parsed = [
            (v, r) for r in project.releases.values() if (v := _valid_version(r.version))
        ]
        finals = [(v, r) for v, r in parsed if not v.is_prerelease and r.yanked is None]
        pool = finals or parsed
        if pool:
            return max(pool, key=lambda vr: vr[0])[1]
        return list(project.releases.values())[-1] if project.releases else None

    def _project_doc(self, project: Project) -> dict[str, Any]:
        latest = self._latest(project)
        if latest is None:
            latest = Release(project.latest or "")
        return {
            "info": self._info(project, latest),
            "last_serial": 1,
            "releases": self._releases_json(project),
            "urls": self._files_json(project, latest),
            "vulnerabilities": [],
        }

    @staticmethod
    def _info(project: Project, release: Release) -> dict[str, Any]:
        return {
            "name": project.name,
            "version": release.version,
            "summary": release.summary,
            "requires_dist": None if release.requires_dist is None else list(release.requires_dist),
            "provides_extra": list(release.extras) or None,
            "requires_python": release.requires_python or "",
            "yanked": release.yanked is not None,
            "yanked_reason": release.yanked or None,
        }

    def _releases_json(self, project: Project) -> dict[str, list[dict[str, Any]]]:
        return {key: self._files_json(project, r) for key, r in project.releases.items()}

    def _files_json(self, project: Project, release: Release) -> list[dict[str, Any]]:
        return [
            {
                "filename": d.filename,
                "url": self.file_url(project.name, d.filename),
                "digests": {"sha256": d.sha256, "md5": d.md5},
                "packagetype": d.packagetype,
                "python_version": "py3" if d.packagetype == "bdist_wheel" else "source",
                "requires_python": d.requires_python,
                "size": d.size,
                "yanked": d.yanked is not None,
                "yanked_reason": d.yanked or None,
            }
            for d in release.files
        ]
