"""Running the real pkgindex in a subprocess, with pip's configuration of its
own, and the small hostile servers the failure tests talk to."""

from __future__ import annotations

import contextlib
import http.server
import json
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import refused_port

_PIP_KEYS = {
    "index-url": "", "extra-index-url": "", "trusted-host": "", "no-index": "false",
    "cert": "", "client-cert": "", "proxy": "", "timeout": "",
    # No retries unless a test asks for them: a refused index would cost
    # each run pip's seven seconds of backoff.
    "retries": "0",
}


def pip_conf_text(**install: str) -> str:
    """A pip configuration file that sets every index option pip reads, in
    both sections that count: empty values unset a key a file read earlier
    set, so nothing of the machine's own configuration (system files
    included) reaches a test. Keyword arguments (underscores for dashes) set
    values in [install]; None leaves a key out of both sections."""
    chosen = {**_PIP_KEYS, **{k.replace("_", "-"): v for k, v in install.items()}}
    base = {k: v for k, v in _PIP_KEYS.items() if chosen[k] is not None}
    return (
        "[global]\n" + "".join(f"{k} = {v}\n" for k, v in base.items())
        + "[install]\n" + "".join(f"{k} = {v}\n" for k, v in chosen.items() if v is not None)
    )


NEUTRAL_PIP_CONF = pip_conf_text()
_PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy")


def isolated_env(home: Path, pip_conf: Path | None = None, **changes: str | None) -> dict[str, str]:
    """The environment of a test run: no PIP_* of the machine, no proxy,
    pip's configuration from `pip_conf` (a neutral file by default), HOME and
    the XDG folders (the cache's too) inside `home`."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PIP_", "XDG_CONFIG", "XDG_CACHE")) and k.lower() not in _PROXY_VARIABLES}
    if pip_conf is None:
        pip_conf = home / "neutral-pip.conf"
        if not pip_conf.exists():
            pip_conf.write_text(NEUTRAL_PIP_CONF)
    env.update(
        PIP_CONFIG_FILE=str(pip_conf),
        HOME=str(home),
        XDG_CONFIG_HOME=str(home / "xdg-home"),
        XDG_CONFIG_DIRS=str(home / "xdg-dirs"),
        XDG_CACHE_HOME=str(home / "xdg-cache"),
    )
    for key, value in changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


class Run:
    def __init__(self, proc: subprocess.CompletedProcess, seconds: float) -> None:
        self.rc = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr
        self.seconds = seconds

    def json(self):
        return json.loads(self.out)

    def __repr__(self) -> str:
        return f"Run(rc={self.rc}, out={self.out[:400]!r}, err={self.err[:400]!r})"


def run_cli(*args: str, env: dict[str, str], cwd: Path, command: list[str] | None = None, **kwargs) -> Run:
    started = time.monotonic()
    proc = subprocess.run(
        (command or [sys.executable, "-m", "quorvel_master"]) + list(args),
        cwd=cwd, env=env, capture_output=True, text=True, timeout=60, **kwargs,
    )
    return Run(proc, time.monotonic() - started)


def assert_usage_error(result: Run) -> None:
    assert result.rc == 2, result
    lines = result.err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("pkgindex"), result.err
    assert "Traceback" not in result.err
    assert result.out == ""


def free_port() -> int:
    return refused_port()


class _AuthHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:  # noqa: N802 (the library's name)
        self.server.hits += 1  # type: ignore[attr-defined]
        self.send_response(401)
        self.send_header("WWW-Authenticate", 'Basic realm="private"')
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_HEAD = do_GET

    def log_message(self, *args) -> None:
        pass


@contextlib.contextmanager
def auth_server():
    """An index that answers every request with 401 and a Basic challenge."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _AuthHandler)
    server.hits = 0  # type: ignore[attr-defined]
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()


@contextlib.contextmanager
def dropping_server():
    """An index that reads each request and closes the connection unanswered."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.1)
    stop = threading.Event()

    def serve() -> None:
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except (TimeoutError, socket.timeout):
                continue
            except OSError:
                return
            with conn, contextlib.suppress(OSError):
                conn.settimeout(2)
                conn.recv(65536)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield listener.getsockname()[1]
    finally:
        stop.set()
        thread.join(5)
        listener.close()


def outside_address() -> str:
    """An address of this machine that is not loopback (the finder trusts
    loopback hosts without asking), or a skip."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("10.254.254.254", 9))  # no packet is sent
            address = s.getsockname()[0]
        except OSError:
            address = ""
    if not address or address.startswith("127."):
        pytest.skip("this machine has no address outside loopback")
    return address


class Served:
    """A running `pkgindex serve`: its process, what it printed before it
    waited, and the URLs of the two indexes."""

    def __init__(self, proc: subprocess.Popen, lines: list[str]) -> None:
        self.proc, self.lines = proc, lines
        urls = {line.split()[0]: line.split()[1] for line in lines if line.startswith(("  primary ", "  secondary "))}
        self.primary, self.secondary = urls["primary"], urls["secondary"]

    def stop(self, signum: int = signal.SIGTERM) -> tuple[int, str, str]:
        """Sends the signal; the exit status and the rest of stdout and stderr."""
        self.proc.send_signal(signum)
        out, err = self.proc.communicate(timeout=30)
        return self.proc.returncode, out, err


@contextlib.contextmanager
def served(folder: Path, *args: str, env: dict[str, str] | None = None):
    """`pkgindex serve ARGS` started in `folder`, once it says it serves."""
    proc = subprocess.Popen([sys.executable, "-m", "quorvel_master", "serve", *args], cwd=folder,
                            env=env if env is not None else isolated_env(folder),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines: queue.Queue[str | None] = queue.Queue()

    def read() -> None:
        for line in iter(proc.stdout.readline, ""):
            lines.put(line.rstrip("\n"))
            if line.startswith("Ask them:"):
                return
        lines.put(None)

    threading.Thread(target=read, daemon=True).start()
    seen: list[str] = []
    try:
        while not (seen and seen[-1].startswith("Ask them:")):
            line = lines.get(timeout=60)
            if line is None:
                proc.wait(30)
                raise AssertionError(f"serve ended ({proc.returncode}) before serving: {proc.stderr.read()}")
            seen.append(line)
        yield Served(proc, seen)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate(timeout=30)
