"""Servers for the network layer's tests, each on 127.0.0.1 in a thread of
its own: an origin (plain HTTP, or TLS with a private CA) whose routes answer
with validators, scripted statuses and credentials checks, and a forward
proxy for absolute-URI GETs and CONNECT."""

from __future__ import annotations

import asyncio
import base64
import contextlib
import dataclasses as dc
import json
import ssl
import threading
import time
from collections.abc import Callable
from typing import Any

from aiohttp import web


@dc.dataclass
class Route:
    body: bytes = b""
    content_type: str = "text/plain"
    headers: dict[str, str] = dc.field(default_factory=dict)
    #: Answers given first, one per request: (status, headers); a header's
    #: value may be a function, called when the answer is sent.
    script: list[tuple[int, dict[str, str]]] = dc.field(default_factory=list)
    #: Body from the request, for Vary.
    body_for: Callable[[web.Request], bytes] | None = None
    #: (login, password) the route asks for.
    credentials: tuple[str, str] | None = None
    #: Never answers (until the server stops).
    hang: bool = False
    #: Holds requests until this many have been in flight at once (at most 10 s).
    gather: int = 0


@dc.dataclass
class Seen:
    path: str
    headers: dict[str, str]
    peer: Any
    status: int = 0
    at: float = dc.field(default_factory=time.monotonic)  # when the request arrived


