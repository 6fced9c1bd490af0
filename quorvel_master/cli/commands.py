"""The commands of ``pkgindex``.

A host of :class:`PackageIndexClient` like any other: it hands the client its
settings and runs it on the network layer (``quorvel_master.network``), which
gives both of the client's roads pip's habits (a cache in the user's cache
folder, retries, pip's certificates and proxy) and tells which index failed
and why. The indexes come from pip's configuration unless the command line or
a settings file names them, so the tool asks the indexes that ``pip install``
would.

Each command is one row of :data:`COMMANDS`: its arguments, the question put
to the client (questions.py) and how the answer is shown (output.py); the
run itself is a session (session.py). The words of the command line are read
in arguments.py.

Exit status: 0 an answer; 1 nothing found, every index answered; 2 a usage or
configuration error; 3 nothing found and an index could not be read; 130
interrupted.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Awaitable, Callable, Sequence
from typing import TYPE_CHECKING, Any

from .._native import mask_given_url
from .arguments import (
    EXIT_FOUND,
    EXIT_NOT_FOUND,
    EXIT_UNREADABLE,
    EXIT_USAGE,
    NAME,
    PROG,
    TREE_OPTIONS,
    VERSION,
    Arg,
    UsageError,
    build_parser as parser_of,
    checked_values,
    remember_words,
    requirement,
    version,
)
from . import asof, info
from .config import ConfigError
from .output import Output, dump_json, show_find, show_installed, table
from .questions import Answer, Query, ask_find, ask_installed
from .serve import index_lines

if TYPE_CHECKING:
    from .config import Indexes
    from .console import Console


# -- the indexes of a run ---------------------------------------------------------------


def _indexes(args: argparse.Namespace) -> Indexes:
    from .config import resolve

    return resolve(
        index_url=getattr(args, "index_url", None),
        extra_index_urls=getattr(args, "extra_index_url", None),
        api_patterns=getattr(args, "api_pattern", None),
        config=getattr(args, "config", None),
        trusted_hosts=getattr(args, "trusted_host", None),
    )


def _check_patterns(indexes: Indexes, console: Console, per_version: bool) -> None:
    from .config import normalized

    without = indexes.patterns_without_version()
    if without:
        names = ", ".join(mask_given_url(url) for url in without)
        if per_version:
            raise UsageError(
                f"the JSON API pattern of {names} has no {{version}}: it would describe the latest "
                "release instead of the version asked; add {version} to the pattern"
            )
        console.warn(f"the JSON API pattern of {names} has no {{version}}; "
                     "deps, extras and find NAME VERSION refuse it")
    known = {normalized(url) for url in indexes.urls}
    for entry in indexes.settings["pip_api"]:
        if normalized(entry["index_url"]) not in known:
            console.warn(f"--api-pattern index {mask_given_url(entry['index_url'])} is not one of the configured indexes")


# -- the commands -------------------------------------------------------------------------


def cmd_question(command: Command, args: argparse.Namespace, console: Console) -> int:
    from .config import Indexes
    from .session import Session, network_options

    values = checked_values(command.args, args)
    if command.network:
        indexes = _indexes(args)
        _check_patterns(indexes, console, per_version="version" in values)
    else:
        indexes = Indexes({"index_urls": [], "use_secondary_urls": False, "pip_api": []}, {}, [])
    options = network_options(args, indexes, persistent=command.network)
    with Session(indexes, args, console, options) as session:
        q = Query(command, values, args, session.watch)
        answers = session.run([q])
    session.report(answers)
    for remark in q.remarks:
        console.say(remark)
    if not answers:
        return EXIT_UNREADABLE
    (answer,) = answers
    if getattr(args, "json", False):
        Output().write([dump_json(answer.result)])
        _explain_json(q, answer, console)
    else:
        assert command.show is not None
        Output().write(command.show(q, answer))
    if answer.found:
        return EXIT_FOUND
    return EXIT_UNREADABLE if session.watch.failures else EXIT_NOT_FOUND


def _explain_json(q: Query, answer: Answer, console: Console) -> None:
    """With --json, an empty list that is no answer is explained on stderr."""
    index = mask_given_url(answer.index) if answer.index else ""
    if answer.empty == "unreadable":
        console.say(f"{q.subject}: {q.command.name} could not be read at {index}: {answer.reason}")
    elif answer.empty == "unknown":
        what = "extras" if q.command.name == "extras" else "requirements"
        console.say(f"{q.subject}: {index} does not say which {what} it declares")


def cmd_indexes(args: argparse.Namespace, console: Console) -> int:
    from .config import normalized

    indexes = _indexes(args)
    _check_patterns(indexes, console, per_version=False)
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
    if getattr(args, "json", False):
        Output().write([dump_json({
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
    Output().write(lines)
    return EXIT_FOUND


def cmd_demo(args: argparse.Namespace, console: Console) -> int:
    from ..sampleindex.demo import QUESTIONS, DemoIndexes
    from .config import Indexes
    from .session import Session, network_options

    started = time.perf_counter()
    parser = build_parser()
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
                queries.append(Query(command, checked_values(command.args, parsed), parsed, session.watch))
            answers = session.run(queries)
    session.report(answers)
    if len(answers) != len(queries):
        return EXIT_UNREADABLE
    if getattr(args, "json", False):
        Output().write([dump_json([
            {"command": q.command.name, "args": list(question.args), "result": a.result, "seconds": a.seconds}
            for question, q, a in zip(QUESTIONS, queries, answers)
        ])])
        return EXIT_FOUND
    lines = ["Sample indexes on this machine, served from this process:", *index_lines(settings)]
    for number, (question, q, a) in enumerate(zip(QUESTIONS, queries, answers), 1):
        asked = " ".join((question.command,) + question.args)
        lines += ["", f"[{number}] {PROG} {asked}   ({a.seconds * 1000:.1f} ms)", f"    # {question.note}"]
        assert q.command.show is not None
        lines += ["    " + line for line in q.command.show(q, a)]
    kinds = {(q.command.name, q.version is not None) for q in queries}
    lines += ["", f"{len(answers)} answers to {len(kinds)} kinds of question in {time.perf_counter() - started:.2f} s"]
    Output().write(lines)
    return EXIT_FOUND


def cmd_audit(args: argparse.Namespace, console: Console) -> int:
    from .audit import audit

    indexes = _indexes(args)
    _check_patterns(indexes, console, per_version=False)
    return audit(args, console, indexes)


def cmd_tree(args: argparse.Namespace, console: Console) -> int:
    from .tree import cmd_tree as tree

    indexes = _indexes(args)
    return tree(args, console, indexes)


TREE_HELP = ("the dependency graph of requirements, from the indexes' metadata alone, for one or several "
             "targets; a release whose requirements clash with another requirement is passed over, as pip "
             "does; not a resolver: it does not backtrack, it shows a conflict where no release satisfies "
             "every requirement into a project")


def cmd_serve(args: argparse.Namespace, console: Console) -> int:
    from .serve import serve

    return serve(args, console)


# -- the command table ----------------------------------------------------------------


class Command:
    """One command: its arguments, the question it puts to the client and how
    the answer is shown. Commands without a question run on their own;
    ``common`` says whether the index, network and output options apply."""

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
        common: bool = True,
        run: Callable[[argparse.Namespace, Console], int] | None = None,
    ) -> None:
        self.name, self.help, self.args = name, help, tuple(args)
        self.ask, self.show, self.options, self.network, self.run = ask, show, tuple(options), network, run
        self.common = common


COMMANDS: dict[str, Command] = {
    c.name: c
    for c in (
        Command("versions", "list the versions of a project, newest first", [NAME],
                asof.ask_versions, asof.show_versions, options=["pre", "as_of"]),
        Command("find", "which index holds a project, or one version of it",
                [NAME, Arg("version", version, "exact version", optional=True)], ask_find, show_find),
        Command("extras", "the extras a version offers", [NAME, VERSION], asof.ask_extras, asof.show_extras,
                options=["as_of"]),
        Command("deps", "the requirements a version declares", [NAME, VERSION], asof.ask_deps, asof.show_deps,
                options=["as_of"]),
        Command("info", "name, latest version, summary, status, upload time and requires-python of a project",
                [NAME], info.ask_info, info.show_info, options=["pre", "as_of"]),
        Command("installed", "whether this interpreter's environment satisfies a requirement "
                             "(no index is asked; markers are not evaluated)",
                [Arg("requirement", requirement,
                     "a PEP 508 requirement, for example 'requests[socks]>=2.0'")],
                ask_installed, show_installed, network=False),
        Command("audit", "ask every index about every name: names held by more than one index, pinned "
                         "names another index holds, yanked == pins, projects not active",
                options=["names", "requirement"], run=cmd_audit),
        Command("tree", TREE_HELP, options=TREE_OPTIONS, run=cmd_tree),
        Command("indexes", "the indexes that would be asked, and where each comes from", run=cmd_indexes),
        Command("demo", "start two sample indexes on 127.0.0.1 and ask them every question", run=cmd_demo),
        Command("serve", "serve the sample indexes of the demo until Ctrl-C, and write a settings file "
                         "naming them", options=["port", "host", "settings"], common=False, run=cmd_serve),
    )
}


def build_parser() -> argparse.ArgumentParser:
    return parser_of(COMMANDS.values())


# -- running one command line ------------------------------------------------------------------


def run(argv: Sequence[str] | None, on_console: Callable[[Console], None]) -> int:
    """Parses the command line and runs its command; ``on_console`` is told the
    console as soon as there is one (the interrupt handler clears its status line)."""
    from .console import Console

    remember_words(sys.argv[1:] if argv is None else argv)
    args = build_parser().parse_args(argv)
    console = Console(quiet=getattr(args, "quiet", False))
    on_console(console)
    try:
        command = COMMANDS[args.command]
        if command.run is not None:
            return command.run(args, console)
        return cmd_question(command, args, console)
    except (UsageError, ConfigError) as exc:
        console.error(str(exc))
        return EXIT_USAGE


__all__ = ["COMMANDS", "EXIT_FOUND", "EXIT_NOT_FOUND", "EXIT_UNREADABLE", "EXIT_USAGE", "Command", "build_parser",
           "run"]
