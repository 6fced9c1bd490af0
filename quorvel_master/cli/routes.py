"""Pins and fail-closed as the command line takes them: ``--pin NAME=INDEX_URL``
(repeatable; NAME may be a glob), ``--fail-closed``, and in a ``--config``
settings file the ``[[pins]]`` tables (``name``, ``index_url``) and a top-level
``fail_closed = true``. The decision itself is the network layer's
(``quorvel_master.network.routing``); this only reads the words.
"""

from __future__ import annotations

import argparse
from typing import Any

from .._native import mask_given_url
from .config import ConfigError, one_line, read_settings_file


def _check_pin(name: Any, index_url: Any, where: str) -> tuple[str, str]:
    from ..business_layer.packages.pip_settings import _check_url
    from .arguments import UsageError, project_name

    if not isinstance(name, str) or not isinstance(index_url, str):
        raise ConfigError(f"{where}: a pin needs a 'name' and an 'index_url', both text")
    glob_free = name.replace("*", "x").replace("?", "x")
    try:
        project_name(glob_free)
    except UsageError:
        raise ConfigError(f"{where}: {name!r} is neither a project name nor a glob of one") from None
    try:
        return name, _check_url("", index_url)
    except ValueError as exc:
        raise ConfigError(f"{where}: {mask_given_url(index_url)!r} is not an index URL ({one_line(exc)})") from None


def parse_pin(text: str) -> tuple[str, str]:
    """``NAME=INDEX_URL``, split at the first '=' (a name holds none)."""
    name, sep, url = text.partition("=")
    if not sep or not name or not url:
        raise ConfigError(f"--pin expects NAME=INDEX_URL, got {mask_given_url(text)!r}")
    return _check_pin(name, url, "--pin")


def file_routing(path: str) -> tuple[list[tuple[str, str]], bool]:
    """The pins and fail_closed of a settings file."""
    try:
        raw = read_settings_file(path)
    except ValueError as exc:
        raise ConfigError(one_line(exc)) from None
    pins = raw.get("pins", []) if isinstance(raw, dict) else []
    if not isinstance(pins, list) or not all(isinstance(p, dict) for p in pins):
        raise ConfigError(f"{path}: 'pins' must be a list of tables with 'name' and 'index_url'")
    found = [_check_pin(p.get("name"), p.get("index_url"), f"{path}: pins") for p in pins]
    fail_closed = raw.get("fail_closed", False) if isinstance(raw, dict) else False
    if not isinstance(fail_closed, bool):
        raise ConfigError(f"{path}: 'fail_closed' must be true or false")
    return found, fail_closed


def routing_of(args: argparse.Namespace) -> tuple[tuple[tuple[str, str], ...], bool]:
    """The pins (the command line's first: the first matching glob wins) and
    fail-closed of one run."""
    pins = [parse_pin(text) for text in getattr(args, "pin", None) or []]
    fail_closed = bool(getattr(args, "fail_closed", False))
    config = getattr(args, "config", None)
    if config is not None:
        from_file, file_fail_closed = file_routing(config)
        pins += from_file
        fail_closed = fail_closed or file_fail_closed
    return tuple(pins), fail_closed
