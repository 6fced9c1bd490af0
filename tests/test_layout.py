"""The C++ folders include one another in one direction only: each includes
only the folders below it, so the runtime and the fast paths build without
any subsystem, and no subsystem reaches into the module's top."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"
# bottom first
LAYERS = ["runtime", "fastpath", "config", "pages", "environment", "finder", "index_api", "queries", "module"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.MULTILINE)


def test_every_folder_has_a_layer():
    assert sorted(p.name for p in SRC.iterdir() if p.is_dir()) == sorted(LAYERS)


@pytest.mark.parametrize("folder", LAYERS)
def test_includes_point_down(folder):
    below = set(LAYERS[: LAYERS.index(folder) + 1])
    upward = {(source.name, included)
              for source in sorted((SRC / folder).iterdir())
              for included in INCLUDE.findall(source.read_text())
              if included not in below}
    assert upward == set()
