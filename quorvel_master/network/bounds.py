"""How many requests a run has in flight to one host: one semaphore per host
(scheme, host and port), all of the same size.

The size is the layer's ``per_host_connections`` (``bounds_of(network)``):
the connections its session keeps per host, so that a reader holds no more
requests ready than the connections can carry, and every reader of one run
(the audit's pages, the tree's pages and files) bounds by the same number.
Semaphores belong to the event loop they first wait on: make the bounds once
per run, inside it.
"""

from __future__ import annotations

import asyncio
from typing import Any
from urllib.parse import urlsplit

__all__ = ["HostBounds", "bounds_of", "host_of"]


def host_of(url: str) -> str:
    """``scheme://host:port`` of a URL, without its credentials; "" when it is no URL."""
    try:
        parts = urlsplit(url)
        return f"{parts.scheme.lower()}://{(parts.hostname or '').lower()}:{parts.port or ''}"
    except ValueError:
        return ""


class HostBounds:
    """``async with bounds(url):`` at most ``per_host`` at once per host of ``url``."""

    def __init__(self, per_host: int) -> None:
        if per_host < 1:
            raise ValueError("per_host must be at least 1")
        self.per_host = per_host
        self._bounds: dict[str, asyncio.Semaphore] = {}

    def __call__(self, url: str) -> asyncio.Semaphore:
        return self.named(host_of(url))

    def named(self, key: str) -> asyncio.Semaphore:
        """The bound of ``key``, which need not be a host (a reader that does
        not know its host yet bounds under a name of its own)."""
        bound = self._bounds.get(key)
        if bound is None:
            bound = self._bounds[key] = asyncio.Semaphore(self.per_host)
        return bound


def bounds_of(network: Any) -> HostBounds:
    """Bounds sized by ``network``'s connections per host."""
    return HostBounds(network.options.per_host_connections)
