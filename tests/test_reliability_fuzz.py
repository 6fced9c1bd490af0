"""Property-based fuzzing: arbitrary text into the parser, the normalisers and
the pattern lookup; arbitrary JSON documents served over HTTP to every
single-index operation; arbitrary shapes of settings and API lists through the
walks. The outcome is always a result or one of the exceptions the operation
lets through, and where the rule is plain it is compared with a reference.

The number of examples comes from the Hypothesis profile: HYPOTHESIS_PROFILE=long
runs 100,000 per property (see conftest.py).
"""

from __future__ import annotations

import asyncio
import copy
import json
import re

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from packaging.version import Version

import quorvel_master.business_layer.packages.package_index_client as pic
from reliability_support import free_port_url

# -- text of every kind ------------------------------------------------------------

SPECIALS = list("[];,()@ \t\n\r\x00\x1c\x85\u2028\u3000=<>!~'\"/\\.-_aZ9{}:")
alphabet = st.one_of(st.characters(), st.characters(categories=["Cs"]), st.sampled_from(SPECIALS))
short_text = st.text(alphabet, max_size=40)
long_text = st.builds(lambda piece, n: piece * n, st.text(alphabet, min_size=1, max_size=8),
                      st.integers(1000, 20000))
any_text = st.one_of(short_text, short_text, long_text)


class Quiet:
    """Logger stand-in: keeps the lines of the current example."""

    def __init__(self):
        self.lines = []

    def _line(level):
        def method(self, message):
            assert type(message) is str
            self.lines.append((level, message))
        return method

    debug, info, warning, error = _line("debug"), _line("info"), _line("warning"), _line("error")


@pytest.fixture(scope="module")
def client():
    return pic.PackageIndexClient(object())


class patched:
    """Sets module globals for one example (Hypothesis runs many per test, so
    the function-scoped monkeypatch does not fit)."""

    def __init__(self, **values):
        self.values = values

    def __enter__(self):
        self.saved = {k: getattr(pic, k) for k in self.values}
        for k, v in self.values.items():
            setattr(pic, k, v)
        return self

    def __exit__(self, *exc):
        for k, v in self.saved.items():
            setattr(pic, k, v)


# -- the parser -----------------------------------------------------------------------

def parse_reference(req):
    head, sep, tail = req.partition(";")
    match = re.match(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)", head.strip())
    if not match:
        return None
    extras = match.group(2) or ""
    return {
        "name": match.group(1),
        "version_spec": match.group(3).strip(),
        "extras": [e.strip() for e in extras.strip("[]").split(",")] if extras else [],
        "markers": tail.strip() if sep else "",
    }


@given(any_text)
def test_parser_matches_reference(client, req):
    log = Quiet()
    with patched(logger=log):
        result = client._parse_requirement(req)
    expected = parse_reference(req)
    assert result == expected
    if expected is None:
        assert log.lines == [("warning", f"Could not parse requirement: {req}")]
    else:
        assert log.lines == [] and type(result) is dict


# -- the normalisers -------------------------------------------------------------

@given(any_text)
def test_normalize_url_matches_reference(client, url):
    result = client._normalize_url(url)
    assert type(result) is str and result == url.rstrip("/\\")


@given(any_text)
def test_normalize_name_matches_reference(client, name):
    result = client._normalize_name(name)
    assert type(result) is str and result == re.sub(r"[-_.]+", "-", name.lower())


# -- the pattern lookup over API lists of any shape -----------------------------------

json_scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), short_text)
json_values = st.recursive(json_scalars, lambda inner: st.one_of(st.lists(inner, max_size=4),
                                                                  st.dictionaries(short_text, inner, max_size=4)),
                           max_leaves=12)
URLS = ["http://127.0.0.1:1/a", "http://127.0.0.1:1/a/", "http://127.0.0.1:1/a\\", "http://127.0.0.1:1/A", "", "/"]
url_like = st.one_of(st.sampled_from(URLS), short_text)
api_entries = st.one_of(
    st.fixed_dictionaries({}, optional={"index_url": st.one_of(url_like, json_values),
                                        "api_pattern": st.one_of(short_text, json_values)}),
    json_values,
)
api_lists = st.one_of(st.lists(api_entries, max_size=6), st.none(), json_values,
                      st.lists(api_entries, max_size=3).map(tuple))


class ListSubclass(list):
    pass


def outcome(fn, *args):
    try:
        return "result", fn(*args)
    except Exception as e:  # noqa: BLE001 - compared with the reference
        return "raised", type(e)


