"""pkgindex against indexes that cannot be read, and its shell manners: a
closed pipe, Ctrl-C during a query, a status line on a terminal."""

from __future__ import annotations

import os
import pty
import signal
import subprocess
import sys
import time
import zipfile

import pytest

from cli_support import (
    auth_server,
    dropping_server,
    free_port,
    isolated_env,
    outside_address,
    run_cli,
)
from quorvel_master.sampleindex import IndexServer, build_sdist, build_wheel
from reliability_support import StallingServer
from requirements_support import pypiserver


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("cli-failures")


@pytest.fixture(scope="module")
def env(workdir):
    return isolated_env(workdir)


@pytest.fixture(scope="module")
def cli(workdir, env):
    def run(*args: str, **kwargs):
        return run_cli(*args, env=kwargs.pop("env", env), cwd=workdir, **kwargs)

    return run


@pytest.fixture(scope="module")
def good():
    with IndexServer() as srv:
        srv.add_project("beta", {"0.4": {}, "0.5": {"requires_dist": ["rich; extra == 'pretty'"]}})
        yield srv


@pytest.fixture(scope="module")
def bad_servers():
    """Index base URLs that cannot be read, by how they fail."""
    with auth_server() as auth, dropping_server() as drop_port, StallingServer("headers") as hang:
        yield {
            "refused": f"http://127.0.0.1:{free_port()}",
            "401": f"http://127.0.0.1:{auth.server_address[1]}",
            "drop": f"http://127.0.0.1:{drop_port}",
            "hang": hang.url,
        }


REASONS = {
    "refused": "connection refused",
    "401": "authentication required (HTTP 401)",
    "drop": "connection closed by the server",
    "hang": "timed out",
}


def index_args(base: str, road: str) -> list[str]:
    args = ["--index-url", base + "/simple", "--timeout", "0.5"]
    if road == "api":
        args += ["--api-pattern", f"{base}/simple={base}/pypi/{{package_name}}/{{version}}/json"]
    return args


CASES = [(kind, road, ["versions", "beta"]) for kind in REASONS for road in ("finder", "api")] + [
    # find asks on the loop's thread on the finder road; deps and extras ask
    # twice (the answer, then whether the version exists); info has a record
    # of its own.
    ("refused", "finder", ["find", "beta"]),
    ("refused", "finder", ["find", "beta", "0.5"]),
    ("refused", "finder", ["deps", "beta", "0.5"]),
    ("refused", "finder", ["info", "beta"]),
    ("refused", "api", ["find", "beta"]),
    ("refused", "api", ["deps", "beta", "0.5"]),
    ("refused", "api", ["info", "beta"]),
    ("drop", "finder", ["extras", "beta", "0.5"]),
    # The existence checks of the API road pass over a status in silence.
    ("401", "api", ["find", "beta"]),
    ("401", "api", ["find", "beta", "0.5"]),
    ("401", "finder", ["find", "beta"]),
    ("401", "finder", ["deps", "beta", "0.5"]),
]


@pytest.mark.parametrize("kind, road, args", CASES, ids=lambda v: " ".join(v) if isinstance(v, list) else v)
def test_an_index_that_cannot_be_read_is_said(cli, bad_servers, kind, road, args):
    base = bad_servers[kind]
    result = cli(*args, *index_args(base, road))
    assert result.rc == 3, result
    assert result.err == f"pkgindex: could not read {base}/simple: {REASONS[kind]}\n"
    assert "not found on the indexes that could be read" in result.out


@pytest.mark.parametrize("road", ["finder", "api"])
@pytest.mark.parametrize("args", [["versions", "beta"], ["find", "beta"], ["find", "beta", "0.5"],
                                  ["extras", "beta", "0.5"], ["deps", "beta", "0.5"], ["info", "beta"]],
                         ids=" ".join)
def test_a_partial_answer_after_a_failed_primary(cli, bad_servers, good, road, args):
    base = bad_servers["refused"]
    alone = cli(*args, "--index-url", good.simple_url, "--json")
    asked = [*args, *index_args(base, road), "--extra-index-url", good.simple_url]
    result = cli(*asked, "--json")
    # The answer as the readable index alone gives it, in the same shape.
    assert (result.rc, result.json()) == (0, alone.json()), result
    assert result.err == (f"pkgindex: could not read {base}/simple: connection refused; "
                          f"the answer is from {good.simple_url}\n")
    quiet = cli(*asked, "-q")
    assert (quiet.rc, quiet.err) == (0, "") and good.simple_url in quiet.out


