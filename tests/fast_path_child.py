"""Child process for the gate tests: patches the libraries as named on the
command line *before* the module is imported, then asks each fast-path
question of the module and of the library as patched, and prints, per
question, both answers and whether library code ran for the module's answer.

    python fast_path_child.py CASE
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import re
import sys
import warnings

import packaging.version as pv

KEYS = ["1.0", "2.0rc1", "latest", "10.0", "1.0.post1", "1!0.5", "1.0+local", "1.0.dev3", "9.0b2"]
NAME = "Foo__Bar.baz"
REQUIREMENT = "a[b] >=1; extra == 'x'"
MARKERS = ["socks; extra == 'Socks'", "b", "c; extra==\"dev\" or extra == 'x'"]


class Reversed:
    """A comparison key that orders the other way round."""

    __slots__ = ("key",)

    def __init__(self, key):
        self.key = key

    def __lt__(self, other):
        return self.key > other.key

    def __gt__(self, other):
        return self.key < other.key

    def __le__(self, other):
        return self.key >= other.key

    def __ge__(self, other):
        return self.key <= other.key

    def __eq__(self, other):
        return self.key == other.key

    def __hash__(self):
        return hash(self.key)


def reverse_cmpkey():
    original = pv._cmpkey
    pv._cmpkey = lambda *args: Reversed(original(*args))


def wrap_cmpkey():
    original = pv._cmpkey
    pv._cmpkey = lambda *args: original(*args)


def sub_with_underscores():
    original = re.sub

    def sub(pattern, repl, string, *args, **kwargs):
        result = original(pattern, repl, string, *args, **kwargs)
        return result.replace("-", "_") if pattern == "[-_.]+" else result

    re.sub = sub


def match_blind_to_line_breaks():
    original = re.match
    re.match = lambda pattern, string, *args: None if "\n" in string else original(pattern, string, *args)


def version_subclass():
    pv.Version = type("Version", (pv.Version,), {})


CASES = {
    "genuine": lambda: None,
    "_cmpkey reversed": reverse_cmpkey,
    "_cmpkey wrapped": wrap_cmpkey,
    "re.sub differs on names": sub_with_underscores,
    "re.match differs on line breaks": match_blind_to_line_breaks,
    "Version subclassed": version_subclass,
    "imported inside catch_warnings()": lambda: None,
}


def library_parse(req):
    parts = req.split(";", 1)
    pkg_part = parts[0].strip()
    marker_part = parts[1].strip() if len(parts) > 1 else ""
    match = re.match(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)", pkg_part)
    if not match:
        return None
    extras_str = match.group(2) or ""
    extras = [e.strip() for e in extras_str.strip("[]").split(",")] if extras_str else []
    return {"name": match.group(1), "version_spec": match.group(3).strip(), "extras": extras, "markers": marker_part}


def library_order(keys, version=pv.Version):
    pairs = []
    for key in keys:
        try:
            pairs.append((version(key), key))
        except Exception:
            pass
    pairs.sort(key=lambda pair: pair[0], reverse=True)
    return [key for _, key in pairs]


def library_extras(requires):
    found = {match.group(1) for req in requires
             if "extra ==" in req and (match := re.search(r"""extra\s*==\s*['\"]([^'\"]+)['\"]""", req))}
    return sorted(found)


def library_ran(fn, library):
    """fn() and whether a function of the library module ran meanwhile, asked
    once after a warnings.catch_warnings() block was left and once inside one:
    the two must agree."""
    ran = []
    for inside in (False, True):
        seen = set()

        def profile(frame, event, arg):
            if event == "call":
                seen.add(frame.f_globals.get("__name__"))

        with warnings.catch_warnings():
            pass
        with warnings.catch_warnings() if inside else contextlib.nullcontext():
            sys.setprofile(profile)
            try:
                result = fn()
            finally:
                sys.setprofile(None)
        ran.append(library in seen)
    if ran[0] != ran[1]:
        raise AssertionError(f"{library} ran {'inside' if ran[1] else 'after'} catch_warnings() only")
    return result, ran[0]


def main(case):
    CASES[case]()
    with warnings.catch_warnings() if case == "imported inside catch_warnings()" else contextlib.nullcontext():
        from quorvel_master.business_layer.packages import package_index_client as m
    from quorvel_master.sampleindex import IndexServer

    client = m.PackageIndexClient(None)
    answers = {}

    def ask(path, question, library, module="re"):
        answer, ran = library_ran(question, module)
        answers[path] = {"answer": answer, "library": library(), "library_ran": ran}

    ask("normalize_name", lambda: client._normalize_name(NAME), lambda: re.sub("[-_.]+", "-", NAME.lower()))
    ask("parse_requirement", lambda: client._parse_requirement(REQUIREMENT), lambda: library_parse(REQUIREMENT))
    with IndexServer() as server:
        server.set_response("/pypi/demo/json", {"releases": {key: [] for key in KEYS}})
        server.set_response("/pypi/demo/1.0/json", {"info": {"requires_dist": MARKERS}})
        m.get_pip_api_list = lambda manager: [{"index_url": server.simple_url, "api_pattern": server.json_api_pattern}]

        def query(method, *args):
            async def run():
                try:
                    return await getattr(client, method)(*args, server.simple_url)
                finally:
                    await client.close()
            return asyncio.run(run())

        ask("extra_marker", lambda: sorted(query("_get_extras_from_index", "demo", "1.0")),
            lambda: library_extras(MARKERS))
        ask("release_order", lambda: query("_get_versions_from_index", "demo"), lambda: library_order(KEYS, m.Version),
            "packaging.version")
    print(json.dumps(answers))


if __name__ == "__main__":
    main(sys.argv[1])
