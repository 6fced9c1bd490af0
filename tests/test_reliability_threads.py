"""The blocking methods called from eight threads at once: the real finder
against a local index, and the plain methods, every answer checked."""

from __future__ import annotations

import gc
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from reliability_support import RemoteIndex

THREADS = 8
ROUNDS = 4

RECORDS = [{"name": "a", "version_spec": ">=1", "extras": [], "markers": ""},
           {"name": "b", "version_spec": "", "extras": [], "markers": "extra == 'x'"}]


@pytest.fixture(scope="module")
def index():
    with RemoteIndex() as server:
        server.add_project("demo", {"1.0": {"requires_dist": ["a>=1", "b; extra == 'x'"]}, "2.0rc1": {},
                                    "2.0": {}, "0.9": {"files": ["wheel", "sdist"]}})
        server.add_project("other", {"3.0": {"requires_dist": ["c"]}})
        yield server


def in_threads(work):
    """Runs work(thread number) in THREADS threads released together; returns
    their results in thread order."""
    barrier = threading.Barrier(THREADS)

    def start(n):
        barrier.wait(10)
        return work(n)

    with ThreadPoolExecutor(THREADS) as pool:
        return list(pool.map(start, range(THREADS)))


def test_finder_methods_from_eight_threads(m, log, index, quiet_unearth):
    from unearth.fetchers.sync import PyPIClient

    client = m.PackageIndexClient(None)
    url = index.simple_url
    calls = [
        (lambda: client._get_versions_via_unearth("demo", url), ["2.0", "2.0rc1", "1.0", "0.9"]),
        (lambda: client._get_versions_via_unearth("other", url), ["3.0"]),
        (lambda: client._get_versions_via_unearth("absent", url), []),
        (lambda: client._package_version_exists_via_unearth("demo", "1.0", url), True),
        (lambda: client._package_version_exists_via_unearth("demo", "5.0", url), False),
        (lambda: client._get_extras_via_unearth("demo", "1.0", url), {"x"}),
        (lambda: client._get_dependencies_via_unearth("demo", "1.0", url), RECORDS),
        (lambda: client._get_dependencies_via_unearth("other", "3.0", url),
         [{"name": "c", "version_spec": "", "extras": [], "markers": ""}]),
    ]

    def work(n):
        wrong = []
        for r in range(ROUNDS):
            for k in range(len(calls)):
                call, expected = calls[(n + k + r) % len(calls)]  # threads ask different things at once
                answer = call()
                if answer != expected:
                    wrong.append((answer, expected))
        return wrong

    assert in_threads(work) == [[]] * THREADS
    assert log.messages("error") == []
    gc.collect()
    assert not [o for o in gc.get_objects() if isinstance(o, PyPIClient)]  # every finder session released


def test_plain_methods_from_eight_threads(m, fixed_settings):
    fixed_settings.api_list = [{"index_url": f"http://127.0.0.1:1/{i}", "api_pattern": f"P{i}"} for i in range(50)]
    client = m.PackageIndexClient(None)
    client._get_current_distributions()  # the table is built by one thread, then read by all

    def work(n):
        wrong = []
        for i in range(300):
            k = (n * 37 + i) % 50
            checks = [
                (client._parse_requirement(f"Pkg_{k}[e{k}, f] >={k}; os_name == 'x{n}'"),
                 {"name": f"Pkg_{k}", "version_spec": f">={k}", "extras": [f"e{k}", "f"],
                  "markers": f"os_name == 'x{n}'"}),
                (client._normalize_name(f"A__b.{k}-C"), f"a-b-{k}-c"),
                (client._normalize_url(f"http://h/{k}/\\/"), f"http://h/{k}"),
                (client._get_api_pattern_for_index(f"http://127.0.0.1:1/{k}/"), f"P{k}"),
                (client.check_specifier_in_dist("Packaging", ">=20"), client.check_specifier_in_dist("packaging", "")),
            ]
            wrong += [(got, want) for got, want in checks if got != want]
        return wrong

    assert in_threads(work) == [[]] * THREADS
