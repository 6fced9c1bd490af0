"""The network layer on both of the client's roads, against real servers on
127.0.0.1: the cache, retries, proxies, certificates, netrc, shared finder
clients and the outcomes a host reads."""

from __future__ import annotations

import asyncio
import email.utils
import getpass
import time

import pytest

from network_support import ForwardProxy, Origin, Route, settings_for, tls_server_context
from quorvel_master.network import Network, NetworkClosed

trustme = pytest.importorskip("trustme")

ROADS = ["json", "finder"]


@pytest.fixture(autouse=True)
def restore_finder(m, monkeypatch):
    """Every layer installs its finder factory in the module; put the real one back."""
    monkeypatch.setattr(m, "PackageFinder", m.PackageFinder)


@pytest.fixture
def origin():
    with Origin() as server:
        yield server


@pytest.fixture(scope="module")
def ca():
    return trustme.CA()


@pytest.fixture
def ca_file(ca, tmp_path):
    path = tmp_path / "ca.pem"
    ca.cert_pem.write_to_path(str(path))
    return str(path)


class Configured:
    """An index by its URL alone, for ``ask``."""

    def __init__(self, base):
        self.base = base

    def settings(self, api):
        return settings_for(self.base + "/simple", self.base + "/pypi/{package_name}/{version}/json" if api else None)


def page_path(road, name="demo"):
    return f"/pypi/{name}/json" if road == "json" else f"/simple/{name}/"


async def ask(network, server, road, name="demo", *, times=1, close=True):
    client = network.client(server.settings(api=road == "json"))
    try:
        return [await client.get_versions(name) for _ in range(times)]
    finally:
        if close:
            await client.close()


def run(coro):
    return asyncio.run(coro)


# -- the cache ------------------------------------------------------------------------


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("validator", [
    {"ETag": '"v1"'},
    {"Last-Modified": "Wed, 21 Oct 2026 07:28:00 GMT"},
])
def test_revalidation_answers_304_with_the_stored_body(origin, road, validator):
    origin.project("demo", ["1.0", "2.0"], **validator)
    network = Network(retries=0)
    assert run(ask(network, origin, road, times=2)) == [["2.0", "1.0"]] * 2
    first, second = [s for s in origin.seen if s.path == page_path(road)]
    assert first.status == 200 and second.status == 304
    assert first.headers.get("Cache-Control") == "max-age=0"
    (name, value), = validator.items()
    conditional = {"ETag": "If-None-Match", "Last-Modified": "If-Modified-Since"}[name]
    assert second.headers.get(conditional) == value
    assert [o.from_cache for o in network.outcomes.all()] == [False, True]


@pytest.mark.parametrize("road", ROADS)
def test_new_release_shows_at_once(origin, road):
    origin.project("demo", ["1.0"], ETag='"a"', Cache_Control="max-age=600")
    network = Network(retries=0)

    async def go():
        client = network.client(origin.settings(api=road == "json"))
        try:
            before = await client.get_versions("demo")
            origin.project("demo", ["1.0", "1.1"], ETag='"b"', Cache_Control="max-age=600")
            return before, await client.get_versions("demo")
        finally:
            await client.close()

    assert run(go()) == (["1.0"], ["1.1", "1.0"])


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("cache_control, requests", [
    ("max-age=600", 1),            # fresh: no second request
    ("max-age=0", 2),
    ("no-cache", 2),
    ("no-store", 2),
])
def test_freshness_when_documents_are_not_forced_to_revalidate(origin, road, cache_control, requests):
    origin.project("demo", ["1.0"], Cache_Control=cache_control)
    network = Network(retries=0, revalidate_documents=False)
    assert run(ask(network, origin, road, times=2)) == [["1.0"]] * 2
    assert origin.paths().count(page_path(road)) == requests
    assert all("If-None-Match" not in s.headers for s in origin.seen)


