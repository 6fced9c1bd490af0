"""Where ``pkgindex`` finds its indexes: the command line, a settings file, or
pip's own configuration.

pip's configuration is read here the way pip reads it (the same files in the
same order, the same ``PIP_*`` variables, the same precedence) but without
importing pip: pip's option parser alone takes longer to import than the rest
of a query's start-up. Only the options that name indexes and the network
options the command line shares with pip (certificates, proxy, retries,
time-out, no-cache-dir) are read.
"""

from __future__ import annotations

import configparser
import os
import sys
from pathlib import Path
from typing import Any

from .._native import mask_given_url, mask_text, normalize_index_url

#: The pip command whose section, besides [global], holds the index options.
PIP_COMMAND = "install"

_PIP_SECTIONS = ("global", PIP_COMMAND, ":env:")  # lowest precedence first
#: Configuration key -> (attribute, kind). "value" replaces, "list" replaces
#: with the white-space separated words, "flag" is a truth value.
_PIP_OPTIONS = {
    "index-url": ("index_url", "value"),
    "pypi-url": ("index_url", "value"),
    "extra-index-url": ("extra_index_urls", "list"),
    "trusted-host": ("trusted_hosts", "list"),
    "no-index": ("no_index", "flag"),
    "cert": ("cert", "value"),
    "client-cert": ("client_cert", "value"),
    "proxy": ("proxy", "value"),
    "retries": ("retries", "count"),
    "timeout": ("timeout", "seconds"),
    "default-timeout": ("timeout", "seconds"),
    # pip turns its cache off for any valid truth value here, "false" too.
    "no-cache-dir": ("no_cache_dir", "flag-set"),
}
_ENV_IGNORED = ("version", "help")
_TRUE = ("y", "yes", "t", "true", "on", "1")
_FALSE = ("n", "no", "f", "false", "off", "0")


class ConfigError(Exception):
    """A configuration that cannot be used: one line, exit status 2."""


def normalized(url: str) -> str:
    """An index URL as the client compares them: trailing slashes dropped."""
    return normalize_index_url(url)


# -- pip's configuration ------------------------------------------------------------


class PipOptions:
    """pip's index and network options with what set them (for ``pkgindex indexes``)."""

    def __init__(self) -> None:
        self.index_url: str | None = None
        self.extra_index_urls: list[str] = []
        self.trusted_hosts: list[str] = []
        self.no_index = False
        self.cert: str | None = None
        self.client_cert: str | None = None
        self.proxy: str | None = None
        self.retries: int | None = None
        self.timeout: float | None = None
        self.no_cache_dir = False
        #: attribute -> where its value came from
        self.origin: dict[str, str] = {}


def _xdg_dir(name: str) -> str | None:
    path = os.environ.get(name, "").strip()
    return path if path.startswith("/") else None


def _pip_config_files() -> list[str]:
    """The files pip reads, lowest precedence first."""
    env_file = os.environ.get("PIP_CONFIG_FILE")
    if env_file == os.devnull:
        return []
    if sys.platform in ("darwin", "win32"):
        # Platform folders differ there; ask pip for its list (slower, rare).
        from pip._internal.configuration import Kind, get_configuration_files

        found = get_configuration_files()
        system, user, site = found[Kind.GLOBAL], found[Kind.USER], found[Kind.SITE]
    else:
        dirs = [p.strip() for p in os.environ.get("XDG_CONFIG_DIRS", "").split(os.pathsep)]
        dirs = [os.path.join(p, "pip") for p in dirs if p.startswith("/")] or ["/etc/xdg/pip"]
        system = [os.path.join(d, "pip.conf") for d in dirs + ["/etc"]]
        home = _xdg_dir("XDG_CONFIG_HOME") or os.path.expanduser("~/.config")
        user = [os.path.expanduser("~/.pip/pip.conf"), os.path.join(home, "pip", "pip.conf")]
        site = [os.path.join(sys.prefix, "pip.conf")]
    files = list(system)
    # A PIP_CONFIG_FILE that exists takes the place of the user's files.
    if not (env_file and os.path.exists(env_file)):
        files += user
    files += site
    if env_file is not None:
        files.append(env_file)
    # A file named twice keeps its first place, as in pip's own table.
    return list(dict.fromkeys(files))


