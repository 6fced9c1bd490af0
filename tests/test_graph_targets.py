"""Target texts: the marker environment and the wheel tags each one gives."""

from __future__ import annotations

import pytest
from packaging.markers import default_environment
from packaging.tags import Tag, parse_tag, sys_tags

from quorvel_master.graph import TargetError, parse_target, parse_targets

TARGETS = [
    # (text, marker keys, tags accepted, best first; tags refused)
    ("3.12,manylinux_2_28_x86_64",
     {"python_version": "3.12", "python_full_version": "3.12.0", "sys_platform": "linux", "platform_system": "Linux",
      "platform_machine": "x86_64", "os_name": "posix", "implementation_name": "cpython"},
     ["cp312-cp312-manylinux_2_28_x86_64", "cp312-cp312-manylinux_2_17_x86_64", "cp312-cp312-manylinux2014_x86_64",
      "cp312-cp312-manylinux1_x86_64", "cp312-cp312-linux_x86_64", "cp311-abi3-manylinux_2_28_x86_64",
      "py3-none-manylinux_2_5_x86_64", "py3-none-any"],
     ["cp312-cp312-manylinux_2_29_x86_64", "cp311-cp311-manylinux_2_17_x86_64", "cp313-abi3-manylinux_2_17_x86_64",
      "cp312-cp312-musllinux_1_1_x86_64", "cp312-cp312-manylinux_2_17_aarch64", "cp312-cp312-win_amd64"]),
    ("3.11.4,win_amd64",
     {"python_full_version": "3.11.4", "sys_platform": "win32", "platform_system": "Windows",
      "platform_machine": "AMD64", "os_name": "nt", "platform_release": ""},
     ["cp311-cp311-win_amd64", "cp36-abi3-win_amd64", "py311-none-any", "py3-none-any"],
     ["cp311-cp311-win32", "cp312-cp312-win_amd64", "cp311-cp311-manylinux_2_17_x86_64"]),
    ("3.12,macosx_14_0_arm64",
     {"sys_platform": "darwin", "platform_system": "Darwin", "platform_machine": "arm64"},
     ["cp312-cp312-macosx_14_0_arm64", "cp312-cp312-macosx_11_0_arm64", "cp312-cp312-macosx_10_9_universal2",
      "py3-none-any"],
     ["cp312-cp312-macosx_15_0_arm64", "cp312-cp312-macosx_10_9_x86_64", "cp312-cp312-macosx_11_0_x86_64"]),
    ("3.13,musllinux_1_2_aarch64",
     {"sys_platform": "linux", "platform_machine": "aarch64"},
     ["cp313-cp313-musllinux_1_2_aarch64", "cp313-cp313-musllinux_1_0_aarch64", "cp313-cp313-linux_aarch64"],
     ["cp313-cp313-manylinux_2_17_aarch64", "cp313-cp313-musllinux_1_3_aarch64"]),
    ("3.12,manylinux2014_aarch64",
     {"platform_machine": "aarch64"},
     ["cp312-cp312-manylinux_2_17_aarch64", "cp312-cp312-manylinux2014_aarch64"],
     ["cp312-cp312-manylinux_2_12_aarch64", "cp312-cp312-manylinux1_aarch64", "cp312-cp312-manylinux_2_18_aarch64"]),
    (" 3.10 , win32 ", {"python_version": "3.10", "platform_machine": "x86"}, ["cp310-cp310-win32"],
     ["cp310-cp310-win_amd64"]),
]


@pytest.mark.parametrize("text, markers, accepted, refused", TARGETS, ids=[t[0].strip() for t in TARGETS])
def test_target(text, markers, accepted, refused):
    target = parse_target(text)
    assert {k: target.environment[k] for k in markers} == markers
    ranks = [target.priority[next(iter(parse_tag(tag)))] for tag in accepted]
    assert ranks == sorted(ranks)            # listed best first
    assert not any(next(iter(parse_tag(tag))) in target.priority for tag in refused)


@pytest.mark.parametrize("text", [
    "", "3", "2.7", "3.12,", "python3.12", "3.12.x", "3.12,beos_1_0", "3.12,manylinux_2_28_sparc",
    "3.12,macosx_14_0_universal2", "3.12,manylinux2014", "3.12,win_amd64,extra",
])
def test_bad_target(text):
    with pytest.raises(TargetError):
        parse_target(text)


def test_running_interpreter_and_repeats():
    [running] = parse_targets([])
    assert dict(running.environment) == default_environment()
    assert running.tags == tuple(sys_tags())
    only_python = parse_target("3.12")
    assert only_python.environment["sys_platform"] == default_environment()["sys_platform"]
    assert Tag("cp312", "cp312", running.tags[0].platform) in only_python.priority
    assert [t.label for t in parse_targets(["3.12", "3.11,win_amd64", "3.12"])] == ["3.12", "3.11,win_amd64"]
