"""The command line of ``pkgindex`` as words: the checks of each argument, the
options, and the parser built from the command table.

Arguments are checked here, before any request: a name or a version goes
into an index URL as it is.
"""

from __future__ import annotations

import argparse
import re
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import Any, NoReturn

from .._native import mask_given_url, mask_text

PROG = "pkgindex"
DISTRIBUTION = "quorvel-master-package-index-client"

EXIT_FOUND = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_UNREADABLE = 3
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


# -- arguments ------------------------------------------------------------------

# Project names as the packaging library validates them, matched as a whole
# (its "$" would let a trailing line break through).
_NAME = re.compile(r"[A-Z0-9]|[A-Z0-9][A-Z0-9._-]*[A-Z0-9]", re.IGNORECASE)


def project_name(text: str) -> str:
    if not _NAME.fullmatch(text):
        raise UsageError(f"{text!r} is not a valid project name (letters, digits, '.', '_' and '-', "
                         "starting and ending with a letter or digit)")
    return text


#: What a version may not hold: it goes into the index URL as it is, and these
#: would move the path, start a query or a fragment, or be decoded by the server.
_NOT_IN_VERSION = frozenset("/?#%")


def version(text: str) -> str:
    if (not text.strip(".") or any(c in _NOT_IN_VERSION or c.isspace() or not c.isprintable() for c in text)):
        raise UsageError(f"{text!r} is not a version (it must hold something besides dots, and no '/', '?', "
                         "'#', '%', white space or control character)")
    return text


def requirement(text: str) -> Any:
    from packaging.requirements import InvalidRequirement, Requirement

    try:
        return Requirement(text)
    except InvalidRequirement as exc:
        # The library's message ends with the text and a caret under the fault.
        raise UsageError(f"{text!r} is not a requirement: {str(exc).splitlines()[0]}") from None


class Arg:
    def __init__(self, name: str, check: Callable[[str], Any], help: str, optional: bool = False) -> None:
        self.name, self.check, self.help, self.optional = name, check, help, optional


NAME = Arg("name", project_name, "project name")
VERSION = Arg("version", version, "exact version, as the index lists it")


def checked_values(args_of: Sequence[Arg], args: argparse.Namespace) -> dict[str, Any]:
    """The command's positional arguments, each through its check."""
    return {arg.name: arg.check(getattr(args, arg.name)) for arg in args_of
            if getattr(args, arg.name, None) is not None}


def network_default(field: str) -> Any:
    """The network layer's default for one of its options: the command line
    has no defaults of its own for them."""
    import dataclasses

    from ..network import NetworkOptions

    return next(f.default for f in dataclasses.fields(NetworkOptions) if f.name == field)


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


def remember_words(argv: Sequence[str]) -> None:
    """The words of this command line, for the parser's errors to mask."""
    _Parser.given = list(argv)