@pytest.mark.parametrize("road", ROADS)
def test_no_store_is_never_kept_nor_revalidated(origin, road):
    origin.project("demo", ["1.0"], ETag='"x"', Cache_Control="no-store")
    network = Network(retries=0)
    run(ask(network, origin, road, times=2))
    assert [s.status for s in origin.seen] == [200, 200]
    assert all("If-None-Match" not in s.headers for s in origin.seen)


@pytest.mark.parametrize("road", ROADS)
def test_vary_keeps_one_answer_per_header_value(origin, road):
    origin.routes["/doc"] = Route(
        body_for=lambda request: request.headers.get("Accept-Language", "-").encode(),
        headers={"Vary": "Accept-Language", "Cache-Control": "max-age=600"},
    )
    network = Network(retries=0, revalidate_documents=False)
    url = origin.url + "/doc"

    async def via_json(language):
        async with network.session().get(url, headers={"Accept-Language": language}) as response:
            return await response.read()

    async def via_finder(language):
        client = network.finder_clients.client(origin.url)
        return await asyncio.to_thread(lambda: client.get(url, headers={"Accept-Language": language}).content)

    async def go():
        fetch = via_json if road == "json" else via_finder
        try:
            return [await fetch(lang) for lang in ("de", "fr", "de", "fr")]
        finally:
            await network.close()

    assert run(go()) == [b"de", b"fr", b"de", b"fr"]
    assert len(origin.seen) == 2


def test_each_identity_has_its_own_entries(origin):
    """The key carries who asked: the same credentials share entries, by
    whichever way they are given (and the fragment is no part of the key);
    other credentials, or none, do not."""
    from quorvel_master.network.urls import basic_auth

    origin.routes["/doc"] = Route(b"x", headers={"Cache-Control": "max-age=600"})
    network = Network(retries=0, revalidate_documents=False)
    host = origin.url.partition("://")[2]
    asked = [
        (f"http://alice:one@{host}/doc", {}),
        (f"http://{host}/doc#part", {"Authorization": basic_auth("alice", "one")}),
        (f"http://alice:two@{host}/doc", {}),
        (f"http://{host}/doc", {}),
        (f"http://{host}/doc", {}),
    ]

    async def go():
        try:
            for url, headers in asked:
                async with network.session().get(url, headers=headers) as response:
                    assert await response.read() == b"x"
        finally:
            await network.close()

    run(go())
    assert [s.headers.get("Authorization") for s in origin.seen] == [
        basic_auth("alice", "one"), basic_auth("alice", "two"), None]
    assert [o.from_cache for o in network.outcomes.all()] == [False, True, False, False, True]
    assert all("alice" not in o.url and "one" not in o.url for o in network.outcomes.all())


@pytest.mark.parametrize("road", ROADS)
def test_offline_answers_stale_entries_and_misses_without_network(origin, road, tmp_path):
    origin.project("demo", ["1.0"], ETag='"v"', Cache_Control="max-age=0")
    run(ask(Network(retries=0, cache_dir=tmp_path), origin, road))
    requests = len(origin.seen)
    offline = Network(cache_dir=tmp_path, mode="offline")
    assert run(ask(offline, origin, road)) == [["1.0"]]
    assert run(ask(offline, origin, road, "other")) == [[]]
    assert len(origin.seen) == requests
    kinds = [(o.kind, o.url.rpartition(":")[2].partition("/")[2]) for o in offline.outcomes.all()]
    assert ("ok", page_path(road).lstrip("/")) in kinds
    assert ("offline-miss", page_path(road, "other").lstrip("/")) in kinds
    miss = [o for o in offline.outcomes.all() if o.kind == "offline-miss"]
    assert miss[0].failed and miss[0].index == origin.url + "/simple"


