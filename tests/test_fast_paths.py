"""The module's native stand-ins for library calls give exactly what the
library calls give; they are kept only when the library the module imported
answers the probe set as they do (a library patched before the import, in a
child process), and step aside the moment the module global, or anything the
library call reads, is replaced.

Stand-ins covered: name normalisation (re.sub "[-_.]+"), pattern filling
(re.sub "/\\{version\\}"), the requirement parser (re.match), the extra marker
search (re.search, on the API road and in the specifier check), the ordering of
release keys (packaging's Version), and the in-place calls of the module's own
_normalize_url and _parse_requirement."""

from __future__ import annotations

import asyncio
import copy
import importlib.util
import json
import re
import subprocess
import sys
import types
import warnings
from pathlib import Path

import packaging.version
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from packaging.version import Version

from fast_path_child import KEYS, Reversed, library_order, library_parse
from quorvel_master.sampleindex import IndexServer

_spec = importlib.util.spec_from_file_location("corpus", Path(__file__).parents[1] / "bench" / "corpus.py")
corpus = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(corpus)
CORPUS = corpus.REQUIREMENTS + corpus.UNREADABLE

MANY = settings(max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
NETWORK = settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])

# --- what the library calls give -------------------------------------------------

EXTRA = r"""extra\s*==\s*['\"]([^'\"]+)['\"]"""


def library_name(name):
    return re.sub(r"[-_.]+", "-", name.lower())


def library_extras(requires):
    found = set()
    for req in requires:
        if "extra ==" in req and (match := re.search(EXTRA, req)):
            found.add(match.group(1))
    return found


def library_url(pattern, name):
    return re.sub(r"/\{version\}", "", pattern.replace("{package_name}", name))


# --- inputs ----------------------------------------------------------------------

ANY_CHAR = st.characters(exclude_categories=())  # every code point, lone surrogates too
# Everything str.strip() and \s treat as white space beyond the usual, and two that look alike but are not.
SPACES = ["\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\xa0", "\u1680", "\u2000",
          "\u2028", "\u2029", "\u202f", "\u3000", "\u200b", "\ufeff"]


def texts(tokens, size=24):
    return st.lists(st.one_of(st.sampled_from(tokens), ANY_CHAR), max_size=size).map("".join)


NAME_TEXTS = texts(["-", "_", ".", "--", "._-", "a", "Z", "9", "\u0130", "\u03a3", "\u00df", "\u1e9e", "\u212a",
                    "\u212b", "\u01c5", "\ufb01", "\u00c9", "\ud800", "\U0001d400", *SPACES])
REQUIREMENT_TEXTS = texts(["req", "Foo_Bar.baz", "[", "]", "[a,b]", ",", ";", " ", "(", ")", ">=1.0", "==", "@",
                           "extra", "'", '"', "x", "\u00e9", "\udc80", *SPACES])
EXTRA_TEXTS = texts(["extra", "extra ==", "extra==", " ", "==", "=", "'", '"', "dev", "Dev", " or ", ";", "x",
                     "\u00e9", "\ud83d", *SPACES])
URL_SAFE = set("{}/-._~9\u00e9abcdefghijklmnopqrstuvwxyz")
URL_PIECES = texts(["{version}", "/{version}", "/", "{package_name}", "{", "}", "version", "a", "-", ".", "~", "_",
                    "\u00e9", "9"], size=12).map(lambda t: "".join(c for c in t if c in URL_SAFE))


def _cased(word):
    return st.lists(st.booleans(), min_size=len(word), max_size=len(word)).map(
        lambda ups: "".join(c.upper() if up else c for c, up in zip(word, ups)))


_number = st.one_of(st.integers(0, 30).map(str), st.from_regex(r"0{0,2}[0-9]{1,8}", fullmatch=True))
_sep = st.sampled_from(["", ".", "_", "-"])
_opt = lambda s: st.one_of(st.just(""), s)  # noqa: E731
_pre = st.tuples(_sep, st.sampled_from(["alpha", "a", "beta", "b", "preview", "pre", "c", "rc"]).flatmap(_cased),
                 _sep, _opt(_number)).map("".join)