def lookup_reference(api_list, index_url):
    if api_list is not None and type(api_list) is not list:
        raise TypeError("return-type rule")
    wanted = index_url.rstrip("/\\")
    for entry in api_list:
        value = entry.get("index_url", "")
        if type(value) is not str:
            raise TypeError("exact-type rule")
        if value.rstrip("/\\") == wanted:
            pattern = entry.get("api_pattern")
            if pattern is not None and type(pattern) is not str:
                raise TypeError("return-type rule")
            return pattern
    return None


@given(st.one_of(api_lists, api_lists.map(lambda x: ListSubclass(x) if type(x) is list else x)), url_like)
def test_pattern_lookup_matches_reference(client, api_list, index_url):
    with patched(get_pip_api_list=lambda manager: api_list):
        got = outcome(client._get_api_pattern_for_index, index_url)
    assert got == outcome(lookup_reference, api_list, index_url)


# -- JSON documents of any shape over HTTP ----------------------------------------------

VERSIONISH = st.one_of(st.sampled_from(["1.0", "1.0.0", "2.0rc1", "2!1.0", "1.0.post1", "01.0", "latest", ""]),
                       st.from_regex(r"\A[0-9]{1,3}(\.[0-9]{1,3}){0,3}(rc[0-9])?\Z"), short_text)
REQUIREMENTISH = st.one_of(
    st.sampled_from(["a", "b>=1; extra == 'x'", 'c; extra == "y" or extra == "z"', "d[e,f] (>=2)",
                     "e; extra=='no'", "@bad", "", "g; extra ==  'Dev'"]),
    st.builds(lambda n, e: f"{n}; extra == '{e}'", st.from_regex(r"\A[a-z]{1,5}\Z"), short_text),
    short_text, json_values,
)
well_formed_documents = st.fixed_dictionaries({
    "info": st.fixed_dictionaries({"name": short_text, "version": VERSIONISH, "summary": short_text,
                                   "requires_dist": st.one_of(st.none(), st.lists(REQUIREMENTISH, max_size=6))}),
    "releases": st.dictionaries(VERSIONISH, st.just([]), max_size=8),
})
documents = st.one_of(
    json_values,
    well_formed_documents,
    well_formed_documents,
    st.fixed_dictionaries({}, optional={
        "releases": st.one_of(st.dictionaries(VERSIONISH, json_values, max_size=8), json_values),
        "info": st.one_of(
            st.fixed_dictionaries({}, optional={
                "name": json_values, "version": json_values, "summary": json_values,
                "requires_dist": st.one_of(st.lists(REQUIREMENTISH, max_size=6), json_values),
            }),
            json_values),
    }),
)


def versions_reference(doc):
    try:
        keys = list(doc.get("releases", {}).keys())
    except Exception:  # noqa: BLE001
        return []
    pairs = []
    for key in keys:
        try:
            pairs.append((Version(key), key))
        except Exception:  # noqa: BLE001
            pass
    pairs.sort(key=lambda p: p[0], reverse=True)
    return [key for _, key in pairs]


EXTRA = re.compile(r"extra\s*==\s*['\"]([^'\"]+)['\"]")


def extras_reference(doc):
    try:
        requires = doc.get("info", {}).get("requires_dist", [])
        found = set()
        if requires:
            for req in requires:
                if "extra ==" in req:
                    match = EXTRA.search(req)
                    if match:
                        found.add(match.group(1))
        return found
    except Exception:  # noqa: BLE001
        return set()


def dependencies_reference(doc):
    requires = doc.get("info", {}).get("requires_dist", [])
    if not requires:
        return []
    records = []
    for req in requires:
        if type(req) is not str:
            raise TypeError("exact-type rule")
        record = parse_reference(req)
        if record:
            records.append(record)
    return records


def info_reference(doc, name):
    try:
        info = doc.get("info", {})
        return {"name": info.get("name", name), "latest_version": info.get("version", ""),
                "summary": info.get("summary", "")}
    except Exception as e:  # noqa: BLE001
        return {"error": str(e)}


@pytest.fixture(scope="module")
def served(index_servers):
    """One server, one loop and one client for all the examples of a test."""
    server = index_servers[2]
    server.clear_hooks()
    loop = asyncio.new_event_loop()
    client = pic.PackageIndexClient(object())
    index = server.url + "/fuzz/simple"
    api = [{"index_url": index, "api_pattern": server.json_api_pattern}]
    yield server, loop, client, index, api
    loop.run_until_complete(client.close())
    loop.close()
    server.clear_hooks()


