"""Zip archives written field by field, so that their fields may lie: what a
hostile or broken server may publish as a wheel (a member that inflates far
beyond its stated size, a deflate stream that never ends, a directory of a
million entries, a zip64 size near 2**63).

    raw_zip([Member.of(b"pkg-1.0.dist-info/METADATA", text), ...], copies=1_000_000)
"""

from __future__ import annotations

import bz2
import dataclasses as dc
import lzma
import struct
import zipfile
import zlib
from collections.abc import Iterable

__all__ = ["Member", "deflate_raw", "inflating_member", "raw_zip", "wheel_of", "zip_lzma"]

MIB = 1 << 20


@dc.dataclass
class Member:
    name: bytes
    #: The member's data as stored.
    data: bytes = b""
    method: int = zipfile.ZIP_STORED
    crc: int = 0
    #: The uncompressed size the directory states.
    size: int = 0
    #: The compressed size the directory states (None: the data's length).
    packed: int | None = None
    #: The extra field of the directory entry.
    extra: bytes = b""

    @classmethod
    def of(cls, name: bytes, plain: bytes, method: int = zipfile.ZIP_DEFLATED) -> Member:
        """A member that tells the truth about `plain`, compressed by `method`."""
        packers = {
            zipfile.ZIP_STORED: lambda d: d,
            zipfile.ZIP_DEFLATED: lambda d: deflate_raw([d]),
            zipfile.ZIP_BZIP2: bz2.compress,
            zipfile.ZIP_LZMA: zip_lzma,
        }
        return cls(name, packers[method](plain), method, zlib.crc32(plain), len(plain))


def deflate_raw(chunks: Iterable[bytes], finish: bool = True) -> bytes:
    """Raw deflate of the chunks; without `finish`, no final block ends it."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    out = b"".join(packer.compress(c) for c in chunks)
    return out + packer.flush(zlib.Z_FINISH if finish else zlib.Z_SYNC_FLUSH)


def zip_lzma(data: bytes) -> bytes:
    """zip's LZMA: version, properties size and properties, then raw LZMA1."""
    filters = [{"id": lzma.FILTER_LZMA1, "dict_size": 1 << 16, "lc": 3, "lp": 0, "pb": 2}]
    props = bytes([(2 * 5 + 0) * 9 + 3]) + struct.pack("<L", 1 << 16)
    return struct.pack("<BBH", 9, 4, len(props)) + props + lzma.compress(data, lzma.FORMAT_RAW, filters=filters)


def inflating_member(name: bytes, head: bytes, mib: int) -> Member:
    """`head`, then `mib` MiB of one letter, deflated: a zip bomb with its size told truly."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    letters = b"A" * MIB
    data = packer.compress(head) + b"".join(packer.compress(letters) for _ in range(mib)) + packer.flush()
    crc = zlib.crc32(head)
    for _ in range(mib):
        crc = zlib.crc32(letters, crc)
    return Member(name, data, zipfile.ZIP_DEFLATED, crc, len(head) + mib * MIB)


def _entry(m: Member, offset: int) -> bytes:
    packed = len(m.data) if m.packed is None else m.packed
    return struct.pack("<4s4B4HL2L5H2L", b"PK\x01\x02", 45, 3, 45, 0, 0, m.method, 0, 0x21, m.crc,
                       min(packed, 0xFFFFFFFF), min(m.size, 0xFFFFFFFF), len(m.name), len(m.extra), 0, 0, 0,
                       0o644 << 16, offset) + m.name + m.extra


def raw_zip(members: list[Member], *, copies: int = 0) -> bytes:
    """An archive of `members`, and `copies` more directory entries of an
    empty member, all pointing at the first one (a large directory that costs
    nothing to write)."""
    out, central = bytearray(), bytearray()
    for m in members:
        central += _entry(m, len(out))
        out += struct.pack("<4s5H3L2H", b"PK\x03\x04", 20, 0, m.method, 0, 0x21, m.crc, len(m.data),
                           m.size & 0xFFFFFFFF, len(m.name), 0) + m.name + m.data
    central += _entry(Member(b"data/x"), 0) * copies
    count = min(len(members) + copies, 0xFFFF)
    return bytes(out + central + struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, count, count, len(central),
                                             len(out), 0))


def wheel_of(dist: str, *members: Member, copies: int = 0) -> bytes:
    """A wheel of `dist` (``name-version``) with `members` between a module
    and its WHEEL file."""
    name = dist.split("-")[0]
    return raw_zip([Member.of(f"{name}/__init__.py".encode(), b"", zipfile.ZIP_STORED), *members,
                    Member.of(f"{dist}.dist-info/WHEEL".encode(), b"Wheel-Version: 1.0\n")], copies=copies)