_post = st.one_of(st.tuples(st.just("-"), _number).map("".join),
                  st.tuples(_sep, st.sampled_from(["post", "rev", "r"]).flatmap(_cased), _sep, _opt(_number)).map("".join))
_dev = st.tuples(_sep, _cased("dev"), _sep, _opt(_number)).map("".join)
_local = st.lists(st.from_regex(r"[a-zA-Z0-9]{1,5}", fullmatch=True), min_size=1, max_size=4).flatmap(
    lambda parts: st.lists(st.sampled_from("._-"), min_size=len(parts), max_size=len(parts)).map(
        lambda seps: "+" + "".join(s + p for s, p in zip(seps, parts))[1:]))
_space = st.sampled_from(["", "", " ", "\t", "\n", "\x0b", "\x1c", "\x1f", "\r\n"])
WELL_FORMED = st.tuples(_space, st.sampled_from(["", "v", "V"]), _opt(_number.map(lambda n: n + "!")),
                        st.lists(_number, min_size=1, max_size=5).map(".".join), _opt(_pre), _opt(_post),
                        _opt(_dev), _opt(_local), _space).map("".join)
# Letters that Unicode case folding maps onto ASCII ones (İ ı ſ K): older
# packaging releases read "1.0poſt1" as a post-release, newer ones reject it.
FOLDED = "\u0130\u0131\u017f\u212a"
# One character put in or taken out somewhere: most of these are near misses.
MUTATED = st.tuples(WELL_FORMED, st.integers(0, 40), st.sampled_from(list("._-+!vV aAr0\u00e9\u00a0" + FOLDED) + [""])).map(
    lambda t: t[0][: t[1]] + t[2] + t[0][t[1] + 1:])
VERSION_TEXTS = st.one_of(WELL_FORMED, WELL_FORMED, MUTATED, MUTATED,
                          texts(["1", "0", ".", "rc", "post", "dev", "+", "!", "v", "-", "_"], size=10))
RELEASE_KEYS = st.lists(VERSION_TEXTS, max_size=50, unique=True)


def natively_decided(keys):
    """The native parser orders these keys itself (else it leaves them all to the library)."""
    return not any(re.search("[0-9]{19}", key) or any(c in FOLDED for c in key) for key in keys)


# --- fixtures ------------------------------------------------------------------------

@pytest.fixture(scope="module")
def server():
    with IndexServer() as srv:
        yield srv


@pytest.fixture(scope="module")
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


@pytest.fixture
def api(m, server, loop, monkeypatch):
    """A client whose one index has the server's JSON API; its session lives on `loop`."""
    server.clear_hooks()
    pattern = {"value": server.json_api_pattern}
    monkeypatch.setattr(m, "get_pip_api_list",
                        lambda manager: [{"index_url": server.simple_url, "api_pattern": pattern["value"]}])
    client = m.PackageIndexClient(None)
    client.pattern = pattern
    client.ask = lambda method, *args: loop.run_until_complete(getattr(client, method)(*args, server.simple_url))
    yield client
    loop.run_until_complete(client.close())


def serve(server, path, document=None, status=200):
    server.clear_hooks()
    if status == 200:
        server.set_response(path, document)
    else:
        server.set_status(path, status)


def ran_in(module, seen):
    return any(name == module for name, _ in seen)


def python_calls(fn, *args):
    """fn(*args) and the Python functions it called, as (module, name) pairs."""
    seen = []

    def profile(frame, event, arg):
        if event == "call":
            seen.append((frame.f_globals.get("__name__"), frame.f_code.co_name))

    sys.setprofile(profile)
    try:
        result = fn(*args)
    finally:
        sys.setprofile(None)
    return result, seen


# --- the stand-ins are the library calls ------------------------------------------------