def _normalize_key(name: str) -> str:
    return name.lower().replace("_", "-").removeprefix("--")


class _Parser(configparser.RawConfigParser):
    def optionxform(self, optionstr: str) -> str:
        return _normalize_key(optionstr)


def _file_values(path: str) -> dict[str, str]:
    """``section.key -> value`` of one file; nothing when it cannot be opened."""
    parser = _Parser()
    encoding = "utf-8" if sys.flags.utf8_mode else _locale_encoding()
    try:
        parser.read(path, encoding=encoding)
    except UnicodeDecodeError:
        raise ConfigError(f"pip configuration file {path} contains invalid {encoding} characters") from None
    except configparser.ParsingError as exc:
        # Its text quotes the lines it could not read, and one may hold a password.
        numbers = [number for number, _ in getattr(exc, "errors", ())] + [getattr(exc, "lineno", None)]
        lines = sorted({n for n in numbers if n is not None})
        where = f" (line {', '.join(map(str, lines))})" if lines else ""
        raise ConfigError(f"pip configuration file {path} is not a configuration file{where}") from None
    except configparser.Error as exc:
        raise ConfigError(f"pip configuration file {path}: {one_line(exc)}") from None
    return {
        f"{section}.{name}": value
        for section in parser.sections()
        for name, value in parser.items(section)
    }


def _locale_encoding() -> str:
    import locale

    return locale.getencoding()


def read_pip_options() -> PipOptions:
    """pip's index options from its files and ``PIP_*`` variables.

    Later files override earlier ones key by key; then, whatever the file,
    [global] is overridden by [install], and both by the environment. An
    empty value unsets the key.
    """
    sources: list[tuple[str | None, dict[str, str]]] = [(path, _file_values(path)) for path in _pip_config_files()]
    env = {
        f":env:.{_normalize_key(key[4:])}": value
        for key, value in os.environ.items()
        if key.startswith("PIP_") and key[4:].lower() not in _ENV_IGNORED
    }
    sources.append((None, env))

    by_section: dict[str, dict[str, tuple[str, str]]] = {s: {} for s in _PIP_SECTIONS}
    for path, values in sources:
        for section_key, value in values.items():
            section, key = section_key.split(".", 1)
            if section in by_section:
                origin = f"{path} [{section}]" if path else "PIP_" + key.upper().replace("-", "_")
                by_section[section][key] = (value, origin)

    options = PipOptions()
    for section in _PIP_SECTIONS:
        for key, (value, origin) in by_section[section].items():
            if not value or key not in _PIP_OPTIONS:
                continue
            attribute, kind = _PIP_OPTIONS[key]
            converted: Any = value
            if kind == "list":
                converted = value.split()
            elif kind in ("flag", "flag-set"):
                if value.lower() not in _TRUE + _FALSE:
                    raise ConfigError(
                        f"pip configuration ({origin}): {mask_text(value)} is not a valid value for {key}; "
                        "use a boolean value like yes/no, true/false or 1/0"
                    )
                converted = value.lower() in _TRUE or kind == "flag-set"
            elif kind == "count":
                converted = _number(int, value, key, origin, "a whole number of retries, 0 or more")
            elif kind == "seconds":
                converted = _number(float, value, key, origin, "a positive number of seconds")
            setattr(options, attribute, converted)
            options.origin[attribute] = origin
    return options


def _number(kind: Any, value: str, key: str, origin: str, what: str) -> Any:
    try:
        number = kind(value.strip())
    except ValueError:
        number = None
    if number is None or number < 0 or (kind is float and not 0 < number < float("inf")):
        raise ConfigError(f"pip configuration ({origin}): {mask_text(value)} is not a valid value for {key}; use {what}")
    return number


