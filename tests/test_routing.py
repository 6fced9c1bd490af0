"""Routing on the network layer: pins and fail-closed, enforced on the
client's own walk and proved by what two local indexes were asked."""

from __future__ import annotations

import asyncio

import pytest

from conftest import refused_port
from quorvel_master.business_layer.packages.pip_settings import SettingsManager
from quorvel_master.network import IndexUnreadable, Network, NetworkOptions, Routes
from quorvel_master.sampleindex import IndexServer

ROADS = ["finder", "json"]


@pytest.mark.parametrize("pins, name, pinned", [
    ([("acme-secret", "A")], "Acme_Secret", "A"),          # PEP 503 normal form on both sides
    ([("Acme.Secret", "A")], "acme-secret", "A"),
    ([("acme-*", "A")], "ACME.tool", "A"),                 # a glob on the normal form
    ([("acme-*", "A")], "acmetool", None),
    ([("acme-*", "A"), ("acme-secret", "B")], "acme-secret", "B"),  # an exact name wins over a glob
    ([("acme-*", "A"), ("a*", "B")], "acme-x", "A"),        # the first glob wins
    ([("acme-?", "A")], "acme-xy", None),
])
def test_pin_matching(pins, name, pinned):
    assert Routes(pins).pin_for(name) == pinned


@pytest.mark.parametrize("listed, expected", [
    # The configured URL (with its credentials) is asked, not the pin's own text.
    (["http://u:p@h/simple/", "http://other/simple"], ["http://u:p@h/simple/"]),
    (["http://other/simple"], ["http://h/simple"]),        # a pin to an unlisted index asks that index
])
def test_plan_of_a_pinned_name(listed, expected):
    routes = Routes([("acme-*", "http://h/simple")])
    assert routes.plan("acme-x", listed) == expected
    assert routes.plan("other", listed) == listed
    settings = routes.pip_settings("acme-x", {"index_urls": [{"url": u} for u in listed], "use_secondary_urls": True})
    assert settings["index_urls"] == [{"url": expected[0], "primary": True}]
    assert settings["use_secondary_urls"] is False


@pytest.fixture
def indexes():
    with IndexServer() as first, IndexServer() as second:
        for server, version in ((first, "2.0"), (second, "1.0")):
            server.add_project("acme-secret", {version: {"summary": "s"}})
            server.add_project("acme-tool", {version: {"summary": "t"}})
            server.add_project("public", {version: {"summary": "p"}})
        yield first, second


def page_path(road: str, name: str) -> str:
    return f"/pypi/{name}/json" if road == "json" else f"/simple/{name}/"


def client_of(network: Network, urls: list[str], road: str):
    servers = {u: u.rsplit("/simple", 1)[0] for u in urls}
    api = [{"index_url": u, "api_pattern": f"{base}/pypi/{{package_name}}/json"} for u, base in servers.items()
           if road == "json" and base.startswith("http://127.0.0.1")]
    entries = [{"url": urls[0], "primary": True}] + [{"url": u} for u in urls[1:]]
    return network.client(SettingsManager({"index_urls": entries, "use_secondary_urls": True, "pip_api": api}))


def ask(network, urls, road, method, *args):
    client = client_of(network, urls, road)

    async def go():
        try:
            return await getattr(client, method)(*args)
        except IndexUnreadable as exc:
            return exc
        finally:
            await client.close()

    try:
        return asyncio.run(go())
    finally:
        network.uninstall()


def hits(server, road, name):
    return server.hits(page_path(road, name))


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("options, name, asked_first, asked_second, answer", [
    # The hole: a failing first index hands a private name to the next one.
    ({}, "acme-secret", 1, 1, ["1.0"]),
    # Fail-closed: the 401 ends the question; the second never hears of it.
    ({"fail_closed": True}, "acme-secret", 1, 0, IndexUnreadable),
    # A name the first index answers is not affected by fail-closed.
    ({"fail_closed": True}, "public", 1, 0, ["2.0"]),
    # Pinned to the first: the second never hears of acme-* names, even when the first fails.
    ({"pins": (("acme-*", "FIRST"),)}, "acme-secret", 1, 0, []),
    ({"pins": (("acme-*", "FIRST"),)}, "acme-tool", 1, 0, ["2.0"]),
    # Pinned to the second: the first is skipped.
    ({"pins": (("acme-tool", "SECOND"),)}, "acme-tool", 0, 1, ["1.0"]),
    ({"pins": (("acme-tool", "SECOND"),)}, "public", 1, 0, ["2.0"]),
])
def test_walk_is_routed(indexes, road, options, name, asked_first, asked_second, answer):
    first, second = indexes
    first.set_status(page_path(road, "acme-secret"), 401)
    urls = [first.simple_url, second.simple_url]
    chosen = dict(options)
    if "pins" in chosen:
        chosen["pins"] = tuple((n, first.simple_url if u == "FIRST" else second.simple_url) for n, u in chosen["pins"])
    network = Network(NetworkOptions(cache=False, retries=0, **chosen))
    result = ask(network, urls, road, "get_versions", name)
    if answer is IndexUnreadable:
        assert isinstance(result, IndexUnreadable) and result.outcome.status == 401
        assert result.index == first.simple_url
    else:
        assert result == answer
    assert (hits(first, road, name), hits(second, road, name)) == (asked_first, asked_second)


