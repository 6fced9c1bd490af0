"""Dependencies of one version: the JSON API road with its document cache, the
finder road that reads core metadata, and the walk over the indexes."""

from __future__ import annotations

import email.message
import io
import os
import zipfile

import pytest
import unearth

from conftest import cancel_on_arrival
from quorvel_master.sampleindex import build_wheel
from requirements_support import (
    REAL_EXTRAS,
    REAL_RECORDS,
    REAL_REQS,
    closed_port_url,
    indexes,  # noqa: F401  (fixture)
    pypiserver,
    record,
    run_with_client,
)

WHEEL = "demo-1.0-py3-none-any.whl"


@pytest.fixture
def api(indexes, fixed_settings):
    """Every index has its JSON API pattern; the primary is asked alone."""
    fixed_settings.api_list = indexes.api_list()
    fixed_settings.settings = {"index_urls": [{"url": indexes.primary.simple_url, "primary": True}],
                               "use_secondary_urls": False}
    return indexes


def deps(m, url, name="demo", version="1.0"):
    return run_with_client(m, lambda c: c._get_dependencies_from_index(name, version, url))


# --- JSON API road ----------------------------------------------------------


def test_records_in_document_order(m, api, log):
    api.primary.add_project("demo", {"1.0": {"requires_dist": REAL_REQS + ["(bad", "dup", "dup"]}})
    result = deps(m, api.primary.simple_url)
    assert result == REAL_RECORDS + [record("dup"), record("dup")]
    assert log.records == [
        ("warning", "Could not parse requirement: (bad"),
        ("debug", f"Found {len(REAL_RECORDS) + 2} dependencies for demo==1.0"),
    ]
    assert api.primary.hits("/pypi/demo/1.0/json") == 1


@pytest.mark.parametrize("doc", [{"info": {"requires_dist": None}}, {"info": {"requires_dist": []}},
                                 {"info": {}}, {}])
def test_document_without_requirements_gives_nothing_silently(m, api, log, doc):
    api.primary.set_response("/pypi/demo/1.0/json", doc)
    assert deps(m, api.primary.simple_url) == []
    assert log.records == []


def test_cache_answers_later_calls_from_any_index(m, api, log):
    api.primary.add_project("Demo", {"1.0": {"requires_dist": ["a>1", "b; extra == 'x'"]}})
    api.first.add_project("demo", {"1.0": {"requires_dist": ["other"]}})

    async def scenario(c):
        first = await c._get_dependencies_from_index("Demo", "1.0", api.primary.simple_url)
        again = await c._get_dependencies_from_index("DEMO", "1.0", api.first.simple_url)
        return first, again, c._metadata_cache

    first, again, cache = run_with_client(m, scenario)
    expected = [record("a", ">1"), record("b", "", [], "extra == 'x'")]
    assert first == again == expected and first is not again and first[0] is not again[0]
    assert list(cache) == [("demo", "1.0")]
    assert cache[("demo", "1.0")]["info"]["requires_dist"] == ["a>1", "b; extra == 'x'"]
    assert api.hits() == [1, 0, 0]
    assert log.messages() == ["Found 2 dependencies for Demo==1.0", "Found 2 dependencies for DEMO==1.0"]


@pytest.mark.parametrize(
    "first, second, requests",
    [
        (("requests-oauthlib", "1.0"), ("requests_oauthlib", "1.0"), 2),  # lower-cased only, not normalised
        (("demo", "1.0"), ("demo", "1.0.0"), 2),  # the version as given
        (("demo", "1.0"), ("DeMo", "1.0"), 1),
    ],
)
def test_cache_key(m, api, first, second, requests):
    api.primary.set_response("/pypi/*/json", {"info": {"requires_dist": ["x"]}})

    async def scenario(c):
        await c._get_dependencies_from_index(*first, api.primary.simple_url)
        await c._get_dependencies_from_index(*second, api.primary.simple_url)

    run_with_client(m, scenario)
    assert api.primary.hits() == requests


def test_pattern_placeholders_all_replaced(m, indexes, fixed_settings):
    srv = indexes.primary
    fixed_settings.api_list = [{"index_url": srv.simple_url,
                                "api_pattern": srv.url + "/pypi/{package_name}/{version}/json?n={package_name}&v={version}"}]
    srv.add_project("demo", {"1.0": {"requires_dist": ["x"]}})
    assert deps(m, srv.simple_url) == [record("x")]
    (req,) = srv.requests
    assert (req.path, req.query) == ("/pypi/demo/1.0/json", "n=demo&v=1.0")


