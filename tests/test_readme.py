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

from cli_support import isolated_env, run_cli, served
from quorvel_master.cli import config
from quorvel_master.cli.commands import COMMANDS, build_parser
from quorvel_master.network import NetworkOptions
from quorvel_master.sampleindex.demo import PRIMARY_PROJECTS

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()
LIMITS = (ROOT / "src" / "finder" / "limits.hpp").read_text()
# The ports the README's examples name: `pkgindex serve --port 8080`; the tests serve free ones.
README_ORIGINS = ("127.0.0.1:8080", "127.0.0.1:8081")
AURORA = PRIMARY_PROJECTS["Aurora"]


def blocks(language: str) -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```$", README, re.S | re.M)


def section(title: str) -> str:
    return README.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


@pytest.fixture(scope="module")
def served_folder(tmp_path_factory):
    """A folder where `pkgindex serve` runs, as the README says, and has
    written its settings file."""
    path = tmp_path_factory.mktemp("readme")
    with served(path, "--port", "0") as serve:
        yield path, serve


def on_served(text: str, serve) -> str:
    """The README's text with its ports replaced by those served."""
    for origin, url in zip(README_ORIGINS, (serve.primary, serve.secondary)):
        text = text.replace(origin, url.removeprefix("http://").removesuffix("/simple"))
    return text


def newest_first() -> list[str]:
    valid = [v for v in AURORA if not v.startswith("nightly")]
    return sorted(valid, key=Version, reverse=True)


def test_the_settings_file_is_the_one_serve_writes(served_folder):
    folder, serve = served_folder
    (settings,) = blocks("toml")
    assert (folder / "indexes.toml").read_text() == on_served(settings, serve)


def python_example(title: str) -> str:
    (code,) = re.findall(r"^```python\n(.*?)^```$", section(title), re.S | re.M)
    return code


@pytest.mark.parametrize("title, expected, cache", [
    ("Using it from host code", lambda: [
        f"{newest_first()[:3]} {[Requirement(r).name for r in AURORA['1.1.0']['requires_dist']]}",
        importlib.metadata.version("aiohttp"),
    ], None),
    # Its cache_dir, relative, is made where it runs and keeps what was fetched.
    ("With the network layer", lambda: [str(newest_first())], "http-cache"),
])
def test_python_examples_run(served_folder, title, expected, cache):
    folder, _ = served_folder
    done = subprocess.run([sys.executable, "-W", "ignore::RuntimeWarning", "-c", python_example(title)],
                          cwd=folder, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == expected()
    if cache:
        assert any(p.is_file() for p in (folder / cache).rglob("*"))


def test_the_project_page_example_lists_every_file(served_folder):
    # The page of the served index, as the README's example prints it: every
    # release of the project, none yanked, no upload times in HTML pages.
    folder, serve = served_folder
    code = on_served(python_example("Project pages as data"), serve)
    done = subprocess.run([sys.executable, "-W", "ignore::RuntimeWarning", "-c", code],
                          cwd=folder, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    status, *files = done.stdout.splitlines()
    assert status == "active"
    rows = [line.split() for line in files]
    assert {version for _, version, _, _ in rows} == set(newest_first())
    assert {(yanked, upload) for _, _, yanked, upload in rows} == {("False", "None")}


def test_the_logging_advice_shows_the_clients_lines(served_folder):
    # What the README says to do when an answer is empty.
    folder, _ = served_folder
    code = "import logging\nlogging.basicConfig(level=logging.DEBUG)\n" + python_example("Using it from host code")
    done = subprocess.run([sys.executable, "-W", "ignore::RuntimeWarning", "-c", code.replace('"Aurora"', '"absent"')],
                          cwd=folder, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert ":quorvel_master.business_layer.packages.package_index_client:No versions found for absent" in done.stderr


def served_examples() -> list[str]:
    examples = section("Command line").split("For example", 1)[1].split("\n\n")[1]
    return [line.strip() for line in examples.splitlines()
            if any(origin in line for origin in README_ORIGINS) or "indexes.toml" in line]


def test_the_command_line_examples_are_on_served_indexes():
    assert len(served_examples()) == 2


@pytest.mark.parametrize("example", served_examples())
def test_command_line_examples_run(served_folder, example):
    folder, serve = served_folder
    words = on_served(example, serve).split()
    assert words[0] == "pkgindex"
    done = run_cli(*words[1:], env=isolated_env(folder), cwd=folder)
    assert (done.rc, done.err) == (0, ""), done


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


@pytest.mark.parametrize("stated, value", [
    # The command line has no defaults of its own: the README states the network layer's.
    (r"retries \(default (\d+)\)", lambda: NetworkOptions().retries),
    (r"`retries` = (\d+)", lambda: NetworkOptions().retries),
    # No time-out chosen by the layer: the client's own, the finder session's read time-out.
    (r"\(default: the client's own, (\d+) s\)", lambda: NetworkOptions().timeout or limit("kTimeout")),
])
def test_stated_defaults_are_the_layers(stated, value):
    (found,) = re.findall(stated, README)
    assert float(found) == value()


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
