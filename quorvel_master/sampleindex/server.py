"""A local package index served by aiohttp from a background thread.

The server runs its own event loop in its own thread, so a client that
blocks its own loop (or the calling thread) still gets answers.

It serves, from an in-memory registry that may be changed at any time:

* ``/pypi/{name}/json`` and ``/pypi/{name}/{version}/json``: JSON API
  documents (``info``, ``releases``, ``urls``),
* ``/simple/`` and ``/simple/{normalized-name}/``: HTML simple pages with
  ``#sha256=`` fragments, ``data-requires-python``, ``data-yanked`` and,
  per project, the announcement of ``<file url>.metadata`` files,
* ``/files/{normalized-name}/{filename}[.metadata]``: archives and metadata.

Hooks change what any path (an exact path or an ``fnmatch`` pattern) does:
fixed responses, hanging, delays, connections closed mid-body and redirect
loops. The newest answering hook wins; every matching delay is waited out
first. A hook given ``times=N`` expires after N uses.
"""

from __future__ import annotations

import asyncio
import dataclasses as dc
import fnmatch
import hashlib
import html
import json
import threading
from collections import Counter
from collections.abc import Iterable, Mapping
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


@dc.dataclass
class DistFile:
    filename: str
    content: bytes
    #: Core metadata served at ``<file url>.metadata``; None means none exists.
    metadata: bytes | None = None
    requires_python: str | None = None
    #: Yank reason; "" yanks without a reason, None means not yanked.
    yanked: str | None = None

    @property
    def sha256(self) -> str:
        return hashlib.sha256(self.content).hexdigest()

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
    #: Forces ``info.version`` of the project document.
    latest: str | None = None

    @property
    def normalized(self) -> str:
        return canonicalize_name(self.name)


@dc.dataclass(frozen=True)
class RequestRecord:
    method: str
    path: str
    query: str
    headers: Mapping[str, str]


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
    kind: str  # response | hang | delay | close | redirect
    reply: _Reply | None = None
    seconds: float = 0.0
    times: int | None = None

    def matches(self, path: str) -> bool:
        return self.pattern == path or fnmatch.fnmatchcase(path, self.pattern)


def _json_reply(doc: Any, status: int = 200) -> _Reply:
    return _Reply(status, json.dumps(doc).encode(), "application/json")


def _not_found(message: str = "Not Found") -> _Reply:
    return _json_reply({"message": message}, 404)


def _redirect(location: str, status: int = 301) -> _Reply:
    return _Reply(status, b"", "text/plain", {"Location": location})


def _valid_version(text: str) -> Version | None:
    try:
        return Version(text)
    except InvalidVersion:
        return None


