"""The installed-distributions table and the local specifier check.

The environment is a temporary directory of real ``.dist-info`` folders, read
by the real ``importlib.metadata`` through a replaced module global
``importlib``; ``sys`` is replaced where the standard-library entries must be
under the test's control.
"""

import importlib.metadata
import sys
import types

import pytest
from packaging.specifiers import InvalidSpecifier, SpecifierSet
from packaging.version import InvalidVersion, Version

from quorvel_master.business_layer.packages import package_index_client as m

EXTRA_PATTERN = r"""extra\s*==\s*["\']([^"\']+)["\']"""
FAKE_VERSION_TEXT = "3.11.99 (main, Jan  1 2024, 00:00:00) [GCC 12.2.0]"


class Site:
    """A directory of installed distributions, scanned through importlib.metadata."""

    def __init__(self, root):
        self.root = root
        self.scans = 0
        self.fail_after_scan = None  # an exception raised once every entry was yielded

    def add(self, name, version="1.0", requires=(), folder=None):
        folder = folder or f"{name}-{version}.dist-info"
        path = self.root / folder
        path.mkdir(exist_ok=True)
        lines = ["Metadata-Version: 2.1"]
        if name is not None:
            lines.append(f"Name: {name}")
        if version is not None:
            lines.append(f"Version: {version}")
        lines += [f"Requires-Dist: {r}" for r in requires]
        (path / "METADATA").write_text("\n".join(lines) + "\n", encoding="utf-8")
        return path

    def distributions(self):
        self.scans += 1
        yield from importlib.metadata.distributions(path=[str(self.root)])
        if self.fail_after_scan is not None:
            raise self.fail_after_scan


@pytest.fixture
def site(tmp_path, monkeypatch):
    s = Site(tmp_path)
    fake = types.SimpleNamespace(metadata=types.SimpleNamespace(distributions=s.distributions))
    monkeypatch.setattr(m, "importlib", fake)
    return s


def fake_sys(monkeypatch, names=("asyncio", "_thread"), version=FAKE_VERSION_TEXT):
    attrs = {"version": version}
    if names is not None:
        attrs["stdlib_module_names"] = names
    monkeypatch.setattr(m, "sys", types.SimpleNamespace(**attrs))


@pytest.fixture
def client(site, log, monkeypatch):
    fake_sys(monkeypatch, names=frozenset())
    return m.PackageIndexClient(None)


# --- the table ---------------------------------------------------------------


@pytest.mark.parametrize(
    "installed, asked",
    [
        ("Foo_Bar", "Foo_Bar"),
        ("Foo_Bar", "foo-bar"),
        ("Foo_Bar", "FOO.bar"),
        ("FOO.bar", "foo__bar"),
        ("foo-bar", "Foo-.-Bar"),
    ],
)
def test_any_spelling_finds_the_distribution(client, site, installed, asked):
    site.add(installed, "1.4")
    assert client.check_specifier_in_dist(asked, "") == "1.4"
    assert list(client._get_current_distributions()) == ["foo-bar"]


def test_table_holds_the_real_distribution_objects(client, site):
    site.add("Demo", "2.0")
    table = client._get_current_distributions()
    assert type(table) is dict
    assert isinstance(table["demo"], importlib.metadata.Distribution)
    assert table["demo"].metadata["Version"] == "2.0"


def test_last_distribution_of_a_name_wins(client, site, monkeypatch):
    first = importlib.metadata.PathDistribution(site.add("Foo_Bar", "1.0"))
    second = importlib.metadata.PathDistribution(site.add("foo.bar", "2.0"))
    monkeypatch.setattr(
        m, "importlib", types.SimpleNamespace(metadata=types.SimpleNamespace(distributions=lambda: [first, second]))
    )
    assert client._get_current_distributions()["foo-bar"] is second
    assert client.check_specifier_in_dist("foo_bar", "") == "2.0"


def test_table_is_kept_until_cleared(client, site):
    site.add("alpha", "1.0")
    table = client._get_current_distributions()
    assert client._get_current_distributions() is table
    assert client._distributions_cache is table
    site.add("beta", "1.0")
    assert client.check_specifier_in_dist("beta", "") is None
    assert site.scans == 1

    assert client.clear_distributions_cache() is None
    assert client._distributions_cache is None
    assert site.scans == 1  # clearing does not rebuild

    rebuilt = client._get_current_distributions()
    assert rebuilt is not table
    assert sorted(rebuilt) == ["alpha", "beta"]
    assert client.check_specifier_in_dist("beta", "") == "1.0"
    assert site.scans == 2


