"""What a sample index holds: projects, their releases and their files.

The objects are plain data, changed by the server under its lock; building a
release from the short form tests write (``make_release``) builds its wheels
and sdists here.
"""

from __future__ import annotations

import dataclasses as dc
import datetime as dt
import hashlib
from pathlib import Path
from typing import Any

from packaging.utils import canonicalize_name
from packaging.version import InvalidVersion, Version

from .wheels import build_sdist_bytes, build_wheel_bytes, extract_metadata

__all__ = [
    "DEFAULT_METADATA_ATTRS",
    "DistFile",
    "Project",
    "Release",
    "find_release",
    "latest_release",
    "make_release",
    "upload_time_of",
    "valid_version",
]

DEFAULT_METADATA_ATTRS = ("data-dist-info-metadata", "data-core-metadata")
_RELEASE_KEYS = frozenset(
    {"summary", "requires_dist", "extras", "requires_python", "yanked", "files", "upload_time"}
)
#: Project statuses an index may declare (PEP 792); None publishes none.
STATUSES = frozenset({"active", "archived", "quarantined", "deprecated"})


@dc.dataclass
class DistFile:
    filename: str
    #: The archive's bytes; None when it lives at ``path``.
    content: bytes | None
    #: Core metadata served at ``<file url>.metadata``; None means none exists.
    metadata: bytes | None = None
    requires_python: str | None = None
    #: Yank reason; "" yanks without a reason, None means not yanked.
    yanked: str | None = None
    #: The archive on disk, for files too large to keep in memory.
    path: Path | None = None
    #: When the file was uploaded (PEP 700), published on JSON pages; None: not known.
    upload_time: dt.datetime | None = None
    _digests: dict[str, str] | None = dc.field(default=None, init=False, repr=False, compare=False)

    def _digest(self, name: str) -> str:
        if self.content is not None:
            return hashlib.new(name, self.content).hexdigest()
        if self._digests is None:  # a file is read once, for both digests
            assert self.path is not None
            sha256, md5 = hashlib.sha256(), hashlib.md5(usedforsecurity=False)
            with self.path.open("rb") as f:
                while chunk := f.read(1 << 20):
                    sha256.update(chunk)
                    md5.update(chunk)
            self._digests = {"sha256": sha256.hexdigest(), "md5": md5.hexdigest()}
        return self._digests[name]

    @property
    def sha256(self) -> str:
        return self._digest("sha256")

    @property
    def md5(self) -> str:
        return self._digest("md5")

    @property
    def size(self) -> int:
        if self.content is not None:
            return len(self.content)
        assert self.path is not None
        return self.path.stat().st_size

    @property
    def packagetype(self) -> str:
        return "bdist_wheel" if self.filename.endswith(".whl") else "sdist"


@dc.dataclass
class Release:
    version: str
    summary: str = ""
    #: None is published as JSON null, like indexes do for "no requirements".
    requires_dist: list[str] | None = None
    extras: list[str] = dc.field(default_factory=list)
    requires_python: str | None = None
    yanked: str | None = None
    files: list[DistFile] = dc.field(default_factory=list)


@dc.dataclass
class Project:
    name: str
    releases: dict[str, Release] = dc.field(default_factory=dict)
    #: Serve and announce ``.metadata`` files (PEP 658/714).
    metadata_files: bool = True
    metadata_attrs: tuple[str, ...] = DEFAULT_METADATA_ATTRS
    #: The hash the announcement carries (any hashlib name); None announces "true".
    metadata_hash: str | None = "sha256"
    #: Forces ``info.version`` of the project document.
    latest: str | None = None
    #: The status the pages declare (PEP 792) and its reason; None declares none.
    status: str | None = None
    status_reason: str | None = None

    @property
    def normalized(self) -> str:
        return canonicalize_name(self.name)


def valid_version(text: str) -> Version | None:
    try:
        return Version(text)
    except InvalidVersion:
        return None


def make_release(name: str, version: str, info: dict[str, Any]) -> Release:
    """A release from *info*, the short form of :meth:`IndexServer.add_project`;
    the wheels and sdists it lists are built here."""
    unknown = set(info) - _RELEASE_KEYS
    if unknown:
        raise ValueError(f"unknown release key(s) for {name} {version}: {sorted(unknown)}")
    requires = info.get("requires_dist")
    release = Release(
        version,
        summary=info.get("summary", ""),
        requires_dist=None if requires is None else list(requires),
        extras=list(info.get("extras", ())),
        requires_python=info.get("requires_python"),
        yanked=info.get("yanked"),
    )
    upload_time = upload_time_of(info.get("upload_time"))
    wanted = info.get("files", ("wheel",) if valid_version(version) else ())
    for item in wanted:
        if isinstance(item, DistFile):
            release.files.append(item)
            continue
        builder = {"wheel": build_wheel_bytes, "sdist": build_sdist_bytes}.get(item)
        if builder is None:
            raise ValueError(f"files entries must be 'wheel', 'sdist' or DistFile: {item!r}")
        filename, content = builder(
            name,
            version,
            release.requires_dist or (),
            release.extras,
            release.summary,
            release.requires_python,
            check_requirements=False,
        )
        release.files.append(
            DistFile(
                filename,
                content,
                metadata=extract_metadata(filename, content),
                requires_python=release.requires_python,
                yanked=release.yanked,
                upload_time=upload_time,
            )
        )
    return release


def upload_time_of(value: str | dt.datetime | None) -> dt.datetime | None:
    """An upload time from an RFC 3339 text or a datetime (naive ones are UTC)."""
    if value is None:
        return None
    when = dt.datetime.fromisoformat(value.replace("Z", "+00:00")) if isinstance(value, str) else value
    return when if when.tzinfo is not None else when.replace(tzinfo=dt.timezone.utc)


def find_release(project: Project, version: str) -> Release | None:
    """The release under *version* as written, or else under an equal version."""
    if version in project.releases:
        return project.releases[version]
    wanted = valid_version(version)
    if wanted is None:
        return None
    for key, release in project.releases.items():
        if valid_version(key) == wanted:
            return release
    return None


def latest_release(project: Project) -> Release | None:
    """The release a project document describes: the forced one, or the newest
    final release not yanked, or the newest of any."""
    if project.latest is not None:
        return project.releases.get(project.latest)
    parsed = [
        (v, r) for r in project.releases.values() if (v := valid_version(r.version))
    ]
    finals = [(v, r) for v, r in parsed if not v.is_prerelease and r.yanked is None]
    pool = finals or parsed
    if pool:
        return max(pool, key=lambda vr: vr[0])[1]
    return list(project.releases.values())[-1] if project.releases else None
