"""The plain-Python baseline: what a host would write without the native module,
making the same library calls in the same order (host settings accessors, re,
str methods, aiohttp, packaging, the logger), with the same log messages."""

from __future__ import annotations

import asyncio
import importlib.metadata
import re
import sys

import aiohttp
from packaging.specifiers import SpecifierSet
from packaging.version import Version

from quorvel_master.business_layer.packages.pip_settings import get_pip_api_list, get_pip_settings
from quorvel_master.logging_config import get_logger

logger = get_logger("quorvel_master.bench_baseline")

EXTRA_PATTERN = r"""extra\s*==\s*["\']([^"\']+)["\']"""


class _Metadata(dict):
    def get_all(self, *args, **kwargs):
        return []


class _Dist:
    def __init__(self, name, version):
        self.metadata = _Metadata()
        self.metadata["Name"] = name
        self.metadata["Version"] = version


class PlainClient:
    def __init__(self, settings_manager):
        self.settings_manager = settings_manager
        self._session = None
        self._metadata_cache = {}
        self._distributions_cache = None

    async def _get_session(self):
        if self._session is None or self._session.closed:
            self._session = aiohttp.ClientSession()
        return self._session

    async def close(self):
        if self._session and not self._session.closed:
            await self._session.close()

    # -- configuration -------------------------------------------------------

    def _get_pip_settings(self):
        return get_pip_settings(self.settings_manager)

    def _get_pip_api_list(self):
        return get_pip_api_list(self.settings_manager)

    def _normalize_url(self, url):
        return url.rstrip("/\\")

    def _normalize_name(self, name):
        return re.sub(r"[-_.]+", "-", name.lower())

    def _get_api_pattern_for_index(self, index_url):
        pip_api_list = self._get_pip_api_list()
        normalized_index = self._normalize_url(index_url)
        for entry in pip_api_list:
            entry_index = self._normalize_url(entry.get("index_url", ""))
            if entry_index == normalized_index:
                return entry.get("api_pattern")
        return None

    # -- the walk over the indexes --------------------------------------------

    def _split_indexes(self):
        settings = self._get_pip_settings()
        primary_url = None
        secondary_urls = []
        for index in settings["index_urls"]:
            if index.get("primary", False):
                primary_url = index["url"]
            else:
                secondary_urls.append(index["url"])
        return settings, primary_url, secondary_urls

    async def get_versions(self, package_name, index_url=None):
        if index_url:
            return await self._get_versions_from_index(package_name, index_url)
        settings, primary_url, secondary_urls = self._split_indexes()
        if primary_url:
            logger.info(f"Querying primary index for {package_name} versions")
            versions = await self._get_versions_from_index(package_name, primary_url)
            if versions:
                logger.info(f"Found {len(versions)} versions in primary index")
                return versions
        if settings["use_secondary_urls"] and secondary_urls:
            logger.info(f"No results in primary, trying {len(secondary_urls)} secondary indexes")
            for url in secondary_urls:
                logger.info(f"Querying secondary index: {url}")
                versions = await self._get_versions_from_index(package_name, url)
                if versions:
                    logger.info(f"Found {len(versions)} versions in secondary index")
                    return versions
        logger.warning(f"No versions found for {package_name} in any index")
        return []

    async def _get_versions_from_index(self, package_name, index_url):
        api_pattern = self._get_api_pattern_for_index(index_url)
        if not api_pattern:
            return []
        try:
            api_url = api_pattern.replace("{package_name}", package_name)
            api_url = re.sub(r"/\{version\}", "", api_url)
            session = await self._get_session()
            async with session.get(api_url, timeout=aiohttp.ClientTimeout(total=10)) as response:
                if response.status == 404:
                    logger.debug(f"Package {package_name} not found at {index_url}")
                    return []
                if response.status != 200:
                    logger.error(f"API returned status {response.status} for {api_url}")
                    return []
                data = await response.json()
                releases = data.get("releases", {})
                versions = list(releases.keys())
                valid_versions = []
                for v_str in versions:
                    try:
                        valid_versions.append((Version(v_str), v_str))
                    except Exception:
                        pass
                valid_versions.sort(key=lambda x: x[0], reverse=True)
                versions = [v for _, v in valid_versions]
                logger.debug(f"Found {len(versions)} versions via API for {package_name}")
                return versions
        except asyncio.TimeoutError:
            logger.error(f"Timeout querying {index_url} for {package_name}")
            return []
        except Exception as e:
            logger.error(f"Failed to query {index_url} for {package_name}: {e}")
            return []

    async def get_package_info(self, package_name):
        settings, primary_url, secondary_urls = self._split_indexes()
        if primary_url:
            logger.info(f"Querying primary index for package info: {package_name}")
            info = await self._get_package_info_from_index(package_name, primary_url)
            if "error" not in info:
                return info
        if settings["use_secondary_urls"] and secondary_urls:
            logger.info(f"No info from primary, trying {len(secondary_urls)} secondary indexes")
            for url in secondary_urls:
                logger.info(f"Querying secondary index: {url}")
                info = await self._get_package_info_from_index(package_name, url)
                if "error" not in info:
                    return info
        logger.warning(f"Could not retrieve package info for {package_name} from any index")
        return {"error": f"Package '{package_name}' not found in any configured index"}

    async def _get_package_info_from_index(self, package_name, index_url):
        api_pattern = self._get_api_pattern_for_index(index_url)
        if not api_pattern:
            return {"error": f"No API pattern configured for {index_url}"}
        try:
            api_url = api_pattern.replace("{package_name}", package_name)
            api_url = re.sub(r"/\{version\}", "", api_url)
            session = await self._get_session()
            async with session.get(api_url, timeout=aiohttp.ClientTimeout(total=10)) as response:
                if response.status == 404:
                    logger.debug(f"Package {package_name} not found at {index_url}")
                    return {"error": f"Package '{package_name}' not found at {index_url}"}
                if response.status != 200:
                    logger.error(f"API returned status {response.status} for {api_url}")
                    return {"error": f"API returned status {response.status}"}
                data = await response.json()
                info = data.get("info", {})
                return {
                    "name": info.get("name", package_name),
                    "latest_version": info.get("version", ""),
                    "summary": info.get("summary", ""),
                }
        except asyncio.TimeoutError:
            logger.error(f"Timeout querying {index_url} for {package_name}")
            return {"error": "Request timed out"}
        except Exception as e:
            logger.error(f"Failed to query {index_url} for {package_name}: {e}")
            return {"error": str(e)}

    async def get_dependencies(self, package_name, version, index_url=None):
        if index_url:
            return await self._get_dependencies_from_index(package_name, version, index_url)
        settings, primary_url, secondary_urls = self._split_indexes()
        if primary_url:
            logger.info(f"Querying primary index for dependencies: {package_name}")
            deps = await self._get_dependencies_from_index(package_name, version, primary_url)
            if deps:
                logger.info(f"Found {len(deps)} dependencies in primary index")
                return deps
        if settings["use_secondary_urls"] and secondary_urls:
            logger.info(f"No dependencies in primary, trying {len(secondary_urls)} secondary indexes")
            for url in secondary_urls:
                logger.info(f"Querying secondary index: {url}")
                deps = await self._get_dependencies_from_index(package_name, version, url)
                if deps:
                    logger.info(f"Found {len(deps)} dependencies in secondary index")
                    return deps
        logger.debug(f"No dependencies found for {package_name} in any index")
        return []

    async def _get_dependencies_from_index(self, package_name, version, index_url):
        cache_key = (package_name.lower(), version)
        if cache_key in self._metadata_cache:
            metadata = self._metadata_cache[cache_key]
        else:
            api_pattern = self._get_api_pattern_for_index(index_url)
            if not api_pattern:
                return []
            try:
                api_url = api_pattern.replace("{package_name}", package_name)
                api_url = api_url.replace("{version}", version)
                session = await self._get_session()
                async with session.get(api_url, timeout=aiohttp.ClientTimeout(total=10)) as response:
                    if response.status == 404:
                        logger.debug(f"Package {package_name} not found at {index_url}")
                        return []
                    if response.status != 200:
                        logger.error(f"API returned status {response.status} for {api_url}")
                        return []
                    metadata = await response.json()
                    self._metadata_cache[cache_key] = metadata
            except asyncio.TimeoutError:
                logger.error(f"Timeout querying {index_url} for {package_name}")
                return []
            except Exception as e:
                logger.error(f"Failed to query {index_url} for {package_name}: {e}")
                return []
        info = metadata.get("info", {})
        requires_dist = info.get("requires_dist", [])
        if not requires_dist:
            return []
        dependencies = []
        for req in requires_dist:
            dep = self._parse_requirement(req)
            if dep:
                dependencies.append(dep)
        logger.debug(f"Found {len(dependencies)} dependencies for {package_name}=={version}")
        return dependencies

    def _parse_requirement(self, req):
        parts = req.split(";", 1)
        pkg_part = parts[0].strip()
        marker_part = parts[1].strip() if len(parts) > 1 else ""
        match = re.match(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)", pkg_part)
        if not match:
            logger.warning(f"Could not parse requirement: {req}")
            return None
        name = match.group(1)
        extras_str = match.group(2) or ""
        version_spec = match.group(3).strip()
        pkg_extras = []
        if extras_str:
            pkg_extras = [e.strip() for e in extras_str.strip("[]").split(",")]
        return {"name": name, "version_spec": version_spec, "extras": pkg_extras, "markers": marker_part}

    # -- the installed environment --------------------------------------------

    def _get_current_distributions(self):
        if self._distributions_cache is None:
            table = {}
            for dist in importlib.metadata.distributions():
                table[self._normalize_name(dist.metadata["Name"])] = dist
            stdlib = getattr(sys, "stdlib_module_names", [])
            sys_version = sys.version.split()[0]
            for mod in stdlib:
                norm_name = self._normalize_name(mod)
                if norm_name not in table:
                    table[norm_name] = _Dist(mod, sys_version)
            self._distributions_cache = table
        return self._distributions_cache

    def check_specifier_in_dist(self, package_name, version_spec, extras=None):
        dist_version_str = None
        distributions = self._get_current_distributions()
        normalized_name = self._normalize_name(package_name)
        dist = distributions.get(normalized_name)
        if dist is None:
            return None
        dist_version_str = dist.metadata.get("Version")
        if not dist_version_str:
            return None
        if version_spec and version_spec.strip():
            try:
                specifier = SpecifierSet(version_spec)
                dist_version = Version(dist_version_str)
                if dist_version not in specifier:
                    return None
            except Exception as e:
                logger.debug(f"Error checking version spec for {package_name}: {e}")
                return None
        if extras:
            requires = dist.metadata.get_all("Requires-Dist") or []
            available_extras = set()
            for req in requires:
                if "extra ==" in req:
                    match = re.search(EXTRA_PATTERN, req)
                    if match:
                        available_extras.add(match.group(1).lower())
            for extra in extras:
                if extra.lower() not in available_extras:
                    return None
        return dist_version_str


def requires_dist_of_wheel(package_name, version, index_url):
    """The finder road's metadata as a host would read it without the module:
    the best match's wheel downloaded whole into memory, opened with zipfile."""
    import email.parser
    import io
    import zipfile

    from unearth import PackageFinder

    finder = PackageFinder(index_urls=[index_url])
    try:
        link = finder.find_best_match(f"{package_name}=={version}").best.link
        response = finder.session.get(link.url_without_fragment)
        response.raise_for_status()
        with zipfile.ZipFile(io.BytesIO(response.content)) as archive:
            (member,) = [n for n in archive.namelist() if n.count("/") == 1 and n.endswith(".dist-info/METADATA")]
            text = archive.read(member).decode("utf-8", "replace")
        return email.parser.Parser().parsestr(text).get_all("Requires-Dist") or []
    finally:
        finder.session.close()
