"""One run of ``pkgindex``'s questions: the client on the network layer, with
the module's finder global, its logger and the watch set up for the command
line while the run lasts, and what the run has to say on stderr at its end.

The network options are the command line's, else pip's, else the network
layer's own defaults: nothing here chooses a time-out or a number of retries.
"""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

from .._native import mask_given_url
from .arguments import PROG, UsageError
from .config import ConfigError, one_line

if TYPE_CHECKING:
    from .config import Indexes
    from .console import Console
    from .questions import Answer, Query


def client_module() -> Any:
    """The extension module, imported the network layer's way (with the one
    warning it gives under any interpreter but 3.11 filtered)."""
    try:
        from ..network.layer import client_module as imported

        return imported()
    except ImportError as exc:
        raise ConfigError(f"the package index client is not available: {one_line(exc)}") from None


def network_options(args: argparse.Namespace, indexes: Indexes, *, persistent: bool = True) -> Any:
    """The network layer's options: the command line's, else pip's, else the
    layer's defaults; the cache in the user's cache folder unless
    ``persistent`` is off (then in memory, for the run)."""
    from ..network import NetworkOptions
    from .config import user_cache_dir

    pip = indexes.pip
    given = lambda name: getattr(args, name, None)  # noqa: E731
    from_pip = lambda name: getattr(pip, name, None) if pip is not None else None  # noqa: E731
    no_cache = bool(given("no_cache")) or bool(from_pip("no_cache_dir"))
    offline, refresh = bool(given("offline")), bool(given("refresh"))
    if offline and refresh:
        raise UsageError("--offline and --refresh cannot be given together")
    if offline and no_cache:
        why = "--no-cache" if given("no_cache") else "pip's no-cache-dir"
        raise UsageError(f"--offline answers from the cache, which {why} turns off")
    chosen: dict[str, Any] = {}
    for name in ("retries", "timeout"):
        value = given(name)
        chosen[name] = from_pip(name) if value is None else value
    proxy = given("proxy") or from_pip("proxy")
    for name, option in (("cert", "--cert"), ("client_cert", "--client-cert")):
        path, where = (given(name), option) if given(name) else (from_pip(name), f"pip's {option[2:]}")
        if path:
            path = os.path.expanduser(path)
            if not os.path.isfile(path):
                raise UsageError(f"{where} {path}: no such file")
            chosen[name] = path
    from .routes import routing_of

    pins, fail_closed = routing_of(args)
    return NetworkOptions(
        pins=pins,
        fail_closed=fail_closed,
        cache=not no_cache,
        cache_dir=user_cache_dir(PROG) if persistent and not no_cache else None,
        mode="offline" if offline else "refresh" if refresh else "normal",
        proxy=_proxy_url(proxy) if proxy else None,
        trusted_hosts=tuple(indexes.trusted_hosts),
        **{name: value for name, value in chosen.items() if value is not None},
    )


def _proxy_url(text: str) -> str:
    """A proxy as pip takes it: ``[scheme://][user:password@]host:port``."""
    from urllib.parse import urlsplit

    url = text if "://" in text else "http://" + text
    try:
        parts = urlsplit(url)
        parts.port  # noqa: B018 (a port that is not a number raises)
    except ValueError:
        parts = None
    if parts is None or parts.scheme.lower() not in ("http", "https") or not parts.hostname:
        raise UsageError(f"{mask_given_url(text)!r} is not a proxy URL (http://[user:password@]host:port)")
    return url


def make_network(options: Any, console: Console, *, check_files: bool = True) -> Any:
    """The layer, going on without the cache (with a warning) when its folder
    cannot be used; a certificate file that cannot be used is an error (here,
    or in :func:`check_cert_files` for a caller that loads them meanwhile)."""
    import dataclasses

    from ..network import Network

    try:
        network = Network(options)
    except OSError as exc:
        if options.mode == "offline":
            raise ConfigError(f"the cache folder {options.cache_dir} cannot be used: {one_line(exc)}") from None
        console.warn(f"the cache folder {options.cache_dir} cannot be used ({exc.strerror or one_line(exc)}); "
                     "going on without it")
        network = Network(dataclasses.replace(options, cache_dir=None))
    if check_files:
        check_cert_files(network)
    return network


