"""Extras of one version: detection in requirement markers, the JSON API and
finder roads, and the walk over the indexes."""

from __future__ import annotations

import re

import pytest

from requirements_support import (
    REAL_EXTRAS,
    REAL_REQS,
    indexes,  # noqa: F401  (fixture)
    run_with_client,
)

WHEEL = "demo-1.0-py3-none-any.whl"
PATTERN = r"""extra\s*==\s*['\"]([^'\"]+)['\"]"""


@pytest.fixture
def api(indexes, fixed_settings):
    fixed_settings.api_list = indexes.api_list()
    return indexes


@pytest.fixture
def finder_road(indexes, fixed_settings):
    fixed_settings.api_list = []
    return indexes


def extras(m, url, name="demo", version="1.0"):
    return run_with_client(m, lambda c: c._get_extras_from_index(name, version, url))


DETECTION = [
    ("pytest; extra == 'test'", {"test"}),
    ('sphinx; extra == "docs"', {"docs"}),
    ("requests", set()),
    ("black; extra=='dev'", set()),
    ("black; extra== 'dev'", set()),
    ("black; extra ==  'dev'", {"dev"}),
    ("mypy; extra == 'dev' or extra == 'test'", {"dev"}),
    ("tox; python_version < '3.8' and extra == 'ci'", {"ci"}),
    ("odd; extra == 'mixed\"", {"mixed"}),  # the two quotes are matched apart
    ("up; extra == 'Dev_Tools'", {"Dev_Tools"}),  # no case folding, no normalisation
    ("x; extra == ''", set()),
    ("x; extra ==", set()),
    ("x; python_version >= '3' and EXTRA == 'no'", set()),
    ("x; extra == 'a b'", {"a b"}),
    ("x; extras == 'y'", set()),  # no "extra ==" in the text
]


@pytest.mark.parametrize("road", ["api", "finder"])
@pytest.mark.parametrize("req, expected", DETECTION)
def test_extra_detection(m, indexes, fixed_settings, log, road, req, expected):
    srv = indexes.primary
    fixed_settings.api_list = indexes.api_list() if road == "api" else []
    srv.add_project("demo", {"1.0": {"requires_dist": [req]}})
    assert extras(m, srv.simple_url) == expected
    assert log.records == ([("debug", f"Found {len(expected)} extras via API for demo")] if road == "api" else [])


def test_search_goes_through_the_module_re_after_the_prefilter(m, api, monkeypatch):
    searched = []

    class SpyRe:
        def search(self, pattern, text):
            searched.append((pattern, text))
            return re.search(pattern, text)

        def __getattr__(self, name):
            return getattr(re, name)

    monkeypatch.setattr(m, "re", SpyRe())
    api.primary.add_project("demo", {"1.0": {"requires_dist": ["a", "b; extra == 'x'", "c; extra=='y'"]}})
    assert extras(m, api.primary.simple_url) == {"x"}
    assert searched == [(PATTERN, "b; extra == 'x'")]


def test_document_extras_of_real_requirements(m, api, log):
    api.primary.add_project("demo", {"1.0": {"requires_dist": REAL_REQS + ["dup; extra == 'test'", "v; extra == 'Test'"]}})
    assert extras(m, api.primary.simple_url) == set(REAL_EXTRAS) | {"Test"}
    assert log.records == [("debug", "Found 4 extras via API for demo")]


@pytest.mark.parametrize("doc", [{"info": {"requires_dist": None}}, {"info": {}}, {}])
def test_document_without_requirements(m, api, log, doc):
    api.primary.set_response("/pypi/demo/1.0/json", doc)
    assert extras(m, api.primary.simple_url) == set()
    assert log.records == [("debug", "Found 0 extras via API for demo")]


@pytest.mark.parametrize(
    "doc, error",
    [
        ([1], "'list' object has no attribute 'get'"),
        ({"info": None}, "'NoneType' object has no attribute 'get'"),
        ({"info": {"requires_dist": 5}}, "'int' object is not iterable"),
        ({"info": {"requires_dist": ["ok", 5]}}, "argument of type 'int' is not iterable"),
        ({"info": {"requires_dist": [["extra ==", "x"]]}}, "expected string or bytes-like object, got 'list'"),
    ],
)
def test_document_of_unexpected_shape_is_a_failed_query(m, api, log, doc, error):
    api.primary.set_response("/pypi/demo/1.0/json", doc)
    assert extras(m, api.primary.simple_url) == set()
    assert log.records == [("error", f"Failed to query {api.primary.simple_url} for demo: {error}")]


