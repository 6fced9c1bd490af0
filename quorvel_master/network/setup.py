"""The one network setup both roads share: options, TLS context, proxy choice
and netrc credentials.

Every decision about how a URL is reached (through which proxy, verified or
not, with which credentials) is made here once; the aiohttp session and the
finder's HTTP clients only ask.
"""

from __future__ import annotations

import dataclasses as dc
import netrc
import os
import sys
import ssl
import threading
import urllib.request
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

from .urls import basic_auth, masked_repr, user_info, without_credentials

__all__ = ["DEFAULT_MAX_BODY", "NetworkOptions", "Setup", "basic_auth", "ssl_context", "without_credentials"]

#: Answers the layer stores whole in memory at most this large; larger ones
#: pass through uncached (finder road) or fail (JSON road, which holds them).
DEFAULT_MAX_BODY = 64 * 1024 * 1024


@dc.dataclass(frozen=True, repr=False)
class NetworkOptions:
    """What a host may choose; every field has a usable default.

    ``cache_dir`` None keeps the cache in memory (``memory_cache_bytes``);
    ``cache=False`` turns it off. ``mode`` is ``"normal"``, ``"refresh"``
    (revalidate every stored answer) or ``"offline"`` (no request at all).
    ``dead_host_seconds``: once every retry of a request was spent on failed
    connections or time-outs, further requests to that host fail at once, with
    the same outcome, for this long (0: every request tries).
    """

    cache: bool = True
    cache_dir: str | os.PathLike[str] | None = None
    cache_max_bytes: int = 512 * 1024 * 1024
    memory_cache_bytes: int = 64 * 1024 * 1024
    mode: str = "normal"
    stale_on_error: bool = False
    #: Index pages and JSON documents are asked with ``Cache-Control: max-age=0``.
    revalidate_documents: bool = True
    retries: int = 5
    backoff: float = 0.25
    backoff_max: float = 10.0
    retry_after_max: float = 60.0
    dead_host_seconds: float = 30.0
    proxy: str | None = None
    #: Proxies from HTTP_PROXY/HTTPS_PROXY/ALL_PROXY with NO_PROXY, when no ``proxy``.
    proxy_from_env: bool = True
    cert: str | os.PathLike[str] | None = None
    client_cert: str | os.PathLike[str] | None = None
    truststore: bool = True
    trusted_hosts: tuple[str, ...] = ()
    netrc: bool = True
    netrc_file: str | os.PathLike[str] | None = None
    per_host_connections: int = 10
    timeout: float | None = None
    max_body: int = DEFAULT_MAX_BODY
    #: (project name or glob, index URL) pairs: a pinned project is asked of its index alone.
    pins: tuple[tuple[str, str], ...] = ()
    #: An index that could not be read about a project ends the question about it.
    fail_closed: bool = False

    __repr__ = masked_repr

    def __post_init__(self) -> None:
        if self.mode not in ("normal", "refresh", "offline"):
            raise ValueError(f"mode must be 'normal', 'refresh' or 'offline', not {self.mode!r}")
        if self.retries < 0 or self.per_host_connections < 1 or self.dead_host_seconds < 0:
            raise ValueError("retries and dead_host_seconds must be >= 0 and per_host_connections >= 1")
        object.__setattr__(self, "trusted_hosts", tuple(self.trusted_hosts))
        object.__setattr__(self, "pins", tuple((str(name), str(url)) for name, url in self.pins))


# -- URLs -------------------------------------------------------------------------


def host_port(url: str) -> tuple[str, int | None]:
    parts = urlsplit(url)
    try:
        port = parts.port
    except ValueError:
        port = None
    return (parts.hostname or "").lower(), port


def _host_matches(entry: str, host: str, port: int | None) -> bool:
    """A trusted-host entry, ``host`` or ``host:port``, as pip takes them."""
    entry = entry.strip().lower()
    name, sep, entry_port = entry.rpartition(":")
    if sep and entry_port.isdigit() and not name.endswith(":"):
        return name.strip("[]") == host and port == int(entry_port)
    return entry.strip("[]") == host


# -- TLS ----------------------------------------------------------------------------


def ssl_context(options: NetworkOptions) -> ssl.SSLContext:
    """One context for both roads: a given CA bundle, else the system store
    through truststore when it is installed (as pip does), else Python's
    defaults; plus the client certificate (key and certificate in one PEM
    file, as pip takes it)."""
    context: ssl.SSLContext | None = None
    if options.cert is not None:
        context = ssl.create_default_context(cafile=os.fspath(options.cert))
    elif options.truststore:
        context = system_store_context()
    if context is None:
        context = ssl.create_default_context()
    if options.client_cert is not None:
        context.load_cert_chain(os.fspath(options.client_cert))
    return context