@MANY
@given(name=NAME_TEXTS)
@example(name="Foo__Bar.baz")
@example(name="a-_-b")
@example(name="_private")
@example(name="")
@example(name="\u0130NDEX_\u03a3.\u03a3")
@example(name="-")
@example(name="a\ud800_B")
def test_normalize_name_is_re_sub(m, name):
    client = m.PackageIndexClient(None)
    assert client._normalize_name(name) == library_name(name)


@pytest.mark.parametrize("name", [
    "already-normal", "a--b", "-a-", "a-", "--", "A", "x" * 129,  # one pass, or the equal str given back
    "Foo_" * 40, "a-" * 100 + "-._" * 10, "\u0130" + "X_" * 100, "\U0001d400" * 3 + "-_." * 50,  # beyond 128
])
def test_normalize_name_long_and_edge(m, name):
    assert m.PackageIndexClient(None)._normalize_name(name) == library_name(name)


@MANY
@given(req=REQUIREMENT_TEXTS)
@example(req="foo[]")
@example(req="foo[a,]")
@example(req="a[\n]b\nc")
@example(req="x[[y]]z")
def test_parse_requirement_is_the_library_parse(m, log, req):
    log.clear()
    expected = library_parse(req)
    assert m.PackageIndexClient(None)._parse_requirement(req) == expected
    assert log.records == ([] if expected else [("warning", f"Could not parse requirement: {req}")])


@pytest.mark.parametrize("req", CORPUS)
def test_parse_requirement_corpus(m, log, req):
    expected = library_parse(req)
    record = m.PackageIndexClient(None)._parse_requirement(req)
    assert record == expected
    if record is not None:
        assert [type(v) for v in record.values()] == [str, str, list, str]


@NETWORK
@given(requires=st.lists(EXTRA_TEXTS, min_size=1, max_size=3))
@example(requires=["black; extra ==  'dev'", "mypy; extra == 'dev' or extra == 'test'", "x; extra==\"y\""])
@example(requires=["a; extra ==\x1c\x85'q\"", "b; extra == ''", "c; extra == 'open"])
def test_extras_from_index_is_re_search(api, server, requires):
    serve(server, "/pypi/demo/1.0/json", {"info": {"requires_dist": requires}})
    assert api.ask("_get_extras_from_index", "demo", "1.0") == library_extras(requires)


def test_extras_from_index_corpus(api, server):
    for req in CORPUS:
        serve(server, "/pypi/demo/1.0/json", {"info": {"requires_dist": [req]}})
        assert api.ask("_get_extras_from_index", "demo", "1.0") == library_extras([req]), req


class _Metadata:
    def __init__(self, requires):
        self.requires = requires

    def get(self, key):
        return {"Version": "1.0"}.get(key)

    def get_all(self, key):
        return self.requires


@MANY
@given(req=EXTRA_TEXTS)
@example(req="a; extra == 'Socks'")
@example(req="a; extra == '\u0130x'")
def test_specifier_check_reads_extras_like_re_search(m, req):
    client = m.PackageIndexClient(None)
    client._get_current_distributions = lambda: {"demo": types.SimpleNamespace(metadata=_Metadata([req]))}
    declared = library_extras([req])
    for extra in declared:
        assert client.check_specifier_in_dist("demo", "", [extra.lower()]) == "1.0"
    if not declared:
        assert client.check_specifier_in_dist("demo", "", ["x"]) is None


@NETWORK
@given(path=URL_PIECES, name=URL_PIECES.filter(lambda n: "/" not in n))
@example(path="/api/{package_name}/{version}/json", name="demo")
@example(path="/{version}/{version}v{version}", name="")
def test_fill_pattern_is_re_sub(api, server, log, path, name):
    serve(server, "*", status=500)
    pattern = server.url + "/p/" + path  # the host part stays whole whatever is removed
    api.pattern["value"] = pattern
    log.clear()
    assert api.ask("_get_versions_from_index", name) == []
    assert log.records == [("error", f"API returned status 500 for {library_url(pattern, name)}")]


