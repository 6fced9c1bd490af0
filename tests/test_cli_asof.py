"""pkgindex --as-of and the richer info, as real runs against local indexes
serving project pages with upload times, statuses and core metadata."""

from __future__ import annotations

import datetime as dt
import json

import pytest

from cli_support import assert_usage_error, isolated_env, run_cli
from quorvel_master.cli.when import parse_when
from quorvel_master.sampleindex import IndexServer

NOW = dt.datetime.now(dt.timezone.utc).replace(microsecond=0)
CLOCK = {
    "1.0": {"summary": "Keeps time", "upload_time": "2024-01-10T10:00:00Z"},
    "1.1": {"summary": "Keeps time", "upload_time": "2024-06-01T12:00:00Z", "extras": ["tz"],
            "requires_dist": ["tzdata; extra == 'tz'"]},
    "2.1rc1": {"summary": "Keeps time", "upload_time": "2024-05-01T00:00:00Z"},
    "2.0": {"summary": "Keeps time", "upload_time": "2024-06-02T00:00:01Z", "requires_python": ">=3.9",
            "requires_dist": ["idna"]},
    # Three hours ago: inside PT1H back, outside P1D back.
    "3.0": {"summary": "Keeps time", "upload_time": NOW - dt.timedelta(hours=3), "requires_python": ">=3.10"},
}
UNTIMED = {
    "1.0": {"upload_time": "2024-01-01T00:00:00Z"},
    "1.1": {},
    "1.2": {"requires_dist": ["idna"]},
}
TIMED_ALL = ["3.0", "2.0", "1.1", "1.0"]


@pytest.fixture(scope="module")
def index():
    with IndexServer(simple_json=True) as srv:
        srv.add_project("clock", CLOCK)
        srv.add_project("untimed", UNTIMED)
        srv.add_project("needs", {"1.0": {"requires_dist": ["clock"], "upload_time": "2024-01-01T00:00:00Z"}})
        srv.add_project("held", {}, status="quarantined", status_reason="malware reported")
        srv.add_project("old", {"1.0": {"summary": "Done", "upload_time": "2020-01-01T00:00:00Z"}},
                        status="archived")
        srv.add_project("gone", {"1.0": {"summary": "Use new", "upload_time": "2020-01-01T00:00:00Z"}},
                        status="deprecated", status_reason="use clock")
        yield srv


@pytest.fixture(scope="module")
def cli(tmp_path_factory):
    workdir = tmp_path_factory.mktemp("asof")

    def run(*args: str):
        return run_cli(*args, env=isolated_env(workdir), cwd=workdir)

    return run


def roads(index, road):
    args = ["--index-url", index.simple_url, "--no-cache"]
    if road == "api":
        args += ["--api-pattern", f"{index.simple_url}={index.json_api_pattern}"]
    return args


# -- WHEN ----------------------------------------------------------------------------------

AT = dt.datetime(2024, 3, 31, 12, 0, 0, tzinfo=dt.timezone.utc)
UTC = dt.timezone.utc


@pytest.mark.parametrize("text, moment", [
    ("2024-06-01", dt.datetime(2024, 6, 1, 23, 59, 59, 999999, tzinfo=UTC)),
    ("2024-02-29", dt.datetime(2024, 2, 29, 23, 59, 59, 999999, tzinfo=UTC)),
    ("2024-06-01T12:30:00Z", dt.datetime(2024, 6, 1, 12, 30, tzinfo=UTC)),
    ("2024-06-01 14:30:00+02:00", dt.datetime(2024, 6, 1, 12, 30, tzinfo=UTC)),
    ("2024-06-01T12:30:00.5Z", dt.datetime(2024, 6, 1, 12, 30, 0, 500000, tzinfo=UTC)),
    ("P14D", AT - dt.timedelta(days=14)),
    ("p2w", AT - dt.timedelta(days=14)),
    ("PT6H", AT - dt.timedelta(hours=6)),
    ("PT1.5S", AT - dt.timedelta(seconds=1.5)),
    ("P1DT1M", AT - dt.timedelta(days=1, minutes=1)),
    # Calendar months: March 31 back one month is the last day of February.
    ("P1M", dt.datetime(2024, 2, 29, 12, tzinfo=UTC)),
    ("P1Y", dt.datetime(2023, 3, 31, 12, tzinfo=UTC)),
    ("P1Y1M", dt.datetime(2023, 2, 28, 12, tzinfo=UTC)),
    ("P13M", dt.datetime(2023, 2, 28, 12, tzinfo=UTC)),
    ("P1M1D", dt.datetime(2024, 2, 28, 12, tzinfo=UTC)),
])
def test_when_reads_dates_times_and_durations(text, moment):
    assert parse_when(text, AT) == moment


