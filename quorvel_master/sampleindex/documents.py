"""The documents a sample index serves: simple pages and JSON API documents.

Plain functions of the registry's objects; *file_url* gives the URL of a
project's file (``file_url(project name, filename)``), which only the running
server knows.
"""

from __future__ import annotations

import hashlib
import html
from collections.abc import Callable, Iterable
from typing import Any
from urllib.parse import quote

from .registry import DistFile, Project, Release, latest_release

__all__ = ["page", "project_anchor", "project_doc", "root_anchors", "version_doc"]

FileUrl = Callable[[str, str], str]


def page(title: str, body: Iterable[str]) -> str:
    """An HTML simple page (repository version 1.0) around *body*'s lines."""
    return (
        "<!DOCTYPE html>\n<html>\n<head>\n"
        '<meta name="pypi:repository-version" content="1.0">\n'
        f"<title>{html.escape(title)}</title>\n</head>\n<body>\n"
        + "\n".join(body)
        + "\n</body>\n</html>\n"
    )


def root_anchors(projects: dict[str, Project]) -> list[str]:
    """The root page's links, one per project, by normalized name."""
    return [
        f'<a href="{quote(norm)}/">{html.escape(p.name)}</a><br>' for norm, p in sorted(projects.items())
    ]


def project_anchor(project: Project, dist: DistFile) -> str:
    """A file's link on its project's page, with its hash, Requires-Python,
    yank and metadata announcements."""
    attrs = [f'href="../../files/{quote(project.normalized)}/{quote(dist.filename)}#sha256={dist.sha256}"']
    if dist.requires_python:
        attrs.append(f'data-requires-python="{html.escape(dist.requires_python)}"')
    if dist.yanked is not None:
        attrs.append(f'data-yanked="{html.escape(dist.yanked)}"')
    if project.metadata_files and dist.metadata is not None:
        if project.metadata_hash is None:
            announced = "true"
        else:
            announced = f"{project.metadata_hash}={hashlib.new(project.metadata_hash, dist.metadata).hexdigest()}"
        attrs += [f'{a}="{announced}"' for a in project.metadata_attrs]
    return f"<a {' '.join(attrs)}>{html.escape(dist.filename)}</a><br>"


def project_doc(project: Project, file_url: FileUrl) -> dict[str, Any]:
    """``/pypi/{name}/json``: the project and its latest release."""
    latest = latest_release(project)
    if latest is None:
        latest = Release(project.latest or "")
    return {
        "info": _info(project, latest),
        "last_serial": 1,
        "releases": _releases_json(project, file_url),
        "urls": _files_json(project, latest, file_url),
        "vulnerabilities": [],
    }


def version_doc(project: Project, release: Release, file_url: FileUrl, with_releases: bool) -> dict[str, Any]:
    """``/pypi/{name}/{version}/json``, with every release's files when
    *with_releases*."""
    doc = {"info": _info(project, release), "urls": _files_json(project, release, file_url)}
    if with_releases:
        doc["releases"] = _releases_json(project, file_url)
    return doc


def _info(project: Project, release: Release) -> dict[str, Any]:
    return {
        "name": project.name,
        "version": release.version,
        "summary": release.summary,
        "requires_dist": None if release.requires_dist is None else list(release.requires_dist),
        "provides_extra": list(release.extras) or None,
        "requires_python": release.requires_python or "",
        "yanked": release.yanked is not None,
        "yanked_reason": release.yanked or None,
    }


def _releases_json(project: Project, file_url: FileUrl) -> dict[str, list[dict[str, Any]]]:
    return {key: _files_json(project, r, file_url) for key, r in project.releases.items()}


def _files_json(project: Project, release: Release, file_url: FileUrl) -> list[dict[str, Any]]:
    return [
        {
            "filename": d.filename,
            "url": file_url(project.name, d.filename),
            "digests": {"sha256": d.sha256, "md5": d.md5},
            "packagetype": d.packagetype,
            "python_version": "py3" if d.packagetype == "bdist_wheel" else "source",
            "requires_python": d.requires_python,
            "size": d.size,
            "yanked": d.yanked is not None,
            "yanked_reason": d.yanked or None,
        }
        for d in release.files
    ]