def test_pattern_without_version_reads_the_project_document(m, indexes, fixed_settings):
    srv = indexes.primary
    fixed_settings.api_list = [{"index_url": srv.simple_url, "api_pattern": srv.url + "/pypi/{package_name}/json"}]
    srv.add_project("demo", {"1.0": {"requires_dist": ["old"]}, "2.0": {"requires_dist": ["new"]}})
    assert deps(m, srv.simple_url, version="1.0") == [record("new")]
    assert srv.hits("/pypi/demo/json") == 1


@pytest.mark.parametrize("status, level", [(404, "debug"), (500, "error"), (301, "error"), (204, "error")])
def test_status_other_than_200_gives_nothing_and_caches_nothing(m, api, log, status, level):
    api.primary.add_project("demo", {"1.0": {"requires_dist": ["x"]}})
    api.primary.set_status("/pypi/demo/1.0/json", status, times=1)

    async def scenario(c):
        failed = await c._get_dependencies_from_index("demo", "1.0", api.primary.simple_url)
        return failed, await c._get_dependencies_from_index("demo", "1.0", api.primary.simple_url)

    failed, answered = run_with_client(m, scenario)
    assert (failed, answered) == ([], [record("x")])
    url = api.primary.simple_url
    expected = (f"Package demo not found at {url}" if status == 404
                else f"API returned status {status} for {api.primary.url}/pypi/demo/1.0/json")
    assert log.records[0] == (level, expected)
    assert api.primary.hits("/pypi/demo/1.0/json") == 2
    assert api.primary.hits("/simple/demo/") == 0  # a pattern never falls back to the finder


def test_log_lines_mask_credentials_of_urls(m, indexes, fixed_settings, log):
    srv = indexes.primary
    secret_index = srv.simple_url.replace("http://", "http://user:s3cret@")
    secret_api = srv.json_api_pattern.replace("http://", "http://user:s3cret@")
    fixed_settings.api_list = [{"index_url": secret_index, "api_pattern": secret_api}]
    srv.set_status("/pypi/demo/1.0/json", 404, times=1)
    srv.set_status("/pypi/demo/1.0/json", 503, times=1)
    assert deps(m, secret_index) == [] and deps(m, secret_index) == []  # the newer hook answers first
    masked = srv.url.replace("http://", "http://user:****@")
    assert log.records == [
        ("error", f"API returned status 503 for {masked}/pypi/demo/1.0/json"),
        ("debug", f"Package demo not found at {masked}/simple"),
    ]
    assert srv.requests[0].headers.get("Authorization", "").startswith("Basic ")


def test_timeout(m, api, log, short_timeout):
    api.primary.hang("/pypi/demo/1.0/json")
    assert deps(m, api.primary.simple_url) == []
    assert short_timeout == [{"total": 10}]
    assert log.records == [("error", f"Timeout querying {api.primary.simple_url} for demo")]