BAD_WHEN = ["yesterday", "2024-13-01", "2024-02-30", "2024-06-01T12:00:00", "2024-6-1", "P", "PT", "P1.5D",
            "-P1D", "P1H", "PT1D", "", " 2024-06-01", "P99999999999D", "P9999Y", "2024-06-01T25:00:00Z"]


@pytest.mark.parametrize("text", BAD_WHEN)
def test_when_refuses_anything_else(text):
    with pytest.raises(ValueError, match="is not a date"):
        parse_when(text, AT)


@pytest.mark.parametrize("command", [["versions", "clock"], ["info", "clock"], ["deps", "clock", "1.1"],
                                     ["extras", "clock", "1.1"]])
@pytest.mark.parametrize("text", ["yesterday", "2024-06-01T12:00:00", "P1.5D"])
def test_a_bad_when_exits_2_before_any_request(cli, index, command, text):
    before = index.hits()
    result = cli(*command, "--as-of", text, *roads(index, "api"))
    assert_usage_error(result)
    assert "--as-of" in result.err and repr(text) in result.err
    assert index.hits() == before


# -- versions, deps, extras, info as of a moment --------------------------------------------


@pytest.mark.parametrize("road", ["finder", "api"])
@pytest.mark.parametrize("when, extra, expected", [
    # A date runs through its end: 1.1 came at noon of that day, 2.0 one second after it.
    ("2024-06-01", [], ["1.1", "1.0"]),
    ("2024-06-02T00:00:00Z", [], ["1.1", "1.0"]),
    ("2024-06-02T00:00:01Z", [], ["2.0", "1.1", "1.0"]),
    ("2024-06-02T02:00:01+02:00", [], ["2.0", "1.1", "1.0"]),
    ("2024-05-31", [], ["1.0"]),
    ("2024-06-01", ["--pre"], ["2.1rc1", "1.1", "1.0"]),
    ("PT1H", [], TIMED_ALL),
    ("P1D", [], ["2.0", "1.1", "1.0"]),
])
def test_versions_as_of(cli, index, road, when, extra, expected):
    result = cli("versions", "clock", "--as-of", when, *extra, *roads(index, road), "--json")
    assert (result.rc, result.err, result.json()) == (0, "", expected), result


@pytest.mark.parametrize("road", ["finder", "api"])
@pytest.mark.parametrize("command", [["versions", "clock"], ["versions", "clock", "--pre"], ["info", "clock"],
                                     ["deps", "clock", "2.0"], ["extras", "clock", "1.1"],
                                     ["versions", "missing"], ["deps", "clock", "9.9"]])
@pytest.mark.parametrize("form", [[], ["--json"]])
def test_nothing_left_out_is_todays_answer(cli, index, road, command, form):
    today = cli(*command, *roads(index, road), *form)
    later = cli(*command, "--as-of", "2999-01-01", *roads(index, road), *form)
    assert (later.rc, later.out, later.err) == (today.rc, today.out, today.err)


@pytest.mark.parametrize("road", ["finder", "api"])
@pytest.mark.parametrize("command, rc, out, left_out", [
    (["versions", "untimed"], 0, ["1.0"], 2),
    (["deps", "untimed", "1.2"], 1, [], 1),
    (["info", "untimed"], 0, "1.0", 2),
    # Nothing uploaded by then: left out, but not for want of a time.
    (["versions", "clock"], 1, [], 0),
])
def test_files_without_upload_times_are_left_out_and_counted(cli, index, road, command, rc, out, left_out):
    when = "2030-01-01" if command[1] == "untimed" else "2020-01-01"
    result = cli(*command, "--as-of", when, *roads(index, road), "--json")
    assert result.rc == rc, result
    got = result.json()
    assert (got["latest_version"] if command[0] == "info" else got) == out
    said = (f"pkgindex: as of {when}T23:59:59Z: {left_out} version(s) left out at {index.simple_url}, "
            "whose files carry no upload time\n")
    assert result.err == (said if left_out else "")


