"""What a finder road does when the finder fails: an ordinary error becomes the
road's empty answer (logged where the road logs), anything that is not an
Exception passes through untouched, and the finder's session is released
either way, its own failure never hiding the first one."""

from __future__ import annotations

import pytest


class Halt(BaseException):
    """Neither an Exception nor cancellation: must never be caught."""


INDEX = "http://127.0.0.1:1/simple"

# road: (call, empty answer, level and start of its log line, or None)
ROADS = {
    "versions": (lambda c: c._get_versions_via_unearth("demo", INDEX), [],
                 ("error", "Unearth _get_versions failed: ")),
    "version exists": (lambda c: c._package_version_exists_via_unearth("demo", "1.0", INDEX), False, None),
    "extras": (lambda c: c._get_extras_via_unearth("demo", "1.0", INDEX), set(),
               ("debug", "Unearth get_extras failed: ")),
    "dependencies": (lambda c: c._get_dependencies_via_unearth("demo", "1.0", INDEX), [],
                     ("debug", "Unearth get_dependencies failed: ")),
}


def failing_finder(lookup_error=None, close_error=None):
    """A PackageFinder stand-in whose lookups raise `lookup_error` (or find
    nothing) and whose session's close raises `close_error`; `closed` counts
    the closes tried."""
    closed = []

    class Session:
        def close(self):
            closed.append(True)
            if close_error is not None:
                raise close_error

    class Finder:
        def __init__(self, index_urls):
            assert index_urls == [INDEX]
            self._session = Session()

        def find_all_packages(self, name):
            if lookup_error is not None:
                raise lookup_error
            return []

        def find_best_match(self, requirement):
            if lookup_error is not None:
                raise lookup_error
            return None

    return Finder, closed


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize(
    "lookup_error, close_error, reported",
    [
        (OSError("index unreachable"), None, "index unreachable"),
        (ValueError("first failure"), OSError("close failed"), "first failure"),
        (None, OSError("close failed"), "close failed"),
    ],
    ids=["lookup fails", "both fail: the first is reported", "only the release fails"],
)
def test_an_ordinary_failure_is_the_empty_answer(m, log, monkeypatch, road, lookup_error, close_error, reported):
    finder, closed = failing_finder(lookup_error, close_error)
    monkeypatch.setattr(m, "PackageFinder", finder)
    call, empty, logged = ROADS[road]
    answer = call(m.PackageIndexClient(None))
    assert answer == empty and type(answer) is type(empty)
    assert closed == [True]
    if logged is None:
        assert log.records == []
    else:
        level, start = logged
        assert log.records == [(level, start + reported)]


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize(
    "lookup_error, close_error",
    [(Halt("in the lookup"), None), (OSError("lookup"), Halt("in the release")),
     (None, Halt("in the release")), (Halt("in the lookup"), OSError("close failed"))],
    ids=["lookup", "release after an ordinary failure", "release after success", "lookup, release fails too"],
)
def test_what_is_not_an_exception_passes_through(m, log, monkeypatch, road, lookup_error, close_error):
    finder, closed = failing_finder(lookup_error, close_error)
    monkeypatch.setattr(m, "PackageFinder", finder)
    call = ROADS[road][0]
    with pytest.raises(Halt) as raised:
        call(m.PackageIndexClient(None))
    halt = lookup_error if isinstance(lookup_error, Halt) else close_error
    assert raised.value is halt
    assert closed == [True]
    assert log.records == []
