"""Build small but valid wheels and sdists for a local package index.

The archives are reproducible: fixed timestamps and ordering, so the same
arguments always give the same bytes (and the same sha256).
"""

from __future__ import annotations

import base64
import csv
import gzip
import hashlib
import io
import struct
import tarfile
import zipfile
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import BinaryIO

from packaging.requirements import InvalidRequirement, Requirement
from packaging.utils import canonicalize_name
from packaging.version import InvalidVersion, Version

__all__ = [
    "build_sdist",
    "build_sdist_bytes",
    "build_wheel",
    "build_wheel_bytes",
    "dist_name",
    "extract_metadata",
    "metadata_text",
    "sdist_filename",
    "sha256_hex",
    "wheel_filename",
]

_ZIP_TIME = (1980, 1, 1, 0, 0, 0)
_GENERATOR = "quorvel_master.sampleindex"


def sha256_hex(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def dist_name(name: str) -> str:
    """Name as used in archive file names: normalized, ``-`` -> ``_``."""
    if not name or not name.strip():
        raise ValueError("package name must not be empty")
    return canonicalize_name(name).replace("-", "_")


def _norm_version(version: str) -> str:
    try:
        return str(Version(version))
    except InvalidVersion:
        raise ValueError(f"invalid version for an archive: {version!r}") from None


def wheel_filename(name: str, version: str) -> str:
    return f"{dist_name(name)}-{_norm_version(version)}-py3-none-any.whl"


def sdist_filename(name: str, version: str) -> str:
    return f"{dist_name(name)}-{_norm_version(version)}.tar.gz"


def _one_line(field: str, value: str) -> str:
    if "\n" in value or "\r" in value:
        raise ValueError(f"{field} must be a single line: {value!r}")
    return value


def metadata_text(
    name: str,
    version: str,
    requires_dist: Iterable[str] = (),
    extras: Iterable[str] = (),
    summary: str = "",
    requires_python: str | None = None,
) -> str:
    """Core metadata (``METADATA`` / ``PKG-INFO``) text, Metadata-Version 2.1.

    Requirements are written as given, unchecked, so a server can publish
    deliberately odd metadata.
    """
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {_one_line('Name', name)}",
        f"Version: {_one_line('Version', version)}",
        f"Summary: {_one_line('Summary', summary)}",
    ]
    if requires_python:
        lines.append(f"Requires-Python: {_one_line('Requires-Python', requires_python)}")
    lines += [f"Provides-Extra: {_one_line('Provides-Extra', e)}" for e in extras]
    lines += [f"Requires-Dist: {_one_line('Requires-Dist', r)}" for r in requires_dist]
    return "\n".join(lines) + "\n\n"


def _check_requirements(requires_dist: list[str]) -> None:
    for req in requires_dist:
        try:
            Requirement(req)
        except InvalidRequirement as exc:
            raise ValueError(f"invalid Requires-Dist {req!r}: {exc}") from None


