"""The pkgindex command line, run as a real process against local indexes."""

from __future__ import annotations

import importlib.metadata
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quorvel_master.sampleindex import IndexServer

ALPHA_REQUIRES = [
    "idna>=3.0",
    "PySocks!=1.5.7,>=1.5.6; extra == 'socks'",
    "tomli; python_version < '3.11'",
]
ALPHA = {
    "1.0": {"summary": "Alpha things", "requires_dist": ["idna>=2.0"]},
    "1.1": {"summary": "Alpha things", "requires_dist": ALPHA_REQUIRES, "extras": ["socks", "cli"]},
    "2.0rc1": {"summary": "Alpha things"},
    "not-a-version": {},
}
BETA = {
    "0.4": {"summary": "Only on the secondary"},
    "0.5": {
        "summary": "Only on the secondary",
        "requires_dist": ["alpha[socks]>=1.1", "rich; extra == 'pretty'"],
        "extras": ["pretty"],
    },
}


@pytest.fixture(scope="module")
def primary():
    with IndexServer() as srv:
        srv.add_project("alpha", ALPHA)
        yield srv


@pytest.fixture(scope="module")
def secondary():
    with IndexServer() as srv:
        srv.add_project("beta", BETA)
        yield srv


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    # Run outside the source tree: its quorvel_master has no built module.
    return tmp_path_factory.mktemp("cli")


def _env(**changes: str | None) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_")}
    # Keep the machine's own pip configuration out unless a test brings one.
    env["PIP_CONFIG_FILE"] = os.devnull
    for key, value in changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


class Run:
    def __init__(self, proc: subprocess.CompletedProcess, seconds: float) -> None:
        self.rc = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr
        self.seconds = seconds

    def json(self):
        return json.loads(self.out)


@pytest.fixture(scope="module")
def cli(workdir):
    def run(*args: str, env: dict[str, str] | None = None, command: list[str] | None = None) -> Run:
        start = time.monotonic()
        proc = subprocess.run(
            (command or [sys.executable, "-m", "quorvel_master"]) + list(args),
            cwd=workdir,
            env=env if env is not None else _env(),
            capture_output=True,
            text=True,
            timeout=120,
        )
        return Run(proc, time.monotonic() - start)

    return run


@pytest.fixture(scope="module")
def index_args(primary, secondary):
    """Primary with its JSON API, secondary through the finder."""
    return [
        "--index-url", primary.simple_url,
        "--api-pattern", f"{primary.simple_url}={primary.json_api_pattern}",
        "--extra-index-url", secondary.simple_url,
    ]


def assert_usage_error(result: Run) -> None:
    assert result.rc == 2, (result.out, result.err)
    lines = result.err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("pkgindex"), result.err
    assert "Traceback" not in result.err
    assert result.out == ""


# -- answers ------------------------------------------------------------------

ALPHA_11_DEPS = [
    {"name": "idna", "version_spec": ">=3.0", "extras": [], "markers": ""},
    {"name": "PySocks", "version_spec": "!=1.5.7,>=1.5.6", "extras": [], "markers": "extra == 'socks'"},
    {"name": "tomli", "version_spec": "", "extras": [], "markers": "python_version < '3.11'"},
]


@pytest.mark.parametrize(
    "args, expected",
    [
        (["versions", "alpha"], ["2.0rc1", "1.1", "1.0"]),
        (["versions", "beta"], ["0.5", "0.4"]),
        (["find", "alpha"], "primary"),
        (["find", "alpha", "1.1"], "primary"),
        (["find", "beta"], "secondary"),
        (["find", "beta", "0.4"], "secondary"),
        # Extras come from the requirement markers; "cli" requires nothing.
        (["extras", "alpha", "1.1"], ["socks"]),
        (["extras", "beta", "0.5"], ["pretty"]),
        (["deps", "alpha", "1.1"], ALPHA_11_DEPS),
        (
            ["deps", "beta", "0.5"],
            [
                {"name": "alpha", "version_spec": ">=1.1", "extras": ["socks"], "markers": ""},
                {"name": "rich", "version_spec": "", "extras": [], "markers": "extra == 'pretty'"},
            ],
        ),
        (["info", "alpha"], {"name": "alpha", "latest_version": "1.1", "summary": "Alpha things"}),
    ],
)
def test_json_answers(cli, index_args, primary, secondary, args, expected):
    result = cli(*args, *index_args, "--json")
    assert (result.rc, result.err) == (0, "")
    urls = {"primary": primary.simple_url, "secondary": secondary.simple_url}
    assert result.json() == (urls[expected] if isinstance(expected, str) else expected)


