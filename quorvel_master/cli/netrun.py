"""The setup shared by the commands that read the indexes themselves, beside
the client (``audit``, ``tree``): which indexes they ask, in which order, and
one network layer for the run, closed on its loop and uninstalled at the end.
The routes (pins, fail-closed) are the layer's: ``network.routes``.
"""

from __future__ import annotations

import argparse
import asyncio
import threading
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any, TypeVar

from .config import normalized

if TYPE_CHECKING:
    from .config import Indexes
    from .console import Console

T = TypeVar("T")


def asked_indexes(indexes: Indexes, *, every: bool) -> list[str]:
    """The indexes in the order the first-index rule asks them, one URL per
    index (trailing slashes aside): the primary first, then the others; with
    ``every`` all the configured ones, else only when the settings use the
    secondaries, as the client does."""
    first = [indexes.primary] if indexes.primary else []
    rest = indexes.urls if every or indexes.settings.get("use_secondary_urls", True) else []
    seen: dict[str, str] = {}
    for url in first + rest:
        seen.setdefault(normalized(url), url)
    return list(seen.values())


def run_on_network(args: argparse.Namespace, console: Console, indexes: Indexes,
                   work: Callable[[Any], Awaitable[T]]) -> T:
    """``await work(network)`` on a fresh event loop, on the layer the command
    line's options make; the layer is closed on that loop, then uninstalled."""
    from .session import check_cert_files, make_network, network_options

    network = make_network(network_options(args, indexes), console, check_files=False)
    warming = None
    if any(url.lower().startswith("https:") for url in indexes.urls):
        # The CA files load (without the GIL) while the HTTP client is imported.
        warming = threading.Thread(target=network.setup.warm, name="tls-warm", daemon=True)
        warming.start()
    import aiohttp  # noqa: F401

    if warming is not None:
        warming.join()
    check_cert_files(network)

    async def run() -> T:
        try:
            return await work(network)
        finally:
            await network.close()

    try:
        return asyncio.run(run())
    finally:
        network.uninstall()