def _record_hash(sha256_digest: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(sha256_digest).rstrip(b"=").decode("ascii")


_FILLER = hashlib.shake_256(b"quorvel_master.sampleindex").digest(1 << 20)


def _filler(size: int) -> Iterator[bytes]:
    """*size* bytes of incompressible filler, in chunks of at most 1 MiB."""
    while size > 0:
        chunk = _FILLER[: min(size, len(_FILLER))]
        size -= len(chunk)
        yield chunk


def _write_wheel(
    target: BinaryIO,
    name: str,
    version: str,
    requires_dist: list[str],
    extras: Iterable[str],
    summary: str,
    requires_python: str | None,
    *,
    payload: int,
    files: int,
    metadata_compression: int,
    zip64: bool,
) -> None:
    module = dist_name(name)
    ver = _norm_version(version)
    dist_info = f"{module}-{ver}.dist-info"
    metadata = metadata_text(name, ver, requires_dist, extras, summary, requires_python).encode("utf-8")
    wheel = (
        "Wheel-Version: 1.0\n"
        f"Generator: {_GENERATOR}\n"
        "Root-Is-Purelib: true\n"
        "Tag: py3-none-any\n\n"
    ).encode()
    # (path, chunks, compression). Bulk members come before the .dist-info, as
    # in real wheels, and are stored: cheap to write, and large for real.
    members: list[tuple[str, Iterable[bytes], int]] = [
        (f"{module}.py", [f'__version__ = "{ver}"\n'.encode()], zipfile.ZIP_DEFLATED)
    ]
    if payload:
        members.append((f"{module}/payload.bin", _filler(payload), zipfile.ZIP_STORED))
    members += [
        (f"{module}/data/file{i:06d}.txt", [f"{i}\n".encode()], zipfile.ZIP_STORED) for i in range(files)
    ]
    members += [
        (f"{dist_info}/METADATA", [metadata], metadata_compression),
        (f"{dist_info}/WHEEL", [wheel], zipfile.ZIP_DEFLATED),
    ]
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as zf:
        for path, chunks, compression in members + [(f"{dist_info}/RECORD", None, zipfile.ZIP_DEFLATED)]:
            is_record = chunks is None
            if is_record:
                writer.writerow([path, "", ""])
                chunks = [record.getvalue().encode()]
            info = zipfile.ZipInfo(path, date_time=_ZIP_TIME)
            info.compress_type = compression
            info.external_attr = 0o644 << 16
            digest, size = hashlib.sha256(), 0
            with zf.open(info, "w", force_zip64=zip64) as out:
                for chunk in chunks:
                    out.write(chunk)
                    digest.update(chunk)
                    size += len(chunk)
            if not is_record:
                writer.writerow([path, _record_hash(digest.digest()), size])
    if zip64:
        _zip64_end_records(target)


def _zip64_end_records(target: BinaryIO) -> None:
    """Rewrites the end of a zip (no comment) with zip64 end records, as
    archives past 65,535 members or 4 GiB carry them."""
    target.seek(-22, io.SEEK_END)
    end = target.tell()
    _, _, _, _, count, cd_size, cd_offset, _ = struct.unpack("<4s4H2LH", target.read(22))
    target.seek(end)
    target.write(struct.pack("<4sQ2H2L4Q", b"PK\x06\x06", 44, 45, 45, 0, 0, count, count, cd_size, cd_offset))
    target.write(struct.pack("<4sLQL", b"PK\x06\x07", 0, end, 1))
    target.write(struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0))
    target.truncate()


def build_wheel_bytes(
    name: str,
    version: str,
    requires_dist: Iterable[str] = (),
    extras: Iterable[str] = (),
    summary: str = "",
    requires_python: str | None = None,
    check_requirements: bool = True,
    *,
    metadata_compression: int = zipfile.ZIP_DEFLATED,
    zip64: bool = False,
    files: int = 0,
) -> tuple[str, bytes]:
    """Return ``(file name, wheel bytes)`` without touching the disk.

    ``check_requirements=False`` lets a test server publish malformed
    Requires-Dist lines on purpose.
    """
    requires_dist = list(requires_dist)
    if check_requirements:
        _check_requirements(requires_dist)
    buf = io.BytesIO()
    _write_wheel(buf, name, version, requires_dist, extras, summary, requires_python, payload=0, files=files,
                 metadata_compression=metadata_compression, zip64=zip64)
    return wheel_filename(name, version), buf.getvalue()


def _write(dest_dir: str | Path, filename: str, data: bytes) -> Path:
    dest = Path(dest_dir)
    dest.mkdir(parents=True, exist_ok=True)
    path = dest / filename
    path.write_bytes(data)
    return path