@pytest.mark.parametrize(
    "args, shown",
    [
        (["versions", "alpha"], ["alpha: 3 version(s)", "2.0rc1", "1.0"]),
        (["find", "beta", "0.5"], ["PACKAGE", "beta", "0.5", "{secondary}"]),
        (["extras", "alpha", "1.1"], ["1 extra(s)", "EXTRA", "socks"]),
        (["deps", "alpha", "1.1"], ["NAME", "MARKERS", "PySocks", "extra == 'socks'"]),
        (["info", "alpha"], ["latest_version", "1.1", "Alpha things"]),
    ],
)
def test_tables(cli, index_args, secondary, args, shown):
    result = cli(*args, *index_args)
    assert result.rc == 0, result.err
    for text in shown:
        assert text.format(secondary=secondary.simple_url) in result.out
    assert not result.out.lstrip().startswith(("[", "{"))


@pytest.mark.parametrize(
    "args, expected",
    [
        (["versions", "missing"], []),
        (["find", "missing"], None),
        (["find", "alpha", "9.9"], None),
        (["extras", "alpha", "9.9"], []),
        (["deps", "missing", "1.0"], []),
    ],
)
def test_nothing_found_exits_1(cli, index_args, args, expected):
    result = cli(*args, *index_args, "--json")
    assert result.rc == 1, result.err
    assert result.json() == expected


def test_info_not_found(cli, index_args):
    result = cli("info", "missing", *index_args, "--json")
    assert result.rc == 1
    assert list(result.json()) == ["error"]
    table = cli("info", "missing", *index_args)
    assert table.rc == 1 and "not found" in table.out


def test_unreadable_dependency_document_is_one_line(cli, primary, index_args):
    # The one index answer that reaches the caller as an exception.
    primary.set_response("/pypi/alpha/1.0/json", [1, 2, 3])
    try:
        result = cli("deps", "alpha", "1.0", *index_args)
    finally:
        primary.clear_hooks()
    assert result.rc == 1 and result.out == ""
    assert result.err.count("\n") == 1 and result.err.startswith("pkgindex: error: AttributeError")


def test_secondaries_are_not_asked_when_only_the_primary_is_given(cli, primary):
    result = cli("find", "beta", "--index-url", primary.simple_url, "--json")
    assert result.rc == 1 and result.json() is None


def test_options_before_and_after_the_command(cli, index_args):
    before = cli("--json", *index_args, "versions", "alpha")
    after = cli("versions", "alpha", *index_args, "--json")
    assert before.rc == after.rc == 0
    assert before.json() == after.json() == ["2.0rc1", "1.1", "1.0"]


def test_verbose_shows_the_client_log(cli, index_args):
    quiet = cli("versions", "beta", *index_args)
    loud = cli("versions", "beta", *index_args, "-v")
    assert quiet.err == ""
    assert "Querying primary index for beta versions" in loud.err
    assert "Found 2 versions in secondary index" in loud.err
    assert quiet.out == loud.out


# -- installed ------------------------------------------------------------------

PACKAGING_VERSION = importlib.metadata.version("packaging")