def test_nothing_is_cached(m, api):
    api.primary.add_project("demo", {"1.0": {"requires_dist": ["a; extra == 'x'"]}})

    async def scenario(c):
        return [await c._get_extras_from_index("demo", "1.0", api.primary.simple_url) for _ in range(2)]

    assert run_with_client(m, scenario) == [{"x"}, {"x"}]
    assert api.primary.hits("/pypi/demo/1.0/json") == 2


@pytest.mark.parametrize("status, level", [(404, "debug"), (500, "error")])
def test_status(m, api, log, status, level):
    api.primary.add_project("demo", {"1.0": {"requires_dist": ["a; extra == 'x'"]}})
    api.primary.set_status("/pypi/demo/1.0/json", status)
    assert extras(m, api.primary.simple_url) == set()
    expected = (f"Package demo not found at {api.primary.simple_url}" if status == 404
                else f"API returned status 500 for {api.primary.url}/pypi/demo/1.0/json")
    assert log.records == [(level, expected)]
    assert api.primary.hits("/simple/demo/") == 0


def test_timeout_and_masked_url(m, indexes, fixed_settings, log, short_timeout):
    srv = indexes.primary
    secret = srv.simple_url.replace("http://", "http://me:tok@")
    fixed_settings.api_list = [{"index_url": secret, "api_pattern": srv.json_api_pattern}]
    srv.hang("/pypi/demo/1.0/json")
    assert extras(m, secret) == set()
    assert log.records == [("error", f"Timeout querying {secret.replace(':tok@', ':****@')} for demo")]


def test_finder_reads_wheel_without_announced_metadata(m, finder_road, log):
    srv = finder_road.primary
    srv.add_project("demo", {"1.0": {"requires_dist": REAL_REQS}}, metadata_files=False)
    assert extras(m, srv.simple_url) == set(REAL_EXTRAS)
    assert srv.hits(f"/files/demo/{WHEEL}") == 1
    assert log.records == []


def test_finder_failure_is_one_debug_line(m, finder_road, log):
    srv = finder_road.primary
    srv.add_project("demo", {"1.0": {"requires_dist": ["a; extra == 'x'"]}})
    srv.set_status(f"/files/demo/{WHEEL}.metadata", 500)
    client = m.PackageIndexClient(object())
    assert client._get_extras_via_unearth("demo", "1.0", srv.simple_url) == set()
    ((level, message),) = log.records
    assert level == "debug" and message.startswith("Unearth get_extras failed: ") and "500" in message


@pytest.mark.parametrize(
    "answer, expected, line",
    [
        ({"b", "a"}, {"a", "b"}, None),
        (frozenset({"a"}), set(), "Unearth failed for extras demo==1.0: Expected set, got frozenset"),
        (["a"], set(), "Unearth failed for extras demo==1.0: Expected set, got list"),
    ],
)
def test_finder_result_type(m, finder_road, log, answer, expected, line):
    async def scenario(c):
        c._get_extras_via_unearth = lambda *args: answer
        return await c._get_extras_from_index("demo", "1.0", finder_road.primary.simple_url)

    assert run_with_client(m, scenario) == expected
    assert log.messages() == ([line] if line else [])


def test_finder_library_missing(m, finder_road, log, monkeypatch):
    monkeypatch.setattr(m, "UNEARTH_AVAILABLE", False)
    assert extras(m, finder_road.primary.simple_url) == set()
    assert log.records == [("debug", f"No API pattern and unearth not available for {finder_road.primary.simple_url}")]


# --- get_extras and the walk ----------------------------------------------------

P, S1, S2 = "P", "S1", "S2"
HAS = {"1.0": {"requires_dist": ["a; extra == 'test'", "b; extra == 'Docs'", "c; extra == 'dev'"]}}
SORTED = ["Docs", "dev", "test"]


