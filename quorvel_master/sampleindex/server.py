"""A local package index served by aiohttp from a background thread.

The server runs its own event loop in its own thread, so a client that
blocks its own loop (or the calling thread) still gets answers.

It serves, from an in-memory registry that may be changed at any time:

* ``/pypi/{name}/json`` and ``/pypi/{name}/{version}/json``: JSON API
  documents (``info``, ``releases``, ``urls``),
* ``/simple/`` and ``/simple/{normalized-name}/``: HTML simple pages with
  ``#sha256=`` fragments, ``data-requires-python``, ``data-yanked`` and,
  per project, the announcement of ``<file url>.metadata`` files (with the
  file's hash, or as ``true``) and the project's status in meta tags; with
  ``simple_json``, a project page asked for in its JSON form (PEP 691, by
  the ``Accept`` header) is answered so, with upload times and sizes,
* ``/files/{normalized-name}/{filename}[.metadata]``: archives and metadata,
  by aiohttp's file response: range requests and conditional requests are
  answered as a file server does, unless ``ranges`` is switched off (then
  every answer is the whole file, status 200).

Archives are kept in memory or, for large ones, in a file of their own
(:class:`DistFile` ``path``); in-memory archives are written to a directory of
the server's while it runs, named by their hash.

Hooks (:mod:`.hooks`) change what any path does: fixed responses, hanging,
delays, broken, slow or endless bodies, redirects.

Every request is recorded with its status and the bytes of body the server
sent (:attr:`IndexServer.requests`, :meth:`IndexServer.bytes_sent`). A test
waits for the server to have seen a request (:meth:`IndexServer.wait_for_hits`)
or to be done with the requests it saw (:meth:`IndexServer.wait_until_done`)
instead of sleeping.
"""

from __future__ import annotations

import asyncio
import datetime
import hashlib
import json
import os
import shutil
import tempfile
import threading
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any
from urllib.parse import quote

from aiohttp import web
from packaging.utils import canonicalize_name

from . import documents
from .hooks import FaultHooks, Hook
from .registry import (DEFAULT_METADATA_ATTRS, STATUSES, DistFile, Project, Release, find_release, make_release,
                       upload_time_of)
from .requestlog import RequestLog, RequestRecord
from .wheels import extract_metadata

__all__ = ["DistFile", "IndexServer", "Project", "Release", "RequestRecord"]

_CHUNK = 64 * 1024


def _json_reply(doc: Any, status: int = 200) -> web.Response:
    return web.json_response(doc, status=status, dumps=json.dumps)


def _not_found(message: str = "Not Found") -> web.Response:
    return _json_reply({"message": message}, 404)


def _validated(request: web.Request, response: web.Response) -> web.Response:
    """A project page with an ETag of its body; a 304 to a request that holds it
    already, so a client's cache revalidates a page as against a real index."""
    assert isinstance(response.body, bytes)
    etag = '"' + hashlib.sha256(response.body).hexdigest()[:32] + '"'
    if etag in (t.strip() for t in request.headers.get("If-None-Match", "").split(",")):
        return web.Response(status=304, headers={"ETag": etag})
    response.headers["ETag"] = etag
    return response


def _wants_json(accept: str) -> bool:
    """Whether an Accept header prefers the JSON form of a simple page over HTML."""
    best = {"json": 0.0, "html": 0.0}
    for item in accept.split(","):
        kind, *params = (part.strip() for part in item.split(";"))
        q = 1.0
        for param in params:
            name, _, value = param.partition("=")
            if name.strip() == "q":
                try:
                    q = float(value)
                except ValueError:
                    q = 0.0
        form = "json" if kind == documents.SIMPLE_JSON else "html" if kind in (
            "text/html", "application/vnd.pypi.simple.v1+html") else None
        if form is not None:
            best[form] = max(best[form], q)
    return best["json"] > 0 and best["json"] >= best["html"]