@pytest.mark.parametrize("command, when, rc, said", [
    (["deps", "clock", "2.0"], "2024-06-01", 1, "clock 2.0: not found as of 2024-06-01T23:59:59Z"),
    (["extras", "clock", "1.1"], "2024-06-01T11:59:59Z", 1, "clock 1.1: not found as of 2024-06-01T11:59:59Z"),
    (["info", "clock"], "2023-12-31", 1, "clock: not found as of 2023-12-31T23:59:59Z"),
    (["versions", "clock"], "2023-12-31", 1, "clock: no version as of 2023-12-31T23:59:59Z"),
    (["extras", "clock", "1.1"], "2024-06-01", 0, "clock 1.1: 1 extra(s)"),
    (["deps", "clock", "2.0"], "2024-06-02", 0, "clock 2.0: 1 requirement(s)"),
])
def test_a_version_not_there_yet(cli, index, command, when, rc, said):
    result = cli(*command, "--as-of", when, *roads(index, "api"))
    assert result.rc == rc, result
    assert result.out.splitlines()[0].startswith(said)
    assert f"({index.simple_url})" in result.out or rc == 0


@pytest.mark.parametrize("road", ["finder", "api"])
@pytest.mark.parametrize("when, latest, uploaded, requires", [
    ("2024-06-01", "1.1", "2024-06-01T12:00:00+00:00", None),
    ("2024-06-02", "2.0", "2024-06-02T00:00:01+00:00", ">=3.9"),
    (None, "3.0", "3 hours ago", ">=3.10"),
])
def test_info_as_of_names_the_latest_then(cli, index, road, when, latest, uploaded, requires):
    if uploaded == "3 hours ago":
        uploaded = CLOCK["3.0"]["upload_time"].isoformat()
    moment = ["--as-of", when] if when else []
    result = cli("info", "clock", *moment, *roads(index, road), "--json")
    assert result.rc == 0, result
    got = result.json()
    assert (got["latest_version"], got["upload_time"], got["requires_python"]) == (latest, uploaded, requires)


# -- info: status, upload time, requires-python, summary -----------------------------------


@pytest.mark.parametrize("road", ["finder", "api"])
@pytest.mark.parametrize("name, status, reason, row", [
    ("clock", "active", None, None),
    ("old", "archived", None, "archived"),
    ("gone", "deprecated", "use clock", "deprecated: use clock"),
    # Its page lists no files, so the client finds nothing: the page says why.
    ("held", "quarantined", "malware reported", "quarantined: malware reported"),
])
def test_info_says_the_status(cli, index, road, name, status, reason, row):
    raw = cli("info", name, *roads(index, road), "--json")
    assert raw.rc == 0, raw
    got = raw.json()
    assert (got["name"], got["status"], got["status_reason"]) == (name, status, reason)
    assert {"name", "latest_version", "summary", "status", "status_reason", "upload_time",
            "requires_python"} <= set(got)
    text = cli("info", name, *roads(index, road))
    assert text.rc == 0 and "not found" not in text.out
    rows = dict(line.split(None, 1) for line in text.out.splitlines()[2:])
    assert rows.get("status") == row


def test_info_table_shows_upload_time_and_requires_python(cli, index):
    result = cli("info", "clock", "--as-of", "2024-06-02", *roads(index, "finder"))
    assert result.rc == 0, result
    rows = dict(line.split(None, 1) for line in result.out.splitlines()[2:])
    assert rows == {"name": "clock", "latest_version": "2.0", "summary": "Keeps time",
                    "uploaded": "2024-06-02 00:00:01 UTC", "requires_python": ">=3.9"}


