"""A requirement string parsed before is answered from a kept record: the
same answer a fresh parse gives, as new objects on every call, only while the
parser's proof holds, and from a table of bounded size. Both ways in are
covered: _parse_requirement, and the records of a cached dependency document."""

from __future__ import annotations

import asyncio
import logging
import re
import tracemalloc
import types

import pytest

from requirements_support import REAL_WORLD, record

KEYS = ["name", "version_spec", "extras", "markers"]


def parsed(client, req):
    return client._parse_requirement(req)


def from_cached_document(client, req):
    client._metadata_cache[("demo", "1.0")] = {"info": {"requires_dist": [req]}}
    (dep,) = asyncio.run(client._get_dependencies_from_index("demo", "1.0", "http://127.0.0.1:1/simple"))
    return dep


ROADS = {"_parse_requirement": parsed, "cached document": from_cached_document}


def same_text(req):
    """An equal str that is another object."""
    return "".join(list(req))


MUTATIONS = {
    "value replaced": lambda r: r.__setitem__("name", "other"),
    "extras appended": lambda r: r["extras"].append("more"),
    "extras emptied": lambda r: r["extras"].clear(),
    "key added": lambda r: r.__setitem__("url", "x"),
    "key removed": lambda r: r.pop("markers"),
    "record emptied": lambda r: r.clear(),
}


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("mutate", MUTATIONS.values(), ids=list(MUTATIONS))
@pytest.mark.parametrize("req, fields", REAL_WORLD, ids=[req[:24] for req, _ in REAL_WORLD])
def test_a_changed_answer_changes_no_later_one(m, road, mutate, req, fields):
    ask = ROADS[road]
    client = m.PackageIndexClient(None)
    answers = [ask(client, req)]
    mutate(answers[0])
    answers += [ask(client, req), ask(client, same_text(req))]
    mutate(answers[1])
    answers.append(ask(client, req))
    for later in answers[1:]:
        if later is not answers[1]:
            assert later == record(*fields) and list(later) == KEYS
    ids = [id(a) for a in answers] + [id(a["extras"]) for a in answers if "extras" in a]
    assert len(set(ids)) == len(ids)  # every answer, and every extras list, its own object


@pytest.mark.parametrize("road", ROADS)
def test_a_string_seen_before_is_not_parsed_again(m, road):
    """A fresh parse makes new strings; a kept record hands out the ones it keeps."""
    ask = ROADS[road]
    client = m.PackageIndexClient(None)
    req = "requests[socks]>=2.0; python_version >= '3.8'"
    first, again, equal = ask(client, req), ask(client, req), ask(client, same_text(req))
    assert first == again == equal
    assert again["name"] is first["name"] and equal["markers"] is first["markers"]


def test_long_strings_are_not_kept(m):
    client = m.PackageIndexClient(None)
    req = "long-name>=1; " + " or ".join(f"python_version == '3.{i}'" for i in range(20))
    assert len(req) > 256
    first, again = parsed(client, req), parsed(client, req)
    assert first == again and again["name"] is not first["name"]


# --- the table goes with the proof --------------------------------------------------------

def spy_namespace(calls):
    def match(pattern, text, *args):
        calls.append(text)
        return re.match(pattern, text, *args)
    return types.SimpleNamespace(sub=re.sub, match=match, search=re.search)


def spy_function(calls):
    real = re.match

    def match(pattern, text, *args):
        calls.append(text)
        return real(pattern, text, *args)
    return match


CLOSINGS = {
    "the module's re": lambda m, mp, calls: mp.setattr(m, "re", spy_namespace(calls)),
    "re.match": lambda m, mp, calls: mp.setattr(re, "match", spy_function(calls)),
    "a global re.match reads": lambda m, mp, calls: mp.setattr(
        re, "_compile", (lambda real: lambda pattern, flags: (calls.append(pattern), real(pattern, flags))[1])(
            re._compile)),
}


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("close", CLOSINGS.values(), ids=list(CLOSINGS))
def test_kept_records_go_with_the_proof(m, road, close):
    ask = ROADS[road]
    client = m.PackageIndexClient(None)
    req = "requests[socks]>=2.0; python_version >= '3.8'"
    expected = record("requests", ">=2.0", ["socks"], "python_version >= '3.8'")
    kept = ask(client, req)
    calls = []
    with pytest.MonkeyPatch.context() as mp:
        close(m, mp, calls)
        during = [ask(client, req), ask(client, req)]
    assert during == [expected, expected]
    assert len(calls) == 2  # the library answered each time: nothing kept while the proof is gone
    after, again = ask(client, req), ask(client, req)
    assert after == again == expected
    assert after["name"] is not kept["name"]  # the records kept under the old proof were dropped
    assert again["name"] is after["name"]  # and the proof, back, keeps anew