@settings(NETWORK, max_examples=400)
@given(keys=RELEASE_KEYS)
@example(keys=["1.0", "1.0.0", "1", "1.0+local", "1.0+LOCAL", "1.0+1", "1.0+a.1", "1.0+a", "1.0.post0", "1.0-0",
               "1.0rc", "1.0c", "1.0pre", "1.0preview", "1.0a", "1.0alpha", "1.0.dev0", "1.0a1.dev1",
               "1.0.post1.dev1", "1!0.1", "v1.0", " 1.0 ", "1.0a-", "1..0", "", "1.0-dev", "1.0_r_1"])
@example(keys=["1." + "0" * 19, "1.0", "1.0\u00a0", "0.9"])
@example(keys=["1.0", "1.0po\u017ft1", "1.0.post1", "1.0prev\u0131ew1", "1.0rc1", "1.0+\u212a", "1.0+k"])
def test_release_order_is_packaging_order(api, server, keys):
    serve(server, "/pypi/demo/json", {"releases": {key: [] for key in keys}})
    versions, seen = python_calls(api.ask, "_get_versions_from_index", "demo")
    assert versions == library_order(keys)
    assert (("packaging.version", "__init__") not in seen) is natively_decided(keys)


# --- the stand-ins are taken while nothing is replaced ----------------------------------

@pytest.mark.parametrize("method, argument", [
    ("_normalize_name", "Foo__Bar.baz"),
    ("_parse_requirement", "requests[socks]>=2.0; extra == 'x'"),
    ("check_specifier_in_dist", "demo"),
])
def test_no_library_code_runs_on_the_native_road(m, method, argument):
    client = m.PackageIndexClient(None)
    client._get_current_distributions = lambda: {"demo": types.SimpleNamespace(
        metadata=_Metadata(["socks; extra == 'socks'"]))}
    args = (argument, "", ["socks"]) if method == "check_specifier_in_dist" else (argument,)
    result, seen = python_calls(getattr(client, method), *args)
    assert result
    assert [call for call in seen if call[0] in ("re", "packaging.version")] == []


# --- and step aside once something is replaced ------------------------------------------

class Recorder:
    def __init__(self):
        self.calls = []

    def wrap(self, name, real):
        def wrapper(*args, **kwargs):
            self.calls.append((name, args[0]))
            return real(*args, **kwargs)
        return wrapper

    def namespace(self):
        return types.SimpleNamespace(**{name: self.wrap(name, getattr(re, name)) for name in ("sub", "match", "search")})


def replace_global(m, monkeypatch, recorder, name):
    monkeypatch.setattr(m, "re", recorder.namespace())


def replace_function(m, monkeypatch, recorder, name):
    monkeypatch.setattr(re, name, recorder.wrap(name, getattr(re, name)))


def replace_compile(m, monkeypatch, recorder, name):
    real = re._compile
    monkeypatch.setattr(re, "_compile", lambda pattern, flags: (recorder.calls.append((name, pattern)),
                                                                real(pattern, flags))[1])


REPLACEMENTS = {"m.re": replace_global, "re.<function>": replace_function, "re._compile": replace_compile}


@pytest.mark.parametrize("how", REPLACEMENTS)
@pytest.mark.parametrize("road, function, pattern", [
    ("name", "sub", r"[-_.]+"),
    ("parser", "match", r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)"),
    ("specifier", "search", r"""extra\s*==\s*["\']([^"\']+)["\']"""),
])
def test_replacing_re_hands_the_work_back(m, monkeypatch, how, road, function, pattern):
    recorder = Recorder()
    REPLACEMENTS[how](m, monkeypatch, recorder, function)
    client = m.PackageIndexClient(None)
    if road == "name":
        assert client._normalize_name("Foo__Bar.baz") == "foo-bar-baz"
    elif road == "parser":
        assert client._parse_requirement("a[b] >=1; extra == 'c'") == library_parse("a[b] >=1; extra == 'c'")
    else:
        client._get_current_distributions = lambda: {"demo": types.SimpleNamespace(
            metadata=_Metadata(["socks; extra == 'Socks'"]))}
        assert client.check_specifier_in_dist("demo", "", ["socks"]) == "1.0"
    assert (function, pattern) in recorder.calls


