"""pkgindex and pip's configuration: read as pip reads it (compared with pip's
own option parser), layered under the command line, and read without
importing pip."""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys
import textwrap

import pytest

from cli_support import assert_usage_error, isolated_env, pip_conf_text, run_cli
from quorvel_master.sampleindex import IndexServer

# pip runs in child processes only: importing it here would set up its logging
# in the test process.
if importlib.util.find_spec("pip") is None:
    pytest.skip("pip is not installed", allow_module_level=True)


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("cli-pip")


COMPARE = textwrap.dedent("""
    import json
    from quorvel_master.cli.config import read_pip_options
    from pip._internal.commands import create_command
    from pip._internal.models.index import PyPI

    ours = read_pip_options()
    theirs, _ = create_command("install").parse_args([])
    print(json.dumps({
        "ours": [ours.index_url, ours.extra_index_urls, ours.trusted_hosts, ours.no_index],
        "pip": [None if theirs.index_url == PyPI.simple_url else theirs.index_url,
                theirs.extra_index_urls, theirs.trusted_hosts, bool(theirs.no_index)],
        # The network keys, unset as pip's defaults say.
        "ours_network": [ours.cert, ours.client_cert, ours.proxy or "", 5 if ours.retries is None else ours.retries,
                         15.0 if ours.timeout is None else ours.timeout, ours.no_cache_dir],
        "pip_network": [theirs.cert, theirs.client_cert, theirs.proxy or "", theirs.retries, theirs.timeout,
                        theirs.cache_dir is False],
    }))
""")

# Files under a fresh HOME (the key "env" names the PIP_CONFIG_FILE), and
# environment variables.
CONFIGURATIONS = {
    "install-section-beats-global-across-files": (
        {
            "xdg-dirs/pip/pip.conf": "[install]\nindex-url = http://system/simple\n",
            "xdg-home/pip/pip.conf": "[global]\nindex-url = http://user/simple\nextra-index-url = http://a/s\n"
                                     "  http://b/s\n",
        },
        {},
    ),
    "new-user-file-beats-legacy": (
        {
            ".pip/pip.conf": "[global]\nindex-url = http://legacy/simple\ntrusted-host = legacy\n",
            "xdg-home/pip/pip.conf": "[global]\nindex-url = http://new/simple\n",
        },
        {},
    ),
    "config-file-replaces-user-files": (
        {
            "xdg-home/pip/pip.conf": "[global]\nextra-index-url = http://user/s\n",
            "env": "[global]\nindex-url = http://env/simple\n[install]\ntrusted-host = a b:8080\n",
        },
        {},
    ),
    "environment-beats-files": (
        {"env": "[install]\nindex-url = http://file/simple\nno-index = yes\n"},
        {"PIP_INDEX_URL": "http://environment/simple", "PIP_EXTRA_INDEX_URL": "http://x/s http://y/s",
         "PIP_NO_INDEX": "off", "PIP_TRUSTED_HOST": "x"},
    ),
    "empty-value-unsets": (
        {
            "xdg-dirs/pip/pip.conf": "[global]\nextra-index-url = http://system/s\nindex-url = http://s/simple\n",
            "env": "[global]\nextra-index-url =\n[install]\nIndex_URL = http://spelt/simple\n",
        },
        {},
    ),
    "alias-and-defaults-section": (
        {"env": "[DEFAULT]\ntrusted-host = everywhere\n[install]\npypi-url = http://alias/simple\n"},
        {},
    ),
    "network-keys": (
        {
            "xdg-dirs/pip/pip.conf": "[global]\nretries = 2\ncert = /system/bundle.pem\n",
            "env": "[global]\ntimeout = 3.5\ncert = /ca/bundle.pem\nindex-url = http://user/simple\n"
                   "[install]\nclient-cert = /keys/client.pem\ndefault-timeout = 7\n",
        },
        {},
    ),
    "network-keys-from-the-environment": (
        {"env": "[global]\nproxy = http://file-proxy:3128\nretries = 9\n"},
        # pip turns its cache off for "false" too.
        {"PIP_PROXY": "http://env-proxy:8080", "PIP_RETRIES": "0", "PIP_NO_CACHE_DIR": "false",
         "PIP_INDEX_URL": "http://environment/simple"},
    ),
    "devnull-skips-every-file": (
        {"xdg-home/pip/pip.conf": "[global]\nindex-url = http://user/simple\n"},
        {"PIP_CONFIG_FILE": "/dev/null", "PIP_EXTRA_INDEX_URL": "http://only-env/s"},
    ),
}