def test_table_returned_is_the_stored_attribute(client):
    # Whatever sits in the cache is handed back, and must still be a dict.
    mine = {"x": object()}
    client._distributions_cache = mine
    assert client._get_current_distributions() is mine
    client._distributions_cache = ["not", "a", "dict"]
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        client._get_current_distributions()


# --- standard-library entries --------------------------------------------------


def test_stdlib_modules_count_as_installed(site, log, monkeypatch):
    fake_sys(monkeypatch, names=["asyncio", "_thread", "a_b", "a.b"])
    client = m.PackageIndexClient(None)
    table = client._get_current_distributions()
    assert list(table) == ["asyncio", "-thread", "a-b"]
    entry = table["asyncio"]
    assert type(entry) is m._dummy_dist
    assert entry.metadata == {"Name": "asyncio", "Version": "3.11.99"}
    assert entry.metadata.get_all("Requires-Dist") == []
    assert table["-thread"].metadata["Name"] == "_thread"
    assert table["a-b"].metadata["Name"] == "a_b"  # an earlier module keeps the key
    assert client.check_specifier_in_dist("asyncio", "") == "3.11.99"
    assert client.check_specifier_in_dist("_thread", ">=3.11") == "3.11.99"
    assert client.check_specifier_in_dist("asyncio", ">=3.12") is None
    assert client.check_specifier_in_dist("asyncio", "", ["socks"]) is None
    assert log.records == []


def test_installed_distribution_wins_over_stdlib_name(site, log, monkeypatch):
    fake_sys(monkeypatch, names=["asyncio", "Foo_Bar"])
    site.add("asyncio", "3.4.3")
    site.add("foo.bar", "0.1")
    client = m.PackageIndexClient(None)
    table = client._get_current_distributions()
    assert sorted(table) == ["asyncio", "foo-bar"]
    assert client.check_specifier_in_dist("asyncio", "") == "3.4.3"
    assert client.check_specifier_in_dist("Foo_Bar", "") == "0.1"


def test_real_interpreter_stdlib_entries(site, log):
    client = m.PackageIndexClient(None)
    table = client._get_current_distributions()
    version = sys.version.split()[0]
    assert table["asyncio"].metadata["Version"] == version
    assert table["-thread"].metadata["Name"] == "_thread"
    assert len(table) == len({n.lower().replace("_", "-").replace(".", "-") for n in sys.stdlib_module_names})
    assert client.check_specifier_in_dist("asyncio", "") == version


def test_interpreter_without_stdlib_names_adds_nothing(site, log, monkeypatch):
    fake_sys(monkeypatch, names=None)
    site.add("demo", "1.0")
    client = m.PackageIndexClient(None)
    assert list(client._get_current_distributions()) == ["demo"]
    assert client.check_specifier_in_dist("asyncio", "") is None


# --- version test ------------------------------------------------------------


LIBRARY = object()


def _error_line(name, exc):
    return ("debug", f"Error checking version spec for {name}: {exc}")


def _spec_error(spec):
    with pytest.raises(InvalidSpecifier) as info:
        SpecifierSet(spec)
    return info.value


def _version_error(text):
    with pytest.raises(InvalidVersion) as info:
        Version(text)
    return info.value


@pytest.mark.parametrize(
    "installed, spec, expected, logged",
    [
        ("2.0", ">=1.0,<3", "2.0", None),
        ("2.0", ">=3", None, None),
        ("2.0", "==2.*", "2.0", None),
        ("2.0", "", "2.0", None),
        ("2.0", " \t ", "2.0", None),
        ("02.0", ">=1", "02.0", None),  # the text as written in the metadata
        # pre-releases: whatever the installed packaging does by default
        ("2.0.0b1", ">=1.0", LIBRARY, None),
        ("2.0.0b1", ">=2.0.0b1", "2.0.0b1", None),
        ("2.0.0b1", "<2.0", None, None),
        ("1.0.dev3", ">=0.9,<1.1", LIBRARY, None),
        ("2.0", "(>=1.0)", None, lambda: _spec_error("(>=1.0)")),
        ("2.0", ">=", None, lambda: _spec_error(">=")),
        ("not-a-version", ">=1", None, lambda: _version_error("not-a-version")),
        ("not-a-version", "", "not-a-version", None),
    ],
)
def test_version_spec(client, site, log, installed, spec, expected, logged):
    if expected is LIBRARY:
        expected = installed if Version(installed) in SpecifierSet(spec) else None
    site.add("Demo_Pkg", installed)
    assert client.check_specifier_in_dist("Demo_Pkg", spec) == expected
    assert log.records == ([_error_line("Demo_Pkg", logged())] if logged else [])