@pytest.mark.parametrize("road", ROADS)
def test_stale_answer_served_on_error_only_when_asked(origin, road):
    origin.project("demo", ["1.0"], ETag='"v"')

    async def go(network):
        client = network.client(origin.settings(api=road == "json"))
        try:
            first = await client.get_versions("demo")
            origin.routes[page_path(road)].script[:] = [(503, {})]
            return first, await client.get_versions("demo")
        finally:
            await client.close()

    assert run(go(Network(retries=0, stale_on_error=True))) == (["1.0"], ["1.0"])
    assert run(go(Network(retries=0))) == (["1.0"], [])


@pytest.mark.parametrize("road", ROADS)
def test_refresh_mode_revalidates_fresh_answers(origin, road, tmp_path):
    origin.project("demo", ["1.0"], ETag='"v"', Cache_Control="max-age=600")
    for mode in ("normal", "normal", "refresh"):
        run(ask(Network(retries=0, cache_dir=tmp_path, mode=mode, revalidate_documents=False), origin, road))
    assert [s.status for s in origin.seen] == [200, 304]
    assert origin.seen[1].headers.get("If-None-Match") == '"v"'


# -- retries ------------------------------------------------------------------------------


def http_date_in(seconds):
    return email.utils.formatdate(time.time() + seconds, usegmt=True)


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("first, requests", [
    ((503, {}), 2),
    ((429, {"Retry-After": "1"}), 2),
    ((429, {"Retry-After": "date"}), 2),
    ((502, {}), 2),
    ((404, {}), 1),                          # never retried
    ((429, {"Retry-After": "3600"}), 1),     # beyond the cap: not worth a retry
])
def test_retries(origin, road, first, requests):
    status, headers = first
    if headers.get("Retry-After") == "date":
        headers = {"Retry-After": http_date_in(2)}  # whole seconds: 1 to 2 s away
    origin.project("demo", ["1.0"])
    origin.routes[page_path(road)].script.append((status, headers))
    network = Network(retries=2, backoff=0.01, retry_after_max=5)
    retries = []
    network.outcomes.listen(lambda event, value: retries.append(value) if event == "retry" else None)
    started = time.monotonic()
    answer = run(ask(network, origin, road))
    assert origin.paths().count(page_path(road)) == requests
    assert answer == ([["1.0"]] if requests == 2 else [[]])
    assert len(retries) == requests - 1
    if "Retry-After" in headers and requests == 2:
        assert retries[0].delay >= 0.5 and time.monotonic() - started >= 0.5
    outcome = network.outcomes.all()[-1]
    assert outcome.attempts == requests
    assert outcome.kind == ("ok" if requests == 2 else "not-found" if status == 404 else "status")


@pytest.mark.parametrize("road", ROADS)
def test_refused_connection_is_retried_then_reported(road):
    with Origin() as gone:
        url = gone.url
    network = Network(retries=2, backoff=0.01)
    assert run(ask(network, Configured(url), road)) == [[]]
    failure = network.outcomes.failures()[url + "/simple"]
    assert (failure.kind, failure.attempts, failure.reason) == ("refused", 3, "connection refused")


def test_cancellation_during_a_backoff(origin):
    origin.project("demo", ["1.0"])
    origin.routes["/pypi/demo/json"].script.append((503, {"Retry-After": "30"}))
    network = Network(retries=3, retry_after_max=60)

    async def go():
        waiting = asyncio.Event()
        loop = asyncio.get_running_loop()
        network.outcomes.listen(lambda event, _: loop.call_soon_threadsafe(waiting.set) if event == "retry" else None)
        client = network.client(origin.settings(api=True))
        task = asyncio.create_task(client.get_versions("demo"))
        await waiting.wait()
        started = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await client.close()
        return time.monotonic() - started

    assert run(go()) < 5
    assert origin.paths() == ["/pypi/demo/json"]