def test_verbose_shows_the_clients_lines_and_the_library_only_then(cli, good):
    # An index without the project: the finder library logs a warning of
    # its own, which is not a failure of the index.
    args = ["versions", "missing", "--index-url", good.simple_url]
    plain = cli(*args)
    assert (plain.rc, plain.err) == (1, "")
    loud = cli(*args, "-v")
    assert loud.rc == 1
    assert "Querying primary index for missing versions" in loud.err
    assert "Failed to collect links" in loud.err
    assert loud.out == plain.out


def test_an_unreadable_document_is_a_failure(cli, good):
    # The one index answer that reaches the caller as an exception; the
    # network layer saw first that the document is no object.
    good.set_response("/pypi/beta/0.4/json", [1, 2, 3])
    try:
        result = cli("deps", "beta", "0.4", *index_args(good.url, "api"))
    finally:
        good.clear_hooks()
    assert result.rc == 3 and result.out == ""
    assert result.err == (f"pkgindex: could not read {good.simple_url}: an answer the client cannot use: "
                          "a JSON list, not an object\n")


@pytest.mark.parametrize("index", ["file:///no/such/folder/simple", "file:///no/such/folder/simple/"])
def test_a_missing_folder_is_said(cli, index):
    result = cli("versions", "beta", "--index-url", index)
    assert result.rc == 3, result
    assert result.err == f"pkgindex: could not read {index}: no such folder: /no/such/folder/simple\n"


def test_plain_http_needs_a_trusted_host(cli, workdir):
    address = outside_address()
    with IndexServer(host=address) as srv:
        srv.add_project("beta", {"0.5": {}})
        host = f"{address}:{srv.port}"
        refused = cli("versions", "beta", "--index-url", srv.simple_url)
        assert refused.rc == 3, refused
        assert "not trusted" in refused.err and f"--trusted-host {host}" in refused.err
        assert srv.hits() == 0
        trusted = cli("versions", "beta", "--index-url", srv.simple_url, "--trusted-host", host, "--json")
        assert (trusted.rc, trusted.json(), trusted.err) == (0, ["0.5"], "")
        conf = workdir / "trusting-pip.conf"
        conf.write_text(f"[global]\nindex-url = {srv.simple_url}\ntrusted-host = {address}\n")
        from_pip = cli("versions", "beta", "--json", env=isolated_env(workdir, conf))
        assert (from_pip.rc, from_pip.json(), from_pip.err) == (0, ["0.5"], "")


@pytest.mark.parametrize("road", ["finder", "api"])
def test_credentials_are_never_prompted_for(workdir, env, bad_servers, road):
    # A terminal on stdin: a road that prompted would wait on it.
    base = bad_servers["401"]
    controller, terminal = pty.openpty()
    try:
        proc = subprocess.run(
            [sys.executable, "-m", "quorvel_master", "versions", "beta", *index_args(base, road)],
            stdin=terminal, capture_output=True, text=True, cwd=workdir, env=env, timeout=30,
        )
    finally:
        os.close(terminal)
        os.close(controller)
    assert proc.returncode == 3
    assert proc.stderr == f"pkgindex: could not read {base}/simple: authentication required (HTTP 401)\n"


# -- requirements that cannot be read ----------------------------------------------------


@pytest.fixture(scope="module")
def pypi(tmp_path_factory):
    """A real pypiserver: PEP 503 pages without metadata files."""
    folder = tmp_path_factory.mktemp("cli-packages")
    build_wheel(folder, "delta", "1.0")
    build_wheel(folder, "delta", "2.0", requires_dist=["idna>=3"])
    build_sdist(folder, "delta", "1.5", requires_dist=["idna>=2"])
    # A wheel without its metadata file.
    with zipfile.ZipFile(folder / "delta-3.0-py3-none-any.whl", "w") as wheel:
        wheel.writestr("delta/__init__.py", "")
    with pypiserver(folder) as url:
        yield url + "/simple/"


@pytest.mark.parametrize(
    "args, rc, said",
    [
        (["deps", "delta", "2.0"], 0, "delta 2.0: 1 requirement(s)"),
        (["deps", "delta", "1.0"], 0, "delta 1.0: declares no requirements ({index})"),
        (["deps", "delta", "1.5"], 1, "delta 1.5: found at {index}, but its requirements could not be read: "
                                      "only a source distribution"),
        (["extras", "delta", "1.5"], 1, "delta 1.5: found at {index}, but its extras could not be read"),
        (["deps", "delta", "3.0"], 1, "delta 3.0: found at {index}, but its requirements could not be read: "),
        (["deps", "delta", "9.9"], 1, "delta 9.9: version not found on any configured index"),
    ],
)
def test_empty_requirements_are_explained(cli, pypi, args, rc, said):
    result = cli(*args, "--index-url", pypi)
    assert (result.rc, result.err) == (rc, ""), result
    assert result.out.startswith(said.format(index=pypi))