def check_cert_files(network: Any) -> None:
    """A certificate file that cannot be used is a configuration error."""
    import ssl

    options = network.options
    if options.cert is not None or options.client_cert is not None:
        try:
            network.setup.ssl  # noqa: B018 (loads the files now, to say what is wrong with them)
        except (OSError, ssl.SSLError) as exc:
            files = " and ".join(str(f) for f in (options.cert, options.client_cert) if f is not None)
            raise ConfigError(f"the certificate file {files} cannot be used: {one_line(exc)}") from None


class Session:
    """One run of questions against one set of indexes: the client on the
    network layer, with the module's finder global and logger set up for the
    command line while it runs."""

    def __init__(self, indexes: Indexes, args: argparse.Namespace, console: Console, network_options: Any) -> None:
        from ..business_layer.packages.pip_settings import SettingsManager
        from .watch import Watch

        self.args, self.console = args, console
        self.module = client_module()
        self.watch = Watch(indexes)
        self.settings_manager = SettingsManager(indexes.settings)
        self.network = make_network(network_options, console)
        self._undo: list[Callable[[], None]] = []
        #: The fail-closed stop that ended the run, if one did.
        self.closed_by: Exception | None = None

    def __enter__(self) -> Session:
        import logging

        from .console import EchoHandler
        from .watch import ClientLogHandler, finder_factory

        network = self.network
        if self.module.PackageFinder is not None:
            network.finder_factory = finder_factory(network, self.watch)
            network.install(self.module)
            self._undo.append(network.uninstall)
        self._undo.append(network.outcomes.listen(self.watch.heard))
        logger = self.module.logger
        self._add_handler(logger, ClientLogHandler(self.watch))
        level = logger.level
        logger.setLevel(logging.DEBUG)
        self._undo.append(lambda: logger.setLevel(level))
        root = logging.getLogger()
        verbose = getattr(self.args, "verbose", 0) or 0
        if verbose:
            self._add_handler(root, EchoHandler(self.console, logging.DEBUG))
            # -v: every line of the client, the libraries' warnings; -vv: all.
            root_level = root.level
            root.setLevel(logging.WARNING if verbose == 1 else logging.DEBUG)
            self._undo.append(lambda: root.setLevel(root_level))
        else:
            # Without a handler, logging would print the libraries' warnings.
            self._add_handler(root, logging.NullHandler())
        return self

    def __exit__(self, *exc: object) -> None:
        while self._undo:
            self._undo.pop()()
        self.network.close_sync()

    def _add_handler(self, logger: Any, handler: Any) -> None:
        logger.addHandler(handler)
        self._undo.append(lambda: logger.removeHandler(handler))

    async def ask(self, questions: Sequence[Query]) -> list[Answer]:
        from .watch import command_client

        client = command_client(self.settings_manager, self.network, self.watch, self.module)
        answers = []
        try:
            for q in questions:
                started = time.perf_counter()
                assert q.command.ask is not None
                answer = await q.command.ask(client, q)
                answer.seconds = time.perf_counter() - started
                answers.append(answer)
        finally:
            await client.close()
        return answers

    def run(self, questions: Sequence[Query]) -> list[Answer]:
        import asyncio

        from ..network import IndexUnreadable

        self.console.start_status(self.watch.status_text)
        try:
            return asyncio.run(self.ask(questions))
        except IndexUnreadable as exc:
            # Fail-closed: the run ends here, and says so in one line.
            self.closed_by = exc
            return []
        except Exception as exc:
            # The one index answer the client lets through: a document it
            # cannot read.
            self.watch.failed(None, f"unreadable answer ({type(exc).__name__}: {one_line(exc)})")
            return []
        finally:
            self.console.stop_status()

    def report(self, answers: Iterable[Answer] = ()) -> None:
        """A line for each index that could not be read; those asked before
        the index that gave an answer, in one line naming that index."""
        if self.closed_by is not None:
            self.console.error(str(self.closed_by))
            return
        watch, said = self.watch, set()
        for answer in answers:
            if not answer.found or answer.index is None:
                continue
            earlier = [key for key in watch.failed_before(answer.index) if key not in said]
            if earlier:
                unread = "; nor ".join(f"{watch.shown(key)}: {watch.failures[key]}" for key in earlier)
                self.console.say(f"could not read {unread}; the answer is from {mask_given_url(answer.index)}")
                said.update(earlier)
        for line in watch.failure_lines(leave_out=said):
            self.console.say(line)
