"""The layer a host holds: one network setup, one cache, one retry policy and
one record of outcomes, for both of the client's roads.

The client offers two ways in: it takes its session from ``_get_session``,
called through the instance, and it builds finders from its module global
``PackageFinder``, read at every call. :class:`NetworkClient` overrides the
first; :meth:`Network.install` replaces the second with a factory that puts
every finder on the layer's shared client for its index. ``PackageFinder`` is
a global of the module, so the last layer installed serves every client of
the process on the finder road.

The client calls its single-index methods through ``self`` too:
:class:`NetworkClient` wraps each in :meth:`Network.asking`, so that a JSON
road request is attributed to its index where it is made.

While a layer is in use (from its making, and again from its next request
after a close), the network libraries' own log records are masked
(logmask.py); closing or uninstalling the layer gives that back.
"""

from __future__ import annotations

import contextlib
import contextvars
import functools
import threading
import warnings
import weakref
from collections.abc import Iterator
from collections.abc import Awaitable, Callable
from typing import Any, Dict, List, Set

from . import logmask
from .cache import HTTPCache, make_store
from .context import RoadContext, asking
from .extracts import Extracts
from .finder import FinderClients, FinderFactory
from .outcomes import Outcomes
from .retry import NetworkClosed, RetryPolicy
from .routing import FailureWatch, IndexUnreadable, Routes
from .session import CachingSession
from .setup import NetworkOptions, Setup

__all__ = ["IndexUnreadable", "Network", "NetworkClient", "NetworkClosed", "client_module"]

#: The project the client's walk in this task is about (see NetworkClientMethods).
_project: contextvars.ContextVar[str | None] = contextvars.ContextVar("quorvel_master_network_project", default=None)


@functools.cache
def client_module() -> Any:
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
        from quorvel_master.business_layer.packages import package_index_client

    return package_index_client


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
        #: What the roads are given of the layer.
        self.context = RoadContext(self.setup, self.cache, self.policy, self.outcomes)
        #: What readers drew from immutable files, for the next run (extracts.py).
        self.extracts = Extracts(self.cache, self.setup)
        self.finder_clients = FinderClients(self.context)
        #: Pins and fail-closed: which indexes may hear of a project (routing.py).
        self.routes = Routes(options.pins, options.fail_closed)
        self.failures = FailureWatch()
        self.outcomes.listen(self.failures.heard)
        self.finder_factory = FinderFactory(self)
        self._session: CachingSession | None = None
        self._installed: list[tuple[Any, Any]] = []
        self.mask_logs()
        weakref.finalize(self, logmask.release, self.context.log_token)

    def mask_logs(self) -> None:
        """Masks the network libraries' log records (again, after a close)."""
        self.context.in_use()

    def unmask_logs(self) -> None:
        logmask.release(self.context.log_token)

    # -- the JSON road --

    def session(self) -> CachingSession:
        """The layer's aiohttp session, made on first use and again after a close."""
        if self._session is None or self._session.closed:
            self.mask_logs()
            self._session = CachingSession(self.context)
        return self._session

    @staticmethod
    def asking(index_url: str | None) -> contextlib.AbstractContextManager[None]:
        """``with network.asking(index_url):`` the requests the current task
        makes through the layer's session are attributed to ``index_url`` (its
        outcomes name it, and a 200 the client could not use is that index's
        failure). :class:`NetworkClient` does it for the client's own
        requests; a host's own reader does it for its."""
        return asking(index_url)

    async def walk(self, project: str, indexes: list[str], ask: Callable[[str], Awaitable[Any]],
                   taken: Callable[[Any], bool] = bool) -> tuple[str | None, Any]:
        """A host's own walk over ``indexes`` for ``project``, routed: the
        indexes of ``routes.plan`` in order, ``await ask(index)`` on each
        (attributed to it), the first answer ``taken`` wins: ``(index,
        answer)``, else ``(None, None)``. An index whose ask raised (say a
        ``PageError`` of ``read_project_page``) or whose requests failed is
        passed over, or under fail-closed ends the walk with
        :class:`IndexUnreadable`."""
        for index in self.routes.plan(project, indexes):
            raised: Exception | None = None
            with self.failures.watching(index, project) as failed, asking(index):
                try:
                    answer = await ask(index)
                except Exception as exc:  # the index's failure: cancellation passes
                    raised, answer = exc, None
            stop = next((o for o in failed if self.routes.ends_question(o)), None)
            if self.routes.fail_closed and (stop is not None or raised is not None):
                raise IndexUnreadable(project, index, stop) from raised
            if raised is None and taken(answer):
                return index, answer
        return None, None

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
        return self.context.closing

    def wait(self, seconds: float, closing: threading.Event | None = None) -> None:
        """A retry's wait on a worker thread (see :meth:`RoadContext.wait`)."""
        self.context.wait(seconds, closing)

    # -- clients --

    def attach(self, client: Any) -> None:
        self.install()

    def client(self, settings_manager: Any) -> Any:
        """A client (a :class:`NetworkClient`) whose both roads go through this layer."""
        return __getattr__("NetworkClient")(settings_manager, self)

    def _closed(self) -> None:
        closing, self.context.closing = self.context.closing, threading.Event()
        closing.set()
        self.context.dead_hosts.clear()
        self.unmask_logs()

    async def close(self) -> None:
        """Closes the session and the finder clients; waiting retries end.
        The layer stays usable: the next request opens them again."""
        self._closed()
        session, self._session = self._session, None
        try:
            if session is not None and not session.closed:
                await session.close()
        finally:
            self.finder_clients.close()

    def close_sync(self) -> None:
        """Closes the finder clients, for a host without a running loop
        (the aiohttp session, if any, needs :meth:`close`)."""
        self._closed()
        self.finder_clients.close()