def test_cancellation_ends_a_finder_backoff_at_once(origin):
    """The backoff runs in the executor's worker, inside the client's finder
    call: cancelling the awaiting task raises the call's stop flag, and the
    wait ends on it, the layer staying open."""
    from concurrent.futures import ThreadPoolExecutor

    from quorvel_master._native import finder_call_stopped

    origin.project("demo", ["1.0"])
    origin.routes["/simple/demo/"].script.append((503, {"Retry-After": "30"}))
    network = Network(retries=3, retry_after_max=60)

    async def go():
        loop = asyncio.get_running_loop()
        loop.set_default_executor(ThreadPoolExecutor(1))  # one worker: what runs next waits for the call's end
        waiting = asyncio.Event()
        network.outcomes.listen(lambda event, _: loop.call_soon_threadsafe(waiting.set) if event == "retry" else None)
        client = network.client(origin.settings(api=False))
        try:
            task = asyncio.create_task(client.get_versions("demo"))
            await waiting.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            # Far below the 30 s the server asked for; the worker's thread
            # holds no stopped call afterwards.
            assert await asyncio.wait_for(loop.run_in_executor(None, finder_call_stopped), 10) is False
            assert not network.closing.is_set()
        finally:
            await client.close()

    run(go())
    assert finder_call_stopped() is False  # outside any finder call
    assert origin.paths() == ["/simple/demo/"]


def test_no_backoff_on_the_loop_thread(origin):
    """The client's existence check asks the finder on the loop's own thread:
    a retry's wait there would stall every task of the host, so that request
    gets one attempt and the loop never sleeps."""
    origin.project("demo", ["1.0"])
    origin.routes["/simple/demo/"].script.append((503, {"Retry-After": "30"}))
    network = Network(retries=3, retry_after_max=60)

    async def go():
        client = network.client(origin.settings(api=False))
        try:
            started = time.monotonic()
            found = await client.find_repo_for_package("demo")
            return found, time.monotonic() - started
        finally:
            await client.close()

    found, took = run(go())
    assert found is None
    assert took < 10  # far below the 30 s the server asked for
    assert origin.paths() == ["/simple/demo/"]
    assert network.outcomes.all()[-1].attempts == 1


def test_closing_the_layer_ends_a_finder_backoff(origin):
    origin.project("demo", ["1.0"])
    origin.routes["/simple/demo/"].script.append((503, {"Retry-After": "30"}))
    network = Network(retries=3, retry_after_max=60)

    async def go():
        waiting = asyncio.Event()
        loop = asyncio.get_running_loop()
        network.outcomes.listen(lambda event, _: loop.call_soon_threadsafe(waiting.set) if event == "retry" else None)
        client = network.finder_clients.client(origin.url)
        call = asyncio.create_task(asyncio.to_thread(client.get, origin.url + "/simple/demo/"))
        await waiting.wait()
        await network.close()
        with pytest.raises(NetworkClosed):
            await asyncio.wait_for(call, 10)

    run(go())


# -- proxies ---------------------------------------------------------------------------------


@pytest.fixture
def proxy():
    with ForwardProxy() as server:
        yield server


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("how", ["option", "environment", "no_proxy"])
@pytest.mark.parametrize("tls", [False, True], ids=["http", "https"])
def test_proxies(road, how, tls, proxy, ca, ca_file, monkeypatch):
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "http_proxy", "https_proxy", "all_proxy", "no_proxy"):
        monkeypatch.delenv(name, raising=False)
    options = {"retries": 0, "cert": ca_file}
    if how == "option":
        options["proxy"] = proxy.url
    else:
        monkeypatch.setenv("HTTPS_PROXY" if tls else "HTTP_PROXY", proxy.url)
        if how == "no_proxy":
            monkeypatch.setenv("NO_PROXY", "localhost,127.0.0.1")
    with Origin(tls_server_context(ca) if tls else None) as server:
        server.project("demo", ["1.0"])
        assert run(ask(Network(**options), server, road)) == [["1.0"]]
        targets = [s.path for s in proxy.seen]
        if how == "no_proxy":
            assert targets == []
        elif tls:
            assert targets and all(t == f"CONNECT 127.0.0.1:{server.port}" for t in targets)
        else:
            assert targets == [f"GET {server.url}{page_path(road)}"]


