"""``pkgindex``: ask package indexes from the command line.

A thin front end over :class:`PackageIndexClient`. The indexes come from
``--index-url``/``--extra-index-url``/``--config``; without them, from pip's
own configuration, so the tool asks the indexes that ``pip install`` would.
"""

from __future__ import annotations

import argparse
import asyncio
import configparser
import contextlib
import io
import json
import logging
import os
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, NoReturn
from urllib.parse import urlsplit, urlunsplit

from .business_layer.packages.pip_settings import SettingsManager, _check_pattern, _check_url

PROG = "pkgindex"

EXIT_FOUND = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2

_HOW_TO_CONFIGURE = (
    "pass --index-url URL or --config FILE, or configure pip "
    "(PIP_INDEX_URL or index-url in pip.conf)"
)


class UsageError(Exception):
    """Bad input or configuration: reported as one line, exit status 2."""


# -- indexes ------------------------------------------------------------------


_PIP_CONFIG = "pip configuration"
_PIP_DEFAULT = "pip configuration, primary: pip's default index"


@dataclass
class PipIndexes:
    index_url: str | None
    extra_index_urls: list[str] = field(default_factory=list)
    no_index: bool = False
    #: Where index_url came from, for `pkgindex indexes`.
    source: str = _PIP_CONFIG


def _pip_default_index() -> str | None:
    """The index pip uses when none is configured, asked from the installed pip."""
    try:
        from pip._internal.models.index import PyPI
    except Exception:
        return None
    url = getattr(PyPI, "simple_url", None)
    return url if isinstance(url, str) and url else None


def _indexes_from_pip_parser() -> PipIndexes:
    """Index options exactly as ``pip install`` parses them (files, sections, environment)."""
    from pip._internal.commands import create_command

    captured = io.StringIO()
    try:
        with contextlib.redirect_stderr(captured):
            options, _ = create_command("install").parse_args([])
    except SystemExit:
        # pip reports a broken configuration through its option parser.
        detail = _one_line(captured.getvalue()) if captured.getvalue().strip() else "unreadable"
        raise UsageError(f"pip configuration: {detail}") from None
    index_url = options.index_url or None
    default = _pip_default_index()
    source = _PIP_DEFAULT if index_url and index_url == default else _PIP_CONFIG
    return PipIndexes(index_url, list(options.extra_index_urls or []), bool(options.no_index), source)


def _site_config_dirs() -> list[str]:
    dirs = os.environ.get("XDG_CONFIG_DIRS") or "/etc/xdg"
    return [os.path.join(os.path.expanduser(d), "pip") for d in dirs.split(os.pathsep) if d] + ["/etc"]


def _user_config_dir() -> str:
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "pip")


def pip_config_files() -> list[str]:
    """The files pip reads, lowest priority first (global, user, site, PIP_CONFIG_FILE)."""
    env_file = os.environ.get("PIP_CONFIG_FILE")
    if env_file == os.devnull:
        return []
    files = [os.path.join(d, "pip.conf") for d in _site_config_dirs()]
    if not (env_file and os.path.exists(env_file)):
        files += [
            os.path.join(os.path.expanduser("~"), ".pip", "pip.conf"),
            os.path.join(_user_config_dir(), "pip.conf"),
        ]
    files.append(os.path.join(sys.prefix, "pip.conf"))
    if env_file:
        files.append(env_file)
    return files


def _truthy(text: str) -> bool:
    return text.strip().lower() in ("1", "yes", "true", "on", "y", "t")


