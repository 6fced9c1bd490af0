"""Index settings read by the package index client.

The settings are a mapping of this exact shape (all keys optional)::

    {
        "index_urls": [
            {"url": "http://127.0.0.1:8080/simple", "primary": true},
            {"url": "http://mirror.example.invalid/simple"}
        ],
        "use_secondary_urls": true,
        "pip_api": [
            {
                "index_url": "http://127.0.0.1:8080/simple",
                "api_pattern": "http://127.0.0.1:8080/pypi/{package_name}/{version}/json"
            }
        ]
    }

The same in TOML::

    use_secondary_urls = true

    [[index_urls]]
    url = "http://127.0.0.1:8080/simple"
    primary = true

    [[index_urls]]
    url = "http://mirror.example.invalid/simple"

    [[pip_api]]
    index_url = "http://127.0.0.1:8080/simple"
    api_pattern = "http://127.0.0.1:8080/pypi/{package_name}/{version}/json"

Rules checked on load and on every edit (violations raise ``ValueError``):

* ``index_urls`` is a list of tables; ``url`` is a non-empty http(s) or file
  URL, ``primary`` (optional) is a boolean and at most one entry is primary.
* ``use_secondary_urls`` is a boolean; it defaults to ``true``.
* ``pip_api`` is a list of tables with string ``index_url`` and
  ``api_pattern``; the pattern must contain ``{package_name}`` and may use
  only the ``{package_name}`` and ``{version}`` placeholders.
* Unknown keys are rejected so that a misspelt key is not silently ignored.

The native client calls :func:`get_pip_settings` and :func:`get_pip_api_list`
on every query, so edits made through :class:`SettingsManager` take effect at
once. Both return new objects; callers may mutate them freely.
"""

from __future__ import annotations

import json
import string
import threading
import tomllib
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

# An index URL may carry a password, and these messages end up on screens and
# in logs: each quotes the value masked as the client's log lines mask URLs.
from ..._native import mask_given_url

__all__ = [
    "SettingsManager",
    "get_pip_api_list",
    "get_pip_settings",
]

_TOP_KEYS = frozenset({"index_urls", "use_secondary_urls", "pip_api"})
_INDEX_KEYS = frozenset({"url", "primary"})
_API_KEYS = frozenset({"index_url", "api_pattern"})
_PLACEHOLDERS = frozenset({"package_name", "version"})
_URL_SCHEMES = frozenset({"http", "https", "file"})


def _type_name(value: Any) -> str:
    return type(value).__name__


def _check_keys(where: str, entry: Mapping, allowed: frozenset) -> None:
    unknown = sorted(str(k) for k in entry if k not in allowed)
    if unknown:
        raise ValueError(
            f"{where}: unknown key(s) {', '.join(map(repr, unknown))}; "
            f"allowed: {', '.join(sorted(allowed))}"
        )


def _check_url(where: str, value: Any) -> str:
    if not isinstance(value, str):
        raise ValueError(f"{where} must be a string, got {_type_name(value)}")
    if not value or value != value.strip():
        raise ValueError(f"{where} must be a non-empty URL without surrounding spaces")
    parts = urlsplit(value)
    if parts.scheme not in _URL_SCHEMES:
        raise ValueError(
            f"{where} must be an http, https or file URL, got {mask_given_url(value)!r}"
        )
    if parts.scheme != "file" and not parts.netloc:
        raise ValueError(f"{where} has no host: {mask_given_url(value)!r}")
    return value


def _check_list(where: str, value: Any) -> list:
    # A lone string is iterable too; refuse it rather than split it into chars.
    if isinstance(value, (str, bytes)) or not isinstance(value, (list, tuple)):
        raise ValueError(f"{where} must be a list, got {_type_name(value)}")
    return list(value)


def _validate_indexes(value: Any) -> list[dict[str, Any]]:
    entries = []
    primaries = 0
    for i, entry in enumerate(_check_list("index_urls", value)):
        where = f"index_urls[{i}]"
        if not isinstance(entry, Mapping):
            raise ValueError(
                f"{where} must be a table with a 'url' key, got {_type_name(entry)}"
            )
        _check_keys(where, entry, _INDEX_KEYS)
        if "url" not in entry:
            raise ValueError(f"{where} is missing the 'url' key")
        clean: dict[str, Any] = {"url": _check_url(f"{where}.url", entry["url"])}
        if "primary" in entry:
            primary = entry["primary"]
            if not isinstance(primary, bool):
                raise ValueError(
                    f"{where}.primary must be a boolean, got {_type_name(primary)}"
                )
            clean["primary"] = primary
            primaries += primary
        entries.append(clean)
    if primaries > 1:
        raise ValueError(f"index_urls: at most one entry may be primary, got {primaries}")
    return entries


def _check_pattern(where: str, value: Any) -> str:
    if not isinstance(value, str):
        raise ValueError(f"{where} must be a string, got {_type_name(value)}")
    try:
        parsed = [p for p in string.Formatter().parse(value) if p[1] is not None]
    except ValueError as exc:
        raise ValueError(f"{where} is not a valid pattern ({exc}): {mask_given_url(value)!r}") from None
    # The native side does plain text replacement, so no "!r" or ":>10".
    if any(fmt or conv for _, _, fmt, conv in parsed):
        raise ValueError(f"{where} placeholders may not carry a format or conversion")
    fields = {f for _, f, _, _ in parsed}
    unknown = sorted(fields - _PLACEHOLDERS)
    if unknown:
        raise ValueError(
            f"{where} uses unknown placeholder(s) "
            f"{', '.join('{' + f + '}' for f in unknown)}; "
            "only {package_name} and {version} are replaced"
        )
    if "package_name" not in fields:
        raise ValueError(f"{where} must contain {{package_name}}: {mask_given_url(value)!r}")
    # The URL check runs on a filled-in sample so braces do not confuse it.
    _check_url(where, value.replace("{package_name}", "x").replace("{version}", "1"))
    return value


