"""What a reader drew from a file that does not change, kept beside the
cache's answers so that a second run needs no request for it.

A wheel or an sdist on an index is immutable in practice: the index announces
its hash beside its URL, and the same URL with the same hash is the same bytes,
so what was read out of it (the requirements of its METADATA, say) holds as
long as the index announces that hash. A record is kept under the file's URL
without credentials, who asks for it (the digest of the credentials its
requests carry, as the cache keys its answers) and a tag the reader makes of
the announced hash and of what it drew; it is read back by the same three.
A reader with no hash to go by asks the network as before.

Offline, records answer like any stored answer; in refresh mode they are
written but not read. They live in the cache's store (its folder and bounds),
and with the cache off there are none.
"""

from __future__ import annotations

import hashlib
import json
from typing import Any

from .urls import basic_auth, identity, without_credentials

__all__ = ["Extracts", "STRONG_HASHES", "file_tag"]

#: The announced hashes a record may go by, strongest first; md5 and sha1 are not among them.
STRONG_HASHES = ("sha512", "sha384", "sha256", "blake2b", "sha3_512", "sha3_384", "sha3_256")


def file_tag(kind: str, hashes: Any) -> str | None:
    """``kind`` and the strongest announced hash, the tag a record is kept
    under; None when no strong hash is announced."""
    if not isinstance(hashes, dict):
        return None
    for name in STRONG_HASHES:
        value = hashes.get(name)
        if isinstance(value, str) and value:
            return f"{kind} {name}={value.lower()}"
    return None


class Extracts:
    """Records of what was read out of files, in the cache's store."""

    def __init__(self, cache: Any, setup: Any) -> None:
        self._cache, self._setup = cache, setup

    def _who(self, url: str) -> str:
        found = self._setup.credentials(url)
        return identity(url, basic_auth(*found) if found is not None else None)

    def _key_and_head(self, url: str, tag: str) -> tuple[str, bytes]:
        bare = without_credentials(url)
        head = json.dumps([bare, self._who(url), tag]).encode()
        return hashlib.sha256(b"EXTRACT " + head).hexdigest(), head

    def get(self, url: str, tag: str) -> bytes | None:
        """What was kept for the file at ``url`` under ``tag``, or None."""
        if self._cache is None or self._cache.mode == "refresh":
            return None
        key, head = self._key_and_head(url, tag)
        data = self._cache.store.get(key)
        if data is None:
            return None
        kept_head, sep, body = data.partition(b"\n")
        return body if sep and kept_head == head else None  # another file with the same digest

    def put(self, url: str, tag: str, data: bytes) -> None:
        if self._cache is None:
            return
        key, head = self._key_and_head(url, tag)
        self._cache.store.put(key, head + b"\n" + data)