@pytest.mark.parametrize("how", REPLACEMENTS)
def test_replacing_re_hands_pattern_filling_back(m, api, server, log, monkeypatch, how):
    recorder = Recorder()
    REPLACEMENTS[how](m, monkeypatch, recorder, "sub")
    serve(server, "*", status=500)
    api.pattern["value"] = server.url + "/x/{package_name}/{version}/json"
    assert api.ask("_get_versions_from_index", "demo") == []
    assert ("sub", r"/\{version\}") in recorder.calls
    assert log.messages() == [f"API returned status 500 for {server.url}/x/demo/json"]


def test_replacing_the_extras_search_on_the_api_road(api, server, m, monkeypatch):
    recorder = Recorder()
    replace_global(m, monkeypatch, recorder, "search")
    serve(server, "/pypi/demo/1.0/json", {"info": {"requires_dist": ["a; extra == 'x'", "b"]}})
    assert api.ask("_get_extras_from_index", "demo", "1.0") == {"x"}
    assert recorder.calls == [("search", EXTRA)]


class RecordingVersion(Version):
    made = []

    def __init__(self, text):
        RecordingVersion.made.append(text)
        super().__init__(text)


def by_length(text):
    if not text:
        raise ValueError("empty")
    return len(text)


def reversed_lt(self, other):
    return Version.__gt__(self, other)


def replace_cmpkey_code(patch):
    """_cmpkey keeps its identity but runs other code, with other defaults."""
    target = packaging.version._cmpkey
    original = types.FunctionType(target.__code__, target.__globals__, "original", target.__defaults__)

    def reversing(*args, original=original, reversed_key=Reversed):
        return reversed_key(original(*args))

    patch.setattr(target, "__code__", reversing.__code__)
    patch.setattr(target, "__defaults__", None)
    patch.setattr(target, "__kwdefaults__", reversing.__kwdefaults__)


VERSION_REPLACEMENTS = {
    "subclass as m.Version": lambda m, patch: patch.setattr(m, "Version", RecordingVersion),
    "other callable as m.Version": lambda m, patch: patch.setattr(m, "Version", by_length),
    "Version.__lt__": lambda m, patch: patch.setattr(Version, "__lt__", reversed_lt),
    "Version.__init__": lambda m, patch: patch.setattr(
        Version, "__init__", lambda self, text, real=Version.__init__: (RecordingVersion.made.append(text),
                                                                         real(self, text))[1]),
    "packaging.version._cmpkey": lambda m, patch: patch.setattr(
        packaging.version, "_cmpkey", lambda *args, real=packaging.version._cmpkey: Reversed(real(*args))),
    "code of _cmpkey": lambda m, patch: replace_cmpkey_code(patch),
    # a name added to the library's namespace that shadows a builtin it calls
    "int in packaging.version": lambda m, patch: patch.setattr(packaging.version, "int", lambda text: -int(text),
                                                              raising=False),
}


@pytest.mark.parametrize("how", VERSION_REPLACEMENTS)
def test_replacing_version_hands_the_ordering_back(api, server, m, how):
    keys = ["1.0", "10.0", "2.0rc1", "latest", "9.0", "1.0.0"]
    serve(server, "/pypi/demo/json", {"releases": {key: [] for key in keys}})
    native = library_order(keys)
    RecordingVersion.made.clear()
    with pytest.MonkeyPatch.context() as patch:
        VERSION_REPLACEMENTS[how](m, patch)
        assert api.ask("_get_versions_from_index", "demo") == library_order(keys, m.Version)
        if how in ("subclass as m.Version", "Version.__init__"):
            assert RecordingVersion.made == keys + keys  # the client's, then the expectation's
        else:
            assert library_order(keys, m.Version) != native
    # put back, the native road answers again
    versions, seen = python_calls(api.ask, "_get_versions_from_index", "demo")
    assert versions == native
    assert ("packaging.version", "__init__") not in seen