# -- certificates and credentials ---------------------------------------------------------------


@pytest.mark.parametrize("road", ROADS)
def test_private_ca_by_cert_option(road, ca, ca_file):
    with Origin(tls_server_context(ca)) as server:
        server.project("demo", ["1.0"])
        without = Network(retries=2, backoff=0.01, truststore=False)
        assert run(ask(without, server, road)) == [[]]
        failure = without.outcomes.failures()[server.url + "/simple"]
        assert failure.kind == "tls" and failure.attempts == 1  # a certificate failure is not retried
        assert run(ask(Network(retries=0, cert=ca_file), server, road)) == [["1.0"]]
        trusted = Network(retries=0, trusted_hosts=("127.0.0.1",), truststore=False)
        assert run(ask(trusted, server, road)) == [["1.0"]]


@pytest.mark.parametrize("road", ROADS)
def test_client_certificate(road, ca, ca_file, tmp_path):
    client_ca = trustme.CA()
    pem = tmp_path / "client.pem"
    client_ca.issue_cert("client@example.test").private_key_and_cert_chain_pem.write_to_path(str(pem))
    with Origin(tls_server_context(ca, client_ca=client_ca)) as server:
        server.project("demo", ["1.0"])
        refused = Network(retries=0, cert=ca_file)
        assert run(ask(refused, server, road)) == [[]]
        assert refused.outcomes.failures()[server.url + "/simple"].failed
        assert run(ask(Network(retries=0, cert=ca_file, client_cert=str(pem)), server, road)) == [["1.0"]]


@pytest.mark.parametrize("road", ROADS)
def test_netrc_credentials(origin, road, tmp_path):
    origin.project("demo", ["1.0"])
    origin.routes[page_path(road)].credentials = ("alice", "s3cret")
    netrc = tmp_path / "netrc"
    netrc.write_text("machine 127.0.0.1 login alice password s3cret\n")
    netrc.chmod(0o600)
    assert run(ask(Network(retries=0, netrc_file=netrc), origin, road)) == [["1.0"]]
    network = Network(retries=0, netrc_file=tmp_path / "none")
    assert run(ask(network, origin, road)) == [[]]
    failure = network.outcomes.failures()[origin.url + "/simple"]
    assert (failure.kind, failure.status) == ("status", 401)


def test_no_prompt_on_401(origin, monkeypatch, tmp_path):
    def prompt(*args, **kwargs):
        raise AssertionError("prompted")

    monkeypatch.setattr("builtins.input", prompt)
    monkeypatch.setattr(getpass, "getpass", prompt)
    monkeypatch.setenv("NETRC", str(tmp_path / "none"))
    origin.project("demo", ["1.0"])
    origin.routes["/simple/demo/"].credentials = ("alice", "s3cret")
    assert run(ask(Network(retries=0, netrc=False), origin, "finder")) == [[]]


# -- shared finder clients ----------------------------------------------------------------------


def test_finder_clients_reuse_tls_connections(ca, ca_file, m):
    with Origin(tls_server_context(ca)) as server:
        server.project("demo", ["1.0"])
        network = Network(retries=0, cert=ca_file)
        assert run(ask(network, server, "finder", times=3)) == [["1.0"]] * 3
        assert len(server.seen) == 3 and server.connections() == 1
        assert len(network.finder_clients) == 0  # closed with the client
        # The layer opens new clients after a close.
        assert run(ask(network, server, "finder")) == [["1.0"]]
        assert server.connections() == 2


def test_install_and_uninstall_the_finder_factory(m):
    real = m.PackageFinder
    network = Network()
    network.install()
    network.install()
    assert m.PackageFinder is network.finder_factory
    network.uninstall()
    assert m.PackageFinder is real


