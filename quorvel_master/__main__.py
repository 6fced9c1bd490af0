"""``python -m quorvel_master``: the ``pkgindex`` command line."""

import os
import sys

import _signal

# Ctrl-C ends the program quietly from here on; main() takes it over.
_signal.signal(_signal.SIGINT, lambda signum, frame: os._exit(130))

from .cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
