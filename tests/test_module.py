"""Import-time behaviour: globals, optional libraries, classes, module creation rules."""

from __future__ import annotations

import importlib
import json
import subprocess
import sys
import tempfile
import textwrap

import pytest

MODNAME = "quorvel_master.business_layer.packages.package_index_client"
VERSION_WARNING = "compile time Python version"  # the start of the text any interpreter but 3.11 sees

GLOBALS_IN_ORDER = [
    "asyncio", "re", "sys", "importlib",
    "List", "Optional", "Set", "Dict", "Any", "Tuple", "final",
    "HTMLParser", "aiohttp", "PackageFinder", "UNEARTH_AVAILABLE",
    "SpecifierSet", "Version", "PACKAGING_AVAILABLE",
    "get_logger", "get_pip_settings", "get_pip_api_list", "logger",
    "_dummy_metadata", "_dummy_dist", "PackageIndexClient",
]


def test_globals_are_bound_in_order(m):
    names = [k for k in vars(m) if not k.startswith("__")]
    assert names == GLOBALS_IN_ORDER


def test_globals_hold_the_libraries(m):
    import asyncio, re, typing, html.parser, importlib.metadata
    import aiohttp, unearth
    from packaging.specifiers import SpecifierSet
    from packaging.version import Version
    from quorvel_master.logging_config import get_logger
    from quorvel_master.business_layer.packages import pip_settings

    assert m.asyncio is asyncio and m.re is re and m.sys is sys
    assert m.importlib is importlib and m.importlib.metadata is importlib.metadata
    assert (m.List, m.Optional, m.Set, m.Dict, m.Any, m.Tuple, m.final) == (
        typing.List, typing.Optional, typing.Set, typing.Dict, typing.Any, typing.Tuple, typing.final)
    assert m.HTMLParser is html.parser.HTMLParser
    assert m.aiohttp is aiohttp
    assert m.PackageFinder is unearth.PackageFinder and m.UNEARTH_AVAILABLE is True
    assert m.SpecifierSet is SpecifierSet and m.Version is Version and m.PACKAGING_AVAILABLE is True
    assert m.get_logger is get_logger
    assert m.get_pip_settings is pip_settings.get_pip_settings
    assert m.get_pip_api_list is pip_settings.get_pip_api_list
    assert m.logger.name == MODNAME


def test_module_and_class_docs(m):
    assert m.__doc__.startswith("\nPackage Index Client - Centralized package index querying.\n\n")
    assert m.__doc__.endswith("- Shared aiohttp session for performance\n")
    doc = m.PackageIndexClient.__doc__.split("\n")
    assert doc[0] == "" and doc[-1] == "    "
    assert doc[3] == "    Multi-index search strategy:"
    assert "    - Fall back to pip commands when API not available" in doc


def test_client_class_is_an_ordinary_heap_class(m):
    cls = m.PackageIndexClient
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == MODNAME and cls.__qualname__ == "PackageIndexClient"
    assert cls.__flags__ & (1 << 9)  # heap type
    client = cls(None)
    client.extra = 1  # instances carry a __dict__
    assert vars(client)["extra"] == 1

    class Sub(cls):
        def _normalize_url(self, url):
            return "sub:" + url

    sub = Sub(None)
    assert sub._normalize_url("x/") == "sub:x/"
    # methods call each other through self, so the override is used
    assert sub._get_api_pattern_for_index.__func__ is cls._get_api_pattern_for_index


def test_dummy_classes(m):
    dist = m._dummy_dist("x", "1.0")
    assert dist.metadata == {"Name": "x", "Version": "1.0"}
    assert isinstance(dist.metadata, m._dummy_metadata) and isinstance(dist.metadata, dict)
    assert dist.metadata.get_all("Requires-Dist", 1, key=2) == []
    assert dist.metadata.get_all() is not dist.metadata.get_all()
    assert m._dummy_dist.__annotations__ == {"metadata": "Dict[str, str]"}
    assert m._dummy_metadata.__bases__ == (dict,) and m._dummy_dist.__bases__ == (object,)
    assert m._dummy_metadata.get_all.__doc__ == "_dummy_metadata.get_all(self, *args, **kwargs)"
    assert m._dummy_dist.__init__.__doc__ == "_dummy_dist.__init__(self, name, version)"
    with pytest.raises(TypeError):
        m._dummy_metadata.get_all()
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
        m._dummy_dist("x")


def test_dummy_dist_uses_the_global_metadata_class(m, monkeypatch):
    class Recording(dict):
        pass

    monkeypatch.setattr(m, "_dummy_metadata", Recording)
    assert type(m._dummy_dist("a", "2").metadata) is Recording


def test_reload_keeps_everything(m):
    before = {k: v for k, v in vars(m).items() if not k.startswith("__")}
    again = importlib.reload(m)
    assert again is m
    # importlib itself renews __spec__ and friends; the body does not run again
    assert [k for k, v in before.items() if vars(m)[k] is not v] == []


@pytest.mark.filterwarnings(f"ignore:{VERSION_WARNING}:RuntimeWarning")  # the create step runs again
def test_one_module_object_per_process(m):
    spec = importlib.util.find_spec(MODNAME)
    assert importlib.util.module_from_spec(spec) is m
    del sys.modules[MODNAME]
    try:
        assert importlib.import_module(MODNAME) is m
    finally:
        sys.modules[MODNAME] = m


