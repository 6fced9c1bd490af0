"""The command line's stderr: whole lines, masked, and on a terminal one status
line saying which index is being asked."""

from __future__ import annotations

import logging
import os
import sys
import threading
import time
from typing import Any, TextIO

from .._native import mask_text
from .arguments import PROG


class Console:
    """The command line's stderr: whole lines, and on a terminal one status
    line (which index is being asked) once a question takes longer than about
    half a second. Any other line, and the answer, clear it first."""

    DELAY = 0.5
    CLEAR = "\r\x1b[K"

    def __init__(self, stream: TextIO | None = None, *, quiet: bool = False) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.quiet = quiet
        self._lock = threading.Lock()
        self._shown: str | None = None
        self._stop: threading.Event | None = None
        self._thread: threading.Thread | None = None
        try:
            self.tty = self.stream.isatty()
        except (AttributeError, ValueError):
            self.tty = False

    def line(self, text: str) -> None:
        with self._lock:
            self._clear()
            self.stream.write(mask_text(text) + "\n")
            self.stream.flush()

    def say(self, text: str) -> None:
        """A line of the program's own (not an error): none with -q."""
        if not self.quiet:
            self.line(f"{PROG}: {text}")

    def warn(self, text: str) -> None:
        self.say(f"warning: {text}")

    def error(self, text: str) -> None:
        self.line(f"{PROG}: error: {text}")

    def _clear(self) -> None:
        if self._shown is not None:
            self.stream.write(self.CLEAR)
            self._shown = None

    def clear_at_exit(self) -> None:
        """From the interrupt handler: no lock, no buffered writes."""
        if self._shown is not None:
            try:
                os.write(self.stream.fileno(), self.CLEAR.encode())
            except (OSError, ValueError):
                pass

    def start_status(self, text_of: Any) -> None:
        if not self.tty or self.quiet or self._thread is not None:
            return
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._tick, args=(text_of, self._stop), daemon=True)
        self._thread.start()

    def stop_status(self) -> None:
        if self._thread is None or self._stop is None:
            return
        self._stop.set()
        self._thread.join()
        self._thread = None
        with self._lock:
            self._clear()
            self.stream.flush()

    def _tick(self, text_of: Any, stop: threading.Event) -> None:
        started = time.monotonic()
        while not stop.wait(0.1):
            if time.monotonic() - started < self.DELAY:
                continue
            text = text_of()
            if not text or text == self._shown:
                continue
            width = _terminal_width(self.stream)
            with self._lock:
                if stop.is_set():
                    return
                self.stream.write(self.CLEAR + mask_text(text)[: width - 1])
                self.stream.flush()
                self._shown = text


def _terminal_width(stream: TextIO) -> int:
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (OSError, ValueError):
        return 80


class EchoHandler(logging.Handler):
    """``-v``: log lines on stderr, masked, through the console."""

    def __init__(self, console: Console, level: int) -> None:
        super().__init__(level)
        self.console = console
        self.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.console.line(self.format(record))
        except Exception:
            self.handleError(record)