@pytest.mark.parametrize(
    "requirement, rc, shown",
    [
        ("packaging>=1", 0, PACKAGING_VERSION),
        ("Packaging", 0, PACKAGING_VERSION),
        ("packaging>=9999", 1, f"{PACKAGING_VERSION} installed, does not satisfy"),
        ("packaging[no-such-extra]", 1, "does not satisfy"),
        ("surely-not-installed-dist>=1", 1, "not installed"),
    ],
)
def test_installed(cli, requirement, rc, shown):
    result = cli("installed", requirement)
    assert result.rc == rc, result.err
    assert shown in result.out
    raw = cli("installed", requirement, "--json").json()
    assert raw == (PACKAGING_VERSION if rc == 0 else None)


def test_installed_asks_no_index(cli):
    # pip configured with no index at all is an error for the index questions only.
    result = cli("installed", "packaging", env=_env(PIP_NO_INDEX="1"))
    assert result.rc == 0 and PACKAGING_VERSION in result.out


# -- bad input --------------------------------------------------------------------


@pytest.fixture(scope="module")
def bad_configs(workdir):
    files = {
        "broken.toml": "index_urls = [\n",
        "broken.json": "{not json",
        "unknown.toml": 'colour = "blue"\n',
        "badurl.toml": '[[index_urls]]\nurl = "not a url"\n',
        "settings.ini": "[global]\n",
        "empty.toml": "use_secondary_urls = true\n",
    }
    for name, text in files.items():
        (workdir / name).write_text(text)
    return workdir


URL = "http://127.0.0.1:9/simple"


@pytest.mark.parametrize(
    "args",
    [
        ["versions", "x", "--index-url", "not a url"],
        ["versions", "x", "--index-url", "ftp://127.0.0.1/simple"],
        ["versions", "x", "--index-url", URL, "--extra-index-url", "127.0.0.1/simple"],
        ["versions", "x", "--extra-index-url", URL],
        ["versions", "x", "--index-url", URL, "--api-pattern", "no-equals-sign"],
        ["versions", "x", "--index-url", URL, "--api-pattern", f"{URL}="],
        ["versions", "x", "--index-url", URL, "--api-pattern", f"{URL}=http://127.0.0.1:9/pypi/json"],
        ["versions", "x", "--index-url", URL, "--api-pattern", f"{URL}=http://127.0.0.1:9/{{name}}/json"],
        ["versions", "x", "--index-url", URL, "--api-pattern", f"{URL}=http://127.0.0.1:9/{{package_name"],
        ["versions", "x", "--config", "does-not-exist.toml"],
        ["versions", "x", "--config", "broken.toml"],
        ["versions", "x", "--config", "broken.json"],
        ["versions", "x", "--config", "unknown.toml"],
        ["versions", "x", "--config", "badurl.toml"],
        ["versions", "x", "--config", "settings.ini"],
        ["versions", "x", "--config", "empty.toml"],
        ["installed", "@not-a-requirement"],
        ["frobnicate"],
        ["extras", "x"],
        ["deps", "x", "1.0", "extra-argument"],
        [],
    ],
)
def test_usage_errors_are_one_line(cli, bad_configs, args):
    assert_usage_error(cli(*args))


def test_help_exits_0(cli):
    result = cli("--help")
    assert result.rc == 0
    for command in ("versions", "find", "extras", "deps", "info", "installed", "demo"):
        assert command in result.out


# -- settings file ------------------------------------------------------------------


@pytest.mark.parametrize("suffix", [".toml", ".json"])
def test_config_file(cli, workdir, primary, secondary, suffix):
    data = {
        "index_urls": [{"url": secondary.simple_url}, {"url": primary.simple_url, "primary": True}],
        "use_secondary_urls": True,
        "pip_api": [{"index_url": primary.simple_url, "api_pattern": primary.json_api_pattern}],
    }
    path = workdir / f"settings{suffix}"
    if suffix == ".json":
        path.write_text(json.dumps(data))
    else:
        path.write_text(
            "use_secondary_urls = true\n"
            f'[[index_urls]]\nurl = "{secondary.simple_url}"\n'
            f'[[index_urls]]\nurl = "{primary.simple_url}"\nprimary = true\n'
            f'[[pip_api]]\nindex_url = "{primary.simple_url}"\n'
            f'api_pattern = "{primary.json_api_pattern}"\n'
        )
    assert cli("find", "beta", "--config", str(path), "--json").json() == secondary.simple_url
    assert cli("find", "alpha", "--config", str(path), "--json").json() == primary.simple_url
    shown = cli("indexes", "--config", str(path), "--json").json()
    assert shown["primary"] == primary.simple_url
    assert shown["secondaries"] == [secondary.simple_url]
    assert shown["pip_api"] == data["pip_api"]