class IndexServer:
    """Local package index; use as a context manager or call start()/stop()."""

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        version_docs_include_releases: bool = True,
    ) -> None:
        self.host = host
        self._port = port
        #: Whether ``/pypi/{name}/{version}/json`` also carries ``releases``.
        self.version_docs_include_releases = version_docs_include_releases
        self._lock = threading.RLock()
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

    # -- life cycle -----------------------------------------------------

    def start(self, timeout: float = 10.0) -> IndexServer:
        if self._thread is not None:
            raise RuntimeError("server already started")
        self._ready.clear()
        self._thread = threading.Thread(
            target=self._run, name=f"IndexServer-{id(self):x}", daemon=True
        )
        self._thread.start()
        if not self._ready.wait(timeout):
            raise RuntimeError("index server did not start in time")
        if self._start_error is not None:
            self._thread.join()
            self._thread = None
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
        app = web.Application()
        app.router.add_route("*", "/{tail:.*}", self._handle)
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
        latest: str | None = None,
    ) -> Project:
        """Register (or replace) a project.

        *releases* maps a version key to ``None`` or a dict with the optional
        keys summary, requires_dist, extras, requires_python, yanked and files.
        ``files`` lists "wheel"/"sdist" (built here; default: a wheel) and/or
        ready :class:`DistFile` objects. Keys that are not valid versions get
        no built files but still appear under ``releases``.
        """
        if not isinstance(releases, Mapping):
            releases = {v: None for v in releases}
        project = Project(
            name,
            metadata_files=metadata_files,
            metadata_attrs=tuple(metadata_attrs),
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
        content: bytes,
        *,
        metadata: bytes | None = None,
        requires_python: str | None = None,
        yanked: str | None = None,
    ) -> DistFile:
        """Attach an existing archive to a release (created if missing)."""
        if metadata is None:
            metadata = extract_metadata(filename, content)
        dist = DistFile(filename, content, metadata, requires_python, yanked)
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

    def redirect_loop(self, path: str, *, times: int | None = None) -> None:
        """Redirect *path* back and forth to itself forever."""
        self._add_hook(_Hook(path, "redirect", times=times))

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

    def reset_hits(self) -> None:
        with self._lock:
            self._hits.clear()
            self._log.clear()

    @property
    def requests(self) -> list[RequestRecord]:
        with self._lock:
            return list(self._log)

    # -- request handling ---------------------------------------------------

    async def _handle(self, request: web.Request) -> web.StreamResponse:
        path = request.path
        with self._lock:
            self._hits[path] += 1
            self._log.append(
                RequestRecord(request.method, path, request.query_string, dict(request.headers))
            )
            hooks = self._take_hooks(path)
        for hook in hooks:
            if hook.kind == "delay":
                await self._sleep(hook.seconds)
            elif hook.kind == "hang":
                await self._sleep(None)
                return _Reply(503, b"server stopping").to_response()
            elif hook.kind == "response":
                assert hook.reply is not None
                return hook.reply.to_response()
            elif hook.kind == "redirect":
                target = path if request.query_string else path + "?loop=1"
                return _redirect(target, 302).to_response()
            elif hook.kind == "close":
                return await self._close_mid_body(request, hook.reply or self._route(path))
        return self._route(path).to_response()

    async def _sleep(self, seconds: float | None) -> None:
        assert self._stopping is not None
        try:
            await asyncio.wait_for(self._stopping.wait(), seconds)
        except asyncio.TimeoutError:
            pass

    @staticmethod
    async def _close_mid_body(request: web.Request, reply: _Reply) -> web.StreamResponse:
        declared = max(len(reply.body), 2)
        resp = web.StreamResponse(status=reply.status, headers=reply.headers)
        resp.content_type = reply.content_type
        resp.content_length = declared
        await resp.prepare(request)
        await resp.write(reply.body[: declared // 2])
        # close() (not abort()) flushes what was written before dropping.
        if request.transport is not None:
            request.transport.close()
        # aiohttp treats the ConnectionError of its final write_eof() as a
        # client disconnect, so this ends quietly.
        return resp

    def _route(self, path: str) -> _Reply:
        with self._lock:
            parts = path.split("/")[1:]
            if parts[:1] == ["simple"]:
                return self._route_simple(path, parts[1:])
            if parts[:1] == ["pypi"] and parts[-1:] == ["json"]:
                return self._route_json(parts[1:-1])
            if parts[:1] == ["files"] and len(parts) == 3:
                return self._route_file(parts[1], parts[2])
            return _Reply(404, b"Not Found")

    # simple pages

    def _route_simple(self, path: str, rest: list[str]) -> _Reply:
        if not rest:
            return _redirect(path + "/")
        if rest == [""]:
            return self._simple_root()
        name = rest[0]
        if len(rest) == 1:
            return _redirect(path + "/")
        if rest[1:] != [""] or not name:
            return _Reply(404, b"Not Found")
        if canonicalize_name(name) != name:
            return _redirect(f"/simple/{canonicalize_name(name)}/")
        project = self._projects.get(name)
        if project is None:
            return _Reply(404, b"Not Found")
        return self._simple_page(project)

    @staticmethod
    def _html(title: str, body: list[str]) -> _Reply:
        page = (
            "<!DOCTYPE html>\n<html>\n<head>\n"
            '<meta name="pypi:repository-version" content="1.0">\n'
            f"<title>{html.escape(title)}</title>\n</head>\n<body>\n"
            + "\n".join(body)
            + "\n</body>\n</html>\n"
        )
        return _Reply(200, page.encode("utf-8"), "text/html")

    def _simple_root(self) -> _Reply:
        anchors = [
            f'<a href="{quote(norm)}/">{html.escape(p.name)}</a><br>'
            for norm, p in sorted(self._projects.items())
        ]
        return self._html("Simple index", anchors)

    def _simple_page(self, project: Project) -> _Reply:
        anchors = []
        for release in project.releases.values():
            for dist in release.files:
                attrs = [
                    f'href="../../files/{quote(project.normalized)}/'
                    f'{quote(dist.filename)}#sha256={dist.sha256}"'
                ]
                if dist.requires_python:
                    attrs.append(
                        f'data-requires-python="{html.escape(dist.requires_python)}"'
                    )
                if dist.yanked is not None:
                    attrs.append(f'data-yanked="{html.escape(dist.yanked)}"')
                if project.metadata_files and dist.metadata is not None:
                    digest = hashlib.sha256(dist.metadata).hexdigest()
                    attrs += [f'{a}="sha256={digest}"' for a in project.metadata_attrs]
                anchors.append(f"<a {' '.join(attrs)}>{html.escape(dist.filename)}</a><br>")
        return self._html(f"Links for {project.name}", anchors)

    # files

    def _route_file(self, name: str, filename: str) -> _Reply:
        project = self._projects.get(canonicalize_name(name))
        if project is None:
            return _Reply(404, b"Not Found")
        want_meta = filename.endswith(".metadata")
        base = filename[: -len(".metadata")] if want_meta else filename
        for release in project.releases.values():
            for dist in release.files:
                if dist.filename != base:
                    continue
                if not want_meta:
                    return _Reply(200, dist.content, "application/octet-stream")
                if project.metadata_files and dist.metadata is not None:
                    return _Reply(200, dist.metadata, "application/octet-stream")
        return _Reply(404, b"Not Found")

    # JSON API

    def _route_json(self, rest: list[str]) -> _Reply:
        if len(rest) not in (1, 2) or not rest[0]:
            return _not_found()
        project = self._projects.get(canonicalize_name(rest[0]))
        if project is None:
            return _not_found()
        if len(rest) == 1:
            return _json_reply(self._project_doc(project))
        release = self._find_release(project, rest[1])
        if release is None:
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
                "digests": {
                    "sha256": d.sha256,
                    "md5": hashlib.md5(d.content, usedforsecurity=False).hexdigest(),
                },
                "packagetype": d.packagetype,
                "python_version": "py3" if d.packagetype == "bdist_wheel" else "source",
                "requires_python": d.requires_python,
                "size": len(d.content),
                "yanked": d.yanked is not None,
                "yanked_reason": d.yanked or None,
            }
            for d in release.files
        ]