def ask(served, method, *args):
    server, loop, client, index, api = served
    client._metadata_cache.clear()
    log = Quiet()
    with patched(logger=log, get_pip_api_list=lambda manager: copy.deepcopy(api)):
        try:
            return "result", loop.run_until_complete(getattr(client, method)(*args, index)), log.lines
        except Exception as e:  # noqa: BLE001 - compared with the reference
            return "raised", type(e), log.lines


HTTP = settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@HTTP
@given(documents)
def test_any_document_to_every_single_index_operation(served, doc):
    server = served[0]
    server.clear_hooks()
    body = json.dumps(doc)  # any JSON value, scalars included
    server.set_response("/pypi/demo/json", body, content_type="application/json")
    server.set_response("/pypi/demo/1.0/json", body, content_type="application/json")

    kind, versions, lines = ask(served, "_get_versions_from_index", "demo")
    assert (kind, versions) == ("result", versions_reference(doc)) and type(versions) is list
    assert len(lines) == 1

    kind, extras, lines = ask(served, "_get_extras_from_index", "demo", "1.0")
    assert (kind, extras) == ("result", extras_reference(doc)) and type(extras) is set

    kind, deps, _ = ask(served, "_get_dependencies_from_index", "demo", "1.0")
    try:
        expected = ("result", dependencies_reference(doc))
    except Exception as e:  # noqa: BLE001 - the document reading lets its errors through
        expected = ("raised", type(e))
    assert (kind, deps) == expected
    event(f"versions found: {bool(versions)}; extras found: {bool(extras)}")
    event(f"dependencies: {kind} {deps.__name__ if kind == 'raised' else bool(deps)}")

    kind, info, lines = ask(served, "_get_package_info_from_index", "demo")
    assert (kind, info) == ("result", info_reference(doc, "demo")) and type(info) is dict
    event(f"package info: {'error record' if 'error' in info else 'description'}")

    assert ask(served, "_package_exists_in_index", "demo")[:2] == ("result", True)
    assert ask(served, "_package_version_exists_in_index", "demo", "1.0")[:2] == ("result", True)


@HTTP
@given(st.binary(max_size=200), st.sampled_from(["application/json", "text/plain", "application/octet-stream"]))
def test_any_body_bytes(served, body, content_type):
    server = served[0]
    server.clear_hooks()
    server.set_response("/pypi/demo/json", body, content_type=content_type)
    kind, versions, lines = ask(served, "_get_versions_from_index", "demo")
    assert kind == "result" and type(versions) is list
    kind, info, _ = ask(served, "_get_package_info_from_index", "demo")
    assert kind == "result" and type(info) is dict


@HTTP
@given(any_text.filter(lambda t: len(t) < 5000), short_text)
def test_any_name_and_version_into_every_single_index_operation(served, name, version):
    served[0].clear_hooks()
    for method, args, kind in [
        ("_get_versions_from_index", (name,), list),
        ("_get_extras_from_index", (name, version), set),
        ("_get_dependencies_from_index", (name, version), list),
        ("_get_package_info_from_index", (name,), dict),
        ("_package_exists_in_index", (name,), bool),
        ("_package_version_exists_in_index", (name, version), bool),
    ]:
        got = ask(served, method, *args)
        assert got[0] == "result" and type(got[1]) is kind, (method, got)


# -- finder answers of any shape -------------------------------------------------------

class Candidate:
    def __init__(self, version):
        self.version = version


def finder_with(candidates):
    class Finder:
        def __init__(self, *, index_urls):
            pass

        def find_all_packages(self, name):
            return iter(candidates)

    return Finder


@given(st.lists(st.one_of(VERSIONISH, json_scalars), max_size=12))
def test_finder_versions_of_any_shape(client, versions):
    with patched(PackageFinder=finder_with([Candidate(v) for v in versions]), logger=Quiet()):
        result = client._get_versions_via_unearth("demo", "http://127.0.0.1:1/simple")
    texts = {str(v) for v in versions}
    pairs = []
    for text in texts:
        try:
            pairs.append((Version(text), text))
        except Exception:  # noqa: BLE001
            pass
    assert type(result) is list and set(result) == {t for _, t in pairs}
    assert [Version(t) for t in result] == sorted((v for v, _ in pairs), reverse=True)


# -- settings of any shape through the walks ---------------------------------------------