def read_pip_config() -> PipIndexes:
    """Read pip's configuration files and environment without pip.

    Follows pip's rules: later files override earlier ones key by key, the
    [install] section overrides [global], and PIP_* variables override both.
    """
    merged: dict[str, str] = {}
    for path in pip_config_files():
        if not os.path.isfile(path):
            continue
        parser = configparser.RawConfigParser()
        try:
            with open(path, encoding="utf-8") as fh:
                parser.read_file(fh)
        except (OSError, UnicodeDecodeError, configparser.Error) as exc:
            raise UsageError(f"pip configuration file {path}: {_one_line(exc)}") from None
        for section in parser.sections():
            for key, value in parser.items(section):
                merged[f"{section}.{key.lower().replace('_', '-')}"] = value

    def setting(name: str) -> str | None:
        env = os.environ.get("PIP_" + name.upper().replace("-", "_"))
        for value in (env, merged.get(f"install.{name}"), merged.get(f"global.{name}")):
            if value:
                return value
        return None

    index_url = setting("index-url")
    source = _PIP_CONFIG
    if index_url is None:
        index_url = _pip_default_index()
        source = _PIP_DEFAULT
    extras = setting("extra-index-url")
    no_index = setting("no-index")
    return PipIndexes(index_url, extras.split() if extras else [], bool(no_index and _truthy(no_index)), source)


def pip_indexes() -> PipIndexes:
    """The indexes ``pip install`` would ask, from the installed pip when it can tell."""
    try:
        return _indexes_from_pip_parser()
    except UsageError:
        raise
    except Exception:
        # No pip importable here, or its internals moved: read its files ourselves.
        return read_pip_config()


@dataclass
class IndexConfig:
    settings: dict[str, Any]
    source: str


def _normalized(url: str) -> str:
    return url.rstrip("/\\")