def _validate_apis(value: Any) -> list[dict[str, str]]:
    entries = []
    for i, entry in enumerate(_check_list("pip_api", value)):
        where = f"pip_api[{i}]"
        if not isinstance(entry, Mapping):
            raise ValueError(f"{where} must be a table, got {_type_name(entry)}")
        _check_keys(where, entry, _API_KEYS)
        for key in ("index_url", "api_pattern"):
            if key not in entry:
                raise ValueError(f"{where} is missing the {key!r} key")
        entries.append(
            {
                "index_url": _check_url(f"{where}.index_url", entry["index_url"]),
                "api_pattern": _check_pattern(f"{where}.api_pattern", entry["api_pattern"]),
            }
        )
    return entries


def _validate_flag(value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"use_secondary_urls must be a boolean, got {_type_name(value)}")
    return value


class SettingsManager:
    """Validated, thread-safe holder of the index settings.

    Reads take a snapshot under a lock, so a host thread may edit the
    settings while the client reads them from another thread.
    """

    def __init__(self, data: Mapping[str, Any] | None = None) -> None:
        if data is None:
            data = {}
        if not isinstance(data, Mapping):
            raise ValueError(f"settings must be a table/object, got {_type_name(data)}")
        _check_keys("settings", data, _TOP_KEYS)
        self._lock = threading.RLock()
        self._indexes = _validate_indexes(data.get("index_urls", []))
        self._use_secondary = _validate_flag(data.get("use_secondary_urls", True))
        self._apis = _validate_apis(data.get("pip_api", []))

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> SettingsManager:
        return cls(data)

    @classmethod
    def from_file(cls, path: str | Path) -> SettingsManager:
        """Load a ``.json`` or ``.toml`` file (chosen by suffix)."""
        path = Path(path)
        suffix = path.suffix.lower()
        if suffix not in (".json", ".toml"):
            raise ValueError(
                f"{path}: unsupported settings file type {path.suffix!r}; use .json or .toml"
            )
        raw = path.read_bytes()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ValueError(f"{path}: not UTF-8 text ({exc})") from None
        try:
            data = json.loads(text) if suffix == ".json" else tomllib.loads(text)
        except (json.JSONDecodeError, tomllib.TOMLDecodeError) as exc:
            raise ValueError(f"{path}: malformed {suffix[1:].upper()}: {exc}") from None
        try:
            return cls(data)
        except ValueError as exc:
            raise ValueError(f"{path}: {exc}") from None

    # -- reading --------------------------------------------------------

    @property
    def index_urls(self) -> list[dict[str, Any]]:
        with self._lock:
            return [dict(e) for e in self._indexes]

    @property
    def use_secondary_urls(self) -> bool:
        with self._lock:
            return self._use_secondary

    @use_secondary_urls.setter
    def use_secondary_urls(self, value: bool) -> None:
        value = _validate_flag(value)
        with self._lock:
            self._use_secondary = value

    @property
    def pip_api(self) -> list[dict[str, str]]:
        with self._lock:
            return [dict(e) for e in self._apis]

    def to_dict(self) -> dict[str, Any]:
        """Return the settings in the file format (new objects)."""
        with self._lock:
            return {
                "index_urls": [dict(e) for e in self._indexes],
                "use_secondary_urls": self._use_secondary,
                "pip_api": [dict(e) for e in self._apis],
            }

    # -- editing --------------------------------------------------------

    def set_indexes(
        self,
        index_urls: Iterable[Mapping[str, Any]],
        use_secondary_urls: bool | None = None,
    ) -> None:
        """Replace the index list (and optionally the secondary flag) atomically."""
        indexes = _validate_indexes(list(index_urls))
        flag = None if use_secondary_urls is None else _validate_flag(use_secondary_urls)
        with self._lock:
            self._indexes = indexes
            if flag is not None:
                self._use_secondary = flag

    def set_api_patterns(self, pip_api: Iterable[Mapping[str, Any]]) -> None:
        apis = _validate_apis(list(pip_api))
        with self._lock:
            self._apis = apis

    def update(self, data: Mapping[str, Any]) -> None:
        """Replace only the keys present in *data*, all or nothing."""
        if not isinstance(data, Mapping):
            raise ValueError(f"settings must be a table/object, got {_type_name(data)}")
        _check_keys("settings", data, _TOP_KEYS)
        indexes = _validate_indexes(data["index_urls"]) if "index_urls" in data else None
        flag = (
            _validate_flag(data["use_secondary_urls"])
            if "use_secondary_urls" in data
            else None
        )
        apis = _validate_apis(data["pip_api"]) if "pip_api" in data else None
        with self._lock:
            if indexes is not None:
                self._indexes = indexes
            if flag is not None:
                self._use_secondary = flag
            if apis is not None:
                self._apis = apis

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.to_dict()!r})"


def get_pip_settings(settings_manager: SettingsManager) -> dict[str, Any]:
    """Return ``{"index_urls": [...], "use_secondary_urls": bool}`` as new objects."""
    data = settings_manager.to_dict()
    return {
        "index_urls": data["index_urls"],
        "use_secondary_urls": data["use_secondary_urls"],
    }


def get_pip_api_list(settings_manager: SettingsManager) -> list[dict[str, str]]:
    """Return the JSON API patterns as a new list of new dicts."""
    return settings_manager.pip_api
