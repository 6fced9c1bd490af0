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


# Moves that take edges away, which the kept walk cannot follow by growing.
MOVES = [
    # an extra asked along an edge that goes when its source moves
    ({"a": [rel("1.0", "c"), rel("2.0", "c[x]")], "d": [rel("1.0", "e")], "e": [rel("1.0", "a<2")],
      "c": [rel("1.0", "xdep; extra == 'x'"), rel("2.0", "xdep<1; extra == 'x'")], "xdep": ["0.5", "1.0"]},
     ["a", "d"]),
    # a clash that moves a release, whose old requirements leave
    ({"x": [rel("1.0", "z", "old"), rel("2.0", "z<2", "old[y]")], "y": [rel("1.0", "w")], "w": [rel("1.0", "z>=2")],
      "z": ["1.0", "2.0"], "old": [rel("1.0", "deep; extra == 'y'")], "deep": ["1.0"]}, ["x", "y"]),
]


def _random(seed: int) -> tuple[dict, list[str]]:
    return MOVES[seed] if seed < len(MOVES) else random_index(seed)


@pytest.mark.parametrize("seed", range(150))
def test_incremental_rounds_agree_with_whole_rounds(seed, monkeypatch):
    index, roots = _random(seed)
    answers = set()
    for incremental, order in [(True, None), (True, seed), (False, None), (False, seed)]:
        monkeypatch.setattr(memory, "INCREMENTAL", incremental)
        reads = MemoryIndex(index, seed=order)
        answers.add(render(draw(reads, roots, targets=(LINUX, WINDOWS)), "json"))
        assert max(reads.page_calls.values()) == 1 and max(reads.file_calls.values(), default=1) == 1
    assert len(answers) == 1