@pytest.mark.parametrize("name", CONFIGURATIONS)
def test_pip_options_agree_with_pip(workdir, name):
    files, variables = CONFIGURATIONS[name]
    home = workdir / name
    for relative, text in files.items():
        path = home / ("env-pip.conf" if relative == "env" else relative)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    # A missing PIP_CONFIG_FILE leaves the user files in play.
    env = isolated_env(home, home / "env-pip.conf", **variables)
    proc = subprocess.run([sys.executable, "-c", COMPARE], capture_output=True, text=True, env=env,
                          cwd=workdir, timeout=60)
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout)
    assert seen["ours"] == seen["pip"]
    assert seen["ours_network"] == seen["pip_network"]
    assert seen["ours"] != [None, [], [], False], "the configuration should set something"


# -- the command line over pip's configuration ---------------------------------------------


@pytest.fixture(scope="module")
def indexes():
    with IndexServer() as primary, IndexServer() as secondary:
        primary.add_project("alpha", {"1.0": {}})
        secondary.add_project("beta", {"0.5": {}})
        yield primary, secondary


def _conf(workdir, name: str, **install: str):
    path = workdir / name
    path.write_text(pip_conf_text(**install))
    return path


def test_command_line_layers_over_pip(workdir, indexes):
    primary, secondary = indexes
    conf = _conf(workdir, "layers.conf", index_url=primary.simple_url)
    env = isolated_env(workdir, conf)
    # --extra-index-url alone adds to pip's index.
    args = ["--extra-index-url", secondary.simple_url, "--json"]
    assert run_cli("find", "beta", *args, env=env, cwd=workdir).json() == secondary.simple_url
    assert run_cli("find", "alpha", *args, env=env, cwd=workdir).json() == primary.simple_url
    shown = run_cli("indexes", *args, env=env, cwd=workdir).json()["indexes"]
    assert [(e["role"], e["url"], e["from"]) for e in shown] == [
        ("primary", primary.simple_url, f"{conf} [install]"),
        ("secondary", secondary.simple_url, "--extra-index-url"),
    ]
    # --index-url replaces it; the environment beats the file.
    env["PIP_INDEX_URL"] = secondary.simple_url
    shown = run_cli("indexes", "--json", env=env, cwd=workdir).json()["indexes"]
    assert [(e["url"], e["from"]) for e in shown] == [(secondary.simple_url, "PIP_INDEX_URL")]
    shown = run_cli("indexes", "--index-url", primary.simple_url, "--json", env=env, cwd=workdir).json()
    assert [e["url"] for e in shown["indexes"]] == [primary.simple_url]


def test_pip_default_index_when_none_is_configured(workdir):
    result = run_cli("indexes", "--json", env=isolated_env(workdir), cwd=workdir)
    assert result.rc == 0, result
    default = subprocess.run(
        [sys.executable, "-c", "from pip._internal.models.index import PyPI; print(PyPI.simple_url)"],
        capture_output=True, text=True, check=True,
    ).stdout.strip()
    assert [(e["url"], e["from"]) for e in result.json()["indexes"]] == [(default, "pip's default index")]


@pytest.mark.parametrize(
    "text, variables, said",
    [
        ("[install]\nno-index = true\n", {}, "no-index"),
        (pip_conf_text(), {"PIP_NO_INDEX": "1"}, "no-index"),
        ("[install]\nno-index = perhaps\n", {}, "perhaps is not a valid value for no-index"),
        ("this is not = [an ini file\n", {}, "unusable.conf"),
    ],
    ids=["no-index", "no-index-env", "bad-flag", "broken-file"],
)
def test_unusable_pip_configuration_is_one_line(workdir, text, variables, said):
    conf = workdir / "unusable.conf"
    conf.write_text(text)
    result = run_cli("versions", "alpha", env=isolated_env(workdir, conf, **variables), cwd=workdir)
    assert_usage_error(result)
    assert said in result.err


# -- what start-up imports -------------------------------------------------------------------

IMPORTED = textwrap.dedent("""
    import sys
    from quorvel_master.cli import main
    try:
        main(sys.argv[1:])
    except SystemExit:
        pass
    names = {m.split(".")[0] for m in sys.modules}
    print(" ".join(sorted(names & {"aiohttp", "unearth", "pip", "asyncio", "packaging"})))
""")
QUERY_LIBRARIES = "aiohttp asyncio packaging unearth"


@pytest.mark.parametrize(
    "args, expected",
    [
        # The help names the network layer's defaults, read from the layer (which needs asyncio).
        (["--help"], "asyncio"),
        (["--version"], ""),
        (["indexes"], ""),
        (["versions", ""], ""),
        # pip's configuration names the index: pip itself is not imported.
        (["versions", "alpha", "--timeout", "0.2"], QUERY_LIBRARIES),
    ],
    ids=["help", "version", "indexes", "bad-name", "query"],
)
def test_start_up_imports_only_what_the_command_needs(workdir, args, expected):
    conf = _conf(workdir, "startup.conf", index_url="http://127.0.0.1:9/simple")
    proc = subprocess.run([sys.executable, "-c", IMPORTED, *args], capture_output=True, text=True,
                          env=isolated_env(workdir, conf), cwd=workdir, timeout=60)
    assert proc.stdout.splitlines()[-1] == expected, proc
