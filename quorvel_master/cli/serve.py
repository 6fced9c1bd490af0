"""``pkgindex serve``: the demo's two sample indexes in the foreground, and the
settings file that names them, so that host code can be tried as written.

The primary listens on the given port and the secondary on the next one, so
the settings file for ``--port 8080`` is the same on every machine. Ctrl-C
ends it with status 130, SIGTERM with 0; both stop the servers first.
"""

from __future__ import annotations

import argparse
import re
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .arguments import EXIT_FOUND, EXIT_INTERRUPTED, PROG, UsageError
from .config import ConfigError, one_line
from .output import Output

if TYPE_CHECKING:
    from .console import Console

#: The first line of every settings file serve writes: a file without it is
#: someone else's, and is not written over.
MARK = f"# written by {PROG} serve (the sample indexes of {PROG} demo)"

# Host names and IPv4 addresses: they go into URLs and a TOML file as they are.
_HOST = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?")


def settings_text(settings: dict[str, Any]) -> str:
    """The settings file (TOML) naming the indexes of ``DemoIndexes.settings()``."""
    (primary, secondary) = (entry["url"] for entry in settings["index_urls"])
    (api,) = settings["pip_api"]
    return (
        f"{MARK}\n"
        "use_secondary_urls = true          # ask the secondaries when the primary has nothing (default true)\n"
        "\n"
        "[[index_urls]]\n"
        f'url = "{primary}"\n'
        "primary = true                     # at most one\n"
        "\n"
        "[[index_urls]]\n"
        f'url = "{secondary}"   # a secondary, asked in this order\n'
        "\n"
        "[[pip_api]]                        # the JSON API of an index\n"
        f'index_url = "{api["index_url"]}"\n'
        f'api_pattern = "{api["api_pattern"]}"\n'
    )


def index_lines(settings: dict[str, Any]) -> list[str]:
    """The two sample indexes, one line each."""
    primary, secondary = settings["index_urls"][0]["url"], settings["index_urls"][1]["url"]
    return [
        f"  primary    {primary}  (JSON API {settings['pip_api'][0]['api_pattern']})",
        f"  secondary  {secondary}  (no API pattern: simple pages and wheel metadata via the finder)",
    ]


def _settings_path(text: str) -> Path:
    path = Path(text)
    if path.is_dir():
        raise UsageError(f"--settings {path} is a folder")
    if path.exists():
        try:
            with path.open(encoding="utf-8") as file:
                first = file.readline().rstrip("\n")
        except (OSError, UnicodeDecodeError) as exc:
            raise ConfigError(f"cannot read {path}: {one_line(exc)}") from None
        if first != MARK:
            raise UsageError(f"{path} exists and was not written by {PROG} serve; name another file with --settings")
    return path


class _Stop(Exception):
    def __init__(self, status: int) -> None:
        self.status = status


def _until_signal() -> int:
    """Waits for Ctrl-C (130) or SIGTERM (0)."""
    import signal
    import time

    stopping: list[int] = []

    def stop(signum: int, frame: Any) -> None:
        if not stopping:  # a second signal while the first is handled: once is enough
            stopping.append(signum)
            raise _Stop(EXIT_INTERRUPTED if signum == signal.SIGINT else EXIT_FOUND)

    previous: dict[int, Any] = {}
    try:
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, stop)
        while True:
            time.sleep(3600)
    except _Stop as stopped:
        return stopped.status
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def serve(args: argparse.Namespace, console: Console) -> int:
    from ..sampleindex.demo import PRIMARY_PROJECTS, SECONDARY_PROJECTS, DemoIndexes

    if not _HOST.fullmatch(args.host):
        raise UsageError(f"--host {args.host!r} is not a host name or an IPv4 address")
    path = _settings_path(args.settings)
    demo = DemoIndexes(args.host, args.port)
    try:
        demo.start()
    except RuntimeError as exc:
        raise ConfigError(f"cannot serve on {args.host} port {args.port}: {one_line(exc.__cause__ or exc)}") from None
    try:
        settings = demo.settings()
        text = settings_text(settings)
        try:
            path.write_text(text, encoding="utf-8")
        except OSError as exc:
            raise ConfigError(f"cannot write {path}: {one_line(exc)}") from None
        Output().write([
            "Sample indexes served from this process until Ctrl-C:", *index_lines(settings),
            f"  projects   {', '.join(PRIMARY_PROJECTS)} on the primary; "
            f"{', '.join(SECONDARY_PROJECTS)} on the secondary",
            "", f"Settings written to {path}:", "", *text.splitlines(), "",
            f"Ask them: {PROG} versions Aurora --config {path}",
        ])
        return _until_signal()
    finally:
        demo.stop()
