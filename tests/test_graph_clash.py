"""Releases passed over when their requirements clash with another edge: which
release is taken, how many requirements are read to find it, and that the
answer does not depend on the order the reads end in."""

from __future__ import annotations

import pytest
from graph_support import LINUX, WINDOWS, MemoryIndex, chosen, draw, rel

from quorvel_master.graph import fixpoint, render


def plugins(count: int, fits_from: int) -> dict:
    """app 1.0 and 2.0 require plugin; plugin 1.N asks app>=2 from N = fits_from on."""
    return {"app": [rel("1.0", "plugin"), rel("2.0", "plugin")],
            "plugin": [rel(f"1.{n}", "app>=2.0" if n >= fits_from else "app>=1.0") for n in range(count)]}


SEARCHES = [
    # (case, index, roots, expected, most requirement files read)
    ("nothing clashes: only what is chosen is read", plugins(30, 30), ["app==1.0"],
     {"app": "1.0", "plugin": "1.29"}, 2),
    ("the newest that fits, five down", plugins(30, 25), ["app==1.0"], {"app": "1.0", "plugin": "1.24"}, 8),
    ("a long search reads ahead, not everything", plugins(90, 40), ["app==1.0"],
     {"app": "1.0", "plugin": "1.39"}, 1 + 50 + 50),
    ("no release fits: the search stops at its bound, the conflict shows", plugins(150, 0), ["app==1.0"],
     {"app": "conflict", "plugin": "1.149"}, 1 + fixpoint.TRIES),
    ("the root not pinned: it moves instead", plugins(30, 25), ["app"], {"app": "2.0", "plugin": "1.29"}, 2),
]


@pytest.mark.parametrize("case, index, roots, expected, most", SEARCHES, ids=[s[0] for s in SEARCHES])
def test_search_for_a_release_that_fits(case, index, roots, expected, most):
    reads = MemoryIndex(index)
    graph = draw(reads, roots)
    assert chosen(graph) == expected
    assert graph.settled
    assert sum(reads.file_calls.values()) <= most
    assert max(reads.file_calls.values()) == 1 and max(reads.page_calls.values()) == 1


def test_a_conflict_keeps_the_edges_that_make_it():
    graph = draw(MemoryIndex(plugins(3, 0)), ["app==1.0"])
    [conflict] = graph.conflicts
    assert conflict.node == "app"
    assert conflict.edges == ((None, "app==1.0"), ("plugin==1.2", "app>=2.0"))
    assert "requirements shown are those of 1.0" in graph.by_id["app"].detail
    assert [(e.source, e.to) for e in graph.edges if e.source] == [("app", "plugin==1.2"), ("plugin==1.2", "app")]


@pytest.mark.parametrize("seed", range(6))
def test_passed_over_whatever_order_reads_end(seed):
    index = {**plugins(12, 6), "tool": [rel("1.0", "plugin<1.2", "app"), rel("2.0", "plugin>=1.3", "app")]}
    outputs = {render(draw(MemoryIndex(index, seed=order), ["app==1.0", "tool"], targets=(LINUX, WINDOWS)), "json")
               for order in (None, seed)}
    assert len(outputs) == 1
    graph = draw(MemoryIndex(index, seed=seed), ["app==1.0", "tool"])
    assert chosen(graph) == {"app": "1.0", "plugin": "1.5", "tool": "2.0"}