class _Threaded:
    """A loop of its own in a daemon thread; start() returns when serving."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.seen: list[Seen] = []
        self._changed = threading.Condition()

    def __enter__(self) -> Any:
        self._thread.start()
        asyncio.run_coroutine_threadsafe(self._start(), self.loop).result(10)
        return self

    def __exit__(self, *exc: object) -> None:
        asyncio.run_coroutine_threadsafe(self._stop(), self.loop).result(10)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(10)
        self.loop.close()

    async def _start(self) -> None:
        raise NotImplementedError

    async def _stop(self) -> None:
        raise NotImplementedError

    def _saw(self, seen: Seen) -> None:
        with self._changed:
            self.seen.append(seen)
            self._changed.notify_all()

    def wait_for(self, predicate: Callable[[], bool], timeout: float = 30.0) -> None:
        with self._changed:
            assert self._changed.wait_for(predicate, timeout), "the server never saw what the test waits for"


class Origin(_Threaded):
    def __init__(self, ssl_context: ssl.SSLContext | None = None) -> None:
        super().__init__()
        self.ssl_context = ssl_context
        self.routes: dict[str, Route] = {}
        self.port = 0
        self._release = asyncio.Event()
        self.in_flight = 0
        self.most_in_flight = 0
        self._flight = asyncio.Condition()

    @property
    def url(self) -> str:
        scheme = "https" if self.ssl_context else "http"
        return f"{scheme}://127.0.0.1:{self.port}"

    async def _start(self) -> None:
        self._release = asyncio.Event()
        self._flight = asyncio.Condition()
        app = web.Application()
        app.router.add_route("*", "/{tail:.*}", self._handle)
        self._runner = web.AppRunner(app, access_log=None, shutdown_timeout=1.0)
        await self._runner.setup()
        site = web.TCPSite(self._runner, "127.0.0.1", 0, ssl_context=self.ssl_context)
        await site.start()
        self.port = self._runner.addresses[0][1]

    async def _stop(self) -> None:
        self._release.set()
        await self._runner.cleanup()

    def paths(self) -> list[str]:
        return [s.path for s in self.seen]

    def connections(self) -> int:
        """Connections the server accepted (over TLS: handshakes)."""
        return len({s.peer for s in self.seen})

    async def _handle(self, request: web.Request) -> web.StreamResponse:
        seen = Seen(request.path_qs, dict(request.headers), request.transport.get_extra_info("peername"))
        route = self.routes.get(request.path)
        async with self._flight:
            self.in_flight += 1
            self.most_in_flight = max(self.most_in_flight, self.in_flight)
            self._flight.notify_all()
            if route is not None and route.gather:
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(self._flight.wait_for(lambda: self.most_in_flight >= route.gather), 10)
        try:
            response = await self._answer(request, route)
        finally:
            self.in_flight -= 1
        seen.status = response.status
        self._saw(seen)
        return response

    async def _answer(self, request: web.Request, route: Route | None) -> web.StreamResponse:
        if route is None:
            return web.Response(status=404, text="not found")
        if route.hang:
            await self._release.wait()
        if route.credentials is not None:
            expected = "Basic " + base64.b64encode(":".join(route.credentials).encode()).decode()
            if request.headers.get("Authorization") != expected:
                return web.Response(status=401, headers={"WWW-Authenticate": 'Basic realm="index"'})
        if route.script:
            status, headers = route.script.pop(0)
            # A callable value is made when the answer is sent (a date relative to now).
            headers = {k: v() if callable(v) else v for k, v in headers.items()}
            return web.Response(status=status, headers=headers, text=f"status {status}")
        headers = dict(route.headers)
        etag = headers.get("ETag")
        modified = headers.get("Last-Modified")
        if (etag and request.headers.get("If-None-Match") == etag) or (
            modified and not etag and request.headers.get("If-Modified-Since") == modified
        ):
            return web.Response(status=304, headers=headers)
        body = route.body_for(request) if route.body_for else route.body
        headers["Content-Type"] = route.content_type
        return web.Response(body=body, headers=headers)

    # -- content --

    def project(self, name: str, versions: list[str], **headers: str) -> None:
        """A JSON API document and a simple page for ``name``, with ``headers``
        (``ETag``, ``Cache_Control`` ...; underscores become dashes) on both."""
        headers = {k.replace("_", "-"): v for k, v in headers.items()}
        doc = {"info": {"name": name, "version": versions[-1], "summary": "s", "requires_dist": []},
               "releases": {v: [] for v in versions}}
        self.routes[f"/pypi/{name}/json"] = Route(json.dumps(doc).encode(), "application/json", dict(headers))
        links = "".join(
            f'<a href="/files/{name}-{v}-py3-none-any.whl#sha256={"0" * 64}">{name}-{v}-py3-none-any.whl</a>\n'
            for v in versions
        )
        self.routes[f"/simple/{name}/"] = Route(f"<html><body>{links}</body></html>".encode(), "text/html", dict(headers))

    def settings(self, *, api: bool) -> Any:
        from quorvel_master.business_layer.packages.pip_settings import SettingsManager

        index = f"{self.url}/simple"
        return settings_for(index, f"{self.url}/pypi/{{package_name}}/{{version}}/json" if api else None)


def settings_for(index: str, pattern: str | None) -> Any:
    from quorvel_master.business_layer.packages.pip_settings import SettingsManager

    api = [{"index_url": index, "api_pattern": pattern}] if pattern else []
    return SettingsManager({"index_urls": [{"url": index, "primary": True}], "use_secondary_urls": True, "pip_api": api})


class ForwardProxy(_Threaded):
    """Absolute-URI GETs are fetched and relayed; CONNECT opens a tunnel.
    ``seen`` holds each request line's target."""

    async def _start(self) -> None:
        self._server = await asyncio.start_server(self._client, "127.0.0.1", 0)
        self.port = self._server.sockets[0].getsockname()[1]
        self._tasks: set[asyncio.Task] = set()

    async def _stop(self) -> None:
        self._server.close()
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    async def _client(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        assert task is not None
        self._tasks.add(task)
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                method, target, _ = lines[0].split(" ", 2)
                headers = dict(line.split(": ", 1) for line in lines[1:] if ": " in line)
                self._saw(Seen(f"{method} {target}", headers, writer.get_extra_info("peername")))
                if method == "CONNECT":
                    host, port = target.rsplit(":", 1)
                    up_reader, up_writer = await asyncio.open_connection(host, int(port))
                    writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
                    await writer.drain()
                    await asyncio.gather(_pipe(reader, up_writer), _pipe(up_reader, writer))
                    return
                await self._relay(method, target, headers, writer)
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()
            self._tasks.discard(task)

    async def _relay(self, method: str, target: str, headers: dict[str, str], writer: asyncio.StreamWriter) -> None:
        import aiohttp

        keep = {k: v for k, v in headers.items()
                if k.lower() not in ("host", "proxy-connection", "connection", "proxy-authorization", "accept-encoding")}
        async with aiohttp.ClientSession(auto_decompress=False) as session:
            async with session.request(method, target, headers=keep, allow_redirects=False) as answer:
                body = await answer.read()
                out = [f"HTTP/1.1 {answer.status} {answer.reason}"]
                out += [f"{k}: {v}" for k, v in answer.headers.items()
                        if k.lower() not in ("transfer-encoding", "content-length", "connection")]
                out += [f"Content-Length: {len(body)}", "", ""]
                writer.write("\r\n".join(out).encode("latin-1") + body)
                await writer.drain()


async def _pipe(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except ConnectionError:
        pass
    finally:
        writer.close()


def tls_server_context(ca: Any, *, client_ca: Any = None) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert("127.0.0.1", "localhost").configure_cert(context)
    if client_ca is not None:
        context.verify_mode = ssl.CERT_REQUIRED
        client_ca.configure_trust(context)
    return context
