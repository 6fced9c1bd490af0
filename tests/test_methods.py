"""The method table: names, signatures, docstrings, and the argument and return rules."""

from __future__ import annotations

import asyncio
import inspect

import pytest

S = "str"
OS = "Optional[str]"

# name, awaitable, params [(name, annotation, has default)], return annotation, summary
TABLE = [
    ("__init__", False, [("settings_manager", None, False)], None, "Initialize the PackageIndexClient."),
    ("_get_session", True, [], None, "Get or create aiohttp session."),
    ("close", True, [], None, "Close HTTP session."),
    ("_normalize_name", False, [("name", S, False)], "str", "Normalize package name per PEP 503."),
    ("_get_current_distributions", False, [], "Dict[str, importlib.metadata.Distribution]",
     "Get cached current Python environment distributions."),
    ("clear_distributions_cache", False, [], None, "Clear the distributions cache to force refresh."),
    ("check_specifier_in_dist", False,
     [("package_name", S, False), ("version_spec", S, False), ("extras", "Optional[List[str]]", True)],
     "Optional[str]", "Check if a package specifier is satisfied by the current Python environment."),
    ("_get_pip_settings", False, [], "Dict[str, Any]", "Get pip settings from settings manager."),
    ("_get_pip_api_list", False, [], "List[Dict[str, str]]", "Get pip_api list from settings."),
    ("_normalize_url", False, [("url", S, False)], "str",
     "Normalize URL by stripping trailing slashes and backslashes."),
    ("_get_api_pattern_for_index", False, [("index_url", S, False)], "Optional[str]",
     "Get API pattern for a given index URL."),
    ("find_repo_for_package", True, [("package_name", S, False)], "Optional[str]",
     "Find the first repository URL where package exists."),
    ("find_repo_for_package_version", True, [("package_name", S, False), ("version", S, False)], "Optional[str]",
     "Find the first repository URL with specific package version."),
    ("_package_exists_in_index", True, [("package_name", S, False), ("index_url", S, False)], "bool",
     "Check if package exists in an index."),
    ("_package_version_exists_in_index", True,
     [("package_name", S, False), ("version", S, False), ("index_url", S, False)], "bool",
     "Check if specific package version exists in an index."),
    ("_package_version_exists_via_unearth", False,
     [("package_name", S, False), ("version", S, False), ("index_url", S, False)], "bool",
     "Check if package version exists using unearth."),
    ("get_versions", True, [("package_name", S, False), ("index_url", OS, True)], "List[str]",
     "Get all versions for a package from first available repo or specific index."),
    ("_get_versions_from_index", True, [("package_name", S, False), ("index_url", S, False)], "List[str]",
     "Get versions from a specific index."),
    ("_get_versions_via_unearth", False, [("package_name", S, False), ("index_url", S, False)], "List[str]",
     "Get versions using unearth library (synchronous)."),
    ("get_extras", True, [("package_name", S, False), ("version", S, False), ("index_url", OS, True)], "List[str]",
     "Get extras for a package/version from first available repo or specific index."),
    ("_get_extras_from_index", True, [("package_name", S, False), ("version", S, False), ("index_url", S, False)],
     "Set[str]", "Get extras from a specific index."),
    ("_get_extras_via_unearth", False, [("package_name", S, False), ("version", S, False), ("index_url", S, False)],
     "Set[str]", "Get extras using unearth library by fetching wheel metadata."),
    ("get_dependencies", True, [("package_name", S, False), ("version", S, False), ("index_url", OS, True)],
     "List[Dict[str, Any]]",
     "Get dependencies for a package/version from first available repo or specific index."),
    ("_get_dependencies_from_index", True,
     [("package_name", S, False), ("version", S, False), ("index_url", S, False)], "List[Dict[str, Any]]",
     "Get dependencies from a specific index."),
    ("_get_dependencies_via_unearth", False,
     [("package_name", S, False), ("version", S, False), ("index_url", S, False)], "List[Dict[str, Any]]",
     "Get dependencies using unearth library by fetching wheel metadata."),
    ("_parse_requirement", False, [("req", S, False)], "Optional[Dict[str, Any]]",
     "Parse a requirement string into components."),
    ("get_package_info", True, [("package_name", S, False)], "Dict[str, str]",
     "Get package info including latest version and description."),
    ("_get_package_info_from_index", True, [("package_name", S, False), ("index_url", S, False)], "Dict[str, str]",
     "Get package info from a specific index."),
]
NAMES = [row[0] for row in TABLE]


