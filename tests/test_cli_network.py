"""pkgindex on the network layer, run as a real process against servers on
127.0.0.1: its cache in the user's cache folder (offline answers and misses,
two processes on one folder), retries, proxies, certificates, pip's network
keys, and the client's log line it still reads, pinned against the client."""

from __future__ import annotations

import asyncio
import email.utils
import logging
import subprocess
import sys
import time

import pytest

from cli_support import assert_usage_error, isolated_env, pip_conf_text, run_cli
from conftest import refused_port
from network_support import ForwardProxy, Origin, tls_server_context

trustme = pytest.importorskip("trustme")

ROADS = ["json", "finder"]


@pytest.fixture
def origin():
    with Origin() as server:
        server.project("demo", ["1.0", "1.1"], ETag='"demo-1"')
        yield server


@pytest.fixture(scope="module")
def ca():
    return trustme.CA()


@pytest.fixture
def home(tmp_path):
    return tmp_path


def index_args(base: str, road: str) -> list[str]:
    args = ["--index-url", base + "/simple"]
    if road == "json":
        args += ["--api-pattern", f"{base}/simple={base}/pypi/{{package_name}}/{{version}}/json"]
    return args


def page(road: str, name: str = "demo") -> str:
    return f"/pypi/{name}/json" if road == "json" else f"/simple/{name}/"


def cli(home, *args, conf: str | None = None, **env):
    pip_conf = None
    if conf is not None:
        pip_conf = home / "pip.conf"
        pip_conf.write_text(conf)
    return run_cli(*args, env=isolated_env(home, pip_conf, **env), cwd=home)


def cache_entries(home) -> list:
    folder = home / "xdg-cache" / "pkgindex"
    return [p for p in folder.rglob("*") if p.is_file()] if folder.exists() else []


# -- the cache -------------------------------------------------------------------------------


@pytest.mark.parametrize("road", ROADS)
def test_offline_answers_from_the_cache_and_says_a_miss(origin, home, road):
    first = cli(home, "versions", "demo", "--json", *index_args(origin.url, road))
    assert (first.rc, first.json()) == (0, ["1.1", "1.0"]), first
    assert cache_entries(home), "the answer was not kept in the user's cache folder"
    seen = len(origin.seen)
    offline = cli(home, "versions", "demo", "--json", "--offline", *index_args(origin.url, road))
    assert (offline.rc, offline.json(), offline.err) == (0, ["1.1", "1.0"], ""), offline
    miss = cli(home, "versions", "other", "--offline", *index_args(origin.url, road))
    assert len(origin.seen) == seen, "offline asked the index"
    assert miss.rc == 3, miss
    assert miss.err == (f"pkgindex: could not read {origin.url}/simple: "
                        "not in the cache, and --offline asks no index\n")


@pytest.mark.parametrize("road", ROADS)
def test_a_second_run_revalidates_with_the_etag(origin, home, road):
    for _ in range(2):
        result = cli(home, "versions", "demo", "--json", *index_args(origin.url, road))
        assert (result.rc, result.json()) == (0, ["1.1", "1.0"]), result
    asked = [s for s in origin.seen if s.path == page(road)]
    assert [s.status for s in asked] == [200, 304]
    assert asked[1].headers.get("If-None-Match") == '"demo-1"'
    # --no-cache: neither read nor written.
    bare = home / "bare"
    bare.mkdir()
    plain = cli(bare, "versions", "demo", "--no-cache", *index_args(origin.url, road))
    assert plain.rc == 0 and not cache_entries(bare)
    assert "If-None-Match" not in origin.seen[-1].headers