def test_unreadable_requirements_as_json(cli, pypi):
    result = cli("deps", "delta", "1.5", "--index-url", pypi, "--json")
    assert (result.rc, result.json()) == (1, [])
    assert "only a source distribution" in result.err and result.err.count("\n") == 1


# -- shell manners --------------------------------------------------------------------------


def test_a_closed_pipe_ends_quietly(workdir, env, good):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.run(
            [sys.executable, "-m", "quorvel_master", "versions", "beta", "--index-url", good.simple_url],
            stdout=write_end, stderr=subprocess.PIPE, text=True, cwd=workdir, env=env, timeout=30,
        )
    finally:
        os.close(write_end)
    assert (proc.returncode, proc.stderr) == (0, "")


@pytest.mark.parametrize("args", [["versions", "beta"], ["find", "beta"], ["deps", "beta", "1.0"]])
def test_ctrl_c_ends_a_finder_query_at_once(workdir, env, args):
    with StallingServer("headers") as hang:
        started = time.monotonic()
        proc = subprocess.Popen(
            [sys.executable, "-m", "quorvel_master", *args, "--index-url", hang.url + "/simple", "--timeout", "30"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=workdir, env=env,
        )
        try:
            deadline = time.monotonic() + 30
            while hang.accepted == 0 and proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.02)
            assert hang.accepted > 0, "the query never reached the index"
            sent = time.monotonic()
            startup = sent - started
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=10)
            took = time.monotonic() - sent
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    assert proc.returncode == 130
    assert (out, err) == ("", "")
    # Generous beside this run's own start-up (interpreter, imports, first
    # connection), and far from the 30 s of a query left running.
    assert took < min(15.0, max(2.0, 4 * startup))


SCRIPT = os.path.join(os.path.dirname(sys.executable), "pkgindex")
START_UP = [("module", after) for after in ("quorvel_master.cli", "argparse", "aiohttp")] + [
    # The console script imports quorvel_master.cli itself, before main() can take Ctrl-C over.
    ("script", after) for after in ("argparse", "quorvel_master.cli.commands", "aiohttp", "unearth")
]


@pytest.mark.parametrize("entry, after", START_UP)
def test_ctrl_c_during_start_up_exits_130_without_a_traceback(workdir, env, entry, after):
    # The interpreter reports each import as it ends (-X importtime): Ctrl-C
    # comes right after the one named, while the program is still starting.
    program = ["-m", "quorvel_master"] if entry == "module" else [SCRIPT]
    if entry == "script" and not os.path.exists(SCRIPT):
        pytest.skip("pkgindex is not installed next to this interpreter")
    with StallingServer("headers") as hang:
        proc = subprocess.Popen(
            [sys.executable, "-X", "importtime", *program, "versions", "beta",
             "--index-url", hang.url + "/simple", "--timeout", "30"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=workdir, env=env,
        )
        try:
            seen = []
            for line in proc.stderr:
                seen.append(line)
                if line.rsplit("|", 1)[-1].strip() == after:
                    break
            assert seen and seen[-1].rsplit("|", 1)[-1].strip() == after, "".join(seen[-5:])
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=10)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    assert proc.returncode == 130, err
    assert "Traceback" not in err and "KeyboardInterrupt" not in err, err
    assert out == ""


def _read_all(fd: int) -> bytes:
    chunks = []
    while True:
        try:
            data = os.read(fd, 4096)
        except OSError:  # the terminal closed
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


def test_status_line_on_a_terminal_only(workdir, env):
    with StallingServer("headers") as hang:
        args = [sys.executable, "-m", "quorvel_master", "versions", "beta",
                "--index-url", hang.url + "/simple", "--timeout", "1.5"]
        controller, terminal = pty.openpty()
        try:
            proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=terminal, cwd=workdir, env=env)
            os.close(terminal)
            out = proc.stdout.read()
            proc.wait(30)
            shown = _read_all(controller).decode()
        finally:
            os.close(controller)
        piped = subprocess.run(args, capture_output=True, text=True, cwd=workdir, env=env, timeout=30)
    failure = f"pkgindex: could not read {hang.url}/simple: timed out"
    status = f"asking the primary index {hang.url}/simple"
    # Drawn, then cleared before the next line.
    assert shown.startswith("\r\x1b[K" + status), shown
    assert shown.endswith("\r\x1b[K" + failure + "\r\n"), shown
    assert status not in out.decode()
    assert piped.stderr == failure + "\n"
