"""Parsing a project page of 10,000 files, HTML and JSON: the project page
reader's parser (quorvel_master.indexdata) against the finder library's own
page parsing of the same bytes.

    python bench/pages.py                 # 10,000 files, 7 rounds
    python bench/pages.py --files 2000 --rounds 15

The pages are made here, shaped as the default index writes them: wheels for
many platforms and sdists, absolute file URLs with sha256 fragments,
requires-python with entities, both core-metadata spellings, some files
yanked with reasons; the JSON form adds sizes, upload times and the version
list. Each side is timed from the page's bytes to its records:

- ours: ``parse_project_page(body, page_url, project, format=...)``, which
  gives every file with its hashes, metadata, yank, size, upload time
  (a datetime) and version, and the page's version list;
- unearth: ``list(parse_html_page(page))`` and ``list(parse_json_response(page))``
  from ``unearth.collector``, the functions its finder calls on a fetched
  page (``Link`` objects with the joined URL, yank, requires-python and
  metadata; upload times as datetimes for JSON).

The figure is the median of the rounds (interleaved: one call of each per
round), with the ratio ours / unearth (the goal is at most 0.2). ``json.loads`` of the same bytes is shown as well: a
parse that took the standard library's parser and then walked its objects
would start from that time.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import time
from collections.abc import Callable
from html import escape

import record  # beside this script

PROJECT = "bench-project"
PAGE_URL = "https://index.example.invalid/simple/bench-project/"
FILES_HOST = "https://files.example.invalid/packages"
PLATFORMS = [
    "manylinux_2_17_x86_64.manylinux2014_x86_64", "manylinux_2_17_aarch64.manylinux2014_aarch64",
    "musllinux_1_1_x86_64", "macosx_10_9_x86_64", "macosx_11_0_arm64", "win_amd64", "win32",
]
PYTHONS = ["cp38", "cp39", "cp310", "cp311", "cp312"]


def files(count: int) -> list[dict]:
    """File entries as the JSON form has them; the HTML form is made from them."""
    out = []
    version = 0
    while len(out) < count:
        text = f"{version // 100}.{version // 10 % 10}.{version % 10}"
        names = [f"bench_project-{text}-{py}-{py}-{plat}.whl" for py in PYTHONS for plat in PLATFORMS]
        names.append(f"bench_project-{text}.tar.gz")
        for i, name in enumerate(names[: count - len(out)]):
            digest = f"{hash((name, 'file')) & (2**256 - 1):064x}"
            metadata = f"{hash((name, 'meta')) & (2**256 - 1):064x}"
            entry = {
                "filename": name,
                "url": f"{FILES_HOST}/{digest[:2]}/{digest[2:4]}/{digest[4:]}/{name}",
                "hashes": {"sha256": digest},
                "requires-python": ">=3.8",
                "core-metadata": {"sha256": metadata},
                "data-dist-info-metadata": {"sha256": metadata},
                "size": 1_000_000 + i,
                "upload-time": f"2024-{1 + version % 12:02d}-{1 + i % 28:02d}T12:{i % 60:02d}:05.123456Z",
                "yanked": "broken build" if version % 17 == 0 else False,
                "provenance": None,
            }
            out.append(entry)
        version += 1
    return out


def html_page(entries: list[dict]) -> bytes:
    rows = []
    for e in entries:
        attrs = [f'href="{e["url"]}#sha256={e["hashes"]["sha256"]}"',
                 f'data-requires-python="{escape(e["requires-python"])}"']
        meta = f'sha256={e["core-metadata"]["sha256"]}'
        attrs += [f'data-dist-info-metadata="{meta}"', f'data-core-metadata="{meta}"']
        if e["yanked"]:
            attrs.append(f'data-yanked="{escape(e["yanked"])}"')
        rows.append(f"    <a {' '.join(attrs)}>{escape(e['filename'])}</a><br />")
    return ("<!DOCTYPE html>\n<html>\n  <head>\n"
            '    <meta name="pypi:repository-version" content="1.1">\n'
            f"    <title>Links for {PROJECT}</title>\n  </head>\n  <body>\n"
            f"    <h1>Links for {PROJECT}</h1>\n" + "\n".join(rows) + "\n  </body>\n</html>\n").encode()


def json_page(entries: list[dict]) -> bytes:
    versions = list(dict.fromkeys(e["filename"].split("-")[1].removesuffix(".tar.gz") for e in entries))
    doc = {"meta": {"api-version": "1.1", "_last-serial": 1}, "name": PROJECT, "versions": versions, "files": entries}
    return json.dumps(doc).encode()


def timed(contenders: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Median seconds of one call of each, the rounds interleaved so that a
    change of load falls on all alike; the collector held off while one runs."""
    times: dict[str, list[float]] = {name: [] for name in contenders}
    for fn in contenders.values():
        fn()  # warm
    for _ in range(rounds):
        for name, fn in contenders.items():
            gc.collect()
            gc.disable()
            try:
                start = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - start)
            finally:
                gc.enable()
    return {name: statistics.median(values) for name, values in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=7)
    record.add_option(parser)
    args = parser.parse_args()

    from unearth.collector import IndexPage, parse_html_page, parse_json_response
    from unearth.link import Link

    from quorvel_master.indexdata import parse_project_page

    entries = files(args.files)
    pages = {"html": html_page(entries), "json": json_page(entries)}
    with record.recording(args.write):
        print(f"a project page of {args.files} files; median of {args.rounds} rounds")
        print(f"{'page':<6}{'bytes':>12}{'ours ms':>10}{'unearth ms':>12}{'ratio':>8}{'json.loads ms':>15}")
        for kind, body in pages.items():
            ours_page = parse_project_page(body, PAGE_URL, PROJECT, format=kind)
            index_page = IndexPage(Link(PAGE_URL), body, "utf-8",
                                   "text/html" if kind == "html" else "application/vnd.pypi.simple.v1+json")
            unearth_parse = parse_html_page if kind == "html" else parse_json_response
            theirs = list(unearth_parse(index_page))
            # Both read every file, to the same URLs.
            assert [f.url for f in ours_page.files] == [link.url.partition("#")[0] for link in theirs]
            contenders = {
                "ours": lambda: parse_project_page(body, PAGE_URL, PROJECT, format=kind),
                "unearth": lambda: list(unearth_parse(index_page)),
            }
            if kind == "json":
                contenders["loads"] = lambda: json.loads(body)
            t = timed(contenders, args.rounds)
            loads_text = f"{t['loads'] * 1e3:>15.2f}" if "loads" in t else f"{'':>15}"
            print(f"{kind:<6}{len(body):>12,}{t['ours'] * 1e3:>10.2f}{t['unearth'] * 1e3:>12.2f}"
                  f"{t['ours'] / t['unearth']:>8.3f}{loads_text}")


if __name__ == "__main__":
    main()