def test_config_file_with_secondaries_off(cli, workdir, primary, secondary):
    path = workdir / "nosecondary.toml"
    path.write_text(
        "use_secondary_urls = false\n"
        f'[[index_urls]]\nurl = "{primary.simple_url}"\nprimary = true\n'
        f'[[index_urls]]\nurl = "{secondary.simple_url}"\n'
    )
    result = cli("find", "beta", "--config", str(path), "--json")
    assert result.rc == 1 and result.json() is None


def test_indexes_table_hides_passwords(cli, primary):
    url = primary.simple_url.replace("http://", "http://user:s3cret@")
    table = cli("indexes", "--index-url", url)
    raw = cli("indexes", "--index-url", url, "--json")
    assert table.rc == 0 and "user:****@" in table.out and "s3cret" not in table.out
    assert raw.json()["primary"] == url


def test_api_pattern_for_an_unknown_index_warns(cli, primary):
    other = "http://127.0.0.1:9/other"
    result = cli(
        "versions", "alpha", "--index-url", primary.simple_url,
        "--api-pattern", f"{other}=http://127.0.0.1:9/pypi/{{package_name}}/json", "--json",
    )
    assert result.rc == 0 and result.json() == ["2.0rc1", "1.1", "1.0"]
    assert result.err.count("\n") == 1 and "warning" in result.err


# -- pip's own configuration ------------------------------------------------------------


@pytest.fixture(scope="module")
def no_pip(workdir):
    """A directory that, put first on PYTHONPATH, makes pip unimportable."""
    root = workdir / "nopip"
    (root / "pip").mkdir(parents=True, exist_ok=True)
    (root / "pip" / "__init__.py").write_text('raise ImportError("pip is blocked by the test")\n')
    return root


def _block_pip(no_pip: Path) -> str:
    rest = os.environ.get("PYTHONPATH")
    return os.pathsep.join([str(no_pip)] + ([rest] if rest else []))


@pytest.fixture(scope="module")
def pip_conf(workdir, primary, secondary):
    path = workdir / "pip.conf"
    path.write_text(
        "[global]\n"
        "index-url = http://127.0.0.1:9/not-this-one\n"
        f"extra-index-url = {secondary.simple_url}\n"
        "[install]\n"
        f"index-url = {primary.simple_url}\n"
    )
    return path


@pytest.mark.parametrize("pip_available", [True, False], ids=["pip", "files"])
def test_pip_environment_variables(cli, workdir, no_pip, primary, secondary, pip_available):
    env = _env(
        PIP_INDEX_URL=primary.simple_url,
        PIP_EXTRA_INDEX_URL=f"http://127.0.0.1:9/unused {secondary.simple_url}",
        HOME=str(workdir),
    )
    if not pip_available:
        env["PYTHONPATH"] = _block_pip(no_pip)
    shown = cli("indexes", "--json", env=env).json()
    assert shown["source"] == "pip configuration"
    assert shown["primary"] == primary.simple_url
    assert shown["secondaries"] == ["http://127.0.0.1:9/unused", secondary.simple_url]
    # No API pattern here: both indexes are read through the finder.
    assert cli("versions", "alpha", "--json", env=env).json() == ["2.0rc1", "1.1", "1.0"]
    assert cli("find", "beta", "--json", env=env).json() == secondary.simple_url


