"""Client construction, the shared session, and the configuration methods."""

from __future__ import annotations

import asyncio

import aiohttp
import pytest

from quorvel_master.business_layer.packages.pip_settings import SettingsManager


def test_constructor_sets_attributes_in_order(m):
    manager = object()
    client = m.PackageIndexClient(manager)
    assert list(vars(client)) == ["settings_manager", "_session", "_metadata_cache", "_distributions_cache"]
    assert client.settings_manager is manager and client._session is None
    assert client._metadata_cache == {} and client._distributions_cache is None
    assert m.PackageIndexClient(None)._metadata_cache is not client._metadata_cache


def test_session_lifecycle(m):
    async def main():
        client = m.PackageIndexClient(None)
        assert await client.close() is None  # nothing open yet
        first = await client._get_session()
        assert isinstance(first, aiohttp.ClientSession) and not first.closed
        assert await client._get_session() is first
        assert await client.close() is None
        assert client._session is first and first.closed
        assert await client.close() is None  # already closed
        second = await client._get_session()
        assert second is not first and not second.closed
        await second.close()  # closed elsewhere: replaced on the next call
        third = await client._get_session()
        assert third is not second
        await client.close()

    asyncio.run(main())


def test_concurrent_callers_share_one_session(m):
    async def main():
        client = m.PackageIndexClient(None)
        sessions = await asyncio.gather(*(client._get_session() for _ in range(20)))
        assert len({id(s) for s in sessions}) == 1
        await client.close()

    asyncio.run(main())


def test_without_aiohttp(m, monkeypatch):
    monkeypatch.setattr(m, "aiohttp", None)

    async def main():
        client = m.PackageIndexClient(None)
        coro = client._get_session()  # the call itself does not raise
        with pytest.raises(RuntimeError) as info:
            await coro
        assert str(info.value) == "aiohttp not installed, cannot query package indexes"
        assert await client.close() is None

    asyncio.run(main())


def test_failing_session_creation_leaves_the_slot(m, monkeypatch):
    class Broken:
        @staticmethod
        def ClientSession():
            raise OSError("no sockets")

    monkeypatch.setattr(m, "aiohttp", Broken)
    client = m.PackageIndexClient(None)
    with pytest.raises(OSError):
        asyncio.run(client._get_session())
    assert client._session is None


@pytest.mark.parametrize("url,expected", [
    ("http://h/simple/", "http://h/simple"),
    ("http://h/simple\\\\/\\", "http://h/simple"),
    ("/\\//", ""),
    ("http://h/simple", "http://h/simple"),
    ("http://h//x", "http://h//x"),
    (" http://H/x/ ", " http://H/x/ "),
    ("", ""),
])
def test_normalize_url(m, url, expected):
    assert m.PackageIndexClient(None)._normalize_url(url) == expected


@pytest.mark.parametrize("name,expected", [
    ("Foo__Bar.baz", "foo-bar-baz"),
    ("a-_-b", "a-b"),
    ("_private", "-private"),
    ("trail..", "trail-"),
    ("", ""),
    ("ÄBC", "äbc"),
])
def test_normalize_name(m, name, expected):
    assert m.PackageIndexClient(None)._normalize_name(name) == expected


def test_normalize_name_uses_the_module_re(m, monkeypatch):
    calls = []

    class Re:
        @staticmethod
        def sub(pattern, repl, text):
            calls.append((pattern, repl, text))
            return "replaced"

    monkeypatch.setattr(m, "re", Re)
    assert m.PackageIndexClient(None)._normalize_name("A.b") == "replaced"
    assert calls == [("[-_.]+", "-", "a.b")]


API = [
    {"index_url": "http://a/simple", "api_pattern": "http://a/pypi/{package_name}/json"},
    {"index_url": "http://b/simple/", "api_pattern": "http://b/{package_name}/{version}/json"},
    {"index_url": "http://c", "api_pattern": None},
    {"index_url": "http://c/", "api_pattern": "http://c/second"},
    {"api_pattern": "no-index-url"},
]


@pytest.mark.parametrize("index_url,expected", [
    ("http://a/simple/", "http://a/pypi/{package_name}/json"),   # trailing slash on the query
    ("http://b/simple", "http://b/{package_name}/{version}/json"),  # trailing slash on the entry
    ("http://A/simple", None),                                   # letter case matters
    ("http://c", None),                                          # first entry wins, even without a pattern
    ("", "no-index-url"),                                        # missing index_url counts as ""
    ("//", "no-index-url"),
    ("http://d", None),
])
def test_api_pattern_lookup(m, fixed_settings, index_url, expected):
    fixed_settings.api_list = API
    assert m.PackageIndexClient(None)._get_api_pattern_for_index(index_url) == expected


@pytest.mark.parametrize("api_list,error", [
    (None, TypeError),                                   # iterating None
    ([object()], AttributeError),                        # entry without get
    ([{"index_url": None}], TypeError),                  # exact-type rule of _normalize_url
    ([{"index_url": "x", "api_pattern": 5}], TypeError),  # return-type rule
    ({"index_url": "x"}, TypeError),                     # not exactly a list
])
def test_api_pattern_lookup_errors_reach_the_caller(m, fixed_settings, api_list, error):
    fixed_settings.api_list = api_list
    with pytest.raises(error):
        m.PackageIndexClient(None)._get_api_pattern_for_index("x")


def test_settings_are_read_afresh_through_the_module_globals(m):
    manager = SettingsManager({"index_urls": [{"url": "http://a/simple", "primary": True}],
                               "pip_api": [{"index_url": "http://a/simple", "api_pattern": "http://a/{package_name}"}]})
    client = m.PackageIndexClient(manager)
    assert client._get_pip_settings()["index_urls"] == [{"url": "http://a/simple", "primary": True}]
    assert client._get_api_pattern_for_index("http://a/simple/") == "http://a/{package_name}"
    manager.set_api_patterns([])
    assert client._get_api_pattern_for_index("http://a/simple") is None


def test_lookup_goes_through_overridable_methods(m, fixed_settings):
    fixed_settings.api_list = [{"index_url": "X", "api_pattern": "p"}]
    client = m.PackageIndexClient(None)
    client._normalize_url = lambda url: url.upper()  # instance override
    assert client._get_api_pattern_for_index("x") == "p"
