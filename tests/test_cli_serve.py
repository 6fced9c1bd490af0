"""`pkgindex serve`, run as a real process: it serves the demo's indexes until
a signal, answers through the settings file it wrote, stops quietly, and
refuses what it cannot do in one line."""

from __future__ import annotations

import signal
import socket

import pytest

from cli_support import assert_usage_error, isolated_env, run_cli, served
from quorvel_master.cli.serve import MARK


def free_pair() -> int:
    """A port whose next one is free too (both checked, then let go)."""
    for _ in range(50):
        with socket.socket() as first:
            first.bind(("127.0.0.1", 0))
            port = first.getsockname()[1]
            if port >= 65535:
                continue
            with socket.socket() as second:
                try:
                    second.bind(("127.0.0.1", port + 1))
                except OSError:
                    continue
        return port
    pytest.skip("no two free ports in a row")


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 0)], ids=["ctrl-c", "term"])
@pytest.mark.parametrize("port", ["free", "given"])
def test_serves_answers_and_stops(tmp_path, signum, status, port):
    args = ["--port", str(free_pair())] if port == "given" else []
    with served(tmp_path, *args) as serve:
        if port == "given":
            assert serve.primary == f"http://127.0.0.1:{args[1]}/simple"
            assert serve.secondary == f"http://127.0.0.1:{int(args[1]) + 1}/simple"
        settings = tmp_path / "indexes.toml"
        assert settings.read_text().splitlines()[0] == MARK
        assert "\n".join(serve.lines).count(settings.read_text().strip()) == 1, "the settings are printed too"
        env = isolated_env(tmp_path)
        for args_, expected in [(["versions", "Aurora"], ["1.1.0", "1.0.0", "0.9.0"]),
                                (["find", "nebula-tools"], serve.secondary)]:
            answer = run_cli(*args_, "--config", str(settings), "--json", env=env, cwd=tmp_path)
            assert (answer.rc, answer.json(), answer.err) == (0, expected, ""), answer
        rc, out, err = serve.stop(signum)
    assert (rc, out, err) == (status, "", "")


def test_writes_over_its_own_settings_only(tmp_path):
    mine = tmp_path / "indexes.toml"
    mine.write_text(MARK + "\nuse_secondary_urls = false\n")
    with served(tmp_path) as serve:
        assert f'url = "{serve.primary}"' in mine.read_text()
        serve.stop()
    theirs = tmp_path / "theirs.toml"
    theirs.write_text("use_secondary_urls = false\n")
    refused = run_cli("serve", "--settings", str(theirs), env=isolated_env(tmp_path), cwd=tmp_path)
    assert_usage_error(refused)
    assert "was not written by pkgindex serve" in refused.err
    assert theirs.read_text() == "use_secondary_urls = false\n"


@pytest.fixture
def taken_port():
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        yield listener.getsockname()[1]


@pytest.mark.parametrize("args, said", [
    (["--port", "65535"], "is not a port from 0 to 65534"),
    (["--port", "http"], "is not a port from 0 to 65534"),
    (["--host", "a b"], "is not a host name or an IPv4 address"),
    (["--host", 'x"y'], "is not a host name or an IPv4 address"),
    (["--port", "{taken}"], "cannot serve on 127.0.0.1 port {taken}"),
    # The index options are the questions', not serve's.
    (["--json"], "unrecognized arguments: --json"),
])
def test_what_it_cannot_do_is_one_line(tmp_path, taken_port, args, said):
    args = [a.format(taken=taken_port) for a in args]
    result = run_cli("serve", *args, env=isolated_env(tmp_path), cwd=tmp_path)
    assert_usage_error(result)
    assert said.format(taken=taken_port) in result.err
    assert not (tmp_path / "indexes.toml").exists()
