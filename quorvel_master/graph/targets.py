"""Targets: the interpreter and platform a graph is drawn for.

A target is written ``PY[,PLATFORM]``: ``3.12``, ``3.12.4,manylinux_2_28_x86_64``,
``3.11,win_amd64``, ``3.12,macosx_14_0_arm64``. It gives two things: the
marker environment requirements are evaluated in, and the set of wheel tags
that install there, in pip's order of preference (the first fits best).

An explicit target is CPython. Its platform is expanded the way a machine of
that kind accepts wheels, which is more than pip's ``--platform`` (that takes
the one tag given):

- ``manylinux_2_Y_ARCH`` accepts every older glibc level down to the first
  one of the architecture, with the legacy aliases (``manylinux2014`` for
  2.17, ``manylinux2010`` for 2.12, ``manylinux1`` for 2.5) and, last,
  ``linux_ARCH``; the aliases may be given too;
- ``musllinux_1_Y_ARCH`` every older musl level, then ``linux_ARCH``;
- ``macosx_X_Y_ARCH`` (ARCH ``arm64`` or ``x86_64``) every older macOS and the
  universal and intel tags, as ``packaging.tags.mac_platforms`` lists them;
- ``win_amd64``, ``win32``, ``win_arm64`` and ``linux_ARCH`` themselves.

Without a platform the running machine's platforms are used with the given
Python. ``platform_release`` and ``platform_version`` of an explicit
platform are unknown and read as empty text. Without any target the graph
is drawn for the running interpreter: its own marker environment and
``packaging.tags.sys_tags()``.
"""

from __future__ import annotations

import dataclasses as dc
import re
from collections.abc import Mapping
from types import MappingProxyType

from packaging import tags as _tags
from packaging.markers import default_environment
from packaging.version import Version


class TargetError(ValueError):
    """Target text that names no target (a usage error)."""


@dc.dataclass(frozen=True, eq=False)
class Target:
    label: str
    environment: Mapping[str, str] = dc.field(repr=False)
    tags: tuple[_tags.Tag, ...] = dc.field(repr=False)        # best first
    python: Version
    priority: Mapping[_tags.Tag, int] = dc.field(init=False, repr=False)

    def __post_init__(self) -> None:
        ranks = {tag: i for i, tag in reversed(list(enumerate(self.tags)))}
        object.__setattr__(self, "priority", MappingProxyType(ranks))


_PY = re.compile(r"3\.(\d{1,2})(?:\.(\d{1,3}))?")
_MANYLINUX = re.compile(r"manylinux_2_(\d+)_([a-z0-9_]+)")
_LEGACY = {"manylinux2014": 17, "manylinux2010": 12, "manylinux1": 5}
_MUSL = re.compile(r"musllinux_1_(\d+)_([a-z0-9_]+)")
_MAC = re.compile(r"macosx_(\d+)_(\d+)_(arm64|x86_64)")
_LINUX = re.compile(r"linux_([a-z0-9_]+)")
_LINUX_ARCHES = frozenset({"x86_64", "i686", "aarch64", "armv7l", "ppc64", "ppc64le", "s390x", "riscv64"})
_WINDOWS = {"win_amd64": "AMD64", "win32": "x86", "win_arm64": "ARM64"}


def _glibc_floor(arch: str) -> int:
    # The first glibc level with a manylinux tag for the architecture.
    return 5 if arch in ("x86_64", "i686") else 17


def _manylinux(minor: int, arch: str) -> list[str]:
    out = []
    for level in range(minor, _glibc_floor(arch) - 1, -1):
        out.append(f"manylinux_2_{level}_{arch}")
        for alias, at in _LEGACY.items():
            if level == at and (alias == "manylinux2014" or arch in ("x86_64", "i686")):
                out.append(f"{alias}_{arch}")
    return out + [f"linux_{arch}"]