@pytest.fixture(scope="module")
def meta_only():
    """Summaries only in the wheels' core metadata: the finder road's record
    has none. One project announces its metadata files, one does not."""
    with IndexServer(simple_json=True) as srv:
        srv.add_project("announced", {"1.0": {"summary": "From the metadata file",
                                              "upload_time": "2024-01-01T00:00:00Z"}})
        srv.add_project("ranged", {"1.0": {"summary": "From the wheel itself",
                                           "upload_time": "2024-01-01T00:00:00Z"}}, metadata_files=False)
        srv.add_project("blank", {"1.0": {"summary": "", "upload_time": "2024-01-01T00:00:00Z"}})
        yield srv


@pytest.mark.parametrize("name, summary, asked", [
    ("announced", "From the metadata file", "/files/announced/announced-1.0-py3-none-any.whl.metadata"),
    ("ranged", "From the wheel itself", "/files/ranged/ranged-1.0-py3-none-any.whl"),
    # An empty one there too: the record's own stays.
    ("blank", "", "/files/blank/blank-1.0-py3-none-any.whl.metadata"),
])
def test_info_reads_the_summary_from_core_metadata(cli, meta_only, name, summary, asked):
    meta_only.reset_hits()
    result = cli("info", name, "--index-url", meta_only.simple_url, "--no-cache", "--json")
    assert (result.rc, result.err) == (0, ""), result
    assert result.json()["summary"] == summary
    assert meta_only.hits(asked) >= 1


@pytest.fixture
def fresh(tmp_path):
    """An index of its own for a test that changes how it answers."""
    with IndexServer(simple_json=True) as srv:
        srv.add_project("clock", CLOCK)
        yield srv


@pytest.mark.parametrize("status, reason", [
    (403, "access refused (HTTP 403)"),
    (404, "its project page was not found (HTTP 404), which --as-of needs"),
])
def test_a_page_that_cannot_be_read_ends_an_as_of_question(cli, fresh, status, reason):
    fresh.set_status("/simple/clock/", status)
    args = roads(fresh, "api")
    assert cli("versions", "clock", *args, "--json").rc == 0
    result = cli("versions", "clock", "--as-of", "2024-06-01", *args)
    assert result.rc == 3, result
    assert result.err == f"pkgindex: could not read {fresh.simple_url}: {reason}\n"
    assert fresh.hits("/simple/clock/") == 1


def test_pages_without_upload_times_leave_every_version_out(cli):
    # Project pages in HTML only: no upload times at all.
    with IndexServer() as srv:
        srv.add_project("clock", CLOCK)
        url = srv.simple_url
        result = cli("versions", "clock", "--as-of", "2999-01-01", "--index-url", url, "--no-cache")
    assert result.rc == 1, result
    assert result.out == f"clock: no version as of 2999-01-01T23:59:59Z ({url})\n"
    # The pre-release counts too: it is left out with or without --pre.
    assert result.err == (f"pkgindex: as of 2999-01-01T23:59:59Z: 5 version(s) left out at {url}, "
                          "whose files carry no upload time\n")


@pytest.mark.parametrize("when, clock, more", [
    ("2024-06-01", "1.1", {}),
    # clock 2.0 requires idna, which this index does not hold.
    ("2024-06-02", "2.0", {"idna": None}),
    (None, "3.0", {}),
])
def test_tree_takes_the_same_as_of(cli, index, when, clock, more):
    moment = ["--as-of", when] if when else []
    result = cli("tree", "needs", *moment, "--target", "3.12", "--format", "json", *roads(index, "finder"))
    assert result.rc == 0, result
    nodes = {n["name"]: n["version"] for n in json.loads(result.out)["nodes"]}
    assert nodes == {"needs": "1.0", "clock": clock, **more}


def test_info_asks_no_page_of_an_index_a_pin_keeps_the_name_from(cli, index, fresh):
    # held is pinned to an index without it: the quarantining index never hears of it.
    before = index.hits("/simple/held/")
    result = cli("info", "held", "--index-url", index.simple_url, "--extra-index-url", fresh.simple_url,
                 "--pin", f"held={fresh.simple_url}", "--no-cache")
    assert result.rc == 1, result
    assert "held: not found" in result.out
    assert index.hits("/simple/held/") == before
    assert fresh.hits("/simple/held/") >= 1
