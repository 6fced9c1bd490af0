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


def _arity(params):
    required = 1 + sum(1 for _, _, d in params if not d)
    return required, 1 + len(params)


def _count_message(name, bound, n, given):
    return f"{name}() takes {bound} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


@pytest.mark.parametrize("name,awaitable,params,ret,summary", TABLE, ids=NAMES)
def test_wrong_argument_counts(m, name, awaitable, params, ret, summary):
    fn = vars(m.PackageIndexClient)[name]
    client = m.PackageIndexClient(None)
    required, maximum = _arity(params)
    exact = required == maximum
    with pytest.raises(TypeError) as info:
        fn(*([client] + ["x"] * maximum))
    assert str(info.value) == _count_message(name, "exactly" if exact else "at most", maximum, maximum + 1)
    if required > 1:
        with pytest.raises(TypeError) as info:
            fn(client)
        assert str(info.value) == _count_message(name, "exactly" if exact else "at least", required, 1)
    with pytest.raises(TypeError) as info:
        fn(client, *(["x"] * (required - 1)), no_such_parameter=1)
    assert "positional argument" in str(info.value)


def test_get_versions_with_self_alone(m):
    with pytest.raises(TypeError) as info:
        m.PackageIndexClient(None).get_versions()
    assert str(info.value) == "get_versions() takes at least 2 positional arguments (1 given)"


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
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'url'"):
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