class NetworkClientMethods:
    """What :class:`NetworkClient` adds to ``PackageIndexClient`` (the base
    comes from the extension, imported on first use). Each single-index
    method keeps the base's exact signature."""

    network: Network

    def __init__(self, settings_manager: Any, network: Network | None = None) -> None:
        super().__init__(settings_manager)  # type: ignore[call-arg]
        self.network = network if network is not None else Network()
        self.network.attach(self)

    async def _get_session(self) -> CachingSession:
        return self.network.session()

    async def close(self) -> None:
        try:
            await super().close()  # type: ignore[misc]
        finally:
            await self.network.close()

    async def _routed(self, name: str, index_url: str, empty: Any, call: Callable[[], Awaitable[Any]]) -> Any:
        """One index asked about one project, as the layer's routes allow: an
        index the project is not pinned to gets no request (the empty answer),
        and under fail-closed a failure ends the walk (IndexUnreadable)."""
        routes = self.network.routes
        if not routes.allows(name, index_url):
            return empty
        with self.network.failures.watching(index_url, name) as failed, asking(index_url):
            result = await call()
        stop = next((o for o in failed if routes.ends_question(o)), None)
        if stop is not None:
            raise IndexUnreadable(name, index_url, stop)
        return result

    async def _package_exists_in_index(self, package_name: str, index_url: str) -> bool:
        return await self._routed(package_name, index_url, False, lambda: super(  # type: ignore[misc]
            NetworkClientMethods, self)._package_exists_in_index(package_name, index_url))

    async def _package_version_exists_in_index(self, package_name: str, version: str, index_url: str) -> bool:
        return await self._routed(package_name, index_url, False, lambda: super(  # type: ignore[misc]
            NetworkClientMethods, self)._package_version_exists_in_index(package_name, version, index_url))

    async def _get_versions_from_index(self, package_name: str, index_url: str) -> List[str]:
        return await self._routed(package_name, index_url, [], lambda: super(  # type: ignore[misc]
            NetworkClientMethods, self)._get_versions_from_index(package_name, index_url))

    async def _get_extras_from_index(self, package_name: str, version: str, index_url: str) -> Set[str]:
        return await self._routed(package_name, index_url, set(), lambda: super(  # type: ignore[misc]
            NetworkClientMethods, self)._get_extras_from_index(package_name, version, index_url))

    async def _get_dependencies_from_index(self, package_name: str, version: str,
                                           index_url: str) -> List[Dict[str, Any]]:
        return await self._routed(package_name, index_url, [], lambda: super(  # type: ignore[misc]
            NetworkClientMethods, self)._get_dependencies_from_index(package_name, version, index_url))

    async def _get_package_info_from_index(self, package_name: str, index_url: str) -> Dict[str, str]:
        refused = {"error": f"Package '{package_name}' is pinned to another index"}
        return await self._routed(package_name, index_url, refused, lambda: super(  # type: ignore[misc]
            NetworkClientMethods, self)._get_package_info_from_index(package_name, index_url))

    # -- the walks: a pinned project sees its index alone --

    def _get_pip_settings(self) -> Any:
        settings = super()._get_pip_settings()  # type: ignore[misc]
        project = _project.get()
        return settings if project is None else self.network.routes.pip_settings(project, settings)

    def _question(self, project: Any, made: Any) -> Any:
        # Without routes the client's own coroutine, untouched. The base made
        # it (and checked the arguments); the walk runs when it is awaited.
        if not self.network.routes.pins:
            return made
        return _about(project, made)

    def get_versions(self, package_name: str, index_url: str | None = None) -> Any:
        return self._question(package_name, super().get_versions(package_name, index_url))  # type: ignore[misc]

    def get_extras(self, package_name: str, version: str, index_url: str | None = None) -> Any:
        return self._question(package_name, super().get_extras(  # type: ignore[misc]
            package_name, version, index_url))

    def get_dependencies(self, package_name: str, version: str, index_url: str | None = None) -> Any:
        return self._question(package_name, super().get_dependencies(  # type: ignore[misc]
            package_name, version, index_url))

    def get_package_info(self, package_name: str) -> Any:
        return self._question(package_name, super().get_package_info(package_name))  # type: ignore[misc]

    def find_repo_for_package(self, package_name: str) -> Any:
        return self._question(package_name, super().find_repo_for_package(package_name))  # type: ignore[misc]

    def find_repo_for_package_version(self, package_name: str, version: str) -> Any:
        return self._question(package_name, super().find_repo_for_package_version(  # type: ignore[misc]
            package_name, version))


async def _about(project: str, made: Awaitable[Any]) -> Any:
    token = _project.set(project)
    try:
        return await made
    finally:
        _project.reset(token)


_client_class_made: type | None = None


def __getattr__(name: str) -> Any:
    # Made on first use, so the cache and the setup import without the extension.
    global _client_class_made
    if name == "NetworkClient":
        if _client_class_made is None:
            _client_class_made = type("NetworkClient", (NetworkClientMethods, client_module().PackageIndexClient), {
                "__module__": __name__,
                "__doc__": "A ``PackageIndexClient`` whose both roads use a :class:`Network`.\n\n"
                           "``close()`` closes the layer with the client's own session.",
            })
        return _client_class_made
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