def test_methods_are_defined_in_table_order(m):
    defined = [k for k, v in vars(m.PackageIndexClient).items() if callable(v)]
    assert defined == NAMES


def _signature_line(name, params, ret):
    parts = ["self"]
    for pname, ann, default in params:
        text = pname if ann is None else f"{pname}: {ann}"
        if default:
            text += " = None" if ann else "=None"
        parts.append(text)
    line = f"PackageIndexClient.{name}({', '.join(parts)})"
    return line + (f" -> {ret}" if ret else "")


@pytest.mark.parametrize("name,awaitable,params,ret,summary", TABLE, ids=NAMES)
def test_method_metadata(m, name, awaitable, params, ret, summary):
    fn = vars(m.PackageIndexClient)[name]
    assert fn.__name__ == name
    assert fn.__qualname__ == f"PackageIndexClient.{name}"
    assert fn.__module__ == m.__name__
    doc = fn.__doc__.split("\n")
    assert doc[0] == _signature_line(name, params, ret)
    assert doc[1] == "" and doc[2] == summary
    expected_ann = {p: a for p, a, _ in params if a is not None}
    if ret:
        expected_ann["return"] = ret
    assert fn.__annotations__ == expected_ann
    assert asyncio.iscoroutinefunction(fn) is awaitable
    assert asyncio.iscoroutinefunction(m.PackageIndexClient(None).__getattribute__(name)) is awaitable
    sig = inspect.signature(fn)
    assert list(sig.parameters) == ["self"] + [p for p, _, _ in params]
    assert [p.default for p in sig.parameters.values()][1:] == [
        None if d else inspect.Parameter.empty for _, _, d in params]


def _count_message(name, bound, n, given):
    return f"{name}() takes {bound} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


WRONG = 1  # the wrong type for every str parameter: the count error must still come first


def _count_cases(params):
    """(case, unbound, args, kwargs, bound word, count, given) for one method.

    A missing required parameter is reported first, with the number of
    parameters before it (self included) as given; otherwise a surplus or an
    unknown keyword, with every argument counted."""
    names = [p for p, _, _ in params]
    required = [p for p, _, d in params if not d]
    n_req, n_all = 1 + len(required), 1 + len(names)
    few = ("exactly" if n_req == n_all else "at least", n_req)
    many = ("exactly" if n_req == n_all else "at most", n_all)
    every = dict.fromkeys(names, WRONG)
    cases = [
        ("self missing", True, [], every, *few, 0),
        ("surplus positional", False, [WRONG] * (n_all - 1) + [WRONG], {}, *many, n_all + 1),
        ("unknown keyword after all", False, [WRONG] * (n_all - 1), {"bogus": WRONG}, *many, n_all + 1),
        ("unknown keyword, required by keyword", False, [], {**dict.fromkeys(required, WRONG), "bogus": WRONG},
         *many, n_req + 1),
        ("unknown keyword, self by keyword", True, [], {"self": None, **every, "bogus": WRONG}, *many, n_all + 1),
    ]
    if names:
        cases.append(("surplus, keyword naming a parameter", False, [WRONG] * (n_all - 1), {names[-1]: WRONG},
                      *many, n_all + 1))
    if required:
        first, last = required[0], required[-1]
        cases += [
            ("missing", False, [], {}, *few, 1),
            ("missing, unknown keyword", False, [], {"bogus": WRONG}, *few, 1),
            ("missing, surplus by keywords", False, [], {f"k{i}": WRONG for i in range(n_all + 1)}, *few, 1),
            ("missing last, others by keyword", False, [], dict.fromkeys(required[:-1], WRONG), *few, n_req - 1),
            ("missing last, others by keyword, unknown keyword", False, [],
             {**dict.fromkeys(required[:-1], WRONG), "bogus": WRONG}, *few, n_req - 1),
            ("missing first, later by keyword", False, [], {p: WRONG for p in names if p != first}, *few, 1),
            ("missing, self by keyword", True, [], {"self": None, **{p: WRONG for p in names if p != last}},
             *few, n_req - 1),
        ]
    return cases


