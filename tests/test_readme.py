"""The README's examples run as written, and what it names exists: its Python
examples against a sample index with its own settings file, its command-line
options in the parser, its caps in the limits the finder road is built with."""

from __future__ import annotations

import dataclasses
import importlib.metadata
import re
import subprocess
import sys
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.version import Version

from quorvel_master.cli import config
from quorvel_master.cli.commands import COMMANDS, build_parser
from quorvel_master.network import NetworkOptions
from quorvel_master.sampleindex import IndexServer

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()
LIMITS = (ROOT / "src" / "finder" / "limits.hpp").read_text()
# The port the README's settings file names; the tests serve it on a free one.
README_ORIGIN = "http://127.0.0.1:8080"
REQUIRES = ["charset-normalizer<4,>=2", "idna<4,>=2.5", "PySocks!=1.5.7,>=1.5.6; extra == 'socks'"]
RELEASES = {"2.30.0": {"requires_dist": REQUIRES[:2]}, "2.31.0": {"requires_dist": REQUIRES, "extras": ["socks"]}}


def blocks(language: str) -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```$", README, re.S | re.M)


def section(title: str) -> str:
    return README.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A folder holding the README's settings file, pointed at a sample index
    that serves the project its examples ask about."""
    (settings,) = blocks("toml")
    with IndexServer() as srv:
        srv.add_project("requests", RELEASES)
        path = tmp_path_factory.mktemp("readme")
        (path / "indexes.toml").write_text(settings.replace(README_ORIGIN, srv.url))
        (path / "origin").write_text(srv.url)  # for the examples that name the index
        yield path


def newest_first() -> list[str]:
    return sorted(RELEASES, key=Version, reverse=True)


@pytest.mark.parametrize("title, expected, cache", [
    ("Using it from host code", lambda: [
        f"{newest_first()} {[Requirement(r).name for r in REQUIRES]}",
        importlib.metadata.version("aiohttp"),
    ], None),
    # Its cache_dir, relative, is made where it runs and keeps what was fetched.
    ("With the network layer", lambda: [str(newest_first())], "http-cache"),
    ("Project pages as data", lambda: [f"active {tuple(RELEASES)}"] + [
        f"requests-{v}-py3-none-any.whl {v} False None" for v in RELEASES], None),
])
def test_python_examples_run(folder, title, expected, cache):
    (code,) = re.findall(r"^```python\n(.*?)^```$", section(title), re.S | re.M)
    code = code.replace(README_ORIGIN, (folder / "origin").read_text())
    done = subprocess.run([sys.executable, "-W", "ignore::RuntimeWarning", "-c", code], cwd=folder,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == expected()
    if cache:
        assert any(p.is_file() for p in (folder / cache).rglob("*"))


def test_every_python_example_is_run():
    titles = [t for t in re.findall(r"^## (.+)$", README, re.M) if "```python" in section(t)]
    assert titles == ["Using it from host code", "With the network layer", "Project pages as data"]


def command_line_words() -> list[str]:
    return sorted(set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", section("Command line").replace("python -m", ""))) - {"-vv"})


@pytest.mark.parametrize("option", command_line_words())
def test_command_line_options_exist(option):
    parser = build_parser()
    known = set(parser._option_string_actions)
    for command in COMMANDS:
        known |= set(parser._subparsers._group_actions[0].choices[command]._option_string_actions)
    assert option in known


@pytest.mark.parametrize("command", sorted(set(re.findall(r"^    pkgindex (\w+)", section("Command line"), re.M))))
def test_command_line_commands_exist(command):
    assert command in COMMANDS


@pytest.mark.parametrize("key", re.findall(r"`([a-z-]+)`", re.split(r"reads the\s+keys", section("Configuration"))[1]
                                           .split(";")[0]))
def test_pip_keys_read(key):
    assert key in config._PIP_OPTIONS


@pytest.mark.parametrize("field", re.findall(r"`([a-z_]+)`", section("With the network layer")
                                             .split("Its options are the fields")[1].split("The layer serves")[0]))
def test_network_options_exist(field):
    assert field in {f.name for f in dataclasses.fields(NetworkOptions)}


def limit(name: str) -> int:
    expression = re.search(rf"constexpr \w+ {name} = ([^;]+);", LIMITS)[1]
    return eval(re.sub(r"int64_t\((\d+)\)", r"\1", expression))  # shifts and products of literals


@pytest.mark.parametrize("row, constant", [
    ("METADATA, decompressed or decoded", "kMetadata"),
    ("its Requires-Dist fields, kept and parsed", "kRequirements"),
    ("a wheel's central directory", "kDirectory"),
    ("a whole wheel downloaded when ranges are not honoured", "kWheel"),
    ("redirects per request", "kRedirects"),
    ("one request", "kTimeout"),
    ("one request", "kLeastProgress"),
])
def test_caps_are_the_built_limits(row, constant):
    (cell,) = re.findall(rf"^\| {re.escape(row)} \| (.+) \|$", section("Caps of the wheel-metadata road"), re.M)
    units = {"KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30, "": 1}
    stated = [int(n) * units[u] for n, u in re.findall(r"\b(\d+) ?(KiB|MiB|GiB|)(?![\w.])", cell)]
    assert limit(constant) in stated
