"""A local package index and archive builder for demos and tests."""

from .server import DistFile, IndexServer, Project, Release
from .wheels import (
    build_sdist,
    build_wheel,
    extract_metadata,
    metadata_text,
    sdist_filename,
    wheel_filename,
)

__all__ = [
    "DistFile",
    "IndexServer",
    "Project",
    "Release",
    "build_sdist",
    "build_wheel",
    "extract_metadata",
    "metadata_text",
    "sdist_filename",
    "wheel_filename",
]
