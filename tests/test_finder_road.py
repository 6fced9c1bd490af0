"""Both roads against one real index: pypiserver serves a folder of wheels and
sdists built here, as PEP 503 pages (finder road) and as a JSON API at
/{package_name}/json (API road). The answers must agree."""

from __future__ import annotations

import pytest

from conftest import run
from requirements_support import pypiserver as run_pypiserver
from quorvel_master.business_layer.packages.pip_settings import SettingsManager
from quorvel_master.sampleindex import build_sdist, build_wheel

pytest.importorskip("pypiserver")

PUBLISHED = {
    "demo-pkg": [("0.9", "wheel"), ("1.0", "wheel"), ("1.0", "sdist"), ("1.0.post1", "sdist"), ("1.10", "wheel"),
                 ("2.0rc1", "wheel"), ("2.0", "wheel"), ("2.0", "sdist")],
    "other": [("3.0", "wheel"), ("3.1b1", "wheel")],
}


@pytest.fixture(scope="module")
def pypiserver(tmp_path_factory):
    folder = tmp_path_factory.mktemp("packages")
    for name, files in PUBLISHED.items():
        for version, kind in files:
            (build_wheel if kind == "wheel" else build_sdist)(folder, name, version, summary=f"{name} {version}")
    with run_pypiserver(folder) as url:
        yield url


def clients(m, url):
    index = url + "/simple/"
    api = SettingsManager(
        {
            "index_urls": [{"url": index, "primary": True}],
            "pip_api": [{"index_url": index, "api_pattern": url + "/{package_name}/json"}],
        }
    )
    finder = SettingsManager({"index_urls": [{"url": index, "primary": True}]})
    return index, m.PackageIndexClient(api), m.PackageIndexClient(finder)


def ask_both(m, url, method, *args):
    index, api, finder = clients(m, url)

    async def go():
        try:
            return await getattr(api, method)(*args), await getattr(finder, method)(*args)
        finally:
            await api.close()
            await finder.close()

    return run(go())


@pytest.mark.parametrize(
    "name, expected",
    [
        ("demo-pkg", ["2.0", "2.0rc1", "1.10", "1.0.post1", "1.0", "0.9"]),
        ("other", ["3.1b1", "3.0"]),
        ("absent", []),
    ],
)
def test_versions_agree(m, log, pypiserver, name, expected):
    by_api, by_finder = ask_both(m, pypiserver, "get_versions", name)
    assert by_api == by_finder == expected


@pytest.mark.parametrize("name, found", [("demo-pkg", True), ("other", True), ("absent", False)])
def test_repository_agrees(m, log, pypiserver, name, found):
    by_api, by_finder = ask_both(m, pypiserver, "find_repo_for_package", name)
    assert by_api == by_finder == (pypiserver + "/simple/" if found else None)


@pytest.mark.parametrize("name, version", [("demo-pkg", "1.0"), ("demo-pkg", "1.0.post1"), ("other", "3.1b1")])
def test_version_repository_agrees_for_published_versions(m, log, pypiserver, name, version):
    by_api, by_finder = ask_both(m, pypiserver, "find_repo_for_package_version", name, version)
    assert by_api == by_finder == pypiserver + "/simple/"


def test_version_check_without_version_in_the_pattern_cannot_tell(m, log, pypiserver):
    # /{package_name}/json holds no version: the API road says yes for any version
    by_api, by_finder = ask_both(m, pypiserver, "find_repo_for_package_version", "demo-pkg", "7.7")
    assert (by_api, by_finder) == (pypiserver + "/simple/", None)


@pytest.mark.parametrize("name, latest", [("demo-pkg", "2.0"), ("other", "3.1b1")])
def test_package_info_agrees(m, log, pypiserver, name, latest):
    by_api, by_finder = ask_both(m, pypiserver, "get_package_info", name)
    # this index's JSON has no name or summary: the API road falls back like the finder road
    assert by_api == by_finder == {"name": name, "latest_version": latest, "summary": ""}


def test_absent_package_info(m, log, pypiserver):
    by_api, by_finder = ask_both(m, pypiserver, "get_package_info", "absent")
    assert by_api == by_finder == {"error": "Package 'absent' not found in any configured index"}
    index = pypiserver + "/simple/"
    assert log.records == [
        ("info", "Querying primary index for package info: absent"),
        ("debug", f"Package absent not found at {index}"),
        ("warning", "Could not retrieve package info for absent from any index"),
        ("info", "Querying primary index for package info: absent"),
        ("warning", "Could not retrieve package info for absent from any index"),
    ]


def test_version_existence_through_the_finder(m, log, pypiserver):
    client = m.PackageIndexClient(None)
    index = pypiserver + "/simple/"
    present = [(n, v) for n, files in PUBLISHED.items() for v, _ in files]
    for name, version in present + [("demo-pkg", "1.0.0")]:  # 1.0.0 == 1.0
        assert client._package_version_exists_via_unearth(name, version, index) is True, (name, version)
    for name, version in [("demo-pkg", "3.0"), ("absent", "1.0"), ("demo-pkg", "not-a-version")]:
        assert client._package_version_exists_via_unearth(name, version, index) is False
    assert client._package_version_exists_via_unearth("demo-pkg", "1.0", "http://127.0.0.1:1/simple/") is False
    assert log.records == []
