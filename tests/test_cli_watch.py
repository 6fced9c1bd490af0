"""What the command line learns from the client and the network layer rather
than from the client's log: an index left unread for want of the finder
library, and how the extension module is imported (its one warning under
3.12 and 3.13 filtered, nothing else).

The finder cases run `main` in this process, with the module's globals
replaced and its logger silenced, so that nothing can be read from a log.
"""

from __future__ import annotations

import logging
import os
import subprocess
import sys
import textwrap

import pytest

from cli_support import isolated_env
from conftest import reset_server
from quorvel_master.cli import main

ONLY_BETA = {"0.4": {}, "0.5": {"requires_dist": ["rich; extra == 'pretty'"]}}


@pytest.fixture
def cli(tmp_path, monkeypatch, capsys):
    """`main` in this process, with the environment of a test run."""
    for key in list(os.environ):
        monkeypatch.delenv(key)
    for key, value in isolated_env(tmp_path).items():
        monkeypatch.setenv(key, value)

    def run(*args: str) -> tuple[int, str, str]:
        rc = main([*args, "--no-cache", "--retries", "0"])
        out, err = capsys.readouterr()
        return rc, out, err

    return run


@pytest.fixture
def without_finder(m, monkeypatch):
    """The module as it is without the finder library, and a logger that
    lets nothing through."""
    silent = logging.getLogger("test-cli-watch-silent")
    silent.disabled = True
    monkeypatch.setattr(m, "UNEARTH_AVAILABLE", False)
    monkeypatch.setattr(m, "logger", silent)


FINDER_MISSING_CASES = [
    # (args, the index given a JSON API or none, exit status, the index said unread or None)
    (["versions", "beta"], None, 3, "index"),
    (["find", "beta"], None, 3, "index"),
    # The client asks this one without a log line: only the module tells.
    (["find", "beta", "0.5"], None, 3, "index"),
    (["deps", "beta", "0.5"], None, 3, "index"),
    (["extras", "beta", "0.5"], None, 3, "index"),
    (["info", "beta"], None, 3, "index"),
    # The primary answers on its JSON API: the secondary is never asked.
    (["versions", "alpha"], "primary", 0, None),
    # Not on the primary: the secondary is asked, and could not be read.
    (["versions", "beta"], "primary", 3, "secondary"),
]


@pytest.fixture
def two(index_servers):
    """Two sample indexes: alpha on the first, beta on the second."""
    first, second = index_servers[:2]
    for server in (first, second):
        reset_server(server)
    first.add_project("alpha", {"1.0": {}})
    second.add_project("beta", ONLY_BETA)
    yield first, second
    for server in (first, second):
        reset_server(server)


@pytest.mark.parametrize("args, api, status, unread", FINDER_MISSING_CASES, ids=str)
def test_an_index_the_missing_finder_cannot_read(cli, without_finder, two, args, api, status, unread):
    first, second = two
    if api is None:
        given = ["--index-url", second.simple_url]
        urls = {"index": second.simple_url}
    else:
        given = ["--index-url", first.simple_url, "--api-pattern", f"{first.simple_url}={first.json_api_pattern}",
                 "--extra-index-url", second.simple_url]
        urls = {"primary": first.simple_url, "secondary": second.simple_url}
    rc, out, err = cli(*args, *given)
    assert rc == status, (out, err)
    assert err == (f"pkgindex: could not read {urls[unread]}: the unearth finder is not installed\n" if unread else "")
    assert second.hits() == 0


IMPORTERS = {
    "pkgindex": "from quorvel_master.cli.session import client_module; module = client_module()",
    "network": "from quorvel_master.network import NetworkClient",
}

CHECK = textwrap.dedent("""
    import sys, warnings
    before = list(warnings.filters)
    {importer}
    assert "quorvel_master.business_layer.packages.package_index_client" in sys.modules
    # The filter was for the import alone.
    assert warnings.filters == before, warnings.filters
    print("imported")
""")


@pytest.mark.parametrize("importer", IMPORTERS)
def test_the_module_is_imported_with_its_one_warning_filtered(tmp_path, importer):
    # Warnings as errors: the module's own, on 3.12 and 3.13, would fail the
    # import unless filtered, and any other would show.
    done = subprocess.run([sys.executable, "-W", "error", "-c", CHECK.format(importer=IMPORTERS[importer])],
                          capture_output=True, text=True, cwd=tmp_path, env=isolated_env(tmp_path), timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "imported\n", ""), done
