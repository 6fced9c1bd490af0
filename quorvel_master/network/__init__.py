"""A network layer for hosts of the package index client: an HTTP cache,
retries, proxies, certificates and netrc, the same on both of the client's
roads (its aiohttp session and the finder's HTTP clients), and a record of
what happened to every request.

    network = Network(cache_dir="~/.cache/myapp/http", retries=3)
    client = network.client(settings_manager)   # a PackageIndexClient
    ...
    await client.close()                          # closes the layer too

The client itself is unchanged: the layer comes in through the ways the
client leaves open (``_get_session`` and the single-index methods it calls
through ``self``, and the module global ``PackageFinder``). A host's own
requests through ``network.session()`` are attributed to an index with
``with network.asking(index_url): ...``.
"""

from .cache import DirectoryStore, HTTPCache, MemoryStore, OfflineMiss
from .layer import Network, NetworkClosed
from .outcomes import Outcome, Outcomes, Request, Retry
from .retry import RetryPolicy, parse_retry_after
from .routing import IndexUnreadable, Pin, Routes
from .setup import NetworkOptions



def __getattr__(name: str) -> object:
    if name == "NetworkClient":  # imports the extension: only when asked for
        from . import layer

        return layer.NetworkClient
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "DirectoryStore",
    "HTTPCache",
    "IndexUnreadable",
    "MemoryStore",
    "Network",
    "NetworkClient",
    "NetworkClosed",
    "NetworkOptions",
    "OfflineMiss",
    "Outcome",
    "Outcomes",
    "Pin",
    "Request",
    "Retry",
    "RetryPolicy",
    "Routes",
    "parse_retry_after",
]
