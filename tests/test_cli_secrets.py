"""No output of the command line shows a password or a token, whatever form the
URL takes and wherever it comes from; what it shows of a URL is what the
client's log lines show of it.

The command line runs in this process (its `main`), so that hypothesis can
try many secrets; its output is captured whole.
"""

from __future__ import annotations

import json
import string

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from cli_support import free_port, isolated_env, pip_conf_text
from quorvel_master.cli import main
from quorvel_master.sampleindex import IndexServer

BETA = {
    "0.4": {"summary": "Beta things"},
    "0.5": {"summary": "Beta things", "requires_dist": ["idna>=3", "rich; extra == 'pretty'"], "extras": ["pretty"]},
}

# Every secret starts and ends with these, which no other output holds: a
# leak of any end of it shows.
HEAD, TAIL = "Qz", "Jx"

# What a URL's user-info may hold, and a few things it may not but people type.
USERINFO_CHARS = string.ascii_letters + string.digits + "-._~" + "!$&'()*+,;="
ESCAPES = st.sampled_from(["%20", "%2F", "%3A", "%40", "%25", "%zz"])


def secret(extra: str) -> st.SearchStrategy[str]:
    core = st.lists(st.one_of(st.sampled_from(USERINFO_CHARS + extra), ESCAPES), max_size=10)
    return core.map(lambda parts: HEAD + "".join(parts) + TAIL)


# A password may hold ':' and '@'; a token may hold '@' (with a ':' it would be a user and a password).
USER_INFO = st.one_of(secret(":@").map(lambda s: "alice:" + s), secret("@"))

FORMS = {
    "scheme": "http://{ui}@{host}/simple",
    "scheme-relative": "//{ui}@{host}/simple",
    "mistyped scheme": "http:/{ui}@{host}/simple",
    "three slashes": "http:///{ui}@{host}/simple",
    "misspelt scheme": "htp://{ui}@{host}/simple",
    "no scheme": "{ui}@{host}/simple",
    "inside a query": "http://{host}/simple?next=//{ui}@elsewhere/simple",
    "and in its query": "http://{ui}@{host}/simple?x=//{ui}@g",
}

SOURCES = ["--index-url", "--extra-index-url", "pip.conf", "PIP_INDEX_URL", "--config", "--api-pattern"]

COMMANDS = [
    ["versions", "beta"], ["find", "beta"], ["find", "beta", "0.5"], ["extras", "beta", "0.5"],
    ["deps", "beta", "0.5"], ["info", "beta"], ["indexes"],
]
MODES = [[], ["--json"], ["-v"]]


@pytest.fixture(scope="module")
def index():
    with IndexServer() as srv:
        srv.add_project("beta", BETA)
        yield srv


@pytest.fixture
def pkgindex(tmp_path, monkeypatch, capsys):
    """Runs the command line with pip's configuration and environment of the
    case; returns (exit status, stdout + stderr)."""
    base = isolated_env(tmp_path)
    for name in [k for k in base if k.startswith("PIP_")] + ["PIP_INDEX_URL"]:
        monkeypatch.delenv(name, raising=False)

    def run(args, pip_conf=None, **env):
        capsys.readouterr()
        conf = tmp_path / "pip.conf"
        conf.write_text(pip_conf or pip_conf_text())
        for key, value in {**isolated_env(tmp_path, conf), **env}.items():
            monkeypatch.setenv(key, value)
        try:
            rc = main(args)
        except SystemExit as exc:
            rc = exc.code
        for key in env:
            monkeypatch.delenv(key)
        captured = capsys.readouterr()
        return rc, captured.out + captured.err

    return run


def arguments(source: str, url: str, index: IndexServer, tmp_path) -> tuple[list[str], dict]:
    """The options (and pip configuration or environment) through which `url` reaches the command line."""
    refused = f"http://127.0.0.1:{free_port()}/simple"
    if source == "--index-url":
        return ["--index-url", url], {}
    if source == "--extra-index-url":
        # The primary cannot be read, so the secondary is asked.
        return ["--index-url", refused, "--extra-index-url", url], {}
    if source == "pip.conf":
        return [], {"pip_conf": pip_conf_text(index_url=refused, extra_index_url=url)}
    if source == "PIP_INDEX_URL":
        return [], {"PIP_INDEX_URL": url}
    if source == "--config":
        path = tmp_path / "settings.json"
        path.write_text(json.dumps({"index_urls": [{"url": url, "primary": True}]}))
        return ["--config", str(path)], {}
    pattern = url.split("/simple")[0] + "/pypi/{package_name}/{version}/json"
    return ["--index-url", url, "--api-pattern", f"{url}={pattern}"], {}


@settings(max_examples=15, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(user_info=USER_INFO, command=st.sampled_from(COMMANDS), source=st.sampled_from(SOURCES))
@pytest.mark.parametrize("mode", MODES, ids=["table", "json", "verbose"])
@pytest.mark.parametrize("form", FORMS)
def test_no_output_shows_a_secret(pkgindex, index, tmp_path, form, mode, user_info, command, source):
    host = index.simple_url.split("//")[1].split("/")[0]
    url = FORMS[form].format(ui=user_info, host=host)
    options, setting = arguments(source, url, index, tmp_path)
    rc, shown = pkgindex([*command, *mode, "--timeout", "5", *options], **setting)
    assert rc in (0, 1, 2, 3), shown
    assert HEAD not in shown and TAIL not in shown, shown
    if rc == 2 or command == ["indexes"]:
        # the URL was shown, refused or listed
        assert "****@" in shown, shown


# -- what is shown of a URL is what the client logs of it ------------------------------------

PASSWORDS = ["p(w)d", "p'w", "a,b;c=d", "!$&*+", "p%40ss", "se:cr@et", "~-._", "<x> y"]


@pytest.mark.parametrize("password", PASSWORDS)
def test_the_command_line_shows_a_url_as_the_client_logs_it(pkgindex, index, password):
    url = index.simple_url.replace("http://", f"http://alice:{password}@")
    refused = f"http://127.0.0.1:{free_port()}/simple"
    rc, logged = pkgindex(["versions", "beta", "-v", "--index-url", refused, "--extra-index-url", url])
    assert rc == 0, logged
    rc, table = pkgindex(["find", "beta", "--index-url", refused, "--extra-index-url", url])
    assert rc == 0, table
    client = next(ln for ln in logged.splitlines() if "Querying secondary index: " in ln).split(": ", 2)[2]
    assert client == index.simple_url.replace("http://", "http://alice:****@")
    assert table.splitlines()[2].split()[-1] == client, table
    assert password not in logged + table
