"""pkgindex tree against a generated local index, run as a real process."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
from collections import Counter

import pytest

from cli_support import isolated_env, run_cli
from quorvel_master.graph.remote import metadata_file_url, static_requirements
from quorvel_master.cli.tree import requirement_lines
from quorvel_master.sampleindex.generated import add_layered_graph
from quorvel_master.sampleindex.server import IndexServer
from quorvel_master.sampleindex.wheels import build_sdist_bytes

WIN, LINUX = "3.11,win_amd64", "3.12,manylinux_2_28_x86_64"


def _sdist(server, name, pkg_info: str) -> None:
    filename, content = build_sdist_bytes(name, "1.0")
    server.add_file(name, "1.0", filename, content, metadata=pkg_info.encode())


def _shop(server: IndexServer) -> None:
    server.add_project("app", {"1.0": {"requires_dist": [
        "lib>=1", "cyc", "plug[fast]", "winonly; sys_platform == 'win32'", "static", "dynamic", "nomd",
        "newpy", "beta"]}})
    server.add_project("lib", {"1.0": None, "2.0": {"yanked": "broken"}})
    server.add_project("cyc", {"1.0": {"requires_dist": ["app"]}})
    server.add_project("plug", {"1.0": {"requires_dist": ["speed; extra == 'fast'"], "extras": ["fast"]}})
    server.add_project("speed", {"1.0": None})
    server.add_project("winonly", {"1.0": None})
    server.add_project("nomd", {"1.0": {"requires_dist": ["leaf"]}}, metadata_files=False)
    server.add_project("newpy", {"1.0": None, "2.0": {"requires_python": ">=3.99"}})
    server.add_project("beta", {"1.0": None, "2.0b1": None})
    server.add_project("leaf", {"1.0": None})
    _sdist(server, "static", "Metadata-Version: 2.2\nName: static\nVersion: 1.0\nRequires-Dist: leaf>=1\n\n")
    _sdist(server, "dynamic", "Metadata-Version: 2.2\nName: dynamic\nVersion: 1.0\nDynamic: Requires-Dist\n\n")


@pytest.fixture(scope="module")
def shop():
    with IndexServer(simple_json=True) as server:
        _shop(server)
        yield server


@pytest.fixture
def tree(shop, tmp_path):
    def run(*args: str, cache: bool = False):
        shop.reset_hits()
        flags = () if cache else ("--no-cache",)
        return run_cli("tree", "-i", shop.simple_url, "--retries", "0", *flags, *args,
                       env=isolated_env(tmp_path), cwd=tmp_path)
    return run


ALL = {"app": "1.0", "lib": "1.0", "cyc": "1.0", "plug": "1.0", "speed": "1.0", "winonly": "1.0",
       "static": "1.0", "dynamic": "1.0", "nomd": "1.0", "newpy": "1.0", "beta": "1.0", "leaf": "1.0"}


@pytest.mark.parametrize("args, versions", [
    # yanked newest (lib), newer Python (newpy), pre-release left out (beta), extras followed (speed)
    (("app", "--target", WIN, "--target", LINUX), ALL),
    (("app", "--pre", "--target", WIN, "--target", LINUX), {**ALL, "beta": "2.0b1"}),
    # a marker for one target only: winonly is not there on Linux
    (("app", "--target", LINUX), {k: v for k, v in ALL.items() if k != "winonly"}),
    # an == pin on a yanked release selects it
    (("lib==2.0", "--target", LINUX), {"lib": "2.0"}),
    (("app", "--target", LINUX, "--reverse", "leaf"),
     {"app": "1.0", "cyc": "1.0", "static": "1.0", "nomd": "1.0", "leaf": "1.0"}),
    (("app", "--target", LINUX, "--depth", "0"), {"app": "1.0"}),
])
def test_json_nodes(tree, args, versions):
    result = tree(*args, "--format", "json")
    assert result.rc == 0, result.err
    graph = json.loads(result.out)
    assert {n["name"]: n["version"] for n in graph["nodes"]} == versions
    assert not graph["conflicts"]


def test_json_edges_and_knowledge(tree):
    result = tree("app", "--target", WIN, "--target", LINUX, "--json")
    assert result.rc == 0, result.err
    graph = json.loads(result.out)
    nodes = {n["name"]: n for n in graph["nodes"]}
    # an sdist with static requirements is read; one with dynamic ones is unknown, never "none"
    known = {name: n["requirements_known"] for name, n in nodes.items()}
    assert known == {**{name: True for name in ALL}, "dynamic": False}
    edges = {(e["from"], e["to"]): e for e in graph["edges"]}
    assert edges[("app==1.0", "winonly==1.0")]["targets"] == [WIN]
    assert sorted(edges[("app==1.0", "lib==1.0")]["targets"]) == sorted([WIN, LINUX])
    assert edges[("plug==1.0", "speed==1.0")]["requirement"] == "speed; extra == 'fast'"
    assert edges[("app==1.0", "plug==1.0")]["extras"] == ["fast"]
    assert edges[("cyc==1.0", "app==1.0")]["cycle"] is True
    assert ("static==1.0", "leaf==1.0") in edges and ("nomd==1.0", "leaf==1.0") in edges


def _gets(server) -> Counter:
    return Counter(r.path for r in server.requests if r.method == "GET")


def test_each_page_and_metadata_file_once(tree, shop):
    result = tree("app", "--target", WIN, "--target", LINUX)
    assert result.rc == 0, result.err
    gets = _gets(shop)
    pages = {p: n for p, n in gets.items() if p.startswith("/simple/")}
    assert pages == {f"/simple/{name}/": 1 for name in ALL}
    metadata = {p: n for p, n in gets.items() if p.endswith(".metadata")}
    assert metadata and set(metadata.values()) == {1}
    # the wheel without a metadata file is read by ranges, never whole
    wheel = [r for r in shop.requests if r.path.endswith("nomd-1.0-py3-none-any.whl")]
    assert wheel and all(r.headers.get("Range") and r.status == 206 for r in wheel)
    assert not any(r.path.endswith(".tar.gz") for r in shop.requests)


@pytest.mark.parametrize("args", [
    ("app", "--target", LINUX),                          # metadata files, an sdist's, and a wheel read by ranges
    ("nomd", "--target", WIN, "--target", LINUX),       # a wheel without a metadata file only
])
def test_second_run_revalidates_pages_only(tree, shop, args):
    first = tree(*args, "--format", "json", cache=True)
    assert first.rc == 0, first.err
    assert any("Range" in r.headers for r in shop.requests)  # the first run did read a wheel by ranges
    second = tree(*args, "--format", "json", cache=True)
    assert second.rc == 0, second.err
    assert json.loads(second.out) == json.loads(first.out)
    # Every file's requirements were kept under the hash its page announces:
    # the second run asks for pages, each answered 304, and nothing else.
    asked = [(r.path, r.status) for r in shop.requests]
    nodes = {n["name"] for n in json.loads(first.out)["nodes"]}
    assert sorted(asked) == sorted((f"/simple/{name}/", 304) for name in nodes)
    offline = tree(*args, "--format", "json", "--offline", cache=True)
    assert offline.rc == 0, offline.err
    assert json.loads(offline.out) == json.loads(first.out) and not shop.requests


@pytest.mark.parametrize("args, rc, says", [
    (("nosuch",), 1, "not-found"),
    (("app", "--target", "3.12,sparc_weird"), 2, ""),
    ((), 2, "at least one requirement"),
    (("app @ https://example.invalid/app.whl",), 2, ""),
    (("app", "--depth", "-1"), 2, "depth"),
])
def test_exit_statuses(tree, args, rc, says):
    result = tree(*args)
    assert result.rc == rc, result
    assert "Traceback" not in result.err
    assert says in result.out + result.err


def test_unreadable_index_exit_3(tree, shop):
    shop.set_status("/simple/app/", 500)
    try:
        result = tree("app")
    finally:
        shop.clear_hooks()
    assert result.rc == 3, result
    assert "unreadable" in result.out


def test_help_says_it_does_not_backtrack(tree):
    result = tree("--help")
    assert result.rc == 0
    assert "not a resolver" in result.out and "backtrack" in result.out


@pytest.mark.parametrize("text, lines", [
    ("a\n# comment\n\nb>=1  # why\n", ["a", "b>=1"]),
    ("c[x] ; python_version < '4' \\\n  \n", ["c[x] ; python_version < '4'"]),
])
def test_requirement_lines(text, lines):
    assert requirement_lines(text, "req.txt") == lines


def test_requirement_file_options_refused():
    with pytest.raises(Exception, match="req.txt:2: options"):
        requirement_lines("a\n-e .\n", "req.txt")


def test_requirement_file_read(tree, tmp_path):
    (tmp_path / "req.txt").write_text("cyc\n")
    result = tree("-r", str(tmp_path / "req.txt"), "--target", LINUX, "--json")
    assert result.rc == 0, result.err
    assert json.loads(result.out)["roots"][0]["requirement"] == "cyc"


@pytest.mark.parametrize("text, expected", [
    ("Metadata-Version: 2.1\nRequires-Dist: a\n\n", None),
    ("Metadata-Version: 2.2\nRequires-Dist: a\nRequires-Dist: b>1\n\n", ["a", "b>1"]),
    ("Metadata-Version: 2.2\n\n", []),
    ("Metadata-Version: 2.4\nDynamic: requires-dist\nRequires-Dist: a\n\n", None),
    ("Metadata-Version: 2.3\nDynamic: Summary\nRequires-Dist: a\n\n", ["a"]),
    ("Metadata-Version: two\n\n", None),
])
def test_static_requirements(text, expected):
    assert static_requirements(text.encode()) == expected


@pytest.mark.parametrize("url, expected", [
    ("https://h/f/a-1.whl", "https://h/f/a-1.whl.metadata"),
    ("https://h/f/a-1.whl#sha256=ab", "https://h/f/a-1.whl.metadata"),
    ("https://h/f/a-1.tar.gz?x=1", "https://h/f/a-1.tar.gz.metadata?x=1"),
])
def test_metadata_file_url(url, expected):
    assert metadata_file_url(url) == expected


@pytest.mark.slow
def test_same_nodes_as_pip(tmp_path):
    with IndexServer(simple_json=True) as server:
        roots = add_layered_graph(server, projects=40, layers=4, fanout=3, seed=3)
        env = isolated_env(tmp_path)
        ours = run_cli("tree", *roots, "-i", server.simple_url, "--no-cache", "--json", env=env, cwd=tmp_path)
        assert ours.rc == 0, ours.err
        report = tmp_path / "report.json"
        pip = run_cli("install", "--dry-run", "--ignore-installed", "--no-cache-dir", "--report", str(report),
                      "-i", server.simple_url, *roots, env=env, cwd=tmp_path, command=[sys.executable, "-m", "pip"])
        assert pip.rc == 0, pip.err
    theirs = {item["metadata"]["name"]: item["metadata"]["version"]
              for item in json.loads(report.read_text())["install"]}
    nodes = {n["name"]: n["version"] for n in json.loads(ours.out)["nodes"]}
    assert len(nodes) == 40
    assert nodes == theirs


def test_ctrl_c_while_reading_exits_130(shop, tmp_path):
    shop.reset_hits()
    shop.hang("/files/leaf/*")
    proc = subprocess.Popen(
        [sys.executable, "-m", "quorvel_master", "tree", "app", "-i", shop.simple_url, "--no-cache"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path, env=isolated_env(tmp_path))
    try:
        # the graph is deep in its reads: the hanging metadata file was asked
        assert shop.wait_for_hits("/files/leaf/leaf-1.0-py3-none-any.whl.metadata", timeout=30)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=15)
    finally:
        shop.clear_hooks()
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 130
    assert (out, err) == ("", "")


@pytest.fixture(scope="module")
def second():
    with IndexServer(simple_json=True) as server:
        server.add_project("onlysec", {"1.0": None})
        server.add_project("leaf", {"2.0": None})
        yield server


@pytest.mark.parametrize("broken, root, rc, node, where, status", [
    # the first index that holds a project wins
    (None, "leaf", 0, "leaf", "primary", "ok"),
    (None, "onlysec", 0, "onlysec", "secondary", "ok"),
    # an index that cannot be read is passed over
    ("/simple/leaf/", "leaf", 0, "leaf", "secondary", "ok"),
    # found nowhere while an index could not be read: unreadable, not "not found"
    ("/simple/nothere/", "nothere", 3, "nothere", None, "unreadable"),
    (None, "nothere", 1, "nothere", None, "not-found"),
])
def test_index_order(shop, second, tmp_path, broken, root, rc, node, where, status):
    if broken:
        shop.set_status(broken, 500)
    try:
        result = run_cli("tree", root, "-i", shop.simple_url, "--extra-index-url", second.simple_url, "--retries",
                         "0", "--no-cache", "--json", env=isolated_env(tmp_path), cwd=tmp_path)
    finally:
        shop.clear_hooks()
    assert result.rc == rc, result
    (found,) = [n for n in json.loads(result.out)["nodes"] if n["name"] == node]
    urls = {"primary": shop.simple_url, "secondary": second.simple_url, None: None}
    assert (found["index"], found["status"]) == (urls[where], status)


def test_metadata_file_failing_its_hash_is_not_believed(tree, shop):
    # a metadata file that does not match the announced hash: the wheel's own METADATA is read instead
    shop.set_response("/files/cyc/cyc-1.0-py3-none-any.whl.metadata",
                      b"Metadata-Version: 2.1\nName: cyc\nVersion: 1.0\nRequires-Dist: evil\n\n")
    try:
        result = tree("cyc", "--target", LINUX, "--json")
    finally:
        shop.clear_hooks()
    assert result.rc == 0, result.err
    assert {n["name"] for n in json.loads(result.out)["nodes"]} >= {"cyc", "app"}
    assert "evil" not in result.out
    assert any(r.path == "/files/cyc/cyc-1.0-py3-none-any.whl" and r.status == 206 for r in shop.requests)
