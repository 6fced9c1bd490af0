"""Index data the client's interface does not carry: project pages and core metadata."""

from .pages import (
    ACCEPT,
    PAGE_MAX_BYTES,
    NotFound,
    PageError,
    ProjectFile,
    ProjectPage,
    page_format,
    parse_project_page,
    project_page_url,
    read_project_page,
)

__all__ = [
    "ACCEPT",
    "PAGE_MAX_BYTES",
    "NotFound",
    "PageError",
    "ProjectFile",
    "ProjectPage",
    "page_format",
    "parse_project_page",
    "project_page_url",
    "read_project_page",
]