def test_the_client_alone_is_unchanged(origin, m):
    origin.project("demo", ["1.0"], ETag='"v"')
    from quorvel_master.business_layer.packages.package_index_client import PackageIndexClient

    async def go():
        client = PackageIndexClient(origin.settings(api=False))
        try:
            return [await client.get_versions("demo") for _ in range(2)]
        finally:
            await client.close()

    assert run(go()) == [["1.0"]] * 2
    assert [s.status for s in origin.seen] == [200, 200]
    assert origin.connections() == 2


@pytest.mark.parametrize("road", ROADS)
def test_connections_per_host_are_capped(origin, road):
    origin.project("demo", ["1.0"], Cache_Control="no-store")
    origin.routes[page_path(road)].gather = 2  # each answer waits for a second request in flight
    network = Network(retries=0, per_host_connections=2)

    async def go():
        client = network.client(origin.settings(api=road == "json"))
        try:
            return await asyncio.gather(*(client.get_versions("demo") for _ in range(6)))
        finally:
            await client.close()

    assert run(go()) == [["1.0"]] * 6
    assert origin.most_in_flight == 2 and origin.connections() == 2


# -- outcomes -------------------------------------------------------------------------------


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("setup, kind, status", [
    (lambda route: route.script.append((500, {})), "status", 500),
    (lambda route: route.script.append((403, {})), "status", 403),
    (lambda route: setattr(route, "hang", True), "timeout", None),
    (lambda route: None, "ok", 200),
])
def test_outcomes_name_the_index_and_the_reason(origin, road, setup, kind, status):
    origin.project("demo", ["1.0"])
    setup(origin.routes[page_path(road)])
    network = Network(retries=0, timeout=0.5)
    run(ask(network, origin, road))
    outcome = network.outcomes.for_index(origin.url + "/simple/")[-1]
    assert (outcome.road, outcome.kind, outcome.status) == (road, kind, status)
    assert outcome.failed == (kind != "ok")
    assert list(network.outcomes.failures()) == ([origin.url + "/simple"] if outcome.failed else [])


# -- the finder road's files through the layer -----------------------------------------------


@pytest.mark.parametrize("metadata_files, ranges", [(True, True), (False, True), (False, False)],
                         ids=["metadata-file", "wheel-ranges", "wheel-whole"])
def test_wheel_requirements_through_the_layer(srv, metadata_files, ranges):
    srv.ranges = ranges
    srv.add_project("demo", {"1.0": {"requires_dist": ["idna>=2", "six; extra == 'x'"]}},
                    metadata_files=metadata_files)
    network = Network(retries=0)

    async def go():
        client = network.client(settings_for(srv.simple_url, None))
        try:
            return [await client.get_dependencies("demo", "1.0") for _ in range(2)]
        finally:
            await client.close()

    first, second = run(go())
    assert [d["name"] for d in first] == ["idna", "six"] and second == first
    files = [r for r in srv.requests if r.path.startswith("/files/")]
    if metadata_files:  # the metadata file is revalidated (no lifetime), not fetched again
        assert [r.status for r in files] == [200, 304]
    elif ranges:
        assert all(r.status == 206 for r in files)
    assert all(not o.failed for o in network.outcomes.all())


def test_a_body_that_breaks_off_is_an_outcome(srv):
    srv.add_project("demo", ["1.0"])
    srv.close_mid_body("/simple/demo/", b"<html>" + b"x" * 200_000)
    network = Network(retries=0)
    assert run(ask(network, Configured(srv.url), "finder")) == [[]]
    kinds = [(o.kind, o.status) for o in network.outcomes.for_index(srv.simple_url)]
    assert kinds == [("ok", 200), ("closed", 200)]
    assert network.outcomes.failures()[srv.simple_url].reason == "connection closed by the server"
