"""Logger factory shared by the Python and native parts of quorvel_master."""

import logging

ROOT_LOGGER_NAME = "quorvel_master"

# A library must stay silent unless the host configures logging.
_root = logging.getLogger(ROOT_LOGGER_NAME)
if not any(isinstance(h, logging.NullHandler) for h in _root.handlers):
    _root.addHandler(logging.NullHandler())


def get_logger(name: str) -> logging.Logger:
    """Return the standard library logger called *name*."""
    return logging.getLogger(name)
