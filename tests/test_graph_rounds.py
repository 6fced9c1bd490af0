"""Rounds done incrementally give the answers of rounds done whole: random
indexes with clashes, cycles, extras, markers, pre-releases and yanked
releases, drawn both ways and in several read orders."""

from __future__ import annotations

import random

import pytest
from graph_support import LINUX, WINDOWS, MemoryIndex, draw, rel

from quorvel_master.graph import memory, render

SPECIFIERS = ["", ">=1.0", "<2.0", "==1.0", "!=2.0", ">=2.0b1", "<1.5", ">=3.0"]
MARKERS = ["", "; extra == 'x'", "; sys_platform == 'win32'", "; python_version < '3.12'"]


def random_index(seed: int, size: int = 14) -> tuple[dict, list[str]]:
    rng = random.Random(seed)
    names = [f"p{i}" for i in range(size)]
    index = {}
    for name in names:
        releases = []
        for version in rng.sample(["0.9", "1.0", "1.5", "2.0", "2.0b1", "3.0"], rng.randint(1, 4)):
            requires = [f"{rng.choice(names)}{rng.choice(['', '[x]'])}{rng.choice(SPECIFIERS)}{rng.choice(MARKERS)}"
                        for _ in range(rng.randint(0, 4))]
            releases.append(rel(version, *requires, yanked=rng.random() < 0.1))
        index[name] = releases
    return index, [f"{rng.choice(names)}{rng.choice(SPECIFIERS)}" for _ in range(rng.randint(1, 3))]


@pytest.mark.parametrize("seed", range(150))
def test_incremental_rounds_agree_with_whole_rounds(seed, monkeypatch):
    index, roots = random_index(seed)
    answers = set()
    for incremental, order in [(True, None), (True, seed), (False, None), (False, seed)]:
        monkeypatch.setattr(memory, "INCREMENTAL", incremental)
        reads = MemoryIndex(index, seed=order)
        answers.add(render(draw(reads, roots, targets=(LINUX, WINDOWS)), "json"))
        assert max(reads.page_calls.values()) == 1 and max(reads.file_calls.values(), default=1) == 1
    assert len(answers) == 1
