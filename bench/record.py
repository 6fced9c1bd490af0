"""A dated record of what a benchmark printed: the ``--write FILE`` option of
every script in bench/.

Figures go stale and mean little without the run they came from, so they are
never copied by hand: the script appends what it printed to FILE under a
header naming the date, the command, the interpreter and the machine (its
cores, processor and load average before and after the run, since the
machines here are shared). Only a run that ends normally is written.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import platform
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import TextIO


def add_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--write", metavar="FILE",
                        help="also append what is printed, with date, interpreter and machine, to FILE")


class _Tee(io.TextIOBase):
    def __init__(self, shown: TextIO, kept: io.StringIO) -> None:
        self.shown, self.kept = shown, kept

    def write(self, text: str) -> int:
        self.kept.write(text)
        return self.shown.write(text)

    def flush(self) -> None:
        self.shown.flush()


def _processor() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def _load() -> str:
    try:
        return " ".join(f"{value:.1f}" for value in os.getloadavg())
    except OSError:
        return "unknown"


def header(argv: list[str], started: float, load_before: str) -> str:
    """Where the figures below come from. The interpreter is named by its
    version and build, not its path, and the command by the script's name."""
    command = " ".join([Path(argv[0]).name, *argv[1:]])
    return "\n".join([
        f"## {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime(started))}: {command}",
        "",
        f"- interpreter: {platform.python_implementation()} {platform.python_version()} "
        f"({platform.python_compiler()}, {' '.join(platform.python_build())})",
        f"- machine: {platform.system()} {platform.release()} {platform.machine()}, "
        f"{os.cpu_count()} cores, {_processor()}",
        f"- load average (1, 5, 15 min): {load_before} before, {_load()} after; "
        f"{time.time() - started:.0f} s in all",
        "",
        "```",
    ])


@contextlib.contextmanager
def recording(path: str | None, argv: list[str] | None = None) -> Iterator[None]:
    """Shows what the block prints and, when ``path`` is given and the block
    ends normally, appends it to ``path`` under the run's header."""
    if path is None:
        yield
        return
    argv = list(sys.argv if argv is None else argv)
    started, load_before = time.time(), _load()
    kept = io.StringIO()
    shown = sys.stdout
    sys.stdout = _Tee(shown, kept)
    try:
        yield
    finally:
        sys.stdout = shown
    body = kept.getvalue()
    with open(path, "a", encoding="utf-8") as out:
        out.write(header(argv, started, load_before) + "\n" + body + ("" if body.endswith("\n") else "\n") + "```\n\n")