def _run_isolated(code: str, warnings: str = f"ignore:{VERSION_WARNING}:RuntimeWarning") -> dict:
    # cwd elsewhere: `-c` puts the working directory first on sys.path, and the
    # source tree's package has no built extension. The interpreter-version
    # warning is silenced unless a test asks for it.
    out = subprocess.run([sys.executable, "-W", warnings, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, cwd=tempfile.gettempdir())
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("action", ["default", "error"])
def test_interpreter_version_warning(action):
    result = _run_isolated(f"""
        import json, warnings
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("{action}", RuntimeWarning)
            try:
                import {MODNAME}
                outcome = "imported"
            except RuntimeWarning as e:
                outcome = "RuntimeWarning: " + str(e)
        print(json.dumps([outcome, [str(w.message) for w in seen if w.category is RuntimeWarning]]))
    """, warnings="default")
    running = sys.version_info[:2]
    if running == (3, 11):
        assert result == ["imported", []]
        return
    text = (f"compile time Python version 3.11 of module '{MODNAME}' does not match runtime version "
            f"{running[0]}.{running[1]}")
    # where warnings are errors the import fails with it
    assert result == (["imported", [text]] if action == "default" else ["RuntimeWarning: " + text, []])


BLOCKED_CASES = [
    # blocked modules, expected (aiohttp is None, UNEARTH_AVAILABLE, PACKAGING_AVAILABLE, SpecifierSet None, Version None)
    (["aiohttp"], (True, True, True, False, False)),
    (["unearth"], (False, False, True, False, False)),
    # unearth itself needs packaging, so it goes missing too
    (["packaging.specifiers"], (False, False, False, True, True)),
    (["packaging.version"], (False, False, False, True, True)),
    (["aiohttp", "unearth", "packaging", "packaging.version", "packaging.specifiers"],
     (True, False, False, True, True)),
]


@pytest.mark.parametrize("blocked,expected", BLOCKED_CASES)
def test_import_with_optional_library_missing(blocked, expected):
    result = _run_isolated(f"""
        import sys, json
        for name in {blocked!r}:
            sys.modules[name] = None
        import {MODNAME} as m
        print(json.dumps([m.aiohttp is None, m.UNEARTH_AVAILABLE, m.PACKAGING_AVAILABLE,
                          m.SpecifierSet is None, m.Version is None,
                          m.PackageFinder is None]))
    """)
    assert tuple(result[:5]) == expected
    assert result[5] == (not expected[1])


def test_non_import_error_from_an_optional_library_fails_the_import():
    result = _run_isolated(f"""
        import sys, json, importlib.abc, importlib.machinery
        class Broken(importlib.abc.MetaPathFinder, importlib.abc.Loader):
            def find_spec(self, name, path, target=None):
                if name == "unearth":
                    return importlib.machinery.ModuleSpec(name, self)
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                raise ValueError("broken library")
        sys.modules.pop("unearth", None)
        sys.meta_path.insert(0, Broken())
        try:
            import {MODNAME}
        except ValueError as e:
            first = str(e)
        sys.meta_path.pop(0)
        import {MODNAME} as m  # a later import runs the body again
        print(json.dumps([first, m.UNEARTH_AVAILABLE]))
    """)
    assert result == ["broken library", True]


def test_missing_host_module_fails_the_import():
    result = _run_isolated(f"""
        import sys, json
        sys.modules["quorvel_master.logging_config"] = None
        try:
            import {MODNAME}
            print(json.dumps("imported"))
        except ImportError as e:
            print(json.dumps(type(e).__name__))
    """)
    assert result == "ModuleNotFoundError"


# A sub-interpreter with a GIL of its own (the default) and one sharing the main GIL.
@pytest.mark.parametrize("own_gil", [True, False])
def test_sub_interpreter_is_refused(own_gil):
    result = _run_isolated(f"""
        import json, sys
        import {MODNAME}
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            interp = interpreters.create("isolated" if {own_gil} else "legacy")
        else:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated={own_gil})
        try:
            failure = interpreters.run_string(interp, "import {MODNAME}")
            # 3.13 hands back a snapshot of the exception, 3.12 and 3.11 raise
            outcome = "imported" if failure is None else f"{{failure.type.__name__}}: {{failure.msg}}"
        except getattr(interpreters, "RunFailedError", ()) as e:
            outcome = str(e)
        finally:
            interpreters.destroy(interp)
        print(json.dumps(outcome))
    """)
    assert "ImportError" in result
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in result


def test_exec_on_another_module_object_is_refused():
    # the create step always hands back the one module object, so a second
    # object only reaches the exec step through the C API
    result = _run_isolated(f"""
        import ctypes, json, types
        import {MODNAME} as m
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(m)
        other = types.ModuleType(m.__name__)
        try:
            api.PyModule_ExecDef(other, definition)
            outcome = "executed"
        except RuntimeError as e:
            outcome = str(e)
        client_class = m.PackageIndexClient
        again = api.PyModule_ExecDef(m, definition)  # the same object: nothing happens
        print(json.dumps([outcome, [k for k in vars(other) if not k.startswith("__")], again,
                          m.PackageIndexClient is client_class]))
    """)
    assert result == ["Module 'package_index_client' has already been imported. Re-initialisation is not supported.",
                      [], 0, True]