ADDITIONS = {
    # copying a Version adds __slotnames__ to its class on packaging releases without __getstate__
    "a copy of a Version": (lambda patch: copy.deepcopy([Version("1.0")]), True),
    "a plain name on Version": (lambda patch: patch.setattr(Version, "note", "x", raising=False), True),
    "a warning registry in packaging.version": (
        lambda patch: patch.setattr(packaging.version, "__warningregistry__", {}, raising=False), True),
    # a data descriptor takes over an instance attribute of its name
    "a property on Version": (lambda patch: patch.setattr(Version, "note", property(len), raising=False), False),
    "a builtin shadowed in packaging.version": (
        lambda patch: patch.setattr(packaging.version, "len", len, raising=False), False),
}


@pytest.mark.parametrize("what", ADDITIONS)
def test_names_added_to_the_library(api, server, what):
    add, native = ADDITIONS[what]
    keys = ["1.0", "10.0", "2.0rc1", "latest", "1.0.0"]
    serve(server, "/pypi/demo/json", {"releases": {key: [] for key in keys}})
    had_slotnames = "__slotnames__" in vars(Version)
    try:
        with pytest.MonkeyPatch.context() as patch:
            add(patch)
            versions, seen = python_calls(api.ask, "_get_versions_from_index", "demo")
            assert versions == library_order(keys)
            assert (("packaging.version", "__init__") not in seen) is native
    finally:
        if not had_slotnames and "__slotnames__" in vars(Version):
            del Version.__slotnames__


@pytest.mark.parametrize("keys, native", [
    (["1.0", "2.0rc1", "latest", "v1.5+Local.7"], True),
    (["1.0", "\u20281.0\u00a0", "\u0661.0", "\u2175"], True),  # white space and digits beyond ASCII
    (["1.0", "1." + "7" * 25], False),  # a number of more than 18 digits: the library's road
    (["1.0", "1.0po\u017ft1"], False),  # a case-folding letter: the library's reading, whichever release
    (["2.0", "1.0+\u212a"], False),
])
def test_which_release_keys_the_native_parser_takes(api, server, keys, native):
    serve(server, "/pypi/demo/json", {"releases": {key: [] for key in keys}})
    versions, seen = python_calls(api.ask, "_get_versions_from_index", "demo")
    assert versions == library_order(keys)
    assert (("packaging.version", "__init__") not in seen) is native


# --- what the gate watches: what the proven code reads, and nothing else ---------------

def roads(api, server, m):
    """Asks each fast-path question once; gives, per stand-in, whether the library
    ran for the answer (seen through the profiler), each answer checked."""
    serve(server, "/pypi/demo/json", {"releases": {key: [] for key in KEYS}})
    client = m.PackageIndexClient(None)
    client._get_current_distributions = lambda: {"demo": types.SimpleNamespace(
        metadata=_Metadata(["socks; extra == 'Socks'"]))}
    requirement = "a[b] >=1; extra == 'c'"
    taken = {}
    name, seen = python_calls(client._normalize_name, "Foo__Bar.baz")
    assert name == "foo-bar-baz"
    taken["normalize_name"] = ran_in("re", seen)
    record, seen = python_calls(client._parse_requirement, requirement)
    assert record == library_parse(requirement)
    taken["parse_requirement"] = ran_in("re", seen)
    installed, seen = python_calls(client.check_specifier_in_dist, "demo", "", ["socks"])
    assert installed == "1.0"
    taken["extra_marker"] = ("re", "search") in seen  # the name goes through _normalize_name first
    versions, seen = python_calls(api.ask, "_get_versions_from_index", "demo")
    assert versions == library_order(KEYS, m.Version)
    taken["fill_pattern"] = ran_in("re", seen)  # the HTTP client runs no function of re
    taken["release_order"] = ("packaging.version", "__init__") in seen
    return {road for road, library in taken.items() if library}