@pytest.mark.parametrize("version", [None, ""])
def test_missing_or_empty_version_is_not_installed(client, site, log, version):
    site.add("demo", version, folder="demo.dist-info")
    assert client.check_specifier_in_dist("demo", "") is None
    assert client.check_specifier_in_dist("demo", "(bad") is None
    assert log.records == []


def test_unknown_name_is_not_installed(client, site, log):
    site.add("demo", "1.0")
    assert client.check_specifier_in_dist("other", ">=1", ["x"]) is None
    assert log.records == []


def test_specifier_classes_are_read_at_call_time(client, site, log, monkeypatch):
    site.add("demo", "1.0")
    seen = []

    class Spy(SpecifierSet):
        def __init__(self, text):
            seen.append(text)
            super().__init__(text)

    monkeypatch.setattr(m, "SpecifierSet", Spy)
    assert client.check_specifier_in_dist("demo", ">=1") == "1.0"
    assert seen == [">=1"]

    monkeypatch.setattr(m, "Version", None)
    assert client.check_specifier_in_dist("demo", ">=1") is None
    assert log.records == [("debug", "Error checking version spec for demo: 'NoneType' object is not callable")]


def test_non_ordinary_exception_in_version_test_passes_through(client, site, log, monkeypatch):
    site.add("demo", "1.0")

    def interrupted(text):
        raise KeyboardInterrupt

    monkeypatch.setattr(m, "Version", interrupted)
    with pytest.raises(KeyboardInterrupt):
        client.check_specifier_in_dist("demo", ">=1")
    assert log.records == []


@pytest.mark.parametrize("calls", [1, 3])
def test_packaging_missing(client, site, log, monkeypatch, calls):
    site.add("demo", "1.0")
    monkeypatch.setattr(m, "PACKAGING_AVAILABLE", False)
    for _ in range(calls):
        assert client.check_specifier_in_dist("demo", "") is None
    assert log.records == [("debug", "packaging library not available, cannot check distributions")] * calls
    assert site.scans == 0
    assert client._distributions_cache is None


# --- extras ------------------------------------------------------------------

SOCKS_SINGLE = "PySocks!=1.5.7,>=1.5.6; extra == 'socks'"
SOCKS_DOUBLE = 'PySocks>=1.5.6; extra == "socks"'


@pytest.mark.parametrize(
    "requires, extras, expected",
    [
        ([SOCKS_SINGLE], ["socks"], "1.0"),
        ([SOCKS_DOUBLE], ["socks"], "1.0"),
        (["PySocks; extra=='socks'"], ["socks"], None),  # no "extra ==" text
        (["PySocks; extra  == 'socks'"], ["socks"], None),
        (["PySocks; extra ==   \"socks\""], ["socks"], "1.0"),
        (["odd; extra == 'mixed\""], ["mixed"], "1.0"),  # quotes need not pair up
        (["x; extra == 'one' or extra == 'two'"], ["one"], "1.0"),
        (["x; extra == 'one' or extra == 'two'"], ["two"], None),  # only the first match counts
        ([SOCKS_DOUBLE], ["Socks"], "1.0"),
        (['x; extra == "SOCKS"'], ["socks"], "1.0"),
        (['x; extra == "socks-proxy"'], ["socks_proxy"], None),
        ([SOCKS_SINGLE, 'y; extra == "cli"'], ["cli", "SOCKS"], "1.0"),
        ([SOCKS_SINGLE], ["socks", "cli"], None),
        (["plain>=1"], ["plain"], None),
        ([], ["socks"], None),
        ([], [], "1.0"),
        ([], None, "1.0"),
        ([SOCKS_SINGLE], [], "1.0"),
    ],
)
def test_extras(client, site, log, requires, extras, expected):
    site.add("demo", "1.0", requires)
    assert client.check_specifier_in_dist("demo", "", extras) == expected
    assert client.check_specifier_in_dist("demo", "", extras=extras) == expected
    assert log.records == []


