"""``pkgindex``: ask package indexes from the command line.

Only :func:`main` lives here, so that it can take Ctrl-C over before anything
slow is imported; the commands are in :mod:`.commands`.
"""

from __future__ import annotations

import os

# The C module under `signal`: the Python wrapper imports enum, whose import
# alone would be a window in which Ctrl-C prints a traceback. For the same
# reason, nothing else is imported before main() runs.
import _signal

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any

EXIT_INTERRUPTED = 130


def main(argv: Sequence[str] | None = None) -> int:
    consoles: list[Any] = []

    def interrupted(signum: int, frame: Any) -> None:
        # The executor's worker threads cannot be stopped, and the
        # interpreter would wait for them (up to a whole time-out) at exit.
        for console in consoles:
            console.clear_at_exit()
        os._exit(EXIT_INTERRUPTED)

    try:
        previous = _signal.signal(_signal.SIGINT, interrupted)
    except ValueError:  # not the main thread: leave interrupts to the caller
        previous = None
    try:
        from .commands import run

        return run(argv, consoles.append)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    finally:
        if previous is not None:
            _signal.signal(_signal.SIGINT, previous)