RE_ROADS = {"normalize_name", "parse_requirement", "extra_marker", "fill_pattern"}


def shadow_in_re(patch):
    # re._compile reads the builtin isinstance; a global of that name in re hides it
    patch.setattr(re, "isinstance", lambda *args: isinstance(*args), raising=False)


def rebind_version_tuple(patch):
    # read by the function a decorator wraps (Version._version on packaging 26, __init__ before)
    patch.setattr(packaging.version, "_Version", type("_Version", (packaging.version._Version,), {}))


WATCHED = {
    # (change, the stand-ins that hand the work back while it lasts)
    "warnings.filters rebound, as leaving catch_warnings() does": (
        lambda patch: patch.setattr(warnings, "filters", list(warnings.filters)), set()),
    "a warning filter added": (lambda patch: warnings.simplefilter("ignore", DeprecationWarning), set()),
    # what a decorator's wrapper reads (packaging's own on 3.11 and 3.12) does not do the work
    "warnings bound in packaging.version": (
        lambda patch: patch.setattr(packaging.version, "warnings", types.ModuleType("warnings"), raising=False), set()),
    "a name of re that its functions do not read": (lambda patch: patch.setattr(re, "unread", 1, raising=False), set()),
    # re._compile reads the attribute `compile` of re._compiler, not the global re.compile
    "re.compile replaced": (lambda patch: patch.setattr(re, "compile", lambda *args, real=re.compile: real(*args)),
                            set()),
    "a builtin that re reads, shadowed in re": (shadow_in_re, RE_ROADS),
    "re.sub replaced": (lambda patch: patch.setattr(re, "sub", lambda *args: re._compile(*args[:1], 0).sub(*args[1:])),
                        {"normalize_name", "fill_pattern"}),
    "_cmpkey replaced": (lambda patch: patch.setattr(packaging.version, "_cmpkey",
                                                     lambda *args, real=packaging.version._cmpkey: real(*args)),
                         {"release_order"}),
    "a name the wrapped function reads, replaced": (rebind_version_tuple, {"release_order"}),
}


@pytest.mark.parametrize("case", WATCHED)
def test_what_the_gate_watches(api, server, m, case):
    change, library_roads = WATCHED[case]
    assert roads(api, server, m) == set()
    with warnings.catch_warnings(), pytest.MonkeyPatch.context() as patch:
        change(patch)
        assert roads(api, server, m) == library_roads
    assert roads(api, server, m) == set()  # put back: every stand-in answers again


def test_native_roads_inside_and_after_catch_warnings(api, server, m):
    for _ in range(2):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert roads(api, server, m) == set()
        assert roads(api, server, m) == set()


# --- the gate: proven at import against the library as it is then ----------------------

CHILD = Path(__file__).with_name("fast_path_child.py")