def test_the_table_is_bounded(m):
    """Distinct strings by the tens of thousands: what stays is a bounded table,
    not a record for each."""
    client = m.PackageIndexClient(None)
    filler = "x" * 200

    def parse_many(start, count):
        for i in range(start, start + count):
            client._parse_requirement(f"project-{i}>={i}; {filler}")

    parse_many(0, 5000)  # the table reaches its size
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        parse_many(10_000, 30_000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 8 * 2**20, grown  # a record for each of them would be more than 30 MiB


# --- one document, one look-up, while no Python code runs --------------------------------

def rebind_parser(m, client, seen, mp):
    def foreign(req):
        seen.append(req)
        return {"name": "foreign " + req}
    client._parse_requirement = foreign


def close_gate(m, client, seen, mp):
    mp.setattr(m, "re", spy_namespace(seen))


def warn_then(action):
    """`action` run by a handler of the warning an unparsable string logs."""
    def install(m, client, seen, mp):
        class Handler(logging.Handler):
            def emit(self, record):
                action(m, client, seen, mp)
        mp.setattr(m.logger, "handlers", [*m.logger.handlers, Handler(logging.WARNING)])
        mp.setattr(m.logger, "disabled", False)
        return list(DOCUMENT)
    return install


def between_items(action):
    """`action` run by the document's iterator, after its second string."""
    def install(m, client, seen, mp):
        def items():
            yield from DOCUMENT[:2]
            action(m, client, seen, mp)
            yield from DOCUMENT[2:]
        return items()
    return install


DOCUMENT = ["aa>=1", "@unparsable", "bb[x]>=2; python_version > '3'", "cc"]
RECORDS = [record("aa", ">=1"), None, record("bb", ">=2", ["x"], "python_version > '3'"), record("cc")]
FOREIGN = [None, None, {"name": "foreign " + DOCUMENT[2]}, {"name": "foreign " + DOCUMENT[3]}]
DISTURBANCES = {  # what runs Python code mid-document, and what the strings after it get and go through
    "a warning handler rebinds the parser": (warn_then(rebind_parser), FOREIGN, DOCUMENT[2:]),
    "a warning handler closes the gate": (warn_then(close_gate), RECORDS, ["bb[x]>=2", "cc"]),
    "the iterator rebinds the parser": (between_items(rebind_parser), FOREIGN, DOCUMENT[2:]),
    "the iterator closes the gate": (between_items(close_gate), RECORDS, ["bb[x]>=2", "cc"]),
}


@pytest.mark.parametrize("install, later, seen_after", DISTURBANCES.values(), ids=list(DISTURBANCES))
def test_a_document_sees_what_python_code_changes_mid_way(m, install, later, seen_after):
    client = m.PackageIndexClient(None)
    seen = []
    with pytest.MonkeyPatch.context() as mp:
        requires = install(m, client, seen, mp)
        client._metadata_cache[("demo", "1.0")] = {"info": {"requires_dist": requires}}
        deps = asyncio.run(client._get_dependencies_from_index("demo", "1.0", "http://127.0.0.1:1/simple"))
    assert deps == [RECORDS[0], *later[2:]]
    assert [text.strip() for text in seen] == seen_after


def test_a_list_grown_by_the_parser_is_walked_to_its_end(m):
    """As a for loop over a list reads its length at every step."""
    document = ["aa", "bb"]

    class Growing(m.PackageIndexClient):
        def _parse_requirement(self, req):
            if req == "aa":
                document.append("zz>=3")
            return super()._parse_requirement(req)

    client = Growing(None)
    client._metadata_cache[("demo", "1.0")] = {"info": {"requires_dist": document}}
    deps = asyncio.run(client._get_dependencies_from_index("demo", "1.0", "http://127.0.0.1:1/simple"))
    assert deps == [record("aa"), record("bb"), record("zz", ">=3")]


def same_set_strings(count, sets=2048):
    """`count` requirement strings whose hashes fall in one set of the table."""
    by_set = {}
    for i in range(100_000):
        req = f"p{i}>={i}"
        group = by_set.setdefault(hash(req) % sets, [])
        group.append(req)
        if len(group) == count:
            return group
    raise AssertionError("no set filled")


# Asks, in order, of three strings sharing a set of two slots; for each, whether
# it is answered from a kept record (its name the object an earlier answer had).
SET_SEQUENCES = {
    "both kept": ("abab", [False, False, True, True]),
    "the least recently used goes": ("abacba", [False, False, True, False, False, False]),
    "a use keeps it": ("abbcba", [False, False, True, False, True, False]),
}


@pytest.mark.parametrize("sequence, kept", SET_SEQUENCES.values(), ids=list(SET_SEQUENCES))
def test_strings_sharing_a_set(m, sequence, kept):
    client = m.PackageIndexClient(None)
    strings = dict(zip("abc", same_set_strings(3)))
    names = {}
    for letter, from_kept in zip(sequence, kept):
        answer = client._parse_requirement(strings[letter])
        assert answer == record(strings[letter].split(">=")[0], ">=" + strings[letter].split(">=")[1])
        assert (letter in names and answer["name"] is names[letter]) == from_kept, (letter, from_kept)
        names[letter] = answer["name"]