@pytest.mark.parametrize(
    "setup, error",
    [
        (lambda srv: srv.set_response("/pypi/demo/1.0/json", "{not json", content_type="application/json"),
         "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
        (lambda srv: srv.set_response("/pypi/demo/1.0/json", "plain", content_type="text/plain"), None),
        (lambda srv: srv.close_mid_body("/pypi/demo/1.0/json", b'{"info": {"requires_dist": ["x"]}}'), None),
    ],
)
def test_failed_request_or_body(m, api, log, setup, error):
    setup(api.primary)
    assert deps(m, api.primary.simple_url) == []
    ((level, message),) = log.records
    prefix = f"Failed to query {api.primary.simple_url} for demo: "
    assert level == "error" and message.startswith(prefix) and len(message) > len(prefix)
    if error:
        assert message == prefix + error


def test_connection_refused(m, indexes, fixed_settings, log):
    url = closed_port_url()
    fixed_settings.api_list = [{"index_url": url, "api_pattern": url + "/{package_name}/{version}"}]
    assert deps(m, url) == []
    ((level, message),) = log.records
    assert level == "error" and message.startswith(f"Failed to query {url} for demo: Cannot connect to host")


def test_aiohttp_missing(m, api, log, monkeypatch):
    monkeypatch.setattr(m, "aiohttp", None)
    assert deps(m, api.primary.simple_url) == []
    assert log.records == [("error", f"Failed to query {api.primary.simple_url} for demo: "
                                     "aiohttp not installed, cannot query package indexes")]


@pytest.mark.parametrize(
    "doc, error",
    [
        ([1, 2], AttributeError),
        ({"info": None}, AttributeError),
        ({"info": ["requires_dist"]}, AttributeError),
        ({"info": {"requires_dist": 5}}, TypeError),
        ({"info": {"requires_dist": ["ok", 5]}}, TypeError),
    ],
)
def test_document_of_unexpected_shape_raises_and_stays_cached(m, api, log, doc, error):
    api.primary.set_response("/pypi/demo/1.0/json", doc)

    async def scenario(c):
        for index in (api.primary, api.first):
            with pytest.raises(error):
                await c._get_dependencies_from_index("demo", "1.0", index.simple_url)
        return c._metadata_cache[("demo", "1.0")]

    assert run_with_client(m, scenario) == doc
    assert api.hits() == [1, 0, 0]
    assert not any(lv == "error" for lv, _ in log.records)


def test_pattern_lookup_failure_reaches_the_caller(m, api, fixed_settings):
    fixed_settings.api_list = None
    with pytest.raises(TypeError):
        deps(m, api.primary.simple_url)


def test_cancellation_passes_through(m, api, log):
    api.primary.hang("/pypi/demo/1.0/json")

    async def scenario(c):
        await cancel_on_arrival(api.primary, "/pypi/demo/1.0/json",
                                c._get_dependencies_from_index("demo", "1.0", api.primary.simple_url))
        return c._metadata_cache

    assert run_with_client(m, scenario) == {}
    assert log.records == []


# --- finder road --------------------------------------------------------------


@pytest.fixture
def finder_road(indexes, fixed_settings):
    """No API pattern anywhere: every index is read through the finder."""
    fixed_settings.api_list = []
    return indexes


@pytest.mark.parametrize("metadata_files", [True, False])
def test_finder_reads_core_metadata(m, finder_road, log, metadata_files):
    srv = finder_road.primary
    srv.add_project("demo", {"0.9": {"requires_dist": ["old"]},
                             "1.0": {"requires_dist": REAL_REQS + ["(bad"], "extras": REAL_EXTRAS},
                             "1.1": {"requires_dist": ["new"]}}, metadata_files=metadata_files)
    assert deps(m, srv.simple_url) == REAL_RECORDS
    assert log.records == [("warning", "Could not parse requirement: (bad")]
    assert srv.hits(f"/files/demo/{WHEEL}.metadata") == int(metadata_files)
    assert srv.hits(f"/files/demo/{WHEEL}") == int(not metadata_files)
    assert m.PackageIndexClient(object())._get_dependencies_via_unearth("demo", "1.0", srv.simple_url) == REAL_RECORDS


def test_finder_session_carries_the_index_credentials(m, finder_road):
    srv = finder_road.primary
    srv.add_project("demo", {"1.0": {"requires_dist": ["x"]}})
    url = srv.simple_url.replace("http://", "http://user:pw@")
    assert deps(m, url) == [record("x")]
    (meta,) = [r for r in srv.requests if r.path.endswith(".metadata")]
    assert meta.headers.get("Authorization", "").startswith("Basic ")


@pytest.mark.parametrize(
    "releases, metadata_files",
    [
        ({"2.0": {"requires_dist": ["x"]}}, True),  # the version is not there
        ({"1.0": {"requires_dist": ["x"], "files": ["sdist"]}}, False),  # sdist, no metadata announced
        ({"1.0": {"requires_dist": None}}, True),  # no Requires-Dist field
    ],
)
def test_finder_gives_nothing_without_a_log_line(m, finder_road, log, releases, metadata_files):
    finder_road.primary.add_project("demo", releases, metadata_files=metadata_files)
    assert deps(m, finder_road.primary.simple_url) == []
    assert log.records == []


def test_finder_reads_announced_metadata_of_an_sdist(m, finder_road):
    finder_road.primary.add_project("demo", {"1.0": {"requires_dist": ["x>1"], "files": ["sdist"]}})
    assert deps(m, finder_road.primary.simple_url) == [record("x", ">1")]


def zipped(**members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as zf:
        for name, text in members.items():
            # a fixed time, so the bytes (and the test ids) are the same in every worker
            zf.writestr(zipfile.ZipInfo(name.replace("__", "/"), date_time=(2024, 1, 1, 0, 0, 0)), text)
    return buffer.getvalue()


@pytest.mark.parametrize(
    "content, metadata, error",
    [
        (b"not a zip", None, "File is not a zip file"),
        (zipped(demo__METADATA="x", demo_py=""), None, f"no .dist-info/METADATA in wheel {WHEEL}"),
        (zipped(**{"a.dist-info__METADATA": "x", "b.dist-info__METADATA": "y"}), None,
         f"more than one .dist-info/METADATA in wheel {WHEEL}"),
    ],
    ids=["not-a-zip", "no-metadata", "two-metadata"],
)
def test_unreadable_metadata_is_one_debug_line(m, finder_road, log, content, metadata, error):
    finder_road.primary.add_project("demo", {})
    finder_road.primary.add_file("demo", "1.0", WHEEL, content, metadata=metadata)
    finder_road.primary.set_metadata_files("demo", metadata is not None)
    assert deps(m, finder_road.primary.simple_url) == []
    assert log.records == [("debug", "Unearth get_dependencies failed: " + error)]


def test_metadata_with_bytes_that_are_not_utf8(m, finder_road):
    metadata = b"Metadata-Version: 2.1\nName: demo\nRequires-Dist: caf\xe9-x>=1\nRequires-Dist: y\n\nD\xe9j\xe0 vu\n"
    finder_road.primary.add_project("demo", {})
    finder_road.primary.add_file("demo", "1.0", WHEEL, b"PK", metadata=metadata)
    assert deps(m, finder_road.primary.simple_url) == [record("caf", "\ufffd-x>=1"), record("y")]


def test_wheel_metadata_member_is_found_among_others(m, finder_road):
    wheel = zipped(**{"demo.py": "", "demo-1.0.dist-info__RECORD": "",
                      "demo-1.0.dist-info__METADATA": "Name: demo\nRequires-Dist: x (>1)\n\nbody",
                      "demo-1.0.data__purelib__z.dist-info__METADATA": "Requires-Dist: nested\n"})
    finder_road.primary.add_project("demo", {})
    finder_road.primary.add_file("demo", "1.0", WHEEL, wheel)
    finder_road.primary.set_metadata_files("demo", False)
    assert deps(m, finder_road.primary.simple_url) == [record("x", "(>1)")]


def test_missing_metadata_file_is_one_debug_line(m, finder_road, log):
    srv = finder_road.primary
    srv.add_project("demo", {"1.0": {"requires_dist": ["x"]}})
    srv.set_status(f"/files/demo/{WHEEL}.metadata", 404)
    assert deps(m, srv.simple_url) == []
    ((level, message),) = log.records
    assert level == "debug" and message.startswith("Unearth get_dependencies failed: ")
    assert "404" in message


def test_finder_get_metadata_is_used_when_offered(m, finder_road, monkeypatch):
    srv = finder_road.primary
    srv.add_project("demo", {"1.0": {"requires_dist": ["from-index"]}})
    asked = []

    class Finder(unearth.PackageFinder):
        def get_metadata(self, link):
            asked.append(link)
            metadata = email.message.Message()
            metadata["Requires-Dist"] = "from-finder[x] >=2; os_name == 'nt'"
            return metadata

    monkeypatch.setattr(m, "PackageFinder", Finder)
    assert deps(m, srv.simple_url) == [record("from-finder", ">=2", ["x"], "os_name == 'nt'")]
    assert [link.filename for link in asked] == [WHEEL]
    assert srv.hits(f"/files/demo/{WHEEL}.metadata") == 0


def test_finder_library_missing(m, finder_road, log, monkeypatch):
    monkeypatch.setattr(m, "PackageFinder", None)
    client = m.PackageIndexClient(object())
    assert client._get_dependencies_via_unearth("demo", "1.0", finder_road.primary.simple_url) == []
    assert log.records == [("debug", "Unearth get_dependencies failed: 'NoneType' object is not callable")]
    log.clear()
    monkeypatch.setattr(m, "UNEARTH_AVAILABLE", False)
    assert deps(m, finder_road.primary.simple_url) == []
    assert log.records == [("debug", f"No API pattern and unearth not available for {finder_road.primary.simple_url}")]


@pytest.mark.parametrize(
    "answer, expected, line",
    [
        ([record("x")], [record("x")], None),
        (None, None, None),
        ((record("x"),), [], "Unearth failed for dependencies demo==1.0: Expected list, got tuple"),
        (ValueError("boom"), [], "Unearth failed for dependencies demo==1.0: boom"),
    ],
)
def test_finder_result_handed_on_unchanged(m, finder_road, log, answer, expected, line):
    async def scenario(c):
        def fake(package_name, version, index_url):
            if isinstance(answer, Exception):
                raise answer
            return answer

        c._get_dependencies_via_unearth = fake
        return await c._get_dependencies_from_index("demo", "1.0", finder_road.primary.simple_url)

    result = run_with_client(m, scenario)
    assert result == expected
    if type(answer) is list:
        assert result is answer
    assert log.messages() == ([line] if line else [])


def test_finder_results_are_not_cached(m, finder_road):
    srv = finder_road.primary
    srv.add_project("demo", {"1.0": {"requires_dist": ["x"]}})

    async def scenario(c):
        await c._get_dependencies_from_index("demo", "1.0", srv.simple_url)
        await c._get_dependencies_from_index("demo", "1.0", srv.simple_url)
        return c._metadata_cache

    assert run_with_client(m, scenario) == {}
    assert srv.hits(f"/files/demo/{WHEEL}.metadata") == 2


def test_cancelling_the_finder_road(m, finder_road, log):
    srv = finder_road.primary
    srv.add_project("demo", {"1.0": {"requires_dist": ["x"]}})
    srv.delay("/simple/demo/", 1.0)

    run_with_client(m, lambda c: cancel_on_arrival(
        srv, "/simple/demo/", c._get_dependencies_from_index("demo", "1.0", srv.simple_url)))
    assert log.records == []


def test_pypiserver(m, fixed_settings, tmp_path, log):
    folder = tmp_path / "packages"
    build_wheel(folder, "demo", "1.0", REAL_REQS, REAL_EXTRAS)
    build_wheel(folder, "demo", "2.0", ["newer"])
    build_wheel(folder, "other", "1.0", ["unrelated"])
    fixed_settings.api_list = []
    with pypiserver(folder) as base:
        url = base + "/simple/"

        async def scenario(c):
            return (await c.get_dependencies("demo", "1.0", url), await c.get_extras("demo", "1.0", url),
                    await c.get_dependencies("demo", "3.0", url))

        assert run_with_client(m, scenario) == (REAL_RECORDS, REAL_EXTRAS, [])
    assert log.records == []


# --- the walk over the indexes ------------------------------------------------

P, S1, S2 = "P", "S1", "S2"
HAS = {"1.0": {"requires_dist": ["a>=1", "b; extra == 'x'"]}}
HAS_RECORDS = [record("a", ">=1"), record("b", "", [], "extra == 'x'")]


@pytest.mark.parametrize(
    "entries, use_secondary, holders, expected, lines",
    [
        pytest.param(
            [(P, True), (S1, None), (S2, None)], True, [P, S1], HAS_RECORDS,
            [("info", "Querying primary index for dependencies: demo"),
             ("debug", "Found 2 dependencies for demo==1.0"),
             ("info", "Found 2 dependencies in primary index")],
            id="primary-answers"),
        pytest.param(
            [(S1, None), (P, True), (S2, None)], True, [S2], HAS_RECORDS,
            [("info", "Querying primary index for dependencies: demo"),
             ("debug", "Package demo not found at {P}"),
             ("info", "No dependencies in primary, trying 2 secondary indexes"),
             ("info", "Querying secondary index: {S1}"),
             ("debug", "Package demo not found at {S1}"),
             ("info", "Querying secondary index: {S2}"),
             ("debug", "Found 2 dependencies for demo==1.0"),
             ("info", "Found 2 dependencies in secondary index")],
            id="second-secondary-answers"),
        pytest.param(
            [(P, True), (S1, None)], False, [S1], [],
            [("info", "Querying primary index for dependencies: demo"),
             ("debug", "Package demo not found at {P}"),
             ("debug", "No dependencies found for demo in any index")],
            id="secondaries-not-allowed"),
        pytest.param(
            [(S1, None), (S2, None)], True, [S1, S2], HAS_RECORDS,
            [("info", "No dependencies in primary, trying 2 secondary indexes"),
             ("info", "Querying secondary index: {S1}"),
             ("debug", "Found 2 dependencies for demo==1.0"),
             ("info", "Found 2 dependencies in secondary index")],
            id="no-primary"),
        pytest.param(
            [(S1, True), (P, True), (S2, False)], True, [S1], [],
            [("info", "Querying primary index for dependencies: demo"),
             ("debug", "Package demo not found at {P}"),
             ("info", "No dependencies in primary, trying 1 secondary indexes"),
             ("info", "Querying secondary index: {S2}"),
             ("debug", "Package demo not found at {S2}"),
             ("debug", "No dependencies found for demo in any index")],
            id="last-primary-wins-earlier-dropped"),
        pytest.param(
            [], True, [P], [],
            [("debug", "No dependencies found for demo in any index")],
            id="no-indexes"),
    ],
)
def test_walk(m, api, fixed_settings, log, entries, use_secondary, holders, expected, lines):
    urls = {P: api.primary.simple_url, S1: api.first.simple_url, S2: api.second.simple_url}
    servers = {P: api.primary, S1: api.first, S2: api.second}
    for name in holders:
        servers[name].add_project("demo", HAS)
    fixed_settings.settings = {
        "index_urls": [{"url": urls[n], **({} if flag is None else {"primary": flag})} for n, flag in entries],
        "use_secondary_urls": use_secondary,
    }
    result = run_with_client(m, lambda c: c.get_dependencies("demo", "1.0"))
    assert result == expected
    assert log.records == [(lv, msg.format(**urls)) for lv, msg in lines]


def test_walk_secondary_answered_from_the_cache(m, api, fixed_settings, log):
    api.primary.add_project("demo", {"1.0": {"requires_dist": None}})
    api.first.add_project("demo", HAS)
    fixed_settings.settings = {"index_urls": [{"url": api.primary.simple_url, "primary": True},
                                              {"url": api.first.simple_url}], "use_secondary_urls": True}
    assert run_with_client(m, lambda c: c.get_dependencies("demo", "1.0")) == []
    assert api.hits() == [1, 0, 0]
    assert log.messages()[-1] == "No dependencies found for demo in any index"


@pytest.mark.parametrize("index_url", ["P", "S1"])
def test_named_index_is_asked_alone(m, api, fixed_settings, log, index_url):
    api.primary.add_project("demo", HAS)
    url = {"P": api.primary.simple_url, "S1": api.first.simple_url}[index_url]
    fixed_settings.settings = None  # not read
    result = run_with_client(m, lambda c: c.get_dependencies("demo", "1.0", url))
    assert result == (HAS_RECORDS if index_url == "P" else [])
    assert fixed_settings.settings_calls == 0
    assert not any(msg.startswith(("Querying", "No dependencies")) for msg in log.messages())


def test_empty_index_url_walks(m, api, fixed_settings):
    api.primary.add_project("demo", HAS)
    assert run_with_client(m, lambda c: c.get_dependencies("demo", "1.0", "")) == HAS_RECORDS
    assert fixed_settings.settings_calls == 1


def test_walk_returns_the_per_index_list_itself(m, api, fixed_settings):
    produced = []

    async def scenario(c):
        async def per_index(package_name, version, index_url):
            produced.append([record("x")])
            return produced[-1]

        c._get_dependencies_from_index = per_index
        return await c.get_dependencies("demo", "1.0")

    assert run_with_client(m, scenario) is produced[0]


def test_secondary_url_is_masked_in_the_walk_line(m, api, fixed_settings, log):
    secret = api.first.simple_url.replace("http://", "http://u:pw@")
    fixed_settings.settings = {"index_urls": [{"url": secret}], "use_secondary_urls": True}
    fixed_settings.api_list = [{"index_url": secret, "api_pattern": api.first.json_api_pattern}]
    run_with_client(m, lambda c: c.get_dependencies("demo", "1.0"))
    assert ("info", "Querying secondary index: " + secret.replace(":pw@", ":****@")) in log.records
    assert not any("pw@" in msg for msg in log.messages())