class _HelpFormatter(argparse.HelpFormatter):
    """Names the network layer's defaults in the help, read when the help is
    shown: building the parser imports nothing of the layer."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        text = super()._get_help_string(action)
        if text is None or action.dest not in _NETWORK_FIELDS:
            return text
        value = network_default(action.dest)
        default = ": the client's own" if value is None else f" {value:g}"
        return f"{text} (default{default})"


#: Options whose default is the network layer's.
_NETWORK_FIELDS = ("timeout", "retries")


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        from importlib.metadata import PackageNotFoundError
        from importlib.metadata import version as installed

        try:
            number = installed(DISTRIBUTION)
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


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65534:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port from 0 to 65534 (the next one is the secondary's)")
    return value


def _as_of(text: str) -> Any:
    """--as-of, read when the command line is: a bad one ends the run before any request."""
    import datetime

    from .when import parse_when

    try:
        return parse_when(text, datetime.datetime.now(datetime.timezone.utc))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


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
                              help="time-out of one request to an index")),
    ],
    "network (default: pip's configuration, then the network layer's defaults)": [
        (("--retries",), dict(metavar="N", type=_retries,
                              help="retries of a request that failed for a reason that may pass: a refused or "
                                   "dropped connection, HTTP 408, 429, 500, 502, 503, 504")),
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
    "routing (also [[pins]] and fail_closed in the --config file)": [
        (("--pin",), dict(metavar="NAME=INDEX_URL", action="append",
                          help="ask about NAME (or a glob such as 'acme-*') that index alone, whatever the "
                               "order; no other index hears of it (repeatable)")),
        (("--fail-closed",), dict(action="store_true",
                                  help="an index that cannot be read about a name ends the question (exit 3): "
                                       "no later index is asked about that name")),
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
    "port": (("--port",), dict(metavar="N", type=_port, default=0,
                               help="the primary's port, the secondary's is the next one (default 0: free ports)")),
    "host": (("--host",), dict(metavar="H", default="127.0.0.1",
                               help="the address to listen on (default 127.0.0.1)")),
    "names": (("names",), dict(metavar="NAME", nargs="*", help="project names to audit")),
    "requirement": (("-r", "--requirement"), dict(metavar="FILE", action="append",
                                                  help="audit the names of a requirements file, and its == pins "
                                                       "(repeatable)")),
    "settings": (("--settings",), dict(metavar="FILE", default="indexes.toml",
                                       help="where to write the settings file naming the indexes "
                                            "(default indexes.toml; one written by another program is kept)")),
    "as_of": (("--as-of",), dict(metavar="WHEN", type=_as_of,
                                 help="only files uploaded at or before WHEN count: a date (2024-06-01, through "
                                      "the end of that day in UTC), an RFC 3339 time (2024-06-01T12:00:00Z) or "
                                      "an ISO 8601 duration back from now (P14D, PT6H; P1Y2M counts calendar "
                                      "years and months). Versions whose files carry no upload time are left out")),
}

# -- pkgindex tree ---------------------------------------------------------------------


def _depth(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a depth (0 or more)")
    return value


_COMMAND_OPTIONS.update({
    "requirements": (("requirement",), dict(nargs="*", metavar="REQUIREMENT",
                                            help="a PEP 508 requirement to start from, for example 'jupyterlab==4.1.0'")),
    "requirement_files": (("-r", "--requirement"), dict(metavar="FILE", action="append", dest="requirement_files",
                                                        help="requirements to start from, one a line (repeatable)")),
    "format": (("--format",), dict(choices=("text", "json", "dot", "mermaid"), default="text",
                                   help="text (an indented tree), json, dot (Graphviz) or mermaid (default text)")),
    "target": (("--target",), dict(metavar="PY[,PLATFORM]", action="append",
                                   help="a target to evaluate markers and pick wheels for, such as 3.12 or "
                                        "3.11,win_amd64 (repeatable: one graph for all; default: this interpreter)")),
    "depth": (("--depth",), dict(metavar="N", type=_depth, default=None,
                                 help="show N levels of requirements below the roots (the whole graph is read)")),
    "reverse": (("--reverse",), dict(metavar="NAME", default=None,
                                     help="show only the paths from the roots to project NAME (why it is there)")),
})
TREE_OPTIONS = ("requirements", "requirement_files", "format", "target", "depth", "reverse", "pre", "as_of")

# -- end of pkgindex tree --


def _common_options() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    for title, options in _OPTIONS.items():
        group = common.add_argument_group(title)
        for flags, kwargs in options:
            group.add_argument(*flags, default=_S, **kwargs)
    return common


def build_parser(commands: Iterable[Any]) -> argparse.ArgumentParser:
    """The parser of the given commands (their name, help, args, options and
    whether the index and network options apply to them)."""
    common = _common_options()
    parser = _Parser(
        prog=PROG,
        parents=[common],
        formatter_class=_HelpFormatter,
        description="Ask Python package indexes about projects: the primary index first, "
                    "then the secondary indexes.",
        epilog="Exit status: 0 an answer, 1 nothing found, 2 usage or configuration error, "
               "3 nothing found and an index could not be read, 130 interrupted.",
    )
    parser.add_argument("--version", action=_VersionAction)
    subparsers: Any = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    subparsers.required = True
    for command in commands:
        sub = subparsers.add_parser(command.name, parents=[common] if command.common else [],
                                    formatter_class=_HelpFormatter, help=command.help, description=command.help)
        for arg in command.args:
            sub.add_argument(arg.name, help=arg.help, nargs="?" if arg.optional else None)
        for name in command.options:
            flags, kwargs = _COMMAND_OPTIONS[name]
            sub.add_argument(*flags, **kwargs)
    return parser