def user_cache_dir(program: str) -> str:
    """The user's cache folder for ``program``: ``$XDG_CACHE_HOME/program`` or
    ``~/.cache/program`` (an XDG_CACHE_HOME that is not absolute is ignored,
    as the XDG rules say); the platform's own place on macOS and Windows."""
    if sys.platform == "darwin":
        return os.path.expanduser(f"~/Library/Caches/{program}")
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or os.path.expanduser("~\\AppData\\Local")
        return os.path.join(base, program, "Cache")
    return os.path.join(_xdg_dir("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), program)


def pip_default_index() -> str | None:
    """The index pip asks when none is configured, as the installed pip names it."""
    try:
        from pip._internal.models.index import PyPI
    except Exception:
        return None
    url = getattr(PyPI, "simple_url", None)
    return url if isinstance(url, str) and url else None


# -- the indexes of one run -------------------------------------------------------


HOW_TO_CONFIGURE = (
    "pass --index-url URL or --config FILE, or configure pip "
    "(PIP_INDEX_URL or index-url in pip.conf)"
)


class Indexes:
    """The settings handed to the client (in the host's settings format),
    where each index came from, and the hosts trusted over plain HTTP."""

    def __init__(self, settings: dict[str, Any], origins: dict[str, str], trusted_hosts: list[str],
                 pip: PipOptions | None = None) -> None:
        self.settings = settings
        self.origins = origins
        self.trusted_hosts = trusted_hosts
        #: pip's options, read with the indexes (None when pip's configuration is not used at all).
        self.pip = pip

    @property
    def urls(self) -> list[str]:
        return [entry["url"] for entry in self.settings["index_urls"]]

    @property
    def primary(self) -> str | None:
        return next((e["url"] for e in self.settings["index_urls"] if e.get("primary")), None)

    def pattern_for(self, url: str) -> str | None:
        """The JSON API pattern the client uses for an index (its first match)."""
        key = normalized(url)
        return next((e["api_pattern"] for e in self.settings["pip_api"] if normalized(e["index_url"]) == key), None)

    def patterns_without_version(self) -> list[str]:
        """Indexes whose pattern cannot name a version."""
        return [url for url in self.urls if "{version}" not in (self.pattern_for(url) or "{version}")]


def one_line(exc: BaseException | str) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def _checked(check: Any, where: str, value: str) -> str:
    try:
        return check(where, value)
    except ValueError as exc:
        raise ConfigError(str(exc)) from None


def _parse_api_pattern(text: str) -> dict[str, str]:
    """``INDEX_URL=PATTERN``, split at the first '=' that leaves a usable index
    URL and pattern on its two sides: a password may hold an '=' too."""
    from ..business_layer.packages.pip_settings import _check_pattern, _check_url

    at = text.find("=")
    while at > 0:
        try:
            return {"index_url": _check_url("", text[:at]), "api_pattern": _check_pattern("", text[at + 1:])}
        except ValueError:
            at = text.find("=", at + 1)
    # Nothing fits. Say why from the masked text: it keeps the schemes and the
    # placeholders, and its sides hold no piece of a password.
    shown = mask_given_url(text)
    index_url, sep, pattern = shown.partition("=")
    if sep and index_url and pattern:
        _checked(_check_url, "--api-pattern index URL", index_url)
        _checked(_check_pattern, "--api-pattern pattern", pattern)
    raise ConfigError(f"--api-pattern expects INDEX_URL=PATTERN, got {shown!r}")


#: Keys of a settings file that are the command line's (routes.py), not the client's.
ROUTING_KEYS = ("pins", "fail_closed")


def read_settings_file(path: str) -> Any:
    """A settings file's data as written (``.json`` or ``.toml``)."""
    import json
    import tomllib

    file = Path(path)
    suffix = file.suffix.lower()
    if suffix not in (".json", ".toml"):
        raise ValueError(f"{path}: unsupported settings file type {file.suffix!r}; use .json or .toml")
    try:
        text = file.read_bytes().decode("utf-8")
    except FileNotFoundError:
        raise ConfigError(f"config file not found: {path}") from None
    except OSError as exc:
        raise ConfigError(f"cannot read config file {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise ValueError(f"{path}: not UTF-8 text ({exc})") from None
    try:
        return json.loads(text) if suffix == ".json" else tomllib.loads(text)
    except (json.JSONDecodeError, tomllib.TOMLDecodeError) as exc:
        raise ValueError(f"{path}: malformed {suffix[1:].upper()}: {exc}") from None


def _load_settings_file(path: str) -> dict[str, Any]:
    from ..business_layer.packages.pip_settings import SettingsManager

    try:
        data = read_settings_file(path)
        if isinstance(data, dict):
            data = {k: v for k, v in data.items() if k not in ROUTING_KEYS}
        try:
            return SettingsManager(data).to_dict()
        except ValueError as exc:
            raise ValueError(f"{path}: {exc}") from None
    except ValueError as exc:
        raise ConfigError(mask_text(one_line(exc))) from None


class _Configured:
    """The indexes a settings file or pip's configuration names, before the
    command line's options: where each came from, and the settings around them."""

    def __init__(self) -> None:
        self.primary: str | None = None
        self.secondaries: list[str] = []
        self.use_secondaries = True
        self.patterns: list[dict[str, str]] = []
        self.origins: dict[str, str] = {}

    @classmethod
    def from_file(cls, config: str) -> _Configured:
        found = cls()
        data = _load_settings_file(config)
        found.primary = next((e["url"] for e in data["index_urls"] if e.get("primary")), None)
        found.secondaries = [e["url"] for e in data["index_urls"] if not e.get("primary")]
        for url in [found.primary] + found.secondaries if found.primary else found.secondaries:
            found.origins.setdefault(normalized(url), f"config file {config}")
        found.use_secondaries = data["use_secondary_urls"]
        found.patterns = data["pip_api"]
        return found

    @classmethod
    def from_pip(cls, pip: PipOptions, default_index: bool) -> _Configured:
        found = cls()
        if pip.no_index:
            return found
        found.primary = pip.index_url
        if found.primary:
            found.origins[normalized(found.primary)] = pip.origin["index_url"]
        elif default_index:
            found.primary = pip_default_index()
            if found.primary:
                found.origins[normalized(found.primary)] = "pip's default index"
        found.secondaries = list(pip.extra_index_urls)
        for url in found.secondaries:
            found.origins.setdefault(normalized(url), pip.origin["extra_index_urls"])
        return found


def resolve(
    *,
    index_url: str | None = None,
    extra_index_urls: list[str] | None = None,
    api_patterns: list[str] | None = None,
    config: str | None = None,
    trusted_hosts: list[str] | None = None,
) -> Indexes:
    """The indexes of one run.

    Like pip: ``--index-url`` replaces the configured index and
    ``--extra-index-url`` adds to the configured extra indexes, whether they
    come from pip's configuration or from ``--config``. An index named twice is
    asked once, in its first place. pip's trusted hosts always apply.
    """
    from ..business_layer.packages.pip_settings import SettingsManager, _check_url

    extra_index_urls = extra_index_urls or []
    if index_url is not None:
        _checked(_check_url, "--index-url", index_url)
    for url in extra_index_urls:
        _checked(_check_url, "--extra-index-url", url)
    patterns = [_parse_api_pattern(p) for p in api_patterns or []]
    pip = read_pip_options()

    found = _Configured.from_file(config) if config is not None else _Configured.from_pip(pip, index_url is None)
    origins, primary = found.origins, found.primary
    if index_url is not None:
        primary = index_url
        origins[normalized(index_url)] = "--index-url"
    for url in extra_index_urls:
        origins.setdefault(normalized(url), "--extra-index-url")

    entries = [{"url": primary, "primary": True}] if primary else []
    seen = {normalized(primary)} if primary else set()
    for url in found.secondaries + extra_index_urls:
        if normalized(url) not in seen:
            seen.add(normalized(url))
            entries.append({"url": url})
    if not entries:
        if pip.no_index:
            raise ConfigError(f"pip is configured with no-index, so there is no index to ask; {HOW_TO_CONFIGURE}")
        where = f"config file {config}" if config is not None else "pip's configuration"
        raise ConfigError(f"{where} names no index and pip's default index is not known; {HOW_TO_CONFIGURE}")
    # Command-line patterns first: the client takes the first that matches.
    data = {"index_urls": entries, "use_secondary_urls": found.use_secondaries, "pip_api": patterns + found.patterns}
    try:
        settings = SettingsManager(data).to_dict()
    except ValueError as exc:
        raise ConfigError(mask_text(one_line(exc))) from None
    hosts = list(dict.fromkeys(pip.trusted_hosts + (trusted_hosts or [])))
    return Indexes(settings, {normalized(e["url"]): origins.get(normalized(e["url"]), "") for e in entries}, hosts, pip)
