"""pkgindex --pin, --fail-closed and audit, as real processes against two
local indexes, the first answering 401 for acme-secret; what each index was
asked is read from its request log."""

from __future__ import annotations

import json

import pytest

from cli_support import assert_usage_error, isolated_env, run_cli
from quorvel_master.sampleindex import IndexServer

@pytest.fixture
def indexes():
    with IndexServer() as first, IndexServer() as second:
        for server, version in ((first, "2.0"), (second, "1.0")):
            for name in ("acme-secret", "acme-tool", "public"):
                server.add_project(name, {version: {"summary": name}})
        first.set_status("/simple/acme-secret/", 401)
        yield first, second


def pkgindex(home, first, second, *args):
    base = ["--index-url", first.simple_url, "--extra-index-url", second.simple_url, "--no-cache"]
    return run_cli(*args, *base, env=isolated_env(home), cwd=home)


def asked(server, name):
    return server.hits(f"/simple/{name}/")


@pytest.mark.parametrize("command", [["versions"], ["info"], ["find"], ["deps", "1.0"], ["extras", "1.0"]])
@pytest.mark.parametrize("flags, rc, second_asked", [
    ([], 0, True),                      # the second index hears of the private name
    (["--fail-closed"], 3, False),      # ... not with --fail-closed
])
def test_fail_closed(tmp_path, indexes, command, flags, rc, second_asked):
    first, second = indexes
    result = pkgindex(tmp_path, first, second, command[0], "acme-secret", *command[1:], *flags)
    assert result.rc == rc, result
    assert asked(first, "acme-secret") >= 1
    assert (asked(second, "acme-secret") > 0) is second_asked
    if flags:
        lines = result.err.strip().splitlines()
        assert len(lines) == 1 and "401" in lines[0] and "no other index" in lines[0], result.err


def test_fail_closed_line_masks_credentials(tmp_path, indexes):
    first, second = indexes
    secret_url = first.simple_url.replace("http://", "http://user:hunter2@")
    result = run_cli("versions", "acme-secret", "--index-url", secret_url, "--extra-index-url", second.simple_url,
                     "--no-cache", "--fail-closed", "--pin", f"acme-*={secret_url}", env=isolated_env(tmp_path),
                     cwd=tmp_path)
    assert result.rc == 3 and "401" in result.err, result
    assert "hunter2" not in result.out + result.err
    assert asked(second, "acme-secret") == 0


@pytest.mark.parametrize("pin, name, first_asked, second_asked, rc", [
    ("acme-*=FIRST", "acme-secret", True, False, 3),   # pinned to the failing first: never the second
    ("acme-*=FIRST", "acme-tool", True, False, 0),
    ("acme-tool=SECOND", "acme-tool", False, True, 0),  # pinned to the second: the first is skipped
    ("ACME_*=SECOND", "acme-tool", False, True, 0),
])
def test_pin(tmp_path, indexes, pin, name, first_asked, second_asked, rc):
    first, second = indexes
    pin = pin.replace("FIRST", first.simple_url).replace("SECOND", second.simple_url)
    result = pkgindex(tmp_path, first, second, "versions", name, "--pin", pin)
    assert result.rc == rc, result
    assert (asked(first, name) > 0, asked(second, name) > 0) == (first_asked, second_asked)


@pytest.mark.parametrize("flags, rc, first_asked, second_asked", [
    (["--pin", "acme-*=SECOND"], 0, False, True),      # the first never hears of the pinned name
    (["--fail-closed"], 3, True, False),                # the 401 ends the tree's question too
])
def test_tree_is_routed(tmp_path, indexes, flags, rc, first_asked, second_asked):
    first, second = indexes
    flags = [f.replace("SECOND", second.simple_url) for f in flags]
    result = pkgindex(tmp_path, first, second, "tree", "acme-secret", *flags)
    assert result.rc == rc, result
    assert (asked(first, "acme-secret") > 0, asked(second, "acme-secret") > 0) == (first_asked, second_asked)


@pytest.mark.parametrize("suffix, text", [
    (".toml", 'fail_closed = {closed}\n{pins}\n[[pins]]\nname = "acme-*"\nindex_url = "{url}"\n'),
    (".json", '{{"index_urls": [{{"url": "{first}", "primary": true}}, {{"url": "{url}"}}], "fail_closed": {closed},'
              ' "pins": [{{"name": "acme-*", "index_url": "{url}"}}]}}'),
])
def test_settings_file_pins(tmp_path, indexes, suffix, text):
    first, second = indexes
    config = tmp_path / f"settings{suffix}"
    head = (f'use_secondary_urls = true\n[[index_urls]]\nurl = "{first.simple_url}"\nprimary = true\n'
            f'[[index_urls]]\nurl = "{second.simple_url}"')
    config.write_text(text.format(pins=head, closed="true", url=second.simple_url, first=first.simple_url))
    tool = run_cli("versions", "acme-tool", "--config", str(config), "--no-cache", env=isolated_env(tmp_path),
                   cwd=tmp_path)
    assert tool.rc == 0 and "1.0" in tool.out, tool
    assert (asked(first, "acme-tool"), asked(second, "acme-tool")) == (0, 1)
    # fail_closed from the file: public at a first index that fails is not asked of the second.
    first.set_status("/simple/public/", 503)
    public = run_cli("versions", "public", "--config", str(config), "--no-cache", "--retries", "0",
                     env=isolated_env(tmp_path), cwd=tmp_path)
    assert public.rc == 3 and asked(second, "public") == 0, public