def build_wheel(
    dest_dir: str | Path,
    name: str,
    version: str,
    requires_dist: Iterable[str] = (),
    extras: Iterable[str] = (),
    summary: str = "",
    requires_python: str | None = None,
    *,
    payload: int = 0,
    files: int = 0,
    metadata_compression: int = zipfile.ZIP_DEFLATED,
    zip64: bool = False,
) -> Path:
    """Write a ``py3-none-any`` wheel into *dest_dir* and return its path.

    *payload* adds a stored member of that many bytes before the .dist-info
    (written in chunks, so a wheel of hundreds of MiB costs no memory);
    *files* adds that many small members, which make the central directory
    large; *metadata_compression* is ZIP_DEFLATED or ZIP_STORED; *zip64* ends
    the archive with zip64 end records.
    """
    requires_dist = list(requires_dist)
    _check_requirements(requires_dist)
    dest = Path(dest_dir)
    dest.mkdir(parents=True, exist_ok=True)
    path = dest / wheel_filename(name, version)
    with path.open("w+b") as target:
        _write_wheel(target, name, version, requires_dist, extras, summary, requires_python, payload=payload,
                     files=files, metadata_compression=metadata_compression, zip64=zip64)
    return path


def build_sdist_bytes(
    name: str,
    version: str,
    requires_dist: Iterable[str] = (),
    extras: Iterable[str] = (),
    summary: str = "",
    requires_python: str | None = None,
    check_requirements: bool = True,
) -> tuple[str, bytes]:
    """Return ``(file name, .tar.gz bytes)`` of a minimal sdist with PKG-INFO."""
    requires_dist = list(requires_dist)
    if check_requirements:
        _check_requirements(requires_dist)
    module = dist_name(name)
    ver = _norm_version(version)
    root = f"{module}-{ver}"
    pkg_info = metadata_text(name, ver, requires_dist, extras, summary, requires_python)
    members = [
        (f"{root}/PKG-INFO", pkg_info.encode("utf-8")),
        (f"{root}/{module}.py", f'__version__ = "{ver}"\n'.encode()),
    ]
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tf:
        for path, data in members:
            info = tarfile.TarInfo(path)
            info.size = len(data)
            info.mode = 0o644
            info.mtime = 0
            tf.addfile(info, io.BytesIO(data))
    out = io.BytesIO()
    # gzip stores a timestamp and file name; pin both for stable bytes.
    with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0) as gz:
        gz.write(raw.getvalue())
    return sdist_filename(name, version), out.getvalue()


def build_sdist(
    dest_dir: str | Path,
    name: str,
    version: str,
    requires_dist: Iterable[str] = (),
    extras: Iterable[str] = (),
    summary: str = "",
    requires_python: str | None = None,
) -> Path:
    """Write a minimal ``.tar.gz`` sdist into *dest_dir* and return its path."""
    return _write(dest_dir, *build_sdist_bytes(name, version, requires_dist, extras, summary, requires_python))


def extract_metadata(filename: str, data: bytes | Path) -> bytes | None:
    """Core metadata stored in a wheel or ``.tar.gz`` sdist (its bytes or
    its path), or None."""
    try:
        if filename.endswith(".whl"):
            with zipfile.ZipFile(data if isinstance(data, Path) else io.BytesIO(data)) as zf:
                for member in zf.namelist():
                    parts = member.split("/")
                    if len(parts) == 2 and parts[0].endswith(".dist-info") and parts[1] == "METADATA":
                        return zf.read(member)
        elif filename.endswith(".tar.gz"):
            if isinstance(data, Path):
                opened = tarfile.open(data, "r:gz")
            else:
                opened = tarfile.open(fileobj=io.BytesIO(data), mode="r:gz")
            with opened as tf:
                for member in tf.getmembers():
                    parts = member.name.split("/")
                    if len(parts) == 2 and parts[1] == "PKG-INFO" and member.isfile():
                        fh = tf.extractfile(member)
                        return fh.read() if fh else None
    except (zipfile.BadZipFile, tarfile.TarError, OSError, EOFError):
        return None
    return None