def system_store_context() -> ssl.SSLContext | None:
    """The system's trust store as truststore gives it, or None without truststore.

    On Windows and macOS truststore asks the platform's verifier after each
    handshake: its context is kept. Elsewhere its verification is OpenSSL's own,
    with the CA files truststore picks, but it loads them into the context
    again for every connection (about 18 ms of CPU each, most of a tree's TLS
    cost). Here truststore's own choice of files is applied once, by the first
    connection, to a plain client context: the same certificates accepted and refused, except that a
    CA file changed while the process runs is not read again."""
    try:
        import truststore
    except ImportError:
        return None
    if sys.platform in ("win32", "darwin"):
        return truststore.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    try:
        from truststore._openssl import _configure_context
    except ImportError:  # a truststore laid out otherwise: its own context, as before
        return truststore.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    return _LoadedOnce(ssl.PROTOCOL_TLS_CLIENT, _configure_context)


class _LoadedOnce(ssl.SSLContext):
    """A client context whose CA files are loaded by its first connection, once:
    a run that only speaks plain HTTP never reads them."""

    def __new__(cls, protocol: int, configure: Any) -> _LoadedOnce:
        return super().__new__(cls, protocol)

    def __init__(self, protocol: int, configure: Any) -> None:
        self._configure: Any = configure
        self._loading = threading.Lock()

    def _load(self) -> None:
        with self._loading:
            if self._configure is not None:
                with self._configure(self):
                    pass
                self._configure = None

    def wrap_bio(self, *args: Any, **kwargs: Any) -> ssl.SSLObject:
        if self._configure is not None:
            self._load()
        return super().wrap_bio(*args, **kwargs)

    def wrap_socket(self, *args: Any, **kwargs: Any) -> ssl.SSLSocket:
        if self._configure is not None:
            self._load()
        return super().wrap_socket(*args, **kwargs)


class Setup:
    """The options made concrete: one TLS context, proxy and credential
    lookups. Thread-safe; shared by both roads."""

    def __init__(self, options: NetworkOptions) -> None:
        self.options = options
        self._ssl: ssl.SSLContext | None = None
        self._lock = threading.Lock()
        self._netrc: Any = None
        self._netrc_read = False
        # Read once: the environment is the process's, and reading it walks
        # every variable (a measurable share of a cached answer).
        self._env_proxies = urllib.request.getproxies_environment() if options.proxy_from_env else {}

    @property
    def ssl(self) -> ssl.SSLContext:
        with self._lock:
            if self._ssl is None:
                self._ssl = ssl_context(self.options)
            return self._ssl

    def warm(self) -> None:
        """Makes the TLS context and loads its CA files now, for a caller that
        starts it on a thread while it imports (loading releases the GIL).
        A failure is left to the first connection, which meets it again."""
        try:
            context = self.ssl
            if isinstance(context, _LoadedOnce):
                context._load()
        except Exception:  # noqa: BLE001 - reported where the context is used
            pass

    def trusted(self, url: str) -> bool:
        """A host the user trusts: its certificate is not verified."""
        host, port = host_port(url)
        return any(_host_matches(entry, host, port) for entry in self.options.trusted_hosts)

    def proxy_for(self, url: str) -> str | None:
        """The proxy a request to ``url`` goes through, or None. An explicit
        proxy serves every host; proxies from the environment (read when the
        layer is made) honour NO_PROXY."""
        scheme = urlsplit(url).scheme.lower()
        if scheme not in ("http", "https"):
            return None
        if self.options.proxy:
            return self.options.proxy
        proxies = self._env_proxies
        proxy = proxies.get(scheme) or proxies.get("all")
        if not proxy:
            return None
        host, port = host_port(url)
        netloc = host if port is None else f"{host}:{port}"
        if _bypassed(netloc, proxies.get("no")):
            return None
        return proxy

    def credentials(self, url: str) -> tuple[str, str] | None:
        """(login, password) from netrc for the URL's host, when the URL
        carries none of its own."""
        if not self.options.netrc or user_info(url) is not None:
            return None
        with self._lock:
            if not self._netrc_read:
                self._netrc_read = True
                self._netrc = _read_netrc(self.options.netrc_file)
        if self._netrc is None:
            return None
        found = self._netrc.authenticators(host_port(url)[0])
        if not found:
            return None
        login, _account, password = found
        return login or "", password or ""


def _bypassed(netloc: str, no_proxy: str | None) -> bool:
    if not no_proxy:
        return False
    if no_proxy.strip() == "*":
        return True
    host = netloc.rpartition(":")[0] if netloc.count(":") == 1 else netloc
    for entry in (e.strip().lower() for e in no_proxy.split(",")):
        if not entry:
            continue
        entry = entry.lstrip(".")
        name = entry.rpartition(":")[0] if entry.count(":") == 1 else entry
        if netloc == entry or host == name or host.endswith("." + name):
            return True
    return False


def _read_netrc(path: str | os.PathLike[str] | None) -> Any:
    if path is None:
        env = os.environ.get("NETRC")
        path = env if env else Path.home() / ".netrc"
    try:
        return netrc.netrc(os.fspath(path))
    except (OSError, netrc.NetrcParseError):
        return None