def test_version_failure_ends_before_extras(client, site, log):
    site.add("demo", "1.0", [SOCKS_DOUBLE])
    assert client.check_specifier_in_dist("demo", ">=2", ["socks"]) is None
    assert client.check_specifier_in_dist("demo", ">=1", ["socks"]) == "1.0"


def test_extra_search_goes_through_module_re(client, site, log, monkeypatch):
    site.add("demo", "1.0", ["plain>=1", SOCKS_DOUBLE, "x; extra=='cli'"])
    searched = []
    real = m.re

    def search(pattern, text):
        searched.append((pattern, text))
        return real.search(pattern, text)

    monkeypatch.setattr(m, "re", types.SimpleNamespace(search=search, sub=real.sub))
    assert client.check_specifier_in_dist("demo", "", ["socks"]) == "1.0"
    assert searched == [(EXTRA_PATTERN, SOCKS_DOUBLE)]


def test_bad_extras_elements_reach_the_caller(client, site, log):
    site.add("demo", "1.0", [SOCKS_DOUBLE])
    with pytest.raises(AttributeError):
        client.check_specifier_in_dist("demo", "", [3])


# --- argument and result rules -------------------------------------------------


@pytest.mark.parametrize(
    "args, message",
    [
        (("demo", "", ("socks",)), "Argument 'extras' has incorrect type (expected list, got tuple)"),
        (("demo", None), "Argument 'version_spec' has incorrect type (expected str, got NoneType)"),
        ((b"demo", ""), "Argument 'package_name' has incorrect type (expected str, got bytes)"),
    ],
)
def test_argument_types(client, args, message):
    with pytest.raises(TypeError) as info:
        client.check_specifier_in_dist(*args)
    assert str(info.value) == message


def test_non_str_version_is_refused_at_return(client):
    dist = types.SimpleNamespace(metadata={"Version": 2})
    client._distributions_cache = {"demo": dist}
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        client.check_specifier_in_dist("demo", "")


def test_methods_are_called_through_the_instance(client, log):
    dist = types.SimpleNamespace(metadata=m._dummy_metadata(Version="5"))
    client._get_current_distributions = lambda: {"key": dist}
    client._normalize_name = lambda name: "key"
    assert client.check_specifier_in_dist("anything", ">=4") == "5"


# --- a failed build leaves no table behind -----------------------------------------


def _break_name(site, monkeypatch):
    site.add("good", "1.0")
    site.add(None, "1.0", folder="nameless-1.0.dist-info")
    return TypeError


def _break_scan(site, monkeypatch):
    site.add("good", "1.0")
    site.fail_after_scan = OSError("metadata store unreadable")
    return OSError


def _break_stdlib(site, monkeypatch):
    def failing_dummy(name, version):
        raise RuntimeError("cannot stand in")

    site.add("good", "1.0")
    monkeypatch.setattr(m, "_dummy_dist", failing_dummy)
    return RuntimeError


@pytest.mark.parametrize("breaker", [_break_name, _break_scan, _break_stdlib])
def test_failed_build_leaves_cache_unbuilt(site, log, monkeypatch, breaker):
    fake_sys(monkeypatch, names=["asyncio"])
    real_dummy = m._dummy_dist
    expected = breaker(site, monkeypatch)
    client = m.PackageIndexClient(None)

    for call in (client._get_current_distributions, lambda: client.check_specifier_in_dist("good", "")):
        with pytest.raises(expected):
            call()
        assert client._distributions_cache is None
    assert site.scans == 2  # every call tried again

    # Once the environment is repaired the next call builds the whole table.
    site.add("nameless", "1.0", folder="nameless-1.0.dist-info")
    site.fail_after_scan = None
    monkeypatch.setattr(m, "_dummy_dist", real_dummy)
    assert client.check_specifier_in_dist("good", "") == "1.0"
    table = client._distributions_cache
    assert type(table) is dict
    assert sorted(table) == ["asyncio", "good", "nameless"]
    assert client._get_current_distributions() is table
