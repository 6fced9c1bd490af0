"""The type stub of the native module matches the built module."""

from __future__ import annotations

import ast
import asyncio
import inspect
import os
import site
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel_master
import quorvel_master.business_layer.packages.package_index_client as pic

MODULE = pic.__name__
STUB = Path(pic.__file__).with_name("package_index_client.pyi")


@pytest.fixture(scope="module")
def stub() -> ast.Module:
    assert STUB.is_file(), "the stub is not installed beside the module"
    assert STUB.with_name("py.typed").is_file(), "py.typed is not installed beside the module"
    return ast.parse(STUB.read_text(), str(STUB))


def _stub_class(stub: ast.Module, name: str) -> ast.ClassDef:
    return next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == name)


@pytest.mark.parametrize("module", [MODULE, "quorvel_master._native"])
def test_stubtest_passes(tmp_path, module):
    pytest.importorskip("mypy.stubtest")
    env = dict(os.environ)
    root = Path(quorvel_master.__file__).resolve().parent.parent
    installed = {Path(p).resolve() for p in site.getsitepackages() + [site.getusersitepackages()]}
    if root not in installed:
        # A development tree: mypy finds installed packages by itself, this one it is shown.
        env["MYPYPATH"] = str(root)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        cwd=tmp_path,  # keep the source tree, which has no built module, off sys.path
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 module" in proc.stdout


def test_every_method_is_declared_with_its_kind_and_annotations(stub):
    # stubtest skips private names and does not flag an "async def" stub of a plain function.
    declared = {
        n.name: n
        for n in _stub_class(stub, "PackageIndexClient").body
        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))
    }
    runtime = {name: f for name, f in vars(pic.PackageIndexClient).items() if callable(f)}
    assert len(runtime) == 28
    assert list(declared) == list(runtime)
    for name, func in runtime.items():
        node = declared[name]
        assert isinstance(node, ast.AsyncFunctionDef) == asyncio.iscoroutinefunction(func), name
        for arg in node.args.args[1:]:
            # What the module leaves unannotated, the stub types as Any.
            assert ast.unparse(arg.annotation) == func.__annotations__.get(arg.arg, "Any"), (name, arg.arg)
        returns = ast.unparse(node.returns)
        if "return" in func.__annotations__:
            assert returns == func.__annotations__["return"], name
        else:
            assert returns in ("None", "Any"), name


def test_every_module_global_is_declared(stub):
    declared: set[str] = set()
    for node in stub.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            declared |= {a.asname for a in node.names if a.asname}
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            declared.add(node.name)
    runtime = {name for name in vars(pic) if not (name.startswith("__") and name.endswith("__"))}
    assert runtime == declared


def _stub_parameters(node: ast.FunctionDef | ast.AsyncFunctionDef) -> list[tuple[str, str, bool]]:
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [False] * (len(positional) - len(a.defaults)) + [True] * len(a.defaults)
    params = [(p.arg, "POSITIONAL_OR_KEYWORD", d) for p, d in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, "VAR_POSITIONAL", False))
    params += [(p.arg, "KEYWORD_ONLY", d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, "VAR_KEYWORD", False))
    return params


def _runtime_parameters(func) -> list[tuple[str, str, bool]]:
    return [
        (p.name, p.kind.name, p.default is not inspect.Parameter.empty)
        for p in inspect.signature(func).parameters.values()
    ]


@pytest.mark.parametrize("cls", ["PackageIndexClient", "_dummy_metadata", "_dummy_dist"])
def test_method_signatures_match(stub, cls):
    # stubtest leaves private classes and methods out; compare them all here.
    runtime = vars(getattr(pic, cls))
    methods = [
        n for n in _stub_class(stub, cls).body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))
    ]
    assert methods
    for node in methods:
        assert _stub_parameters(node) == _runtime_parameters(runtime[node.name]), (cls, node.name)


def test_fallback_classes_are_declared(stub):
    metadata = _stub_class(stub, "_dummy_metadata")
    assert [ast.unparse(b) for b in metadata.bases] == ["Dict[str, str]"]
    assert [n.name for n in metadata.body if isinstance(n, ast.FunctionDef)] == ["get_all"]
    dist = _stub_class(stub, "_dummy_dist")
    assert [n.name for n in dist.body if isinstance(n, ast.FunctionDef)] == ["__init__"]
