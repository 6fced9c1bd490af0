"""The benchmarks' --write option: a dated record of exactly what was printed,
appended, and nothing for a run that failed."""

from __future__ import annotations

import contextlib
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
SCRIPTS = ["run.py", "hostile.py", "import_time.py", "interpreters.py", "network.py", "startup.py", "graph_core.py"]


@pytest.fixture(scope="module")
def record():
    found = importlib.util.spec_from_file_location("bench_record", BENCH / "record.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run(record, path, runs, capsys):
    """Each run prints its lines inside the recording; a run given as an
    exception raises it there."""
    for number, outcome in enumerate(runs):
        failing = isinstance(outcome, BaseException)
        with pytest.raises(type(outcome)) if failing else contextlib.nullcontext():
            with record.recording(path, argv=["/somewhere/bench/fig.py", f"--run={number}"]):
                print(f"figure {number}: 1.5x")
                if failing:
                    raise outcome
    return capsys.readouterr().out


@pytest.mark.parametrize("runs, recorded", [
    ([None], [0]),
    ([None, None], [0, 1]),
    ([ValueError("broken")], []),
    ([None, KeyboardInterrupt(), None], [0, 2]),
])
def test_records_what_each_finished_run_printed(record, tmp_path, capsys, runs, recorded):
    path = tmp_path / "figures.md"
    shown = run(record, str(path), runs, capsys)
    # Everything is still shown, whatever is written.
    assert shown.splitlines() == [f"figure {n}: 1.5x" for n in range(len(runs))]
    text = path.read_text() if path.exists() else ""
    assert re.findall(r"^## \d{4}-\d\d-\d\d \d\d:\d\d UTC: fig\.py --run=(\d+)$", text, re.M) == [
        str(n) for n in recorded]
    assert re.findall(r"^figure (\d+): 1\.5x$", text, re.M) == [str(n) for n in recorded]
    assert text.count(f"{sys.version_info.major}.{sys.version_info.minor}.") == len(recorded)
    # The command is named by its script, not by where it lies.
    assert "/somewhere" not in text
    assert sys.stdout is not None and not isinstance(sys.stdout, record._Tee)


def test_without_a_file_nothing_is_written(record, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    shown = run(record, None, [None], capsys)
    assert shown == "figure 0: 1.5x\n"
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("script", SCRIPTS)
def test_every_benchmark_offers_write(script):
    shown = subprocess.run([sys.executable, str(BENCH / script), "--help"], capture_output=True, text=True,
                           check=True).stdout
    assert re.search(r"--write FILE\b", shown)