@pytest.mark.parametrize("args", [
    ["versions", "x", "--pin", "acme"],
    ["versions", "x", "--pin", "acme-*=not a url"],
    ["versions", "x", "--pin", "ac/me=http://127.0.0.1:1/simple"],
    ["audit"],
])
def test_usage_errors(tmp_path, args):
    assert_usage_error(run_cli(*args, "--index-url", "http://127.0.0.1:1/simple", env=isolated_env(tmp_path),
                               cwd=tmp_path))


@pytest.fixture
def audited():
    """The first serves HTML pages, the second PEP 691 JSON ones (with upload times)."""
    with IndexServer() as first, IndexServer(simple_json=True) as second:
        first.add_project("acme-tool", ["3.0"])
        second.add_project("acme-tool", ["4.0"])           # pinned to the first, held by the second too
        first.add_project("shared", ["1.0"])
        second.add_project("shared", ["2.0"])              # shadowed
        first.add_project("oldlib", {"1.0": {"yanked": "broken build"}, "1.1": None})
        first.add_project("solo", ["1.0"])                 # no finding
        first.add_project("acme-old", ["0.9"])             # shadowed, and archived at the second
        second.add_project("acme-old", {"1.0": {"upload_time": "2024-05-01T10:00:00Z"}}, status="archived",
                           status_reason="moved to acme-new")
        first.add_project("held", ["1.0"], status="quarantined")  # status from an HTML page's meta
        yield first, second


def test_audit_reports_each_kind(tmp_path, audited):
    first, second = audited
    requirements = tmp_path / "requirements.txt"
    requirements.write_text("# pinned\noldlib==1.0\nsolo>=1  # fine\n--index-url http://ignored.invalid/\n")
    result = pkgindex(tmp_path, first, second, "audit", "acme-tool", "shared", "acme-old", "held", "-r", str(requirements),
                      "--pin", f"acme-tool={first.simple_url}", "--json")
    assert result.rc == 1, result
    found = {(f["name"], f["kind"]): f for f in result.json()["findings"]}
    assert set(found) == {("acme-tool", "pinned-elsewhere"), ("shared", "shadowed"), ("oldlib", "yanked"),
                          ("acme-old", "status"), ("acme-old", "shadowed"), ("held", "status")}
    assert [i["first_upload"] for i in found[("acme-old", "shadowed")]["indexes"]] == [
        None, "2024-05-01T10:00:00+00:00"]
    shadowed = found[("shared", "shadowed")]
    assert shadowed["picked"] == first.simple_url
    assert [i["newest"] for i in shadowed["indexes"]] == ["1.0", "2.0"]
    assert found[("oldlib", "yanked")]["reason"] == "broken build"
    assert found[("acme-old", "status")]["status"] == "archived"
    assert found[("held", "status")]["status"] == "quarantined"
    # Every index was asked about every name, once.
    for server in (first, second):
        for name in ("acme-tool", "shared", "acme-old", "held", "oldlib", "solo"):
            assert asked(server, name) == 1, (server.simple_url, name)
    text = pkgindex(tmp_path, first, second, "audit", "shared", "acme-old")
    assert text.rc == 1 and len(text.out.strip().splitlines()) == 3, text
    assert "moved to acme-new" in text.out and "first upload 2024-05-01" in text.out


def test_audit_asks_a_pinned_index_the_settings_do_not_list(tmp_path, audited):
    first, second = audited
    result = run_cli("audit", "acme-tool", "shared", "--index-url", first.simple_url, "--no-cache", "--json",
                     "--pin", f"acme-tool={second.simple_url}", env=isolated_env(tmp_path), cwd=tmp_path)
    assert result.rc == 1, result
    (finding,) = result.json()["findings"]
    assert (finding["name"], finding["kind"], finding["pinned_to"]) == ("acme-tool", "pinned-elsewhere",
                                                                       second.simple_url)
    # The pinned index hears of its name alone.
    assert (asked(second, "acme-tool"), asked(second, "shared")) == (1, 0)


@pytest.mark.parametrize("names, rc", [(["solo"], 0), (["shared"], 1), (["secret"], 3)])
def test_audit_exit_status(tmp_path, audited, names, rc):
    first, second = audited
    first.set_status("/simple/secret/", 401)
    result = pkgindex(tmp_path, first, second, "audit", *names)
    assert result.rc == rc, result
    if rc == 3:
        assert "401" in result.err and "user:" not in result.err


def test_audit_masks_credentials(tmp_path, audited):
    first, second = audited
    secret_url = first.simple_url.replace("http://", "http://user:hunter2@")
    result = run_cli("audit", "shared", "--index-url", secret_url, "--extra-index-url", second.simple_url,
                     "--no-cache", "--json", env=isolated_env(tmp_path), cwd=tmp_path)
    assert result.rc == 1, result
    assert "hunter2" not in result.out + result.err
    assert json.loads(result.out)["findings"][0]["kind"] == "shadowed"