@pytest.fixture(scope="module")
def walk_indexes(index_servers):
    server = index_servers[2]
    refused = free_port_url()
    ok = server.url + "/ok/simple"
    api = [{"index_url": ok, "api_pattern": server.json_api_pattern},
           {"index_url": refused, "api_pattern": refused + "/{package_name}/{version}"},
           {"index_url": server.url + "/nf/simple", "api_pattern": server.url + "/nf/{package_name}/{version}"}]
    return server, [ok, ok + "/", refused, server.url + "/nf/simple", server.url + "/nopattern"], api


def settings_strategy(urls):
    url_values = st.one_of(st.sampled_from(urls), st.none(), st.integers(), short_text)
    entry = st.one_of(
        st.fixed_dictionaries({}, optional={"url": url_values, "primary": json_values}),
        json_values,
    )
    well_formed = st.fixed_dictionaries({
        "index_urls": st.lists(st.fixed_dictionaries({"url": st.sampled_from(urls)},
                                                     optional={"primary": st.booleans()}), max_size=4),
        "use_secondary_urls": st.booleans(),
    })
    return st.one_of(
        well_formed,
        well_formed,
        st.fixed_dictionaries({}, optional={
            "index_urls": st.one_of(st.lists(entry, max_size=4), json_values),
            "use_secondary_urls": json_values,
        }),
        json_values,
    )


def split_reference(settings):
    """The walk's own reading of the settings, up to the first request."""
    if settings is not None and type(settings) is not dict:
        raise TypeError("return-type rule")
    primary, secondaries = None, []
    for entry in settings["index_urls"]:
        if entry.get("primary", False):
            primary = entry["url"]
        else:
            secondaries.append(entry["url"])
    return primary, secondaries


def walk_api_lists(api):
    """API lists of any shape whose patterns can only reach this machine's
    servers (a text pattern without a scheme is refused by the HTTP client)."""
    patterns = st.one_of(st.sampled_from([e["api_pattern"] for e in api]), st.none(), json_scalars,
                         short_text.filter(lambda t: ":" not in t and "//" not in t))
    entry = st.one_of(
        st.fixed_dictionaries({}, optional={"index_url": st.one_of(st.sampled_from([e["index_url"] for e in api]),
                                                                   url_like, json_scalars),
                                            "api_pattern": patterns}),
        json_scalars, st.lists(json_scalars, max_size=2),
    )
    return st.one_of(st.lists(entry, max_size=5), st.none(), json_scalars, st.lists(entry, max_size=3).map(tuple))


class NothingFinder:
    def __init__(self, *, index_urls):
        pass

    def find_all_packages(self, name):
        return iter(())

    def find_best_match(self, requirement):
        return None


WALKS = [("get_versions", ("demo",), (list,)), ("get_extras", ("demo", "1.0"), (list,)),
         ("get_dependencies", ("demo", "1.0"), (list,)), ("get_package_info", ("demo",), (dict,)),
         ("find_repo_for_package", ("demo",), (str, type(None))),
         ("find_repo_for_package_version", ("demo", "1.0"), (str, type(None)))]


@HTTP
@given(data=st.data())
def test_any_settings_through_every_walk(served, walk_indexes, data):
    server, urls, api = walk_indexes
    server.clear_hooks()
    server.set_response("/pypi/demo/json", {"info": {"name": "demo", "version": "1.0",
                                                     "requires_dist": ["a; extra == 'x'"]},
                                            "releases": {"1.0": []}})
    server.set_response("/pypi/demo/1.0/json", {"info": {"requires_dist": ["a; extra == 'x'"]}})
    settings_value = data.draw(settings_strategy(urls), label="settings")
    api_list = data.draw(st.one_of(st.just(api), walk_api_lists(api)), label="api list")
    loop, client = served[1], served[2]
    try:
        split_reference(copy.deepcopy(settings_value))
        split_error = None
    except Exception as e:  # noqa: BLE001
        split_error = type(e)
    for method, args, kinds in WALKS:
        client._metadata_cache.clear()
        with patched(get_pip_settings=lambda m: copy.deepcopy(settings_value),
                     get_pip_api_list=lambda m: copy.deepcopy(api_list),
                     PackageFinder=NothingFinder, logger=Quiet()):
            try:
                result = loop.run_until_complete(getattr(client, method)(*args))
            except (TypeError, KeyError, AttributeError) as e:
                if split_error is not None:
                    assert type(e) is split_error, (method, e)
                event(f"walk raised {type(e).__name__}")
                continue
        assert split_error is None, (method, split_error, result)
        if method == "find_repo_for_package":
            event(f"walk answered: {result is not None}")
        assert type(result) in kinds, (method, result)
        if type(result) is str:
            assert result in urls[:2], (method, result)  # only the index that answers