class IndexServer(FaultHooks):
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
        simple_json: bool = False,
    ) -> None:
        self.host = host
        self._port = port
        #: Whether ``/pypi/{name}/{version}/json`` also carries ``releases``.
        self.version_docs_include_releases = version_docs_include_releases
        #: Whether the file routes answer range requests.
        self.ranges = ranges
        #: Whether project pages are also served in their JSON form, when asked for.
        self.simple_json = simple_json
        self._lock = threading.RLock()
        self._projects: dict[str, Project] = {}
        self._hooks: list[Hook] = []
        self._log = RequestLog(self._lock)
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._runner: web.AppRunner | None = None
        self._stopping: asyncio.Event | None = None
        self._ready = threading.Event()
        self._start_error: BaseException | None = None
        self._spool: Path | None = None

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
        app.on_response_prepare.append(self._answered)
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
        status: str | None = None,
        status_reason: str | None = None,
    ) -> Project:
        """Register (or replace) a project.

        *releases* maps a version key to ``None`` or a dict with the optional
        keys summary, requires_dist, extras, requires_python, yanked, files and
        upload_time (an RFC 3339 text or a datetime, for each built file).
        *status* and *status_reason* are what the pages declare (PEP 792).
        ``files`` lists "wheel"/"sdist" (built here; default: a wheel) and/or
        ready :class:`DistFile` objects. Keys that are not valid versions get
        no built files but still appear under ``releases``. *metadata_hash*
        names the hash that announces each metadata file (None: "true").
        """
        if not isinstance(releases, Mapping):
            releases = {v: None for v in releases}
        if metadata_hash is not None:
            hashlib.new(metadata_hash)  # an unknown name fails here, not in a page
        if status is not None and status not in STATUSES and not status.startswith("x-"):
            raise ValueError(f"not a project status: {status!r} (an unknown one may start with x-)")
        project = Project(
            name,
            metadata_files=metadata_files,
            metadata_attrs=tuple(metadata_attrs),
            metadata_hash=metadata_hash,
            latest=latest,
            status=status,
            status_reason=status_reason,
        )
        for key, info in releases.items():
            project.releases[key] = make_release(name, key, dict(info or {}))
        with self._lock:
            self._projects[project.normalized] = project
        return project


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
        upload_time: str | datetime.datetime | None = None,
    ) -> DistFile:
        """Attach an existing archive to a release (created if missing).

        *content* is the archive's bytes or its path; a path is served from
        the disk, never read whole into memory.
        """
        path = None if isinstance(content, (bytes, bytearray)) else Path(content)
        data = bytes(content) if path is None else None
        if metadata is None:
            metadata = extract_metadata(filename, path if path is not None else data)
        dist = DistFile(filename, data, metadata, requires_python, yanked, path, upload_time_of(upload_time))
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

    # -- request counters -----------------------------------------------

    def hits(self, path: str | None = None) -> int:
        """Requests seen for *path* (query ignored), or in total."""
        return self._log.hits(path)

    def bytes_sent(self, path: str | None = None) -> int:
        """Bytes of body sent for *path* (query ignored), or in total."""
        return self._log.bytes_sent(path)

    def wait_for_hits(self, path: str | None = None, count: int = 1, timeout: float = 30.0) -> bool:
        """Blocks until *count* requests for *path* (or in total) have
        arrived; False if they have not within *timeout* seconds. A client on
        an event loop of its own waits through ``asyncio.to_thread``."""
        return self._log.wait_for_hits(path, count, timeout)

    def wait_until_done(self, path: str | None = None, timeout: float = 30.0) -> bool:
        """Blocks until the server is done with every request for *path* (or
        every request) it has seen (see :attr:`RequestRecord.done`); False if
        it is not within *timeout* seconds."""
        return self._log.wait_until_done(path, timeout)

    def reset_hits(self) -> None:
        self._log.reset()

    @property
    def requests(self) -> list[RequestRecord]:
        return self._log.records()

    # -- request handling ---------------------------------------------------

    @web.middleware
    async def _hooks_middleware(self, request: web.Request, handler: Any) -> web.StreamResponse:
        # The hooks are taken as the request is recorded, so a test that saw
        # the request arrive knows which hooks it met.
        with self._log.changed:
            record = self._log.arrived(request)
            hooks = self._take_hooks(request.path)
        try:
            return await self._answer(request, handler, record, hooks)
        finally:
            self._log.done(record)

    async def _answered(self, request: web.BaseRequest, response: web.StreamResponse) -> None:
        self._log.answered(request, response)

    # simple pages

    async def _simple_root(self, request: web.Request) -> web.Response:
        with self._lock:
            anchors = documents.root_anchors(self._projects)
        return web.Response(text=documents.page("Simple index", anchors), content_type="text/html")

    async def _simple_page(self, request: web.Request) -> web.Response:
        name = request.match_info["name"]
        if canonicalize_name(name) != name:
            raise web.HTTPMovedPermanently(f"/simple/{canonicalize_name(name)}/")
        with self._lock:
            project = self._projects.get(name)
            if project is None:
                raise web.HTTPNotFound()
            if self.simple_json and _wants_json(request.headers.get("Accept", "")):
                return _validated(request, web.json_response(documents.simple_json(project),
                                                             content_type=documents.SIMPLE_JSON, dumps=json.dumps))
            anchors = [documents.project_anchor(project, dist) for r in project.releases.values() for dist in r.files]
        return _validated(request, web.Response(text=documents.page(f"Links for {project.name}", anchors, project),
                                                content_type="text/html"))

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
            return _json_reply(documents.project_doc(project, self.file_url))

    async def _version_json(self, request: web.Request) -> web.Response:
        with self._lock:
            project = self._projects.get(canonicalize_name(request.match_info["name"]))
            release = project and find_release(project, request.match_info["version"])
            if project is None or release is None:
                return _not_found()
            return _json_reply(
                documents.version_doc(project, release, self.file_url, self.version_docs_include_releases)
            )