def _linux_env(arch: str) -> dict[str, str]:
    if arch not in _LINUX_ARCHES:
        raise TargetError(f"unknown Linux architecture {arch!r} (one of {', '.join(sorted(_LINUX_ARCHES))})")
    return {"sys_platform": "linux", "platform_system": "Linux", "os_name": "posix", "platform_machine": arch}


def _platform(text: str) -> tuple[list[str], dict[str, str]]:
    """The accepted platform tags, best first, and the marker keys of a platform."""
    if m := _MANYLINUX.fullmatch(text):
        return _manylinux(int(m[1]), m[2]), _linux_env(m[2])
    legacy, _, arch = text.partition("_")
    if legacy in _LEGACY and arch:
        return _manylinux(_LEGACY[legacy], arch), _linux_env(arch)
    if m := _MUSL.fullmatch(text):
        levels = [f"musllinux_1_{level}_{m[2]}" for level in range(int(m[1]), -1, -1)]
        return levels + [f"linux_{m[2]}"], _linux_env(m[2])
    if m := _MAC.fullmatch(text):
        platforms = list(_tags.mac_platforms((int(m[1]), int(m[2])), m[3]))
        return platforms, {"sys_platform": "darwin", "platform_system": "Darwin", "os_name": "posix",
                           "platform_machine": m[3]}
    if text in _WINDOWS:
        return [text], {"sys_platform": "win32", "platform_system": "Windows", "os_name": "nt",
                        "platform_machine": _WINDOWS[text]}
    if m := _LINUX.fullmatch(text):
        return [text], _linux_env(m[1])
    raise TargetError(f"{text!r} is not a platform this tool knows (manylinux_2_28_x86_64, musllinux_1_2_aarch64, "
                      "macosx_14_0_arm64, win_amd64, linux_x86_64, ...)")


def parse_target(text: str) -> Target:
    """One ``--target`` value; :class:`TargetError` when it names none."""
    py_text, comma, platform = (part.strip() for part in text.partition(","))
    m = _PY.fullmatch(py_text)
    if not m:
        raise TargetError(f"{text!r}: the Python version must be 3.N or 3.N.M (as in 3.12,manylinux_2_28_x86_64)")
    if comma and not platform:
        raise TargetError(f"{text!r}: nothing after the comma (a platform such as win_amd64)")
    minor = int(m[1])
    full = f"3.{minor}.{int(m[2] or 0)}"
    env = {key: str(value) for key, value in default_environment().items()}
    env.update(python_version=f"3.{minor}", python_full_version=full, implementation_name="cpython",
               implementation_version=full, platform_python_implementation="CPython")
    if platform:
        platforms, keys = _platform(platform)
        env.update(keys, platform_release="", platform_version="")
    else:
        platforms = list(_tags.platform_tags())
    version = (3, minor)
    interpreter = f"cp3{minor}"
    tag_list = [*_tags.cpython_tags(version, platforms=platforms),
                *_tags.compatible_tags(version, interpreter, platforms)]
    label = py_text + ("," + platform if platform else "")
    return Target(label, MappingProxyType(env), tuple(tag_list), Version(full))


def running_target() -> Target:
    """The running interpreter, as pip would see it."""
    env = {key: str(value) for key, value in default_environment().items()}
    tag_list = tuple(_tags.sys_tags())
    full = env["python_full_version"]
    label = f"{full},{tag_list[0].platform}" if tag_list else full
    # A build of the interpreter may add a "+" to its version; requires-python
    # sees the release.
    release = re.match(r"\d+(?:\.\d+)*", full)
    return Target(label, MappingProxyType(env), tag_list, Version(release[0] if release else env["python_version"]))


def parse_targets(texts: list[str] | tuple[str, ...]) -> tuple[Target, ...]:
    """The ``--target`` values in their order, repeats dropped; the running
    interpreter when there are none."""
    if not texts:
        return (running_target(),)
    seen: dict[str, Target] = {}
    for text in texts:
        target = parse_target(text)
        seen.setdefault(target.label, target)
    return tuple(seen.values())
