"""Sample data for ``pkgindex demo``: two local indexes and the questions asked.

The primary index is asked through its JSON API; the secondary has no API
pattern, so the client reads its simple pages and PEP 658 metadata files
through the finder. ``nebula-tools`` lives on the secondary only, so every
question about it walks past the primary first.
"""

from __future__ import annotations

import dataclasses as dc
from typing import Any

from .server import IndexServer

__all__ = ["DemoIndexes", "PRIMARY_PROJECTS", "QUESTIONS", "Question", "SECONDARY_PROJECTS"]

_AURORA_REQUIRES = [
    "colorama>=0.4",
    "tomli>=2.0; python_version < '3.11'",
    "rich>=13.0; extra == 'cli'",
    "uvloop>=0.17; sys_platform != 'win32' and extra == 'fast'",
]

#: name -> {version key: release info} in IndexServer.add_project's format.
PRIMARY_PROJECTS: dict[str, dict[str, dict[str, Any]]] = {
    "Aurora": {
        "0.9.0": {"summary": "Northern lights for your terminal", "requires_dist": ["colorama>=0.4"]},
        "1.0.0": {
            "summary": "Northern lights for your terminal",
            "requires_dist": _AURORA_REQUIRES[:3],
            "extras": ["cli"],
        },
        "1.1.0rc1": {
            "summary": "Northern lights for your terminal",
            "requires_dist": _AURORA_REQUIRES,
            "extras": ["cli", "fast"],
        },
        "1.1.0": {
            "summary": "Northern lights for your terminal",
            "requires_dist": _AURORA_REQUIRES,
            "extras": ["cli", "fast"],
        },
        "2.0.0b1": {
            "summary": "Northern lights for your terminal",
            "requires_dist": ["colorama>=0.4.6"],
        },
        # Not a PEP 440 version: listed by the index, dropped by the client.
        "nightly-build": {},
    },
    "borealis": {
        "0.1.0": {"summary": "Aurora themes", "requires_dist": ["Aurora[cli]>=1.0"]},
        "0.2.0": {
            "summary": "Aurora themes",
            "requires_dist": ["Aurora[cli,fast]>=1.1", "pyyaml>=6; platform_system == 'Linux'"],
        },
    },
}

SECONDARY_PROJECTS: dict[str, dict[str, dict[str, Any]]] = {
    "nebula-tools": {
        "0.1.0": {"summary": "Nebula helpers from the secondary index", "requires_dist": ["Aurora>=1.0"]},
        "0.2.0": {
            "summary": "Nebula helpers from the secondary index",
            "requires_dist": [
                "Aurora>=1.0",
                "matplotlib>=3.7; extra == 'plot'",
                "sphinx>=7; extra == 'docs'",
            ],
            "extras": ["plot", "docs"],
        },
        "0.3.0a1": {
            "summary": "Nebula helpers from the secondary index",
            "requires_dist": ["Aurora>=1.1"],
        },
    },
}


@dc.dataclass(frozen=True)
class Question:
    command: str
    #: Arguments and options, as given on the command line.
    args: tuple[str, ...]
    #: What the question shows about the client's walk.
    note: str


QUESTIONS: tuple[Question, ...] = (
    Question("versions", ("Aurora", "--pre"), "primary, JSON API; pre-releases shown, invalid key dropped"),
    Question("versions", ("nebula-tools",), "not on the primary: walks to the secondary, finder road; final releases only"),
    Question("find", ("nebula-tools",), "which index holds it: the secondary"),
    Question("find", ("Aurora", "1.1.0rc1"), "which index holds this version: the primary"),
    Question("extras", ("Aurora", "1.1.0"), "primary, JSON API"),
    Question("extras", ("nebula-tools", "0.2.0"), "secondary, wheel metadata through the finder"),
    Question("deps", ("borealis", "0.2.0"), "primary, JSON API; extras and markers kept"),
    Question("deps", ("nebula-tools", "0.2.0"), "secondary, wheel metadata through the finder"),
    Question("info", ("Aurora",), "primary, JSON API: latest final release"),
    Question("info", ("nebula-tools",), "secondary through the finder"),
    Question("installed", ("packaging>=20",), "this interpreter's environment, no network"),
    Question("installed", ("Aurora[cli]>=1.0",), "not installed here"),
)


class DemoIndexes:
    """Two sample indexes served from this process: the primary on ``port``
    and the secondary on the next one, or both on free ports (port 0)."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0) -> None:
        self.primary = IndexServer(host, port)
        self.secondary = IndexServer(host, port + 1 if port else 0)

    def start(self) -> DemoIndexes:
        self.primary.start()
        try:
            self.secondary.start()
            for name, releases in PRIMARY_PROJECTS.items():
                self.primary.add_project(name, releases)
            for name, releases in SECONDARY_PROJECTS.items():
                self.secondary.add_project(name, releases)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        try:
            self.secondary.stop()
        finally:
            self.primary.stop()

    def __enter__(self) -> DemoIndexes:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def settings(self) -> dict[str, Any]:
        """Settings in pip_settings' file format: the primary with an API pattern."""
        return {
            "index_urls": [
                {"url": self.primary.simple_url, "primary": True},
                {"url": self.secondary.simple_url},
            ],
            "use_secondary_urls": True,
            "pip_api": [
                {"index_url": self.primary.simple_url, "api_pattern": self.primary.json_api_pattern}
            ],
        }