COUNT_CASES = [(name, *case) for name, _, params, _, _ in TABLE for case in _count_cases(params)]


@pytest.mark.parametrize("name,case,unbound,args,kwargs,bound,count,given", COUNT_CASES,
                         ids=[f"{c[0]}: {c[1]}" for c in COUNT_CASES])
def test_argument_count_errors(m, recwarn, name, case, unbound, args, kwargs, bound, count, given):
    client = m.PackageIndexClient(None)
    if "self" in kwargs:
        kwargs = {**kwargs, "self": client}
    fn = vars(m.PackageIndexClient)[name] if unbound else getattr(client, name)
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == _count_message(name, bound, count, given)
    assert not [w for w in recwarn if "never awaited" in str(w.message)]


@pytest.mark.parametrize("call, message", [
    # the three calls that used to contradict themselves
    (lambda c: c.__init__(bogus=1), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda c: c.get_versions(bogus=1), "get_versions() takes at least 2 positional arguments (1 given)"),
    (lambda c: c.get_extras(package_name="x"), "get_extras() takes at least 3 positional arguments (2 given)"),
    (lambda c: c.get_versions(), "get_versions() takes at least 2 positional arguments (1 given)"),
    (lambda c: c.get_extras(1), "get_extras() takes at least 3 positional arguments (2 given)"),
    (lambda c: c.get_versions("x", None, index_url=None, bogus=1),
     "get_versions() takes at most 3 positional arguments (5 given)"),
    (lambda c: c.check_specifier_in_dist("x", extras=[]),
     "check_specifier_in_dist() takes at least 3 positional arguments (2 given)"),
])
def test_argument_count_samples(m, call, message):
    with pytest.raises(TypeError) as info:
        call(m.PackageIndexClient(None))
    assert str(info.value) == message


def test_bound_by_keyword_then_type_checked(m):
    C = m.PackageIndexClient
    client = C(None)
    assert C._normalize_name(self=client, name="A_B") == "a-b"
    with pytest.raises(TypeError, match=r"^Argument 'version' has incorrect type \(expected str, got int\)$"):
        C.get_extras(version=WRONG, self=client, package_name="x")


STR_METHODS = [(n, p) for n, _, params, _, _ in TABLE for p, a, _ in params if a == S]
OPTIONAL_STR_METHODS = [(n, p) for n, _, params, _, _ in TABLE for p, a, _ in params if a == OS]


class StrSub(str):
    pass


class ListSub(list):
    pass


def _call_with(m, name, param, value):
    row = next(r for r in TABLE if r[0] == name)
    kwargs = {p: "x" for p, a, _ in row[2] if a in (S, OS)}
    kwargs[param] = value
    return getattr(m.PackageIndexClient(None), name)(**kwargs)


@pytest.mark.parametrize("name,param", STR_METHODS)
@pytest.mark.parametrize("value,got,subclass", [(None, "NoneType", False), (1, "int", False),
                                                (b"x", "bytes", False), (StrSub("x"), "StrSub", True)])
def test_exact_str_rule(m, name, param, value, got, subclass):
    with pytest.raises(TypeError) as info:
        _call_with(m, name, param, value)
    message = str(info.value)
    prefix = f"Argument '{param}' has incorrect type (expected str, got {got})"
    if subclass:
        assert message.startswith(prefix + ". ") and len(message) > len(prefix) + 2
    else:
        assert message == prefix


@pytest.mark.parametrize("name,param", OPTIONAL_STR_METHODS)
def test_optional_str_rule(m, name, param):
    with pytest.raises(TypeError, match=f"Argument '{param}' has incorrect type \\(expected str, got StrSub\\)"):
        _call_with(m, name, param, StrSub("x"))


