"""Load and hostile servers: thousands of queries through one client with
hundreds in flight, every answer checked; servers that drop the connection in
the body, send invalid JSON, send a 50 MB document, redirect in a loop, stall
or trickle: every query ends within its time-out with the documented result."""

from __future__ import annotations

import asyncio
import json
import os
import time
import types

import aiohttp
import pytest

from reliability_support import UNDER_ASAN, RemoteIndex, StallingServer

QUERIES = int(os.environ.get("LOAD_QUERIES", "10000"))
CONCURRENCY = int(os.environ.get("LOAD_CONCURRENCY", "500"))
PROJECTS = 40


def project_versions(i):
    return [f"{i}.{k}" for k in range(1 + i % 4)]


def requirement(i):
    return [f"dep{i}>={i}", f"extra{i}; extra == 'x{i}'"]


@pytest.fixture(scope="module")
def load_index():
    with RemoteIndex() as index:
        for i in range(PROJECTS):
            index.add_project(f"pkg{i}", {v: {"requires_dist": requirement(i), "summary": f"Project {i}"}
                                          for v in project_versions(i)})
        yield index


def expected_answer(kind, i, index_url):
    versions = project_versions(i)
    newest = sorted(versions, key=lambda v: int(v.split(".")[1]), reverse=True)
    if i >= PROJECTS:  # a package no index has
        return {"versions": [], "info": {"error": f"Package 'pkg{i}' not found in any configured index"},
                "repo": None, "deps": [], "extras": [], "exists": False}[kind]
    return {
        "versions": newest,
        "info": {"name": f"pkg{i}", "latest_version": newest[0], "summary": f"Project {i}"},
        "repo": index_url,
        "deps": [{"name": f"dep{i}", "version_spec": f">={i}", "extras": [], "markers": ""},
                 {"name": f"extra{i}", "version_spec": "", "extras": [], "markers": f"extra == 'x{i}'"}],
        "extras": [f"x{i}"],
        "exists": True,
    }[kind]


def query(client, kind, i, index_url):
    name = f"pkg{i}"
    version = project_versions(i)[0] if i < PROJECTS else "1.0"
    return {
        "versions": lambda: client.get_versions(name),
        "info": lambda: client.get_package_info(name),
        "repo": lambda: client.find_repo_for_package_version(name, version),
        "deps": lambda: client._get_dependencies_from_index(name, version, index_url),
        "extras": lambda: client.get_extras(name, version),
        "exists": lambda: client._package_exists_in_index(name, index_url),
    }[kind]()


@pytest.fixture
def patient_requests(m, monkeypatch):
    """With hundreds in flight a request spends most of its ten seconds waiting
    for a pooled connection; under the sanitizers, or beside other suites,
    every request costs several times as much and the time-out would decide
    the answers. The test is about the answers: give each request a minute."""
    patient = types.SimpleNamespace(**vars(aiohttp))
    patient.ClientTimeout = lambda total: aiohttp.ClientTimeout(total=total * 6)
    monkeypatch.setattr(m, "aiohttp", patient)


@pytest.mark.load
@pytest.mark.slow
def test_thousands_of_queries_through_one_client(m, log, fixed_settings, load_index, patient_requests):
    index_url = load_index.url + "/main/simple"
    fixed_settings.settings = {"index_urls": [{"url": index_url, "primary": True}], "use_secondary_urls": True}
    fixed_settings.api_list = [{"index_url": index_url, "api_pattern": load_index.json_api_pattern}]
    kinds = ["versions", "info", "repo", "deps", "extras", "exists"]
    plan = [(kinds[n % len(kinds)], (n * 7) % (PROJECTS + 5)) for n in range(QUERIES)]
    client = m.PackageIndexClient(None)
    stats = {"in flight": 0, "most in flight": 0, "answered": 0, "wrong": []}

    async def worker(queue):
        while queue:
            kind, i = queue.pop()
            if kind == "deps":
                client._metadata_cache.pop((f"pkg{i}", project_versions(i)[0]), None)  # ask the index each time
            stats["in flight"] += 1
            stats["most in flight"] = max(stats["most in flight"], stats["in flight"])
            try:
                answer = await query(client, kind, i, index_url)
            finally:
                stats["in flight"] -= 1
            stats["answered"] += 1
            if answer != expected_answer(kind, i, index_url):
                stats["wrong"].append((kind, i, answer))

    async def main():
        queue = list(reversed(plan))
        started = time.monotonic()
        try:
            await asyncio.gather(*(worker(queue) for _ in range(CONCURRENCY)))
            elapsed = time.monotonic() - started
            connector = client._session.connector
            assert not connector._acquired
            return elapsed
        finally:
            await client.close()

    elapsed = asyncio.run(main())
    assert stats["wrong"] == []
    assert stats["answered"] == QUERIES
    assert stats["most in flight"] == min(CONCURRENCY, QUERIES)
    assert not log.messages("error")
    print(f"\n{QUERIES} queries, {stats['most in flight']} in flight, {elapsed:.1f} s "
          f"({QUERIES / elapsed:.0f} per second)")


