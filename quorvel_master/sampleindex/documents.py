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

__all__ = ["page", "project_anchor", "project_doc", "root_anchors", "simple_json", "version_doc"]

#: The PEP 691 form of the simple pages, asked for by content negotiation.
SIMPLE_JSON = "application/vnd.pypi.simple.v1+json"

FileUrl = Callable[[str, str], str]


def page(title: str, body: Iterable[str], project: Project | None = None) -> str:
    """An HTML simple page (repository version 1.0) around *body*'s lines,
    with the project's status in meta tags when it declares one."""
    meta = ""
    if project is not None and project.status is not None:
        meta = f'<meta name="pypi:project-status" content="{html.escape(project.status)}">\n'
        if project.status_reason is not None:
            meta += f'<meta name="pypi:project-status-reason" content="{html.escape(project.status_reason)}">\n'
    return (
        "<!DOCTYPE html>\n<html>\n<head>\n"
        '<meta name="pypi:repository-version" content="1.0">\n'
        f"{meta}<title>{html.escape(title)}</title>\n</head>\n<body>\n"
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


def simple_json(project: Project) -> dict[str, Any]:
    """A project page in its PEP 691 form (API version 1.4: PEP 700 versions,
    sizes and upload times, PEP 792 status), links relative as on the HTML page."""
    files = []
    for release in project.releases.values():
        for dist in release.files:
            entry: dict[str, Any] = {
                "filename": dist.filename,
                "url": f"../../files/{quote(project.normalized)}/{quote(dist.filename)}",
                "hashes": {"sha256": dist.sha256},
                "size": dist.size,
            }
            if dist.requires_python:
                entry["requires-python"] = dist.requires_python
            if dist.yanked is not None:
                entry["yanked"] = dist.yanked or True
            if project.metadata_files and dist.metadata is not None:
                name = project.metadata_hash
                entry["core-metadata"] = True if name is None else {name: hashlib.new(name, dist.metadata).hexdigest()}
            if dist.upload_time is not None:
                entry["upload-time"] = dist.upload_time.isoformat().replace("+00:00", "Z")
            files.append(entry)
    doc: dict[str, Any] = {"meta": {"api-version": "1.4"}, "name": project.normalized,
                           "versions": list(project.releases), "files": files}
    if project.status is not None:
        doc["project-status"] = {"status": project.status}
        if project.status_reason is not None:
            doc["project-status"]["reason"] = project.status_reason
    return doc


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
