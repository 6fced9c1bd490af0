"""The layer a host holds: one network setup, one cache, one retry policy and
one record of outcomes, for both of the client's roads.

The client offers two ways in: it takes its session from ``_get_session``,
called through the instance, and it builds finders from its module global
``PackageFinder``, read at every call. :class:`NetworkClient` overrides the
first; :meth:`Network.install` replaces the second with a factory that puts
every finder on the layer's shared client for its index. ``PackageFinder`` is
a global of the module, so the last layer installed serves every client of
the process on the finder road.

While a layer is in use (from its making, and again from its next request
after a close), the network libraries' own log records are masked
(logmask.py); closing or uninstalling the layer gives that back.
"""

from __future__ import annotations

import asyncio
import functools
import threading
import time
import warnings
import weakref
from typing import Any

from . import logmask
from .cache import HTTPCache, make_store
from .finder import FinderClients, FinderFactory
from .outcomes import Outcomes
from .retry import NetworkClosed, RetryPolicy
from .session import CachingSession
from .setup import NetworkOptions, Setup, without_credentials


@functools.cache
def client_module() -> Any:
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
        from quorvel_master.business_layer.packages import package_index_client

    return package_index_client


#: How often a retry's wait on a worker thread looks at its finder call's stop flag.
STOP_CHECK_SECONDS = 0.05


class Network:
    """The network layer. ``Network(cache_dir=..., retries=3)`` or
    ``Network(NetworkOptions(...))``."""

    def __init__(self, options: NetworkOptions | None = None, **kwargs: Any) -> None:
        if options is None:
            options = NetworkOptions(**kwargs)
        elif kwargs:
            raise TypeError("give either NetworkOptions or keyword options, not both")
        if options.mode == "offline" and not options.cache:
            raise ValueError("offline mode answers from the cache: the cache cannot be off")
        self.options = options
        self.setup = Setup(options)
        self.policy = RetryPolicy(options.retries, options.backoff, options.backoff_max, options.retry_after_max)
        self.outcomes = Outcomes()
        self.cache: HTTPCache | None = None
        if options.cache:
            store = make_store(options.cache_dir, options.cache_max_bytes, options.memory_cache_bytes, options.max_body)
            self.cache = HTTPCache(store, mode=options.mode, stale_on_error=options.stale_on_error)
        self.finder_clients = FinderClients(self)
        self.finder_factory = FinderFactory(self)
        self._session: CachingSession | None = None
        self._closing = threading.Event()
        self._clients: weakref.WeakSet[Any] = weakref.WeakSet()
        self._installed: list[tuple[Any, Any]] = []
        self._log_token = object()
        self.mask_logs()
        weakref.finalize(self, logmask.release, self._log_token)

    def mask_logs(self) -> None:
        """Masks the network libraries' log records (again, after a close)."""
        logmask.hold(self._log_token)

    def unmask_logs(self) -> None:
        logmask.release(self._log_token)

    # -- the JSON road --

    def session(self) -> CachingSession:
        """The layer's aiohttp session, made on first use and again after a close."""
        if self._session is None or self._session.closed:
            self.mask_logs()
            self._session = CachingSession(self)
        return self._session

    def index_of(self, url: str) -> str | None:
        """The index a JSON API request belongs to, from the API patterns of
        the clients attached to the layer (the longest matching prefix)."""
        bare = without_credentials(url)
        best: tuple[int, str] | None = None
        module = client_module()
        for client in list(self._clients):
            try:
                entries = module.get_pip_api_list(client.settings_manager)
            except Exception:
                continue
            for entry in entries or ():
                try:
                    pattern = entry["api_pattern"]
                    index = entry["index_url"]
                except (KeyError, TypeError):
                    continue
                prefix = without_credentials(str(pattern).split("{package_name}")[0])
                if bare.startswith(prefix) and (best is None or len(prefix) > best[0]):
                    best = (len(prefix), str(index))
        return best[1] if best else None

    # -- the finder road --

    def install(self, module: Any = None) -> None:
        """Puts the layer's finder factory in the client module's
        ``PackageFinder`` (unless the finder library is missing there)."""
        module = module if module is not None else client_module()
        self.mask_logs()
        current = module.PackageFinder
        if current is None or current is self.finder_factory:
            return
        self._installed.append((module, current))
        module.PackageFinder = self.finder_factory

    def uninstall(self) -> None:
        """Gives the module back the finder it had before :meth:`install`,
        and the libraries' log records their own texts."""
        self.unmask_logs()
        while self._installed:
            module, previous = self._installed.pop()
            if module.PackageFinder is self.finder_factory:
                module.PackageFinder = previous

    @property
    def closing(self) -> threading.Event:
        """Set when the layer closes; a new one after each close."""
        return self._closing

    def wait(self, seconds: float, closing: threading.Event | None = None) -> None:
        """A retry's wait on a worker thread. Ends early with
        :class:`NetworkClosed` when the layer closes (or ``closing``, the
        layer's event read when the request started, is set), and with
        ``asyncio.CancelledError`` when the client's finder call running on
        this thread is given up by its awaiting task: the task was cancelled,
        and nobody waits for the answer any more."""
        from .._native import finder_call_stopped

        event = closing or self._closing
        deadline = time.monotonic() + seconds
        while True:
            if finder_call_stopped():
                raise asyncio.CancelledError("the awaiting task was cancelled")
            left = deadline - time.monotonic()
            if left <= 0:
                return
            # The flag is a plain memory word, not an event: looked at in slices.
            if event.wait(min(left, STOP_CHECK_SECONDS)):
                raise NetworkClosed("the network layer was closed while a request waited to be retried")

    # -- clients --

    def attach(self, client: Any) -> None:
        self._clients.add(client)
        self.install()

    def client(self, settings_manager: Any) -> Any:
        """A client (a :class:`NetworkClient`) whose both roads go through this layer."""
        return __getattr__("NetworkClient")(settings_manager, self)

    async def close(self) -> None:
        """Closes the session and the finder clients; waiting retries end.
        The layer stays usable: the next request opens them again."""
        closing, self._closing = self._closing, threading.Event()
        closing.set()
        self.unmask_logs()
        session, self._session = self._session, None
        try:
            if session is not None and not session.closed:
                await session.close()
        finally:
            self.finder_clients.close()

    def close_sync(self) -> None:
        """Closes the finder clients, for a host without a running loop
        (the aiohttp session, if any, needs :meth:`close`)."""
        closing, self._closing = self._closing, threading.Event()
        closing.set()
        self.unmask_logs()
        self.finder_clients.close()


def _client_class() -> type:
    base = client_module().PackageIndexClient

    class NetworkClient(base):  # type: ignore[misc, valid-type]
        """A ``PackageIndexClient`` whose both roads use a :class:`Network`.

        ``close()`` closes the layer with the client's own session."""

        def __init__(self, settings_manager: Any, network: Network | None = None) -> None:
            super().__init__(settings_manager)
            self.network = network if network is not None else Network()
            self.network.attach(self)

        async def _get_session(self) -> CachingSession:
            return self.network.session()

        async def close(self) -> None:
            try:
                await super().close()
            finally:
                await self.network.close()

    NetworkClient.__module__ = __name__
    return NetworkClient


_client_class_made: type | None = None


def __getattr__(name: str) -> Any:
    # Made on first use, so the cache and the setup import without the extension.
    global _client_class_made
    if name == "NetworkClient":
        if _client_class_made is None:
            _client_class_made = _client_class()
        return _client_class_made
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
