"""Shared pieces of the reliability tests: an index server in a child process
(so its objects and threads stay out of the measured process), raw socket
servers that stall a request at chosen points, and process measurements."""

from __future__ import annotations

import contextlib
import ctypes
import gc
import json
import os
import select
import socket
import subprocess
import sys
import threading

from conftest import refused_port

_CHILD = r"""
import json, sys
from quorvel_master.sampleindex import IndexServer
server = IndexServer().start()
print(json.dumps([server.url, server.simple_url, server.json_api_pattern]), flush=True)
for line in sys.stdin:
    name, args, kwargs = json.loads(line)
    try:
        result = getattr(server, name)(*args, **kwargs)
        try:
            reply = {"ok": result if not callable(result) else None}
            text = json.dumps(reply)
        except TypeError:
            text = json.dumps({"ok": None})
    except Exception as e:
        text = json.dumps({"error": f"{type(e).__name__}: {e}"})
    print(text, flush=True)
server.stop()
"""


class RemoteIndex:
    """An IndexServer running in a child process; its methods are called by name.

    Arguments and results travel as JSON, so only JSON-shaped arguments work
    (bodies as str, dict or list)."""

    def __init__(self) -> None:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        self._proc = subprocess.Popen(
            [sys.executable, "-c", _CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            text=True, env=env, cwd=os.path.dirname(os.path.abspath(__file__)),
        )
        first = self._proc.stdout.readline()
        if not first:
            self._proc.wait(10)
            raise RuntimeError("index server process did not start")
        self.url, self.simple_url, self.json_api_pattern = json.loads(first)
        self._lock = threading.Lock()

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        def call(*args, **kwargs):
            with self._lock:
                self._proc.stdin.write(json.dumps([name, args, kwargs]) + "\n")
                self._proc.stdin.flush()
                reply = json.loads(self._proc.stdout.readline())
            if "error" in reply:
                raise RuntimeError(reply["error"])
            return reply["ok"]

        return call

    def reset(self) -> None:
        self.clear_hooks()
        self.clear_projects()
        self.reset_hits()

    def close(self) -> None:
        if self._proc.poll() is None:
            self._proc.stdin.close()
            try:
                self._proc.wait(15)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        self._proc.stdout.close()

    def __enter__(self) -> RemoteIndex:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def free_port_url(path: str = "/simple") -> str:
    """A loopback URL on which nothing listens (connections are refused)."""
    return f"http://127.0.0.1:{refused_port()}{path}"


class StallingServer:
    """A loopback TCP server that holds every request at one stage.

    stage "connect": the listen queue is kept full and nothing is accepted, so
    new connections stay in the handshake; "headers": connections are accepted
    and read, but nothing is answered; "body": a 200 answer with its headers
    and the first bytes of a JSON body is sent, then nothing more.
    """

    def __init__(self, stage: str) -> None:
        assert stage in ("connect", "headers", "body")
        self.stage = stage
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._stop = threading.Event()
        self._held: list[socket.socket] = []
        self.accepted = 0
        self.answered = 0
        if stage == "connect":
            self._listener.listen(0)
            # one finished handshake fills the queue of a listen(0) socket
            filler = socket.socket()
            filler.setblocking(False)
            with contextlib.suppress(BlockingIOError):
                filler.connect(("127.0.0.1", self.port))
            self._held.append(filler)
            self._thread = None
        else:
            self._listener.listen(128)
            self._listener.settimeout(0.05)
            self._thread = threading.Thread(target=self._serve, daemon=True)
            self._thread.start()

    def _serve(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except (TimeoutError, socket.timeout):
                continue
            except OSError:
                return
            self.accepted += 1
            self._held.append(conn)
            if self.stage == "body":
                conn.settimeout(2)
                with contextlib.suppress(OSError):
                    conn.recv(65536)
                    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                 b"Content-Length: 1000\r\n\r\n{\"info\": {\"na")
                    self.answered += 1

    def requests_waiting(self) -> int:
        """Accepted connections with bytes (a request) or an end waiting to be
        read; what stage "headers" holds."""
        poller = select.poll()
        for conn in list(self._held):
            with contextlib.suppress(OSError, ValueError):
                poller.register(conn, select.POLLIN)
        return len(poller.poll(0))

    def half_open(self) -> int:
        """Connections to this server that are still in the handshake."""
        return tcp_states(self.port).count("02")  # SYN_SENT

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join(5)
        for s in self._held:
            s.close()
        self._listener.close()

    def __enter__(self) -> StallingServer:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def tcp_states(port: int) -> list[str]:
    states = []
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            remote_port = int(fields[2].split(":")[1], 16)
            if remote_port == port:
                states.append(fields[3])
    return states


# -- measurements -------------------------------------------------------------

_PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096


def _sanitizer_loaded() -> bool:
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


#: AddressSanitizer keeps freed memory in quarantine (256 MB by default), so the
#: resident size says nothing about leaks in the sanitizer run.
UNDER_ASAN = _sanitizer_loaded()


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                 "fsmblks", "uordblks", "fordblks", "keepcost")]


def _malloc_in_use():
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2

    def in_use() -> int:
        info = fn()
        return info.uordblks + info.hblkhd

    return in_use


malloc_in_use = _malloc_in_use()


class Sample:
    def __init__(self) -> None:
        gc.collect()
        gc.collect()
        self.objects = len(gc.get_objects())
        self.blocks = sys.getallocatedblocks()
        self.heap = malloc_in_use() if malloc_in_use else 0
        self.rss = rss_bytes()

    def growth(self, later: Sample) -> dict[str, int]:
        return {
            "objects": later.objects - self.objects,
            "blocks": later.blocks - self.blocks,
            "heap": later.heap - self.heap,
            "rss": later.rss - self.rss,
        }
