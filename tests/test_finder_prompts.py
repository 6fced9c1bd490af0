"""A finder-road index that wants credentials never makes the client prompt.

The finder library would ask "User for host:port:" on stdout and wait on
stdin; the client switches that off on every finder it builds. Each method
runs in host code (no command line) in a child process whose stdin is an open
pipe nobody writes to, so a prompt would hang it.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap
import time

import pytest

from cli_support import auth_server, isolated_env

HOST = textwrap.dedent("""
    import asyncio, sys, warnings
    warnings.simplefilter("ignore")
    from quorvel_master.business_layer.packages.pip_settings import SettingsManager
    from quorvel_master.business_layer.packages.package_index_client import PackageIndexClient

    index, method, *args = sys.argv[1:]
    args = [index if a == "INDEX" else a for a in args]
    client = PackageIndexClient(SettingsManager({"index_urls": [{"url": index, "primary": True}]}))

    async def ask():
        try:
            answer = getattr(client, method)(*args)
            return await answer if hasattr(answer, "__await__") else answer
        finally:
            await client.close()

    sys.stderr.write(f"answer: {asyncio.run(ask())!r}\\n")
""")

NOT_FOUND = "{'error': \"Package 'demo' not found in any configured index\"}"

# Every method that reaches the finder, public and per index, and what it
# answers when the index refuses to be read.
METHODS = [
    ("get_versions", [], "[]"),
    ("find_repo_for_package", [], "None"),
    ("find_repo_for_package_version", ["1.0"], "None"),
    ("get_extras", ["1.0"], "[]"),
    ("get_dependencies", ["1.0"], "[]"),
    ("get_package_info", [], NOT_FOUND),
    ("_package_exists_in_index", ["INDEX"], "False"),
    ("_get_versions_via_unearth", ["INDEX"], "[]"),
    ("_package_version_exists_via_unearth", ["1.0", "INDEX"], "False"),
    ("_get_extras_via_unearth", ["1.0", "INDEX"], "set()"),
    ("_get_dependencies_via_unearth", ["1.0", "INDEX"], "[]"),
]


@pytest.mark.parametrize("method, args, answer", METHODS, ids=[m[0] for m in METHODS])
def test_a_401_is_answered_without_a_prompt(tmp_path, method, args, answer):
    with auth_server() as server:
        index = f"http://127.0.0.1:{server.server_address[1]}/simple"
        out_file, err_file = tmp_path / "stdout", tmp_path / "stderr"
        started = time.monotonic()
        with open(out_file, "w") as out, open(err_file, "w") as err:
            proc = subprocess.Popen(
                [sys.executable, "-c", HOST, index, method, "demo", *args],
                stdin=subprocess.PIPE, stdout=out, stderr=err, cwd=tmp_path, env=isolated_env(tmp_path),
            )
        try:
            # stdin stays open, unwritten, until the child is done: a prompt would wait on it
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            pytest.fail(f"no answer within 30 s; stdout: {out_file.read_text()!r}")
        finally:
            proc.stdin.close()
        took = time.monotonic() - started
        assert server.hits > 0, "the index was never asked"
    out, err = out_file.read_text(), err_file.read_text()
    assert out == ""
    assert proc.returncode == 0, err
    assert err.splitlines()[-1] == f"answer: {answer}"
    assert took < 20