@pytest.mark.parametrize("case, library_roads", [
    ("genuine", set()),
    ("imported inside catch_warnings()", set()),
    ("_cmpkey reversed", {"release_order"}),
    ("_cmpkey wrapped", set()),  # a patch that changes no answer keeps the stand-in
    ("Version subclassed", set()),
    ("re.sub differs on names", {"normalize_name"}),
    # differs only on inputs the question below does not hold: caught by the probes
    ("re.match differs on line breaks", {"parse_requirement"}),
])
def test_library_patched_before_import(case, library_roads):
    child = subprocess.run([sys.executable, str(CHILD), case], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    answers = json.loads(child.stdout)
    assert set(answers) == {"normalize_name", "parse_requirement", "extra_marker", "release_order"}
    for road, answer in answers.items():
        assert answer["answer"] == answer["library"], road
        assert answer["library_ran"] is (road in library_roads), road
    expected = {"_cmpkey reversed": library_order(KEYS)[::-1], "re.sub differs on names": "foo_bar_baz"}
    if case == "_cmpkey reversed":
        assert answers["release_order"]["answer"] == expected[case]
    if case == "re.sub differs on names":
        assert answers["normalize_name"]["answer"] == expected[case]


# --- the module's own methods, run in place only while not overridden --------------------

ENTRIES = [{"index_url": f"http://127.0.0.1:{9000 + i}/simple/", "api_pattern": f"pattern-{i}"} for i in range(5)]


def test_pattern_lookup_uses_overrides_of_normalize_url(m, monkeypatch):
    monkeypatch.setattr(m, "get_pip_api_list", lambda manager: [dict(e) for e in ENTRIES])
    seen = []

    class Sub(m.PackageIndexClient):
        def _normalize_url(self, url):
            seen.append(url)
            return url.rstrip("/").upper()

    assert Sub(None)._get_api_pattern_for_index("HTTP://127.0.0.1:9003/SIMPLE") == "pattern-3"
    assert seen == ["HTTP://127.0.0.1:9003/SIMPLE"] + [e["index_url"] for e in ENTRIES[:4]]
    client = m.PackageIndexClient(None)
    assert client._get_api_pattern_for_index("HTTP://127.0.0.1:9003/SIMPLE") is None
    client._normalize_url = lambda url: url.lower().rstrip("/")
    assert client._get_api_pattern_for_index("HTTP://127.0.0.1:9003/SIMPLE") == "pattern-3"


def test_pattern_lookup_looks_normalize_url_up_for_every_entry(m, monkeypatch):
    client = m.PackageIndexClient(None)

    class Overriding(dict):
        def get(self, key, default=None):
            client._normalize_url = lambda url: "http://127.0.0.1:9004/simple"  # from now on, every entry matches
            return super().get(key, default)

    entries = [dict(ENTRIES[0]), Overriding(ENTRIES[1]), dict(ENTRIES[2])]
    monkeypatch.setattr(m, "get_pip_api_list", lambda manager: entries)
    # As `self._normalize_url(entry.get(...))` evaluates: the method is looked up
    # before the argument, so the override takes effect from the next entry on.
    assert client._get_api_pattern_for_index("http://127.0.0.1:9004/simple/") == "pattern-2"


def test_pattern_lookup_sees_an_override_made_during_a_key_comparison(m, monkeypatch):
    client = m.PackageIndexClient(None)

    class Colliding:  # a key whose comparison with "index_url" runs Python code
        def __hash__(self):
            return hash("index_url")

        def __eq__(self, other):
            client._normalize_url = lambda url: "http://127.0.0.1:9004/simple"
            return False

    first = {Colliding(): None, **ENTRIES[0]}
    vars(client).pop("_normalize_url")  # building the dict compared the keys already
    monkeypatch.setattr(m, "get_pip_api_list", lambda manager: [first] + [dict(e) for e in ENTRIES[1:]])
    assert client._get_api_pattern_for_index("http://127.0.0.1:9004/simple/") == "pattern-1"


@pytest.mark.parametrize("where", ["instance", "subclass"])
def test_cached_dependencies_use_overrides_of_the_parser(m, loop, where):
    seen = []

    def parse(self, req):
        seen.append(req)
        return {"name": req}

    if where == "subclass":
        client = type("Sub", (m.PackageIndexClient,), {"_parse_requirement": parse})(None)
    else:
        client = m.PackageIndexClient(None)
        client._parse_requirement = types.MethodType(parse, client)
    client._metadata_cache[("demo", "1.0")] = {"info": {"requires_dist": ["a>=1", "b"]}}
    deps = loop.run_until_complete(client._get_dependencies_from_index("demo", "1.0", "http://127.0.0.1:1/simple"))
    assert deps == [{"name": "a>=1"}, {"name": "b"}] and seen == ["a>=1", "b"]