# -- hostile servers -----------------------------------------------------------------

BIG = 50 * 2**20


def big_document():
    doc = {"info": {"name": "demo", "version": "3.0", "summary": "big", "requires_dist": ["a; extra == 'x'"]},
           "releases": {"1.0": [], "3.0": [], "2.0": []}, "padding": ""}
    text = json.dumps(doc)
    return text.replace('"padding": ""', '"padding": "' + "x" * (BIG - len(text)) + '"').encode()


OPS = [
    ("_get_versions_from_index", ("demo",)),
    ("_get_extras_from_index", ("demo", "1.0")),
    ("_get_dependencies_from_index", ("demo", "1.0")),
    ("_get_package_info_from_index", ("demo",)),
    ("_package_exists_in_index", ("demo",)),
    ("_package_version_exists_in_index", ("demo", "1.0")),
]


def failed(op, index, prefix_of_e):
    """The documented result and log line of a request that failed with an
    exception (not a time-out)."""
    if op in ("_package_exists_in_index", "_package_version_exists_in_index"):
        version = "==1.0" if op == "_package_version_exists_in_index" else ""
        return False, ("debug", f"API check failed for demo{version} at {index}: {prefix_of_e}")
    empty = {"_get_versions_from_index": [], "_get_extras_from_index": set(),
             "_get_dependencies_from_index": [], "_get_package_info_from_index": "error record"}[op]
    return empty, ("error", f"Failed to query {index} for demo: {prefix_of_e}")


def timed_out(op, index):
    if op in ("_package_exists_in_index", "_package_version_exists_in_index"):
        version = "==1.0" if op == "_package_version_exists_in_index" else ""
        return False, ("debug", f"API check failed for demo{version} at {index}: ")
    empty = {"_get_versions_from_index": [], "_get_extras_from_index": set(),
             "_get_dependencies_from_index": [], "_get_package_info_from_index": {"error": "Request timed out"}}[op]
    return empty, ("error", f"Timeout querying {index} for demo")


def answered(op):
    return {"_get_versions_from_index": ["3.0", "2.0", "1.0"], "_get_extras_from_index": {"x"},
            "_get_dependencies_from_index": [{"name": "a", "version_spec": "", "extras": [],
                                              "markers": "extra == 'x'"}],
            "_get_package_info_from_index": {"name": "demo", "latest_version": "3.0", "summary": "big"},
            "_package_exists_in_index": True, "_package_version_exists_in_index": True}[op]


def status_decides(op):
    return op in ("_package_exists_in_index", "_package_version_exists_in_index")


def check_hostile(m, fixed, log, base, setup, expect, limit, copies=1):
    """Runs every operation `copies` times at once against the hostile index."""
    index = base + "/hostile/simple"
    fixed.api_list = [{"index_url": index, "api_pattern": base + "/pypi/{package_name}/{version}/json"}]
    setup()
    client = m.PackageIndexClient(None)

    async def timed(op, args):
        started = time.monotonic()
        result = await getattr(client, op)(*args, index)
        return result, time.monotonic() - started

    async def main():
        try:
            return await asyncio.gather(*(timed(op, args) for op, args in OPS for _ in range(copies)))
        finally:
            await client.close()

    outcomes = asyncio.run(main())
    for (op, _), (result, seconds) in zip([o for o in OPS for _ in range(copies)], outcomes):
        assert seconds < limit, (op, seconds)
        wanted, line = expect(op, index)
        if wanted == "error record":
            assert type(result) is dict and list(result) == ["error"] and result["error"], (op, result)
        elif wanted == "either":
            assert result in (True, False), (op, result)
        else:
            assert result == wanted, (op, result)
        if line is not None:
            level, start = line
            assert [msg for lv, msg in log.records if lv == level and msg.startswith(start)], (op, log.records)
    return log.records


REAL_LIMIT = 10.0  # the module's own time-out; these servers must not need it


def test_connection_dropped_mid_body(m, fixed_settings, log, srv):
    def expect(op, index):
        if status_decides(op):
            return "either", None  # the status said yes, unless leaving the request noticed the drop
        return failed(op, index, "Response payload is not completed")
    check_hostile(m, fixed_settings, log, srv.url,
                  lambda: srv.close_mid_body("/pypi/demo/*", b'{"releases": {"1.0": [], "2.0": []}, "info": {}}'),
                  expect, REAL_LIMIT, copies=5)