def _parse_api_pattern(text: str) -> dict[str, str]:
    index_url, sep, pattern = text.partition("=")
    if not sep or not index_url or not pattern:
        raise UsageError(f"--api-pattern expects INDEX_URL=PATTERN, got {text!r}")
    try:
        return {
            "index_url": _check_url("--api-pattern index URL", index_url),
            "api_pattern": _check_pattern("--api-pattern pattern", pattern),
        }
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _load_config_file(path: str) -> dict[str, Any]:
    try:
        return SettingsManager.from_file(path).to_dict()
    except FileNotFoundError:
        raise UsageError(f"config file not found: {path}") from None
    except OSError as exc:
        raise UsageError(f"cannot read config file {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise UsageError(_one_line(exc)) from None


def resolve_indexes(args: argparse.Namespace) -> IndexConfig:
    """Settings (pip_settings format) from the options, the config file or pip."""
    index_url = _opt(args, "index_url")
    extra_urls = _opt(args, "extra_index_url") or []
    config = _opt(args, "config")
    try:
        if index_url is not None:
            _check_url("--index-url", index_url)
        for url in extra_urls:
            _check_url("--extra-index-url", url)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    patterns = [_parse_api_pattern(p) for p in _opt(args, "api_pattern") or []]

    if config is not None:
        data = _load_config_file(config)
        source = f"config file {config}"
        if index_url is not None:
            data["index_urls"] = [{"url": index_url, "primary": True}] + [
                e for e in data["index_urls"] if not e.get("primary")
            ]
        data["index_urls"] += [{"url": u} for u in extra_urls]
    elif index_url is not None:
        data = {
            "index_urls": [{"url": index_url, "primary": True}] + [{"url": u} for u in extra_urls],
            "use_secondary_urls": True,
            "pip_api": [],
        }
        source = "command line"
    elif extra_urls:
        raise UsageError("--extra-index-url needs --index-url (the primary index) or --config")
    else:
        pip = pip_indexes()
        if pip.no_index:
            raise UsageError(f"pip is configured with no-index, so there is no index to ask; {_HOW_TO_CONFIGURE}")
        if not pip.index_url:
            raise UsageError(f"no index configured and pip's default index is not available; {_HOW_TO_CONFIGURE}")
        data = {
            "index_urls": [{"url": pip.index_url, "primary": True}]
            + [{"url": u} for u in pip.extra_index_urls],
            "use_secondary_urls": True,
            "pip_api": [],
        }
        source = pip.source

    # Command-line patterns come first: the client takes the first match.
    data["pip_api"] = patterns + data.get("pip_api", [])
    try:
        settings = SettingsManager(data).to_dict()
    except ValueError as exc:
        raise UsageError(f"{source}: {_one_line(exc)}") from None
    if not settings["index_urls"]:
        raise UsageError(f"{source} lists no index; {_HOW_TO_CONFIGURE}")
    known = {_normalized(e["url"]) for e in settings["index_urls"]}
    for entry in patterns:
        if _normalized(entry["index_url"]) not in known:
            print(
                f"{PROG}: warning: --api-pattern index {redact(entry['index_url'])} "
                "is not one of the configured indexes",
                file=sys.stderr,
            )
    return IndexConfig(settings, source)


# -- output -------------------------------------------------------------------


def redact(url: str) -> str:
    """Hide the password of a URL for display."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return url
    if parts.password is None:
        return url
    host = parts.netloc.rpartition("@")[2]
    return urlunsplit(parts._replace(netloc=f"{parts.username}:****@{host}"))


def _one_line(exc: BaseException | str) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def to_jsonable(value: Any) -> Any:
    """Sets become sorted lists, recursively."""
    if isinstance(value, (set, frozenset)):
        return sorted(to_jsonable(v) for v in value)
    if isinstance(value, dict):
        return {str(k): to_jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_jsonable(v) for v in value]
    return value


def table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip()

    return [line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows]


def found(result: Any) -> bool:
    if isinstance(result, dict) and "error" in result:
        return False
    return bool(result)


def _or_dash(text: str) -> str:
    return text if text else "-"


def render(command: str, params: Sequence[str], result: Any, extra: str | None = None) -> list[str]:
    """Readable lines for one answer."""
    subject = " ".join(params)
    if command == "versions":
        if not result:
            return [f"{subject}: no versions found on any configured index"]
        return [f"{subject}: {len(result)} version(s), newest first"] + table(
            ["VERSION"], [[v] for v in result]
        )
    if command == "find":
        if result is None:
            return [f"{subject}: not found on any configured index"]
        row = [params[0], params[1] if len(params) > 1 else "(any)", redact(result)]
        return table(["PACKAGE", "VERSION", "INDEX"], [row])
    if command == "extras":
        if not result:
            return [f"{subject}: no extras found"]
        return [f"{subject}: {len(result)} extra(s)"] + table(["EXTRA"], [[e] for e in sorted(result)])
    if command == "deps":
        if not result:
            return [f"{subject}: no requirements found"]
        rows = [
            [
                d.get("name", ""),
                _or_dash(d.get("version_spec", "")),
                _or_dash(",".join(d.get("extras") or [])),
                _or_dash(d.get("markers", "")),
            ]
            for d in result
        ]
        return [f"{subject}: {len(result)} requirement(s)"] + table(
            ["NAME", "VERSION", "EXTRAS", "MARKERS"], rows
        )
    if command == "info":
        if not found(result):
            error = result.get("error") if isinstance(result, dict) else None
            return [f"{subject}: {error or 'not found'}"]
        rows = [[key, _or_dash(str(result.get(key, "")))] for key in ("name", "latest_version", "summary")]
        return table(["FIELD", "VALUE"], rows)
    if command == "installed":
        answer = result if result is not None else (extra or "no")
        return table(["REQUIREMENT", "INSTALLED"], [[subject, answer]])
    raise AssertionError(command)


# -- the client ---------------------------------------------------------------


def _client_module() -> Any:
    try:
        # The module warns on every interpreter but the one it was written
        # for; the command line has nothing to add to that on each run.
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
            from .business_layer.packages import package_index_client
    except ImportError as exc:
        raise UsageError(f"the package index client is not available: {_one_line(exc)}") from None
    return package_index_client


_METHODS: dict[str, Callable[[Any, Sequence[str]], Any]] = {
    "versions": lambda c, p: c.get_versions(p[0]),
    "find": lambda c, p: (
        c.find_repo_for_package_version(p[0], p[1]) if len(p) > 1 else c.find_repo_for_package(p[0])
    ),
    "extras": lambda c, p: c.get_extras(p[0], p[1]),
    "deps": lambda c, p: c.get_dependencies(p[0], p[1]),
    "info": lambda c, p: c.get_package_info(p[0]),
}


@dataclass
class Answer:
    command: str
    params: tuple[str, ...]
    result: Any
    seconds: float
    #: Explanation of a negative `installed` answer.
    extra: str | None = None


async def ask(client: Any, command: str, params: Sequence[str]) -> Answer:
    start = time.perf_counter()
    if command == "installed":
        result, extra = check_installed(client, params[0])
    else:
        result, extra = await _METHODS[command](client, params), None
    return Answer(command, tuple(params), result, time.perf_counter() - start, extra)


def check_installed(client: Any, requirement: str) -> tuple[str | None, str | None]:
    parsed = client._parse_requirement(requirement)
    if parsed is None:
        raise UsageError(f"cannot parse requirement {requirement!r}")
    extras = parsed["extras"] or None
    result = client.check_specifier_in_dist(parsed["name"], parsed["version_spec"], extras)
    if result is not None:
        return result, None
    installed = client.check_specifier_in_dist(parsed["name"], "", None)
    if installed is None:
        return None, "no (not installed)"
    return None, f"no ({installed} installed, does not satisfy it)"


async def _run_queries(settings: dict[str, Any], questions: Sequence[tuple[str, Sequence[str]]]) -> list[Answer]:
    module = _client_module()
    client = module.PackageIndexClient(SettingsManager(settings))
    try:
        return [await ask(client, command, params) for command, params in questions]
    finally:
        await client.close()


# -- commands -----------------------------------------------------------------


def _opt(args: argparse.Namespace, name: str) -> Any:
    return getattr(args, name, None)


def _emit(answer: Answer, as_json: bool) -> None:
    if as_json:
        print(json.dumps(to_jsonable(answer.result), indent=2))
    else:
        print("\n".join(render(answer.command, answer.params, answer.result, answer.extra)))


def cmd_query(args: argparse.Namespace) -> int:
    params = [p for p in (_opt(args, "name"), _opt(args, "version")) if p is not None]
    if args.command == "installed":
        settings: dict[str, Any] = {"index_urls": [], "use_secondary_urls": False, "pip_api": []}
        params = [args.requirement]
    else:
        settings = resolve_indexes(args).settings
    (answer,) = asyncio.run(_run_queries(settings, [(args.command, params)]))
    _emit(answer, _opt(args, "json"))
    return EXIT_FOUND if found(answer.result) else EXIT_NOT_FOUND


def cmd_indexes(args: argparse.Namespace) -> int:
    config = resolve_indexes(args)
    settings = config.settings
    primary = [e["url"] for e in settings["index_urls"] if e.get("primary")]
    secondaries = [e["url"] for e in settings["index_urls"] if not e.get("primary")]
    if _opt(args, "json"):
        doc = {
            "source": config.source,
            "primary": primary[-1] if primary else None,
            "secondaries": secondaries,
            "use_secondary_urls": settings["use_secondary_urls"],
            "pip_api": settings["pip_api"],
        }
        print(json.dumps(doc, indent=2))
        return EXIT_FOUND
    patterns = {_normalized(e["index_url"]): e["api_pattern"] for e in reversed(settings["pip_api"])}
    rows = []
    for entry in settings["index_urls"]:
        role = "primary" if entry.get("primary") else "secondary"
        if role == "secondary" and not settings["use_secondary_urls"]:
            role += " (off)"
        pattern = patterns.get(_normalized(entry["url"]))
        rows.append([role, redact(entry["url"]), redact(pattern) if pattern else "- (finder)"])
    print(f"Indexes from {config.source}:")
    print("\n".join(table(["ROLE", "INDEX", "JSON API PATTERN"], rows)))
    return EXIT_FOUND


def cmd_demo(args: argparse.Namespace) -> int:
    from .sampleindex.demo import QUESTIONS, DemoIndexes

    started = time.perf_counter()
    with DemoIndexes() as demo:
        settings = demo.settings()
        answers = asyncio.run(_run_queries(settings, [(q.command, q.args) for q in QUESTIONS]))
    if _opt(args, "json"):
        doc = [
            {"command": a.command, "args": list(a.params), "result": to_jsonable(a.result), "seconds": a.seconds}
            for a in answers
        ]
        print(json.dumps(doc, indent=2))
        return EXIT_FOUND
    primary, secondary = settings["index_urls"][0]["url"], settings["index_urls"][1]["url"]
    print("Sample indexes on this machine, served from this process:")
    print(f"  primary    {primary}  (JSON API {settings['pip_api'][0]['api_pattern']})")
    print(f"  secondary  {secondary}  (no API pattern: simple pages and wheel metadata via the finder)")
    for number, (question, answer) in enumerate(zip(QUESTIONS, answers), 1):
        print()
        asked = " ".join((question.command,) + question.args)
        print(f"[{number}] pkgindex {asked}   ({answer.seconds * 1000:.1f} ms)")
        print(f"    # {question.note}")
        lines = render(answer.command, answer.params, answer.result, answer.extra)
        print("\n".join("    " + ln for ln in lines))
    print()
    kinds = {(a.command, len(a.params)) for a in answers}
    elapsed = time.perf_counter() - started
    print(f"{len(answers)} answers to {len(kinds)} kinds of question in {elapsed:.2f} s")
    return EXIT_FOUND


# -- argument parsing -----------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other error of the tool.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {PROG} --help)\n")


def _common_options() -> argparse.ArgumentParser:
    # SUPPRESS keeps an option given before the command from being reset after it.
    common = argparse.ArgumentParser(add_help=False)
    s = argparse.SUPPRESS
    group = common.add_argument_group("indexes (default: pip's own configuration)")
    group.add_argument("--index-url", metavar="URL", default=s, help="the primary index")
    group.add_argument("--extra-index-url", metavar="URL", action="append", default=s,
                       help="a secondary index (repeatable), asked when the primary has nothing")
    group.add_argument("--api-pattern", metavar="INDEX_URL=PATTERN", action="append", default=s,
                       help="JSON API URL pattern for an index, with {package_name} and {version} "
                            "(repeatable); indexes without one are read through their simple pages")
    group.add_argument("--config", metavar="FILE", default=s,
                       help="settings file (.toml or .json) in the pip_settings format")
    output = common.add_argument_group("output")
    output.add_argument("--json", action="store_true", default=s, help="print the raw result as JSON")
    output.add_argument("-v", "--verbose", action="store_true", default=s,
                        help="show the client's log lines on stderr")
    return common


def build_parser() -> argparse.ArgumentParser:
    common = _common_options()
    parser = _Parser(
        prog=PROG,
        parents=[common],
        description="Ask Python package indexes about packages: the primary index first, "
                    "then the secondary indexes.",
        epilog="Exit status: 0 answer found, 1 nothing found, 2 usage or configuration error.",
    )
    commands: Any = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    def add(name: str, help_text: str) -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = commands.add_parser(
            name, parents=[common], help=help_text, description=help_text
        )
        return sub

    p = add("versions", "list the versions of a package, newest first")
    p.add_argument("name")
    p.set_defaults(handler=cmd_query)
    p = add("find", "which index holds a package (or one version of it)")
    p.add_argument("name")
    p.add_argument("version", nargs="?")
    p.set_defaults(handler=cmd_query)
    p = add("extras", "the extras a package version offers")
    p.add_argument("name")
    p.add_argument("version")
    p.set_defaults(handler=cmd_query)
    p = add("deps", "the requirements a package version declares")
    p.add_argument("name")
    p.add_argument("version")
    p.set_defaults(handler=cmd_query)
    p = add("info", "name, latest version and summary of a package")
    p.add_argument("name")
    p.set_defaults(handler=cmd_query)
    p = add("installed", "whether this interpreter's environment satisfies a requirement "
                         "(markers are not evaluated; no index is asked)")
    p.add_argument("requirement", help="for example 'requests[socks]>=2.0'")
    p.set_defaults(handler=cmd_query)
    p = add("indexes", "show the indexes that would be asked, and where they come from")
    p.set_defaults(handler=cmd_indexes)
    p = add("demo", "start a sample index on 127.0.0.1 and ask it every question")
    p.set_defaults(handler=cmd_demo)
    return parser


def configure_logging() -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    root = logging.getLogger("quorvel_master")
    root.addHandler(handler)
    root.setLevel(logging.DEBUG)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if _opt(args, "verbose"):
        configure_logging()
    handler: Callable[[argparse.Namespace], int] = args.handler
    try:
        return handler(args)
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        return 130
    except Exception as exc:
        # An index answer the client could not read reaches us as an exception.
        print(f"{PROG}: error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return EXIT_NOT_FOUND