def test_two_processes_share_one_cache_folder(origin, home):
    # Both requests are held at the origin until both are in flight, so the
    # two processes write the same entry at the same time.
    origin.routes["/simple/demo/"].gather = 2
    env = isolated_env(home)
    command = [sys.executable, "-m", "quorvel_master", "versions", "demo", "--json", *index_args(origin.url, "finder")]
    procs = [subprocess.Popen(command, cwd=home, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for _ in range(2)]
    results = [p.communicate(timeout=60) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], results
    assert [r[0] for r in results] == ['[\n  "1.1",\n  "1.0"\n]\n'] * 2
    assert origin.most_in_flight == 2
    offline = cli(home, "versions", "demo", "--json", "--offline", *index_args(origin.url, "finder"))
    assert (offline.rc, offline.json()) == (0, ["1.1", "1.0"]), offline


# -- retries ------------------------------------------------------------------------------------


def http_date_in(seconds):
    return email.utils.formatdate(time.time() + seconds, usegmt=True)


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("answer, waits", [
    ((503, {}), 0.0),
    ((429, {"Retry-After": "1"}), 0.5),
    ((429, {"Retry-After": "date"}), 0.5),  # 1 to 2 s away: whole seconds
])
def test_pip_s_retries_by_default(origin, home, road, answer, waits):
    status, headers = answer
    if headers.get("Retry-After") == "date":
        # Dated when the origin answers: the process's start-up may take seconds.
        headers = {"Retry-After": lambda: http_date_in(2)}
    origin.routes[page(road)].script.append((status, headers))
    # pip's configuration says nothing of retries: pip's default holds.
    result = cli(home, "versions", "demo", "--json", *index_args(origin.url, road), conf=pip_conf_text(retries=None))
    assert (result.rc, result.json(), result.err) == (0, ["1.1", "1.0"], ""), result
    asked = [s for s in origin.seen if s.path == page(road)]
    assert [s.status for s in asked] == [status, 200]
    assert asked[1].at - asked[0].at >= waits


@pytest.mark.parametrize("road", ROADS)
def test_retries_spent_say_the_last_status(origin, home, road):
    route = origin.routes[page(road)]
    route.script += [(503, {}), (503, {})]
    result = cli(home, "versions", "demo", "--retries", "1", *index_args(origin.url, road))
    assert result.rc == 3, result
    assert result.err == f"pkgindex: could not read {origin.url}/simple: server error (HTTP 503)\n"
    assert [s.path for s in origin.seen].count(page(road)) == 2
    # A 404 is an answer, never retried.
    missing = cli(home, "versions", "nothing", "--retries", "3", *index_args(origin.url, road))
    assert (missing.rc, missing.err) == (1, "")
    assert [s.path for s in origin.seen].count(page(road, "nothing")) == 1


# -- proxies -----------------------------------------------------------------------------------------


@pytest.fixture
def proxy():
    with ForwardProxy() as server:
        yield server


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("how", ["option", "environment", "pip", "no_proxy"])
def test_proxy(origin, home, proxy, road, how):
    args, env, conf = [], {}, None
    if how == "option":
        args = ["--proxy", proxy.url]
    elif how == "pip":
        conf = pip_conf_text(proxy=proxy.url.removeprefix("http://"))  # pip's form, without a scheme
    else:
        env = {"HTTP_PROXY": proxy.url}
        if how == "no_proxy":
            env["NO_PROXY"] = "127.0.0.1"
    result = cli(home, "versions", "demo", "--json", *args, *index_args(origin.url, road), conf=conf, **env)
    assert (result.rc, result.json()) == (0, ["1.1", "1.0"]), result
    targets = [s.path for s in proxy.seen]
    assert targets == ([] if how == "no_proxy" else [f"GET {origin.url}{page(road)}"])


# -- certificates ---------------------------------------------------------------------------------------


@pytest.fixture
def tls_files(ca, tmp_path):
    client_ca = trustme.CA()
    files = {"ca": tmp_path / "ca.pem", "client": tmp_path / "client.pem"}
    ca.cert_pem.write_to_path(str(files["ca"]))
    client_ca.issue_cert("client@example.test").private_key_and_cert_chain_pem.write_to_path(str(files["client"]))
    return files, client_ca


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("source", ["option", "pip"])
def test_certificates(ca, tls_files, home, road, source):
    files, client_ca = tls_files

    def ask(server, cert=None, client=None):
        args, conf = [], pip_conf_text()
        if source == "option":
            args = [f"--cert={cert}"] * bool(cert) + [f"--client-cert={client}"] * bool(client)
        else:
            conf = pip_conf_text(cert=str(cert or ""), client_cert=str(client or ""))
        return cli(home, "versions", "demo", "--json", *args, *index_args(server.url, road), conf=conf)

    with Origin(tls_server_context(ca)) as server:
        server.project("demo", ["1.0"])
        unverified = ask(server)
        assert (unverified.rc, unverified.json()) == (3, [])
        assert unverified.err == (f"pkgindex: could not read {server.url}/simple: "
                                  "certificate verification failed: unable to get local issuer certificate\n")
        assert server.seen == []
        verified = ask(server, files["ca"])
        assert (verified.rc, verified.json(), verified.err) == (0, ["1.0"], ""), verified
    with Origin(tls_server_context(ca, client_ca=client_ca)) as server:
        server.project("demo", ["1.0"])
        refused = ask(server, files["ca"])
        assert refused.rc == 3 and refused.err.startswith(f"pkgindex: could not read {server.url}/simple: ")
        accepted = ask(server, files["ca"], files["client"])
        assert (accepted.rc, accepted.json(), accepted.err) == (0, ["1.0"], ""), accepted


# -- pip's keys and the options' checks -----------------------------------------------------------------


def test_pip_timeout_and_retries_keys(origin, home):
    origin.routes["/simple/slow/"] = type(origin.routes["/simple/demo/"])(hang=True)
    started = time.monotonic()
    slow = cli(home, "versions", "slow", *index_args(origin.url, "finder"), conf=pip_conf_text(timeout="0.5"))
    assert slow.rc == 3 and slow.err.endswith(": timed out\n"), slow
    assert time.monotonic() - started < 8  # the client's own 10 s would be longer
    origin.routes["/simple/demo/"].script.append((503, {}))
    once = cli(home, "versions", "demo", "--json", *index_args(origin.url, "finder"), conf=pip_conf_text(retries="1"))
    assert (once.rc, once.json()) == (0, ["1.1", "1.0"]), once
    # The command line wins over pip's configuration.
    origin.routes["/simple/demo/"].script.append((503, {}))
    none = cli(home, "versions", "demo", "--retries", "0", *index_args(origin.url, "finder"),
               conf=pip_conf_text(retries="1"))
    assert none.rc == 3 and none.err.endswith(": server error (HTTP 503)\n"), none


@pytest.mark.parametrize("value", ["yes", "false"])  # pip turns its cache off for any truth value
def test_pip_no_cache_dir_key(origin, home, value):
    result = cli(home, "versions", "demo", *index_args(origin.url, "finder"), conf=pip_conf_text(no_cache_dir=value))
    assert result.rc == 0 and not cache_entries(home)
    offline = cli(home, "versions", "demo", "--offline", *index_args(origin.url, "finder"),
                  conf=pip_conf_text(no_cache_dir=value))
    assert_usage_error(offline)
    assert "pip's no-cache-dir" in offline.err


@pytest.mark.parametrize("args, conf, said", [
    (["--offline", "--refresh"], {}, "cannot be given together"),
    (["--offline", "--no-cache"], {}, "which --no-cache turns off"),
    (["--retries", "-1"], {}, "is not a number of retries"),
    (["--retries", "many"], {}, "is not a number of retries"),
    (["--proxy", "ftp://proxy:21"], {}, "is not a proxy URL"),
    (["--proxy", "http://user:s3cret@:80"], {}, "'http://user:****@:80' is not a proxy URL"),
    (["--cert", "/no/such/ca.pem"], {}, "--cert /no/such/ca.pem: no such file"),
    (["--client-cert", "/no/such/key.pem"], {}, "--client-cert /no/such/key.pem: no such file"),
    ([], {"cert": "/no/such/ca.pem"}, "pip's cert /no/such/ca.pem: no such file"),
    ([], {"retries": "few"}, "few is not a valid value for retries"),
    ([], {"timeout": "0"}, "0 is not a valid value for timeout"),
])
def test_network_options_are_checked_before_any_request(origin, home, args, conf, said):
    result = cli(home, "versions", "demo", *args, *index_args(origin.url, "finder"), conf=pip_conf_text(**conf))
    assert_usage_error(result)
    assert said in result.err and "s3cret" not in result.err
    assert origin.seen == []


@pytest.mark.parametrize("command, https", [
    ("versions", False),
    ("tree", False),
    # the tree loads the files on a thread while it imports: the error is still a usage error
    ("tree", True),
])
def test_a_certificate_file_that_is_not_one(origin, home, command, https):
    bad = home / "bad.pem"
    bad.write_text("not a certificate\n")
    where = index_args(origin.url, "finder")
    if https:
        where = ["--index-url", f"https://127.0.0.1:{refused_port()}/simple"]
    result = cli(home, command, "demo", "--cert", str(bad), *where)
    assert_usage_error(result)
    assert f"the certificate file {bad} cannot be used" in result.err
    assert origin.seen == []


def test_an_unusable_cache_folder_is_said_and_passed_over(origin, home):
    (home / "xdg-cache").write_text("a file where the folder would be")
    result = cli(home, "versions", "demo", "--json", *index_args(origin.url, "finder"))
    assert (result.rc, result.json()) == (0, ["1.1", "1.0"]), result
    assert result.err.startswith("pkgindex: warning: the cache folder ") and result.err.count("\n") == 1


# -- the client's log line the command line still reads --------------------------------------------------


def test_the_log_lines_read_are_the_clients(m, origin, monkeypatch):
    """The line no request outcome can replace, by the fixed start the
    command line matches, as the real client writes it."""
    from network_support import settings_for
    from quorvel_master.cli.watch import REQUIREMENTS_UNREADABLE

    lines = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = lambda record: lines.append(record.getMessage())
    monkeypatch.setattr(m.logger, "level", logging.DEBUG)
    m.logger.addHandler(handler)
    index = origin.url.replace("http://", "http://alice:s3cret@") + "/simple"

    async def go():
        client = m.PackageIndexClient(settings_for(index, None))
        try:
            # The file the finder chooses is not there: its requirements cannot be read.
            assert not await client.get_extras("demo", "1.1")
            assert await client.get_dependencies("demo", "1.1") == []
        finally:
            await client.close()

    try:
        asyncio.run(go())
    finally:
        m.logger.removeHandler(handler)
    for start in REQUIREMENTS_UNREADABLE:
        assert any(line.startswith(start) and "404" in line for line in lines), (start, lines)
    assert not any("s3cret" in line for line in lines), lines


@pytest.mark.parametrize("outcome, said", [
    # A range request answered 416 is the finder's way, not a failure of the index.
    (dict(road="finder", kind="status", status=416), None),
    (dict(road="finder", kind="status", status=401), "authentication required (HTTP 401)"),
    (dict(road="finder", kind="status", status=503), "server error (HTTP 503)"),
    # The client takes any JSON status but 200 and 404 as a failure.
    (dict(road="json", kind="status", status=400), "HTTP 400"),
    (dict(road="json", kind="not-found", status=404), None),
    # A stored answer stood in for the failure: the question was answered.
    (dict(road="json", kind="status", status=503, from_cache=True), None),
    (dict(road="finder", kind="refused"), "connection refused"),
    (dict(road="finder", kind="offline-miss"), "not in the cache, and --offline asks no index"),
    (dict(road="json", kind="tls", detail="certificate verification failed: certificate has expired"),
     "certificate verification failed: certificate has expired"),
])
def test_which_outcomes_are_failures_of_an_index(outcome, said):
    from quorvel_master.cli.watch import failure_of
    from quorvel_master.network import Outcome

    assert failure_of(Outcome("http://i/simple", "http://i/simple/x/", **outcome)) == said
