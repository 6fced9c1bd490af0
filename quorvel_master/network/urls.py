"""URLs and credentials, by the rules the client itself uses.

Where a URL's netloc and user-info are, how an index URL is compared and how
a secret is masked in a text are the client's compiled rules
(``quorvel_master._native``); the layer only calls them, so that what it keys,
records and shows cannot drift from what the client logs. What this module
adds is how credentials become an ``Authorization`` value, and the digest of
one that keeps each identity's cache entries apart.
"""

from __future__ import annotations

import base64
import dataclasses as dc
import functools
import hashlib
from typing import Any
from urllib.parse import unquote

from .._native import mask_given_url, mask_text, normalize_index_url, user_info, without_credentials

__all__ = [
    "basic_auth", "credentials_in", "identity", "index_key", "mask_given_url", "mask_text", "masked_repr",
    "origin_of", "without_credentials",
]


def index_key(url: str) -> str:
    """An index URL as the client compares them (trailing slashes dropped)."""
    return normalize_index_url(url)


def basic_auth(login: str, password: str) -> str:
    """An Authorization header value for Basic credentials."""
    return "Basic " + base64.b64encode(f"{login}:{password}".encode()).decode("ascii")


def credentials_in(url: str) -> tuple[str, str] | None:
    """(login, password) written in the URL's user-info, decoded, or None."""
    info = user_info(url)
    if info is None:
        return None
    login, _, password = info.partition(":")
    return unquote(login), unquote(password)


def origin_of(bare_url: str) -> str:
    """``scheme://host[:port]`` of a URL without credentials."""
    scheme, sep, rest = bare_url.partition("://")
    return scheme + sep + rest.partition("/")[0].partition("?")[0]


#: Rounds of the identity digest: a stored key must not be a cheap way to test
#: guesses of a password, and each identity is digested once per process.
_ROUNDS = 20_000


@functools.lru_cache(maxsize=64)
def _digest(authorization: str) -> str:
    return hashlib.pbkdf2_hmac("sha256", authorization.encode(), b"quorvel-master http cache identity",
                               _ROUNDS).hex()[:32]


def identity(url: str, authorization: str | None) -> str:
    """Who a request was sent as: a digest of its ``Authorization`` value, else
    of the credentials in its URL (as the Basic value they become); "" for
    nobody. The same person by either way gets the same digest."""
    if authorization is None:
        found = credentials_in(url)
        if found is None:
            return ""
        authorization = basic_auth(*found)
    return _digest(" ".join(authorization.split()))


def masked_repr(self: Any) -> str:
    """The dataclass repr of ``self`` with every secret of a URL masked: for
    the records a host logs."""
    fields = ", ".join(f"{f.name}={getattr(self, f.name)!r}" for f in dc.fields(self) if f.repr)
    return mask_text(f"{type(self).__name__}({fields})")