@pytest.mark.parametrize(
    "entries, use_secondary, holders, expected, lines",
    [
        pytest.param(
            [(P, True), (S1, None)], True, [P, S1], SORTED,
            [("info", "Querying primary index for extras: demo"),
             ("debug", "Found 3 extras via API for demo"),
             ("info", "Found 3 extras in primary index")],
            id="primary-answers"),
        pytest.param(
            [(P, True), (S1, None), (S2, None)], True, [S2], SORTED,
            [("info", "Querying primary index for extras: demo"),
             ("debug", "Package demo not found at {P}"),
             ("info", "No extras in primary, trying 2 secondary indexes"),
             ("info", "Querying secondary index: {S1}"),
             ("debug", "Package demo not found at {S1}"),
             ("info", "Querying secondary index: {S2}"),
             ("debug", "Found 3 extras via API for demo"),
             ("info", "Found 3 extras in secondary index")],
            id="second-secondary-answers"),
        pytest.param(
            [(P, True), (S1, None)], False, [S1], [],
            [("info", "Querying primary index for extras: demo"),
             ("debug", "Package demo not found at {P}"),
             ("info", "No extras found for demo in any index")],
            id="secondaries-not-allowed"),
        pytest.param(
            [(S1, None), (S2, None)], True, [S1], SORTED,
            [("info", "No extras in primary, trying 2 secondary indexes"),
             ("info", "Querying secondary index: {S1}"),
             ("debug", "Found 3 extras via API for demo"),
             ("info", "Found 3 extras in secondary index")],
            id="no-primary"),
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
    assert run_with_client(m, lambda c: c.get_extras("demo", "1.0")) == expected
    assert log.records == [(lv, msg.format(**urls)) for lv, msg in lines]


def test_primary_document_without_extras_moves_on(m, api, fixed_settings, log):
    api.primary.add_project("demo", {"1.0": {"requires_dist": ["plain"]}})
    api.first.add_project("demo", HAS)
    fixed_settings.settings = {"index_urls": [{"url": api.primary.simple_url, "primary": True},
                                              {"url": api.first.simple_url}], "use_secondary_urls": True}
    assert run_with_client(m, lambda c: c.get_extras("demo", "1.0")) == SORTED
    assert api.hits() == [1, 1, 0]


@pytest.mark.parametrize("holder, expected", [(True, SORTED), (False, [])])
def test_named_index_is_asked_alone_and_sorted(m, api, fixed_settings, log, holder, expected):
    if holder:
        api.primary.add_project("demo", HAS)
    fixed_settings.settings = None
    result = run_with_client(m, lambda c: c.get_extras("demo", "1.0", api.primary.simple_url))
    assert result == expected and type(result) is list
    assert fixed_settings.settings_calls == 0
    assert [lv for lv, _ in log.records] == ["debug"]


def test_empty_index_url_walks(m, api, fixed_settings):
    api.primary.add_project("demo", HAS)
    fixed_settings.settings = {"index_urls": [{"url": api.primary.simple_url, "primary": True}],
                               "use_secondary_urls": False}
    assert run_with_client(m, lambda c: c.get_extras("demo", "1.0", "")) == SORTED


def test_sorted_by_code_point(m, api, fixed_settings):
    names = ["b", "B", "a", "_x", "Z", "\u00e9", "10", "9"]
    api.primary.add_project("demo", {"1.0": {"requires_dist": [f"p; extra == '{n}'" for n in names]}})
    result = run_with_client(m, lambda c: c.get_extras("demo", "1.0", api.primary.simple_url))
    assert result == ["10", "9", "B", "Z", "_x", "a", "b", "\u00e9"]


def test_per_index_none_moves_on(m, api, fixed_settings, log):
    fixed_settings.settings = {"index_urls": [{"url": "u1", "primary": True}, {"url": "u2"}],
                               "use_secondary_urls": True}

    async def scenario(c):
        async def per_index(package_name, version, index_url):
            return None if index_url == "u1" else {"z", "a"}

        c._get_extras_from_index = per_index
        return await c.get_extras("demo", "1.0")

    assert run_with_client(m, scenario) == ["a", "z"]
