"""Fixtures shared by the test modules."""

from __future__ import annotations

import asyncio
import copy

import pytest

import quorvel_master.business_layer.packages.package_index_client as pic


class LogRecorder:
    """Stands in for the module logger: keeps (level, message) pairs in order."""

    def __init__(self) -> None:
        self.records: list[tuple[str, str]] = []

    def _record(level):
        def method(self, message, *args, **kwargs):
            assert not args and not kwargs, "the module logs one finished message"
            assert type(message) is str
            self.records.append((level, message))

        return method

    debug = _record("debug")
    info = _record("info")
    warning = _record("warning")
    error = _record("error")
    del _record

    def messages(self, level: str | None = None) -> list[str]:
        return [m for lv, m in self.records if level is None or lv == level]

    def clear(self) -> None:
        self.records.clear()


@pytest.fixture
def m():
    return pic


@pytest.fixture
def log(monkeypatch):
    recorder = LogRecorder()
    monkeypatch.setattr(pic, "logger", recorder)
    return recorder


class FixedSettings:
    """Host settings as plain objects, handed out afresh (deep copies) per call.

    Unlike the host's settings manager it accepts any shape, so tests can give
    two primaries, missing keys or wrong types.
    """

    def __init__(self, settings=None, api_list=None) -> None:
        self.settings = settings
        self.api_list = [] if api_list is None else api_list
        self.settings_calls = 0
        self.api_calls = 0

    def get_pip_settings(self, manager):
        self.settings_calls += 1
        return copy.deepcopy(self.settings)

    def get_pip_api_list(self, manager):
        self.api_calls += 1
        return copy.deepcopy(self.api_list)


@pytest.fixture
def fixed_settings(monkeypatch):
    """Replaces the module's settings accessors; returns a FixedSettings to fill in."""
    fixed = FixedSettings()
    monkeypatch.setattr(pic, "get_pip_settings", fixed.get_pip_settings)
    monkeypatch.setattr(pic, "get_pip_api_list", fixed.get_pip_api_list)
    return fixed


def run(coro):
    """Runs one coroutine on a fresh event loop."""
    return asyncio.run(coro)