def test_invalid_json(m, fixed_settings, log, srv):
    def expect(op, index):
        if status_decides(op):
            return True, None  # the body is not read
        return failed(op, index, "Expecting property name enclosed in double quotes")
    check_hostile(m, fixed_settings, log, srv.url,
                  lambda: srv.set_response("/pypi/demo/*", "{not: json", content_type="application/json"),
                  expect, REAL_LIMIT, copies=5)


@pytest.mark.slow
def test_fifty_megabyte_document(m, fixed_settings, log, srv):
    body = big_document()
    assert len(body) == BIG
    check_hostile(m, fixed_settings, log, srv.url,
                  lambda: srv.set_response("/pypi/demo/*", body, content_type="application/json"),
                  lambda op, index: (answered(op), None), REAL_LIMIT)


def test_redirect_loop(m, fixed_settings, log, srv):
    check_hostile(m, fixed_settings, log, srv.url, lambda: srv.redirect_loop("/pypi/demo/*"),
                  lambda op, index: failed(op, index, ""), REAL_LIMIT, copies=5)
    assert srv.hits() == 10 * len(OPS) * 5  # aiohttp gives up after ten answers of a redirect chain


@pytest.fixture
def short(m, monkeypatch):
    """A time-out short enough to wait out, long enough for a good answer among
    a hundred requests at once under the sanitizers or beside other suites."""
    limit = 3.0 if UNDER_ASAN else 1.0
    real = aiohttp
    monkeypatch.setattr(m, "aiohttp", types.SimpleNamespace(
        ClientTimeout=lambda total: real.ClientTimeout(total=limit if total == 10 else total),
        ClientSession=real.ClientSession))
    return limit


def asked_at_once(client, calls):
    """Results of *calls* (operation, arguments, index) asked of *client* at
    once, and the seconds they took; closes the client."""

    async def main():
        try:
            started = time.monotonic()
            results = await asyncio.gather(*(getattr(client, op)(*args, url) for op, args, url in calls))
            return results, time.monotonic() - started
        finally:
            await client.close()

    return asyncio.run(main())


def good_answers_take(m, srv, calls):
    """Seconds that *calls* (operation, arguments, index) take at once when
    every index answers: the baseline of this run for the bounds below, which
    give a time-out room to fire and its query room to end."""
    srv.add_project("demo", {"1.0": {"requires_dist": ["a; extra == 'x'"], "summary": "big"},
                             "2.0": {"summary": "big"}, "3.0": {"summary": "big"}})
    results, seconds = asked_at_once(m.PackageIndexClient(None), calls)
    assert [r for (op, _, _), r in zip(calls, results) if r != answered(op)] == []
    return seconds


@pytest.mark.parametrize("stage", ["connect", "headers", "body"])
def test_stalling_server_times_out(m, fixed_settings, log, srv, short, stage):
    def expect(op, index):
        if stage == "body" and status_decides(op):
            return True, None  # the headers said 200; the body is not read
        return timed_out(op, index)

    good = srv.url + "/good/simple"
    fixed_settings.api_list = [{"index_url": good, "api_pattern": srv.json_api_pattern}]
    baseline = good_answers_take(m, srv, [(op, args, good) for op, args in OPS for _ in range(5)])
    log.clear()
    with StallingServer(stage) as stall:
        # A stall never ends: any bound catches a time-out not applied; this
        # one leaves room for two other suites on the same two cores.
        records = check_hostile(m, fixed_settings, log, stall.url, lambda: None, expect,
                                short * 3 + 4 * baseline, copies=5)
    assert len(records) == (4 if stage == "body" else 6) * 5


def test_hang_and_trickle_among_good_answers(m, fixed_settings, log, srv, short):
    """Hostile and good indexes asked at once: the good answers come back right
    while the others time out."""
    srv.add_project("demo", {"1.0": {"requires_dist": ["a; extra == 'x'"], "summary": "big"},
                             "2.0": {"summary": "big"}, "3.0": {"summary": "big"}})
    good, bad = srv.url + "/good/simple", srv.url + "/bad/simple"
    fixed_settings.api_list = [{"index_url": good, "api_pattern": srv.json_api_pattern},
                               {"index_url": bad, "api_pattern": srv.url + "/hang/{package_name}/{version}"}]
    srv.hang("/hang/*")
    calls = [(op, args, url) for op, args in OPS for url in (good, bad) for _ in range(10)]
    baseline = good_answers_take(m, srv, [call for call in calls if call[2] == good] * 2)
    results, seconds = asked_at_once(m.PackageIndexClient(None), calls)
    assert seconds < short * 2 + 4 * baseline
    for (op, _, url), result in zip(calls, results):
        if url == good:
            assert result == answered(op), (op, result)
        else:
            assert result == timed_out(op, bad)[0], (op, result)