def test_awaitable_methods_check_arguments_before_a_coroutine_exists(m, recwarn):
    client = m.PackageIndexClient(None)
    for name, awaitable, params, _, _ in TABLE:
        if awaitable and params:
            with pytest.raises(TypeError):
                getattr(client, name)(*([None] * len(params)))
    # no coroutine was created, so none is left un-awaited
    assert not [w for w in recwarn if "never awaited" in str(w.message)]


def test_optional_list_rule(m):
    client = m.PackageIndexClient(None)
    with pytest.raises(TypeError, match=r"Argument 'extras' has incorrect type \(expected list, got tuple\)"):
        client.check_specifier_in_dist("x", "", ("a",))
    with pytest.raises(TypeError, match=r"expected list, got ListSub\)\. "):
        client.check_specifier_in_dist("x", "", ListSub())


def test_arguments_by_keyword_and_duplicate_values(m, fixed_settings):
    client = m.PackageIndexClient(settings_manager="mgr")
    assert client.settings_manager == "mgr"
    assert client._normalize_url(url="a//") == "a"
    with pytest.raises(TypeError, match=r"^get_versions\(\) got multiple values for keyword argument 'package_name'$"):
        client.get_versions("a", package_name="b")
    # one argument too many is a surplus, whichever parameter it names
    with pytest.raises(TypeError, match=r"^_normalize_url\(\) takes exactly 2 positional arguments \(3 given\)$"):
        client._normalize_url("a", url="b")


@pytest.mark.parametrize("settings,expected", [
    ([], "Expected dict, got list"),
    ("text", "Expected dict, got str"),
    (type("D", (dict,), {})(), "Expected dict, got D"),
])
def test_return_rule_on_settings(m, fixed_settings, settings, expected):
    fixed_settings.settings = settings
    with pytest.raises(TypeError) as info:
        m.PackageIndexClient(None)._get_pip_settings()
    assert str(info.value) == expected


def test_return_rule_allows_none(m, fixed_settings):
    fixed_settings.settings = None
    assert m.PackageIndexClient(None)._get_pip_settings() is None


# The usual call (every argument by position, each of its rule's type) goes
# straight into a plain method's body; any other goes the full way. Both must
# answer alike, and what the straight call passes over must fail as it would
# by keyword.
PLAIN_STR_METHODS = [(n, [p for p, _, _ in params]) for n, awaitable, params, _, _ in TABLE
                     if not awaitable and params and all(a == S for _, a, _ in params)]
POSITIONAL_SAMPLES = [StrSub("a"), None, 1, b"x"]


@pytest.mark.parametrize("name,params", PLAIN_STR_METHODS, ids=[n for n, _ in PLAIN_STR_METHODS])
@pytest.mark.parametrize("bad", POSITIONAL_SAMPLES, ids=type)
@pytest.mark.parametrize("at", [0, -1], ids=["first", "last"])
def test_positional_call_fails_as_by_keyword(m, recwarn, name, params, bad, at):
    client = m.PackageIndexClient(None)
    values = ["x"] * len(params)
    values[at] = bad
    with pytest.raises(TypeError) as by_keyword:
        getattr(client, name)(**dict(zip(params, values)))
    with pytest.raises(TypeError) as by_position:
        getattr(client, name)(*values)
    assert str(by_position.value) == str(by_keyword.value)


@pytest.mark.parametrize("name,arg", [("_parse_requirement", "Requests[socks, tls] >=2.0 ; python_version>'3'"),
                                      ("_parse_requirement", "==1.0"), ("_normalize_name", "Foo.Bar__baz"),
                                      ("_normalize_url", "https://h/simple//")])
def test_positional_and_keyword_calls_agree(m, recwarn, name, arg):
    client = m.PackageIndexClient(None)
    param = next(params[0] for n, params in PLAIN_STR_METHODS if n == name)
    by_position = getattr(client, name)(arg)
    assert by_position == getattr(client, name)(**{param: arg})
    assert by_position == getattr(m.PackageIndexClient, name)(client, arg)


def test_positional_call_counts_every_argument(m):
    client = m.PackageIndexClient(None)
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
        client._parse_requirement("a", "b")
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        m.PackageIndexClient._parse_requirement(client)
