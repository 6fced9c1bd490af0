"""The commands of ``pkgindex``.

A host of :class:`PackageIndexClient` like any other: it hands the client its
settings and runs it on the network layer (``quorvel_master.network``), which
gives both of the client's roads pip's habits (a cache in the user's cache
folder, retries, pip's certificates and proxy) and tells which index failed
and why. The indexes come from pip's configuration unless the command line or
a settings file names them, so the tool asks the indexes that ``pip install``
would.

Each command is one row of :data:`COMMANDS`: its arguments, the question put
to the client and how the answer is shown.

Exit status: 0 an answer; 1 nothing found, every index answered; 2 a usage or
configuration error; 3 nothing found and an index could not be read; 130
interrupted.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import time
from collections.abc import Awaitable, Callable, Sequence
from typing import TYPE_CHECKING, Any, NoReturn

from .._native import mask_given_url, mask_text
from .config import ConfigError, one_line

if TYPE_CHECKING:
    from .config import Indexes
    from .watch import Console, Watch

PROG = "pkgindex"
DISTRIBUTION = "quorvel-master-package-index-client"

EXIT_FOUND = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_UNREADABLE = 3
EXIT_INTERRUPTED = 130

#: The client's own time-out for one request, kept unless --timeout says otherwise.
DEFAULT_TIMEOUT = 10.0
#: pip's own number of retries.
DEFAULT_RETRIES = 5


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


# -- arguments ------------------------------------------------------------------

# Project names as the packaging library validates them, matched as a whole
# (its "$" would let a trailing line break through).
_NAME = re.compile(r"[A-Z0-9]|[A-Z0-9][A-Z0-9._-]*[A-Z0-9]", re.IGNORECASE)


def _project_name(text: str) -> str:
    if not _NAME.fullmatch(text):
        raise UsageError(f"{text!r} is not a valid project name (letters, digits, '.', '_' and '-', "
                         "starting and ending with a letter or digit)")
    return text


#: What a version may not hold: it goes into the index URL as it is, and these
#: would move the path, start a query or a fragment, or be decoded by the server.
_NOT_IN_VERSION = frozenset("/?#%")


def _version(text: str) -> str:
    if (not text.strip(".") or any(c in _NOT_IN_VERSION or c.isspace() or not c.isprintable() for c in text)):
        raise UsageError(f"{text!r} is not a version (it must hold something besides dots, and no '/', '?', "
                         "'#', '%', white space or control character)")
    return text


def _requirement(text: str) -> Any:
    from packaging.requirements import InvalidRequirement, Requirement

    try:
        return Requirement(text)
    except InvalidRequirement as exc:
        # The library's message ends with the text and a caret under the fault.
        raise UsageError(f"{text!r} is not a requirement: {str(exc).splitlines()[0]}") from None


class Arg:
    def __init__(self, name: str, check: Callable[[str], Any], help: str, optional: bool = False) -> None:
        self.name, self.check, self.help, self.optional = name, check, help, optional


NAME = Arg("name", _project_name, "project name")
VERSION = Arg("version", _version, "exact version, as the index lists it")


class Query:
    """One question: the checked arguments and what the run offers to answer it."""

    def __init__(self, command: Command, values: dict[str, Any], args: argparse.Namespace, watch: Watch) -> None:
        self.command = command
        self.name: str = values.get("name", "")
        self.version: str | None = values.get("version")
        self.requirement: Any = values.get("requirement")
        self.pre = bool(getattr(args, "pre", False))
        self.watch = watch

    @property
    def subject(self) -> str:
        return " ".join(p for p in (self.name, self.version) if p) or str(self.requirement)


class Answer:
    """What a command found: the raw result (for --json), whether it counts as
    found, and what explains an empty one."""

    def __init__(self, result: Any, found: bool, *, empty: str | None = None, index: str | None = None,
                 reason: str | None = None, extra: Any = None) -> None:
        self.result, self.found = result, found
        self.empty, self.index, self.reason, self.extra = empty, index, reason, extra
        self.seconds = 0.0


# -- answers ----------------------------------------------------------------------


def _is_prerelease(version: str) -> bool:
    from packaging.version import InvalidVersion, Version

    try:
        return Version(version).is_prerelease
    except InvalidVersion:
        return False


async def ask_versions(client: Any, q: Query) -> Answer:
    versions = await client.get_versions(q.name)
    shown = versions if q.pre else [v for v in versions if not _is_prerelease(v)]
    return Answer(shown, bool(shown), extra=len(versions) - len(shown))


def _nowhere(q: Query) -> str:
    if q.watch.failures:
        return "not found on the indexes that could be read"
    return "not found on any configured index"


def show_versions(q: Query, a: Answer) -> list[str]:
    if a.found:
        return [f"{q.subject}: {len(a.result)} version(s), newest first"] + table(["VERSION"], [[v] for v in a.result])
    if a.extra:
        return [f"{q.subject}: no final releases, only {a.extra} pre-release(s) (--pre shows them)"]
    return [f"{q.subject}: {_nowhere(q)}"]


async def ask_find(client: Any, q: Query) -> Answer:
    if q.version is None:
        url = await client.find_repo_for_package(q.name)
    else:
        url = await client.find_repo_for_package_version(q.name, q.version)
    return Answer(mask_given_url(url) if url else None, url is not None)


def show_find(q: Query, a: Answer) -> list[str]:
    if not a.found:
        return [f"{q.subject}: {_nowhere(q)}"]
    return table(["PACKAGE", "VERSION", "INDEX"], [[q.name, q.version or "(any)", a.result]])


async def _explain_empty(client: Any, q: Query, result: Any) -> Answer:
    """An empty list of extras or requirements: does the version exist, and
    could what it declares be read?"""
    where = await client.find_repo_for_package_version(q.name, q.version)
    if where is None:
        return Answer(result, False, empty="missing")
    reason = q.watch.failure_of(where) or q.watch.note_of(where)
    if reason is not None:
        return Answer(result, False, empty="unreadable", index=mask_given_url(where), reason=reason)
    return Answer(result, True, empty="none", index=mask_given_url(where))


async def ask_extras(client: Any, q: Query) -> Answer:
    extras = await client.get_extras(q.name, q.version)
    return Answer(extras, True) if extras else await _explain_empty(client, q, extras)


async def ask_deps(client: Any, q: Query) -> Answer:
    deps = await client.get_dependencies(q.name, q.version)
    return Answer(deps, True) if deps else await _explain_empty(client, q, deps)


def _show_empty(q: Query, a: Answer, what: str) -> list[str]:
    if a.empty == "none":
        return [f"{q.subject}: declares no {what} ({a.index})"]
    if a.empty == "unreadable":
        return [f"{q.subject}: found at {a.index}, but its {what} could not be read: {a.reason}"]
    return [f"{q.subject}: version {_nowhere(q)}"]


def show_extras(q: Query, a: Answer) -> list[str]:
    if a.empty:
        return _show_empty(q, a, "extras")
    return [f"{q.subject}: {len(a.result)} extra(s)"] + table(["EXTRA"], [[e] for e in a.result])


def _specifier(spec: str) -> str:
    # Old metadata writes "name (>=1.0)"; the parentheses say nothing.
    return spec[1:-1].strip() if spec.startswith("(") and spec.endswith(")") else spec


def show_deps(q: Query, a: Answer) -> list[str]:
    if a.empty:
        return _show_empty(q, a, "requirements")
    rows = [
        [d.get("name", ""), _specifier(d.get("version_spec", "")) or "-",
         ",".join(d.get("extras") or []) or "-", d.get("markers", "") or "-"]
        for d in a.result
    ]
    return [f"{q.subject}: {len(rows)} requirement(s)"] + table(["NAME", "VERSION", "EXTRAS", "MARKERS"], rows)


async def ask_info(client: Any, q: Query) -> Answer:
    info = await client.get_package_info(q.name)
    if not isinstance(info, dict) or "error" in info:
        return Answer(info, False)
    # The latest version is the one `versions` lists first, on either road: the
    # finder road's record names its newest release, a pre-release included.
    listed = await ask_versions(client, q)
    record = dict(info, latest_version=listed.result[0] if listed.found else None)
    return Answer(record, True, extra=listed.extra)


def show_info(q: Query, a: Answer) -> list[str]:
    if not a.found:
        return [f"{q.subject}: {_nowhere(q)}"]
    latest = a.result["latest_version"]
    if latest is None:
        latest = f"none final, only {a.extra} pre-release(s) (--pre shows them)" if a.extra else "none listed"
    summary = a.result.get("summary") or "(the index publishes none)"
    return table(["FIELD", "VALUE"], [["name", str(a.result.get("name", ""))], ["latest_version", str(latest)],
                                      ["summary", str(summary)]])


async def ask_installed(client: Any, q: Query) -> Answer:
    req = q.requirement
    extras = sorted(req.extras) or None
    result = client.check_specifier_in_dist(req.name, str(req.specifier), extras)
    if result is not None:
        return Answer(result, True)
    installed = client.check_specifier_in_dist(req.name, "", None)
    return Answer(None, False, extra=installed)


def show_installed(q: Query, a: Answer) -> list[str]:
    if a.found:
        shown = a.result
    elif a.extra is None:
        shown = "no (not installed)"
    else:
        shown = f"no ({a.extra} installed, does not satisfy it)"
    return table(["REQUIREMENT", "INSTALLED"], [[str(q.requirement), shown]])


# -- output -------------------------------------------------------------------------


def table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip()

    return [line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows]


def to_jsonable(value: Any) -> Any:
    """Sets become sorted lists, recursively; every text is masked."""
    if isinstance(value, (set, frozenset)):
        return sorted(to_jsonable(v) for v in value)
    if isinstance(value, dict):
        return {str(k): to_jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_jsonable(v) for v in value]
    if isinstance(value, str):
        return mask_text(value)
    return value


def dump_json(value: Any) -> str:
    import json

    return json.dumps(to_jsonable(value), indent=2)


class Output:
    """stdout, written whole and flushed at once. A reader that went away (a
    closed pipe) ends the output quietly."""

    def __init__(self) -> None:
        self.closed = False

    def write(self, lines: Sequence[str]) -> None:
        if self.closed:
            return
        try:
            sys.stdout.write("".join(mask_text(line) + "\n" for line in lines))
            sys.stdout.flush()
        except BrokenPipeError:
            self.closed = True
            # Nothing more reaches the reader; keep the interpreter's own
            # flush at exit from failing too.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)


# -- running questions ----------------------------------------------------------------


def _client_module() -> Any:
    import warnings

    try:
        # The module warns on every interpreter but the one it was written
        # for; the command line has nothing to add to that on each run.
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
            from ..business_layer.packages import package_index_client
    except ImportError as exc:
        raise ConfigError(f"the package index client is not available: {one_line(exc)}") from None
    return package_index_client


def network_options(args: argparse.Namespace, indexes: Indexes, *, persistent: bool = True) -> Any:
    """The network layer's options: the command line's, else pip's, else pip's
    defaults; the cache in the user's cache folder unless ``persistent`` is
    off (then in memory, for the run)."""
    from ..network import NetworkOptions
    from .config import user_cache_dir

    pip = indexes.pip
    given = lambda name: getattr(args, name, None)  # noqa: E731
    from_pip = lambda name: getattr(pip, name, None) if pip is not None else None  # noqa: E731
    no_cache = bool(given("no_cache")) or bool(from_pip("no_cache_dir"))
    offline, refresh = bool(given("offline")), bool(given("refresh"))
    if offline and refresh:
        raise UsageError("--offline and --refresh cannot be given together")
    if offline and no_cache:
        why = "--no-cache" if given("no_cache") else "pip's no-cache-dir"
        raise UsageError(f"--offline answers from the cache, which {why} turns off")
    retries = given("retries")
    if retries is None:
        retries = from_pip("retries")
    proxy = given("proxy") or from_pip("proxy")
    files = {}
    for name, option in (("cert", "--cert"), ("client_cert", "--client-cert")):
        path, where = (given(name), option) if given(name) else (from_pip(name), f"pip's {option[2:]}")
        if path:
            path = os.path.expanduser(path)
            if not os.path.isfile(path):
                raise UsageError(f"{where} {path}: no such file")
            files[name] = path
    return NetworkOptions(
        cache=not no_cache,
        cache_dir=user_cache_dir(PROG) if persistent and not no_cache else None,
        mode="offline" if offline else "refresh" if refresh else "normal",
        retries=DEFAULT_RETRIES if retries is None else retries,
        proxy=_proxy_url(proxy) if proxy else None,
        trusted_hosts=tuple(indexes.trusted_hosts),
        timeout=given("timeout") or from_pip("timeout") or DEFAULT_TIMEOUT,
        **files,
    )


def _proxy_url(text: str) -> str:
    """A proxy as pip takes it: ``[scheme://][user:password@]host:port``."""
    from urllib.parse import urlsplit

    url = text if "://" in text else "http://" + text
    try:
        parts = urlsplit(url)
        parts.port  # noqa: B018 (a port that is not a number raises)
    except ValueError:
        parts = None
    if parts is None or parts.scheme.lower() not in ("http", "https") or not parts.hostname:
        raise UsageError(f"{mask_given_url(text)!r} is not a proxy URL (http://[user:password@]host:port)")
    return url


def make_network(options: Any, console: Console, args: argparse.Namespace) -> Any:
    """The layer, going on without the cache (with a warning) when its folder
    cannot be used; a certificate file that cannot be used is an error."""
    import dataclasses
    import ssl

    from ..network import Network

    try:
        network = Network(options)
    except OSError as exc:
        if options.mode == "offline":
            raise ConfigError(f"the cache folder {options.cache_dir} cannot be used: {one_line(exc)}") from None
        _warn(args, console, f"the cache folder {options.cache_dir} cannot be used ({exc.strerror or one_line(exc)}); "
                             "going on without it")
        network = Network(dataclasses.replace(options, cache_dir=None))
    if options.cert is not None or options.client_cert is not None:
        try:
            network.setup.ssl  # noqa: B018 (loads the files now, to say what is wrong with them)
        except (OSError, ssl.SSLError) as exc:
            files = " and ".join(str(f) for f in (options.cert, options.client_cert) if f is not None)
            raise ConfigError(f"the certificate file {files} cannot be used: {one_line(exc)}") from None
    return network


class Session:
    """One run of questions against one set of indexes: the client on the
    network layer, with the module's finder global and logger set up for the
    command line while it runs."""

    def __init__(self, indexes: Indexes, args: argparse.Namespace, console: Console, network_options: Any) -> None:
        from ..business_layer.packages.pip_settings import SettingsManager
        from .watch import Watch

        self.args, self.console = args, console
        self.module = _client_module()
        self.watch = Watch(indexes)
        self.settings_manager = SettingsManager(indexes.settings)
        self.network = make_network(network_options, console, args)
        self._undo: list[Callable[[], None]] = []

    def __enter__(self) -> Session:
        import logging

        from .watch import ClientLogHandler, EchoHandler, finder_factory

        network = self.network
        if self.module.PackageFinder is not None:
            network.finder_factory = finder_factory(network, self.watch)
            network.install(self.module)
            self._undo.append(network.uninstall)
        self._undo.append(network.outcomes.listen(self.watch.heard))
        logger = self.module.logger
        self._add_handler(logger, ClientLogHandler(self.watch))
        level = logger.level
        logger.setLevel(logging.DEBUG)
        self._undo.append(lambda: logger.setLevel(level))
        root = logging.getLogger()
        verbose = getattr(self.args, "verbose", 0) or 0
        if verbose:
            self._add_handler(root, EchoHandler(self.console, logging.DEBUG))
            # -v: every line of the client, the libraries' warnings; -vv: all.
            root_level = root.level
            root.setLevel(logging.WARNING if verbose == 1 else logging.DEBUG)
            self._undo.append(lambda: root.setLevel(root_level))
        else:
            # Without a handler, logging would print the libraries' warnings.
            self._add_handler(root, logging.NullHandler())
        return self

    def __exit__(self, *exc: object) -> None:
        while self._undo:
            self._undo.pop()()
        self.network.close_sync()

    def _add_handler(self, logger: Any, handler: Any) -> None:
        logger.addHandler(handler)
        self._undo.append(lambda: logger.removeHandler(handler))

    async def ask(self, questions: Sequence[Query]) -> list[Answer]:
        client = self.network.client(self.settings_manager)
        answers = []
        try:
            for q in questions:
                started = time.perf_counter()
                assert q.command.ask is not None
                answer = await q.command.ask(client, q)
                answer.seconds = time.perf_counter() - started
                answers.append(answer)
        finally:
            await client.close()
        return answers

    def run(self, questions: Sequence[Query]) -> list[Answer]:
        import asyncio

        self.console.start_status(self.watch.status_text)
        try:
            return asyncio.run(self.ask(questions))
        except Exception as exc:
            # The one index answer the client lets through: a document it
            # cannot read.
            self.watch.failed(None, f"unreadable answer ({type(exc).__name__}: {one_line(exc)})")
            return []
        finally:
            self.console.stop_status()

    def report(self) -> None:
        if not getattr(self.args, "quiet", False):
            for line in self.watch.failure_lines():
                self.console.line(f"{PROG}: {line}")


def _indexes(args: argparse.Namespace) -> Indexes:
    from .config import resolve

    return resolve(
        index_url=getattr(args, "index_url", None),
        extra_index_urls=getattr(args, "extra_index_url", None),
        api_patterns=getattr(args, "api_pattern", None),
        config=getattr(args, "config", None),
        trusted_hosts=getattr(args, "trusted_host", None),
    )


def _check_patterns(indexes: Indexes, args: argparse.Namespace, console: Console, per_version: bool) -> None:
    from .config import normalized

    without = indexes.patterns_without_version()
    if without:
        names = ", ".join(mask_given_url(url) for url in without)
        if per_version:
            raise UsageError(
                f"the JSON API pattern of {names} has no {{version}}: it would describe the latest "
                "release instead of the version asked; add {version} to the pattern"
            )
        _warn(args, console, f"the JSON API pattern of {names} has no {{version}}; "
                             "deps, extras and find NAME VERSION refuse it")
    known = {normalized(url) for url in indexes.urls}
    for entry in indexes.settings["pip_api"]:
        if normalized(entry["index_url"]) not in known:
            _warn(args, console,
                  f"--api-pattern index {mask_given_url(entry['index_url'])} is not one of the configured indexes")


def _warn(args: argparse.Namespace, console: Console, text: str) -> None:
    if not getattr(args, "quiet", False):
        console.line(f"{PROG}: warning: {text}")


def _query(command: Command, args: argparse.Namespace) -> dict[str, Any]:
    return {arg.name: arg.check(getattr(args, arg.name)) for arg in command.args
            if getattr(args, arg.name, None) is not None}


def cmd_question(command: Command, args: argparse.Namespace, console: Console, output: Output) -> int:
    from .config import Indexes

    values = _query(command, args)
    if command.network:
        indexes = _indexes(args)
        _check_patterns(indexes, args, console, per_version="version" in values)
    else:
        indexes = Indexes({"index_urls": [], "use_secondary_urls": False, "pip_api": []}, {}, [])
    options = network_options(args, indexes, persistent=command.network)
    with Session(indexes, args, console, options) as session:
        q = Query(command, values, args, session.watch)
        answers = session.run([q])
    session.report()
    if not answers:
        return EXIT_UNREADABLE
    (answer,) = answers
    if getattr(args, "json", False):
        output.write([dump_json(answer.result)])
        if answer.empty == "unreadable" and not getattr(args, "quiet", False):
            console.line(f"{PROG}: {q.subject}: {command.name} could not be read at {answer.index}: {answer.reason}")
    else:
        assert command.show is not None
        output.write(command.show(q, answer))
    if answer.found:
        return EXIT_FOUND
    return EXIT_UNREADABLE if session.watch.failures else EXIT_NOT_FOUND


def cmd_indexes(args: argparse.Namespace, console: Console) -> int:
    from .config import normalized

    indexes = _indexes(args)
    _check_patterns(indexes, args, console, per_version=False)
    settings = indexes.settings
    use_secondaries = settings["use_secondary_urls"]
    entries: list[dict[str, Any]] = []
    for entry in settings["index_urls"]:
        url = entry["url"]
        pattern = indexes.pattern_for(url)
        entries.append({
            "role": "primary" if entry.get("primary") else "secondary",
            "url": mask_given_url(url),
            "api_pattern": mask_given_url(pattern) if pattern else None,
            "from": indexes.origins.get(normalized(url), ""),
        })
    output = Output()
    if getattr(args, "json", False):
        output.write([dump_json({
            "indexes": entries,
            "use_secondary_urls": use_secondaries,
            "trusted_hosts": indexes.trusted_hosts,
        })])
        return EXIT_FOUND
    rows = []
    for e in entries:
        role = e["role"] + (" (off)" if e["role"] == "secondary" and not use_secondaries else "")
        rows.append([role, e["url"], e["api_pattern"] or "- (finder)", e["from"] or "-"])
    lines = table(["ROLE", "INDEX", "JSON API PATTERN", "FROM"], rows)
    if indexes.trusted_hosts:
        lines.append(f"trusted hosts: {' '.join(indexes.trusted_hosts)}")
    output.write(lines)
    return EXIT_FOUND


def cmd_demo(args: argparse.Namespace, console: Console) -> int:
    from .config import Indexes
    from ..sampleindex.demo import QUESTIONS, DemoIndexes

    started = time.perf_counter()
    parser = build_parser()
    output = Output()
    with DemoIndexes() as demo:
        settings = demo.settings()
        indexes = Indexes(settings, {}, [])
        # The sample indexes live as long as the run: nothing of them is kept.
        options = network_options(args, indexes, persistent=False)
        with Session(indexes, args, console, options) as session:
            queries = []
            for question in QUESTIONS:
                parsed = parser.parse_args([question.command, *question.args])
                command = COMMANDS[question.command]
                queries.append(Query(command, _query(command, parsed), parsed, session.watch))
            answers = session.run(queries)
    session.report()
    if len(answers) != len(queries):
        return EXIT_UNREADABLE
    if getattr(args, "json", False):
        output.write([dump_json([
            {"command": q.command.name, "args": list(question.args), "result": a.result, "seconds": a.seconds}
            for question, q, a in zip(QUESTIONS, queries, answers)
        ])])
        return EXIT_FOUND
    primary, secondary = settings["index_urls"][0]["url"], settings["index_urls"][1]["url"]
    lines = [
        "Sample indexes on this machine, served from this process:",
        f"  primary    {primary}  (JSON API {settings['pip_api'][0]['api_pattern']})",
        f"  secondary  {secondary}  (no API pattern: simple pages and wheel metadata via the finder)",
    ]
    for number, (question, q, a) in enumerate(zip(QUESTIONS, queries, answers), 1):
        asked = " ".join((question.command,) + question.args)
        lines += ["", f"[{number}] {PROG} {asked}   ({a.seconds * 1000:.1f} ms)", f"    # {question.note}"]
        assert q.command.show is not None
        lines += ["    " + line for line in q.command.show(q, a)]
    kinds = {(q.command.name, q.version is not None) for q in queries}
    lines += ["", f"{len(answers)} answers to {len(kinds)} kinds of question in {time.perf_counter() - started:.2f} s"]
    output.write(lines)
    return EXIT_FOUND


# -- the command table ----------------------------------------------------------------


class Command:
    """One command: its arguments, the question it puts to the client and how
    the answer is shown. Commands without a question run on their own."""

    def __init__(
        self,
        name: str,
        help: str,
        args: Sequence[Arg] = (),
        ask: Callable[[Any, Query], Awaitable[Answer]] | None = None,
        show: Callable[[Query, Answer], list[str]] | None = None,
        *,
        options: Sequence[str] = (),
        network: bool = True,
        run: Callable[[argparse.Namespace, Console], int] | None = None,
    ) -> None:
        self.name, self.help, self.args = name, help, tuple(args)
        self.ask, self.show, self.options, self.network, self.run = ask, show, tuple(options), network, run


COMMANDS: dict[str, Command] = {
    c.name: c
    for c in (
        Command("versions", "list the versions of a project, newest first", [NAME],
                ask_versions, show_versions, options=["pre"]),
        Command("find", "which index holds a project, or one version of it",
                [NAME, Arg("version", _version, "exact version", optional=True)], ask_find, show_find),
        Command("extras", "the extras a version offers", [NAME, VERSION], ask_extras, show_extras),
        Command("deps", "the requirements a version declares", [NAME, VERSION], ask_deps, show_deps),
        Command("info", "name, latest version and summary of a project", [NAME], ask_info, show_info,
                options=["pre"]),
        Command("installed", "whether this interpreter's environment satisfies a requirement "
                             "(no index is asked; markers are not evaluated)",
                [Arg("requirement", _requirement, "a PEP 508 requirement, for example 'requests[socks]>=2.0'")],
                ask_installed, show_installed, network=False),
        Command("indexes", "the indexes that would be asked, and where each comes from", run=cmd_indexes),
        Command("demo", "start two sample indexes on 127.0.0.1 and ask them every question", run=cmd_demo),
    )
}


# -- the parser ---------------------------------------------------------------------------


def _masked_word(word: str) -> str:
    """A word of the command line masked as an index URL, also when it carries
    its option ("--index-url=URL", "-iURL")."""
    if word.startswith("--") and "=" in word:
        option, _, value = word.partition("=")
        return f"{option}={mask_given_url(value)}"
    if word.startswith("-") and not word.startswith("--"):
        return word[:2] + mask_given_url(word[2:])
    return mask_given_url(word)


class _Parser(argparse.ArgumentParser):
    #: The words of the command line: argparse quotes some in its errors, and
    #: any of them may be an index URL with a password, mistyped or misplaced.
    given: list[str] = []

    def error(self, message: str) -> NoReturn:
        # One line, like every other error of the tool.
        for word in sorted((w for w in self.given if "@" in w), key=len, reverse=True):
            message = message.replace(word, _masked_word(word))
        self.exit(EXIT_USAGE, mask_text(f"{self.prog}: error: {message} (see {PROG} --help)\n"))


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        from importlib.metadata import PackageNotFoundError, version

        try:
            number = version(DISTRIBUTION)
        except PackageNotFoundError:
            number = "(not installed)"
        print(f"{PROG} {number} (Python {sys.version.split()[0]})")
        parser.exit()


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number of seconds")
    return value


def _retries(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of retries (0 or more)")
    return value


_S = argparse.SUPPRESS

#: Options by group. SUPPRESS as the default keeps an option given before the
#: command from being reset by the command's own parser.
_OPTIONS: dict[str, list[tuple[tuple[str, ...], dict[str, Any]]]] = {
    "indexes (default: pip's own configuration)": [
        (("--index-url", "-i"), dict(metavar="URL", help="the primary index, in place of pip's")),
        (("--extra-index-url",), dict(metavar="URL", action="append",
                                      help="a secondary index, asked when the primary has nothing (repeatable)")),
        (("--api-pattern",), dict(metavar="INDEX_URL=PATTERN", action="append",
                                  help="the JSON API of an index, with {package_name} and {version} (repeatable); "
                                       "indexes without one are read through their simple pages")),
        (("--config",), dict(metavar="FILE", help="settings file (.toml or .json) naming the indexes, "
                                                  "in place of pip's configuration")),
        (("--trusted-host",), dict(metavar="HOST", action="append",
                                   help="a host that may be read over plain HTTP (repeatable)")),
        (("--timeout",), dict(metavar="SECONDS", type=_positive_seconds,
                              help=f"time-out of one request to an index (default {DEFAULT_TIMEOUT:g})")),
    ],
    "network (default: pip's configuration, then pip's defaults)": [
        (("--retries",), dict(metavar="N", type=_retries,
                              help=f"retries of a request that failed for a reason that may pass: a refused or "
                                   f"dropped connection, HTTP 408, 429, 500, 502, 503, 504 (default {DEFAULT_RETRIES})")),
        (("--proxy",), dict(metavar="URL", help="the proxy for every request, [scheme://][user:password@]host:port "
                                                "(default: HTTP_PROXY, HTTPS_PROXY and NO_PROXY)")),
        (("--cert",), dict(metavar="PATH", help="the CA bundle that verifies the indexes' certificates "
                                                "(default: the system's)")),
        (("--client-cert",), dict(metavar="PATH", help="a client certificate: one PEM file holding the "
                                                       "private key and the certificate")),
        (("--no-cache",), dict(action="store_true", help="neither read nor write the HTTP cache")),
        (("--refresh",), dict(action="store_true", help="revalidate every cached answer with the index")),
        (("--offline",), dict(action="store_true", help="ask no index: answer from the cache alone, "
                                                        "however old")),
    ],
    "output": [
        (("--json",), dict(action="store_true", help="print the raw answer as JSON")),
        (("-v", "--verbose"), dict(action="count", help="show the client's log lines on stderr "
                                                        "(-vv: the libraries' too)")),
        (("-q", "--quiet"), dict(action="store_true", help="say nothing on stderr but errors")),
    ],
}
_COMMAND_OPTIONS: dict[str, tuple[tuple[str, ...], dict[str, Any]]] = {
    "pre": (("--pre",), dict(action="store_true", help="count pre-releases and development releases too")),
}


def _common_options() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    for title, options in _OPTIONS.items():
        group = common.add_argument_group(title)
        for flags, kwargs in options:
            group.add_argument(*flags, default=_S, **kwargs)
    return common


def build_parser() -> argparse.ArgumentParser:
    common = _common_options()
    parser = _Parser(
        prog=PROG,
        parents=[common],
        description="Ask Python package indexes about projects: the primary index first, "
                    "then the secondary indexes.",
        epilog="Exit status: 0 an answer, 1 nothing found, 2 usage or configuration error, "
               "3 nothing found and an index could not be read, 130 interrupted.",
    )
    parser.add_argument("--version", action=_VersionAction)
    commands: Any = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    for command in COMMANDS.values():
        sub = commands.add_parser(command.name, parents=[common], help=command.help, description=command.help)
        for arg in command.args:
            sub.add_argument(arg.name, help=arg.help, nargs="?" if arg.optional else None)
        for name in command.options:
            flags, kwargs = _COMMAND_OPTIONS[name]
            sub.add_argument(*flags, **kwargs)
    return parser


# -- running one command line ------------------------------------------------------------------


def run(argv: Sequence[str] | None, on_console: Callable[[Console], None]) -> int:
    """Parses the command line and runs its command; ``on_console`` is told the
    console as soon as there is one (the interrupt handler clears its status line)."""
    from .watch import Console

    _Parser.given = list(sys.argv[1:] if argv is None else argv)
    args = build_parser().parse_args(argv)
    console = Console(quiet=getattr(args, "quiet", False))
    on_console(console)
    try:
        command = COMMANDS[args.command]
        if command.run is not None:
            return command.run(args, console)
        return cmd_question(command, args, console, Output())
    except (UsageError, ConfigError) as exc:
        console.line(f"{PROG}: error: {exc}")
        return EXIT_USAGE