@pytest.mark.parametrize("pip_available", [True, False], ids=["pip", "files"])
def test_pip_config_file(cli, workdir, no_pip, pip_conf, primary, secondary, pip_available):
    env = _env(PIP_CONFIG_FILE=str(pip_conf), HOME=str(workdir))
    if not pip_available:
        env["PYTHONPATH"] = _block_pip(no_pip)
    shown = cli("indexes", "--json", env=env).json()
    # [install] overrides [global], as for `pip install`.
    assert (shown["primary"], shown["secondaries"]) == (primary.simple_url, [secondary.simple_url])
    # The environment overrides the files.
    env["PIP_INDEX_URL"] = secondary.simple_url
    assert cli("indexes", "--json", env=env).json()["primary"] == secondary.simple_url


def test_pip_no_index_is_a_configuration_error(cli, workdir):
    assert_usage_error(cli("versions", "alpha", env=_env(PIP_NO_INDEX="1", HOME=str(workdir))))


def test_pip_default_index_comes_from_pip(cli, workdir):
    index = pytest.importorskip("pip._internal.models.index")
    result = cli("indexes", "--json", env=_env(HOME=str(workdir)))
    assert result.rc == 0, result.err
    shown = result.json()
    assert shown["source"].endswith("pip's default index")
    assert shown["primary"] == index.PyPI.simple_url
    assert shown["secondaries"] == []


def test_no_pip_and_no_index_says_how_to_configure(cli, workdir, no_pip):
    env = _env(HOME=str(workdir), PYTHONPATH=_block_pip(no_pip))
    result = cli("versions", "alpha", env=env)
    assert_usage_error(result)
    assert "--index-url" in result.err and "PIP_INDEX_URL" in result.err


def test_broken_pip_config_file_is_one_line(cli, workdir):
    path = workdir / "broken-pip.conf"
    path.write_text("this is not = [an ini file\n")
    assert_usage_error(cli("versions", "alpha", env=_env(PIP_CONFIG_FILE=str(path), HOME=str(workdir))))


# -- demo and entry points ------------------------------------------------------------------


def test_demo(cli):
    result = cli("demo")
    assert result.rc == 0, result.err
    assert result.seconds < 30
    lines = result.out.splitlines()
    asked = [ln.split("   (")[0].split()[1:] for ln in lines if ln.startswith("[")]
    kinds = {(words[1], len(words) - 2) for words in asked}
    assert kinds == {
        ("versions", 1), ("find", 1), ("find", 2), ("extras", 2), ("deps", 2), ("info", 1), ("installed", 1)
    }
    secondary = next(ln.split()[1] for ln in lines if ln.strip().startswith("secondary"))
    assert any(secondary in ln and "nebula-tools" in ln for ln in lines), "find should name the secondary"
    assert "ms)" in result.out


def test_demo_json(cli):
    result = cli("demo", "--json")
    assert result.rc == 0, result.err
    answers = {(a["command"], tuple(a["args"])): a["result"] for a in result.json()}
    assert answers[("versions", ("Aurora",))] == ["2.0.0b1", "1.1.0", "1.1.0rc1", "1.0.0", "0.9.0"]
    assert answers[("versions", ("nebula-tools",))] == ["0.3.0a1", "0.2.0", "0.1.0"]
    assert answers[("extras", ("nebula-tools", "0.2.0"))] == ["docs", "plot"]
    assert answers[("find", ("nebula-tools",))] != answers[("find", ("Aurora", "1.1.0rc1"))]
    assert answers[("installed", ("packaging>=20",))] == PACKAGING_VERSION


def test_console_script(cli, index_args):
    script = Path(sys.executable).with_name("pkgindex")
    if not script.exists():
        pytest.skip("pkgindex is not installed next to this interpreter")
    result = cli("versions", "alpha", *index_args, "--json", command=[str(script)])
    assert result.rc == 0 and result.json() == ["2.0rc1", "1.1", "1.0"]