@pytest.mark.parametrize("method, args, found", [
    ("get_versions", ("acme-tool",), ["1.0"]),
    ("get_package_info", ("acme-tool",), "1.0"),
    ("find_repo_for_package", ("acme-tool",), "SECOND"),
    ("find_repo_for_package_version", ("acme-tool", "1.0"), "SECOND"),
    ("get_dependencies", ("acme-tool", "1.0"), []),
])
def test_pin_to_an_index_the_settings_do_not_list(indexes, method, args, found):
    """Every walking method asks the pinned index alone, listed or not."""
    first, second = indexes
    network = Network(NetworkOptions(cache=False, retries=0, pins=(("acme-tool", second.simple_url),)))
    result = ask(network, [first.simple_url], "finder", method, *args)
    if found == "SECOND":
        assert result == second.simple_url
    elif isinstance(result, dict):
        assert result["latest_version"] == found
    else:
        assert result == found
    assert first.hits("/simple/acme-tool/") == 0
    assert second.hits("/simple/acme-tool/") >= 1


@pytest.mark.parametrize("road", ROADS)
def test_a_named_index_the_name_is_not_pinned_to_gets_no_request(indexes, road):
    first, second = indexes
    network = Network(NetworkOptions(cache=False, retries=0, pins=(("acme-*", second.simple_url),)))
    assert ask(network, [first.simple_url, second.simple_url], road, "get_versions", "acme-tool",
               first.simple_url) == []
    assert hits(first, road, "acme-tool") == 0 and hits(second, road, "acme-tool") == 0


@pytest.mark.parametrize("failure", ["503", "refused", "unusable", "timeout"])
def test_fail_closed_on_every_failed_outcome(indexes, failure):
    first, second = indexes
    urls = [first.simple_url, second.simple_url]
    if failure == "503":
        first.set_status("/simple/acme-tool/", 503)
    elif failure == "timeout":
        first.hang("/simple/acme-tool/")
    elif failure == "unusable":
        first.set_response("/simple/acme-tool/", "<login page>", content_type="application/x-login")
    else:
        urls[0] = f"http://127.0.0.1:{refused_port()}/simple"
    network = Network(NetworkOptions(cache=False, retries=0, fail_closed=True, timeout=0.5))
    result = ask(network, urls, "finder", "get_versions", "acme-tool")
    assert isinstance(result, IndexUnreadable), result
    assert result.outcome.kind == {"503": "status"}.get(failure, failure)
    assert second.hits("/simple/acme-tool/") == 0


@pytest.mark.parametrize("options, answered_by, asked_second", [
    ({}, "SECOND", 1),
    ({"fail_closed": True}, IndexUnreadable, 0),
    ({"pins": (("acme-*", "FIRST"),)}, None, 0),
])
def test_a_hosts_own_walk(indexes, options, answered_by, asked_second):
    """Network.walk with the project page reader: the same routes as the client's walk."""
    from quorvel_master.indexdata import read_project_page

    first, second = indexes
    first.set_status("/simple/acme-secret/", 401)
    chosen = dict(options)
    if "pins" in chosen:
        chosen["pins"] = ((chosen["pins"][0][0], first.simple_url),)
    network = Network(NetworkOptions(cache=False, retries=0, **chosen))

    async def go():
        try:
            return await network.walk("acme-secret", [first.simple_url, second.simple_url],
                                      lambda index: read_project_page(network, index, "acme-secret"))
        except IndexUnreadable as exc:
            return exc
        finally:
            await network.close()

    result = asyncio.run(go())
    if answered_by is IndexUnreadable:
        assert isinstance(result, IndexUnreadable) and result.index == first.simple_url
    else:
        index, page = result
        assert index == (second.simple_url if answered_by == "SECOND" else None)
        assert (page.versions if page else None) == (("1.0",) if answered_by else None)
    assert first.hits("/simple/acme-secret/") == 1
    assert second.hits("/simple/acme-secret/") == asked_second
