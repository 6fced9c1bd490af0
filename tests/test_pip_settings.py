import json

import pytest

from quorvel_master.business_layer.packages.pip_settings import (
    SettingsManager,
    get_pip_api_list,
    get_pip_settings,
)

LOCAL = "http://127.0.0.1:8080/simple"
MIRROR = "http://mirror.example.invalid/simple"
PATTERN = "http://127.0.0.1:8080/pypi/{package_name}/{version}/json"
DATA = {
    "index_urls": [{"url": LOCAL, "primary": True}, {"url": MIRROR}],
    "use_secondary_urls": False,
    "pip_api": [{"index_url": LOCAL, "api_pattern": PATTERN}],
}
TOML = f"""
use_secondary_urls = false
[[index_urls]]
url = "{LOCAL}"
primary = true
[[index_urls]]
url = "{MIRROR}"
[[pip_api]]
index_url = "{LOCAL}"
api_pattern = "{PATTERN}"
"""


def _write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize(
    "make",
    [
        lambda tmp: SettingsManager(DATA),
        lambda tmp: SettingsManager.from_dict(DATA),
        lambda tmp: SettingsManager.from_file(_write(tmp / "s.json", json.dumps(DATA))),
        lambda tmp: SettingsManager.from_file(_write(tmp / "s.toml", TOML)),
        lambda tmp: SettingsManager.from_file(str(_write(tmp / "S.TOML", TOML))),
    ],
    ids=["init", "from_dict", "json", "toml", "upper-suffix-str-path"],
)
def test_loaders_agree(tmp_path, make):
    sm = make(tmp_path)
    # "primary" stays absent where the source did not set it.
    assert get_pip_settings(sm) == {"index_urls": DATA["index_urls"], "use_secondary_urls": False}
    assert get_pip_api_list(sm) == DATA["pip_api"]


def test_defaults_for_empty_settings():
    for sm in (SettingsManager(), SettingsManager({})):
        assert get_pip_settings(sm) == {"index_urls": [], "use_secondary_urls": True}
        assert get_pip_api_list(sm) == []


def _idx(**entry):
    return {"index_urls": [entry]}


def _pat(pattern):
    return {"pip_api": [{"index_url": LOCAL, "api_pattern": pattern}]}


@pytest.mark.parametrize(
    "data, message",
    [
        ([], "settings must be a table"),
        ({"index_url": []}, "unknown key(s) 'index_url'"),
        ({"index_urls": [LOCAL]}, "index_urls[0] must be a table"),
        (_idx(primary=True), "index_urls[0] is missing the 'url' key"),
        (_idx(url=5), "index_urls[0].url must be a string, got int"),
        (_idx(url="ftp://127.0.0.1/simple"), "http, https or file URL"),
        (_idx(url="http:///simple"), "has no host"),
        (_idx(url=LOCAL, primary=1), "primary must be a boolean, got int"),
        (_idx(url=LOCAL, extra=1), "index_urls[0]: unknown key(s) 'extra'"),
        ({"index_urls": [{"url": LOCAL, "primary": True}] * 2}, "at most one entry may be primary"),
        ({"use_secondary_urls": 0}, "use_secondary_urls must be a boolean"),
        ({"pip_api": {"index_url": LOCAL}}, "pip_api must be a list"),
        ({"pip_api": ["x"]}, "pip_api[0] must be a table"),
        ({"pip_api": [{"index_url": LOCAL}]}, "missing the 'api_pattern' key"),
        ({"pip_api": [{"index_url": None, "api_pattern": PATTERN}]}, "got NoneType"),
        (_pat("http://127.0.0.1/pypi/x/json"), "must contain {package_name}"),
        (_pat("http://127.0.0.1/{package}/json"), "unknown placeholder(s) {package}"),
        (_pat("http://127.0.0.1/{package_name!r}/json"), "format or conversion"),
        (_pat("/pypi/{package_name}/json"), "http, https or file URL"),
    ],
)
def test_validation_errors(data, message):
    with pytest.raises(ValueError) as exc:
        SettingsManager(data)
    assert message in str(exc.value)


@pytest.mark.parametrize(
    "name, text, message",
    [
        ("s.json", "{not json", "malformed JSON"),
        ("s.json", "[1, 2]", "settings must be a table"),
        ("s.toml", "index_urls = [", "malformed TOML"),
        ("s.toml", "use_secondary_urls = 'yes'", "use_secondary_urls must be a boolean"),
        ("s.yaml", "index_urls: []", "unsupported settings file type '.yaml'"),
    ],
)
def test_file_errors_name_the_file(tmp_path, name, text, message):
    path = _write(tmp_path / name, text)
    with pytest.raises(ValueError) as exc:
        SettingsManager.from_file(path)
    assert message in str(exc.value) and str(path) in str(exc.value)


def test_accessors_return_fresh_objects():
    source = json.loads(json.dumps(DATA))
    sm = SettingsManager(source)
    source["index_urls"][0]["url"] = source["pip_api"][0]["api_pattern"] = "changed"
    first, second = get_pip_settings(sm), get_pip_settings(sm)
    assert first == second and first["index_urls"][0] is not second["index_urls"][0]
    first["index_urls"][0]["url"] = "changed"
    first["index_urls"].append({"url": "x"})
    apis = get_pip_api_list(sm)
    apis[0]["api_pattern"] = "changed"
    sm.index_urls[0]["url"] = sm.pip_api[0]["index_url"] = "changed"
    assert get_pip_settings(sm) == second
    assert get_pip_api_list(sm) == DATA["pip_api"]


NEW = [{"url": MIRROR}]


@pytest.mark.parametrize(
    "edit, changed",
    [
        (lambda sm: sm.set_indexes(NEW), {"index_urls": NEW}),
        (lambda sm: sm.set_indexes([], True), {"index_urls": [], "use_secondary_urls": True}),
        (lambda sm: sm.set_api_patterns([]), {"pip_api": []}),
        (lambda sm: setattr(sm, "use_secondary_urls", True), {"use_secondary_urls": True}),
        (lambda sm: sm.update({"pip_api": [], "index_urls": NEW}), {"pip_api": [], "index_urls": NEW}),
    ],
)
def test_edits_are_seen_by_next_query(edit, changed):
    sm = SettingsManager(DATA)
    edit(sm)
    expected = {**DATA, **changed}
    assert get_pip_settings(sm) == {k: expected[k] for k in ("index_urls", "use_secondary_urls")}
    assert get_pip_api_list(sm) == expected["pip_api"]


@pytest.mark.parametrize(
    "edit",
    [
        lambda sm: sm.set_indexes([{"url": 1}]),
        lambda sm: sm.set_indexes([], use_secondary_urls="no"),
        lambda sm: sm.set_api_patterns([{"index_url": MIRROR}]),
        lambda sm: setattr(sm, "use_secondary_urls", None),
        lambda sm: sm.update({"use_secondary_urls": True, "pip_api": [1]}),
    ],
)
def test_rejected_edit_changes_nothing(edit):
    sm = SettingsManager(DATA)
    before = sm.to_dict()
    with pytest.raises(ValueError):
        edit(sm)
    assert sm.to_dict() == before
