"""The cache core and its stores without a server: freshness, keys, bounds,
and a directory shared by two processes; the retry policy's waits."""

from __future__ import annotations

import email.utils
import os
import subprocess
import sys
import textwrap

import pytest

from quorvel_master.network import DirectoryStore, HTTPCache, MemoryStore, OfflineMiss, RetryPolicy, parse_retry_after
from quorvel_master.network.cache import Entry

NOW = 1_800_000_000.0
URL = "https://index.example.test/simple/demo/"


def date(offset):
    return email.utils.formatdate(NOW + offset, usegmt=True)


def cache_with(headers, *, stored_ago=0.0, mode="normal", request=()):
    cache = HTTPCache(MemoryStore(1 << 20), mode=mode)
    cache.keep(URL, list(request), 200, headers, b"body", NOW - stored_ago, NOW - stored_ago)
    return cache


@pytest.mark.parametrize("headers, stored_ago, request_headers, fresh", [
    ([("Cache-Control", "max-age=60")], 30, [], True),
    ([("Cache-Control", "max-age=60")], 61, [], False),
    ([("Cache-Control", "max-age=60"), ("Age", "50")], 20, [], False),      # Age counts
    ([("Cache-Control", "max-age=60")], 30, [("Cache-Control", "max-age=0")], False),
    ([("Cache-Control", "max-age=60")], 30, [("Cache-Control", "max-age=40")], True),
    ([("Cache-Control", "max-age=60")], 30, [("Cache-Control", "no-cache")], False),
    ([("Cache-Control", "max-age=60, no-cache")], 1, [], False),
    ([("Date", date(-10)), ("Expires", date(100))], 10, [], True),
    ([("Date", date(-10)), ("Expires", date(-5))], 10, [], False),
    ([("Expires", "not a date")], 0, [], False),
    ([("ETag", '"x"')], 0, [], False),                                         # no lifetime: revalidate
])
def test_freshness(headers, stored_ago, request_headers, fresh):
    cache = cache_with(headers, stored_ago=stored_ago)
    lookup = cache.lookup("GET", URL, request_headers, now=NOW)
    assert lookup.entry is not None and lookup.fresh is fresh
    assert lookup.conditional == ({} if fresh else lookup.entry.validators())


@pytest.mark.parametrize("mode, fresh", [("normal", True), ("refresh", False), ("offline", True)])
def test_modes(mode, fresh):
    cache = cache_with([("Cache-Control", "max-age=60"), ("ETag", '"e"')], stored_ago=10, mode=mode)
    lookup = cache.lookup("GET", URL, [], now=NOW)
    assert lookup.fresh is fresh
    assert lookup.conditional == ({} if fresh else {"If-None-Match": '"e"'})


def test_offline_serves_stale_and_misses_the_rest():
    cache = cache_with([("Cache-Control", "max-age=1")], stored_ago=3600, mode="offline")
    assert cache.lookup("GET", URL, [], now=NOW).entry.body == b"body"
    with pytest.raises(OfflineMiss, match="not in the cache"):
        cache.lookup("GET", URL + "other/", [], now=NOW)
    with pytest.raises(OfflineMiss):
        cache.lookup("GET", URL, [("Range", "bytes=0-1")], now=NOW)


@pytest.mark.parametrize("status, request_headers, response_headers, kept", [
    (200, [], [], True),
    (203, [], [], False),
    (404, [], [], False),
    (206, [("Range", "bytes=0-3")], [], False),
    (200, [("Cache-Control", "no-store")], [], False),
    (200, [], [("Cache-Control", "private, no-store")], False),
    (200, [], [("Vary", "*")], False),
])
def test_what_is_kept(status, request_headers, response_headers, kept):
    cache = HTTPCache(MemoryStore(1 << 20))
    cache.keep(URL, request_headers, status, response_headers, b"b", NOW, NOW)
    assert (cache.lookup("GET", URL, [], now=NOW).entry is not None) is kept


def test_no_store_answer_removes_the_kept_one():
    cache = cache_with([("ETag", '"a"')])
    cache.keep(URL, [], 200, [("Cache-Control", "no-store")], b"new", NOW, NOW)
    assert cache.lookup("GET", URL, [], now=NOW).entry is None


def test_key_ignores_the_fragment_and_vary_selects():
    cache = HTTPCache(MemoryStore(1 << 20))
    cache.keep("https://Index.Example.test/simple/demo/#x", [("Accept", "a")], 200,
               [("Vary", "Accept"), ("Cache-Control", "max-age=60")], b"A", NOW, NOW)
    assert cache.lookup("GET", URL, [("Accept", "a")], now=NOW).entry.body == b"A"
    assert cache.lookup("GET", URL, [("Accept", "b")], now=NOW).entry is None
    assert cache.lookup("GET", URL, [], now=NOW).entry is None


def test_revalidation_updates_headers_and_keeps_the_body():
    cache = cache_with([("ETag", '"a"'), ("Cache-Control", "max-age=0"), ("Content-Length", "4")], stored_ago=100)
    entry = cache.lookup("GET", URL, [], now=NOW).entry
    updated = cache.revalidated(URL, [], entry, [("Cache-Control", "max-age=60"), ("Content-Length", "0")], NOW, NOW)
    assert updated.body == b"body"
    assert ("Content-Length", "4") in updated.headers and ("Cache-Control", "max-age=60") in updated.headers
    assert cache.lookup("GET", URL, [], now=NOW + 1).fresh


def test_memory_store_is_bounded_least_recent_first():
    store = MemoryStore(100)
    for key in "abc":
        store.put(key, b"x" * 40)
    assert store.get("a") is None and store.size <= 100
    store.get("b")
    store.put("d", b"x" * 40)
    assert store.get("b") is not None and store.get("c") is None
    store.put("e", b"x" * 101)
    assert store.get("e") is None


def test_directory_store_is_bounded_and_recovers_from_damage(tmp_path):
    store = DirectoryStore(tmp_path, max_bytes=10_000)
    for i in range(40):
        store.put(f"{i:064x}", os.urandom(1000))
    store.evict()
    assert store.size <= 10_000
    assert store.get(f"{39:064x}") is not None
    # A damaged entry is a miss, and is removed.
    cache = HTTPCache(store)
    cache.keep(URL, [], 200, [("Cache-Control", "max-age=60")], b"b", NOW, NOW)
    for path in tmp_path.rglob("*-*"):
        path.write_bytes(b"{broken")
    assert cache.lookup("GET", URL, [], now=NOW).entry is None


WRITER = textwrap.dedent("""
    import os, sys
    from quorvel_master.network import DirectoryStore, HTTPCache
    directory, name = sys.argv[1], sys.argv[2]
    cache = HTTPCache(DirectoryStore(directory, max_bytes=200_000))
    for i in range(300):
        url = f"https://index.example.test/simple/p{i % 60}/"
        body = (name + str(i)).encode() * 500
        cache.keep(url, [], 200, [("Cache-Control", "max-age=600"), ("X-Body", str(len(body)))], body, 1.0, 1.0)
        found = cache.lookup("GET", url, [], now=2.0).entry
        if found is not None:
            assert int(dict(found.headers)["X-Body"]) == len(found.body), "torn entry"
""")


def test_two_processes_share_one_directory(tmp_path):
    children = [
        subprocess.Popen([sys.executable, "-c", WRITER, str(tmp_path), name], stderr=subprocess.PIPE, cwd=tmp_path)
        for name in ("a", "b")
    ]
    for child in children:
        _, err = child.communicate(timeout=120)
        assert child.returncode == 0, err.decode()
    store = DirectoryStore(tmp_path, max_bytes=200_000)
    # 5 MB written into a 200 kB bound: evictions along the way kept it near.
    assert store.size <= 400_000
    store.evict()
    assert store.size <= 200_000
    cache = HTTPCache(store)
    whole = 0
    for i in range(60):
        entry = cache.lookup("GET", f"https://index.example.test/simple/p{i}/", [], now=2.0).entry
        if entry is not None:
            assert int(dict(entry.headers)["X-Body"]) == len(entry.body)
            assert entry.body[:1] in (b"a", b"b")
            whole += 1
    assert whole > 0
    assert not [p for p in tmp_path.rglob(".tmp-*")]


@pytest.mark.parametrize("value, expected", [
    ("7", 7.0),
    (" 0 ", 0.0),
    (email.utils.formatdate(NOW + 30, usegmt=True), 30.0),
    (email.utils.formatdate(NOW - 30, usegmt=True), 0.0),
    ("soon", None),
    ("-3", None),
    (None, None),
])
def test_retry_after(value, expected):
    assert parse_retry_after(value, now=NOW) == expected


def test_backoff_doubles_with_jitter_up_to_the_cap():
    policy = RetryPolicy(retries=6, backoff=1.0, backoff_max=8.0, retry_after_max=20)
    for attempt, ceiling in enumerate([1, 2, 4, 8, 8, 8]):
        for _ in range(20):
            assert ceiling / 2 <= policy.delay(attempt) <= ceiling
    assert policy.delay(6) is None
    assert policy.delay(0, "21") is None and policy.delay(0, "20") == 20.0
    assert not policy.retryable_status("POST", 503) and not policy.retryable_status("GET", 404)


def test_entry_round_trip():
    entry = Entry(URL, 200, [("A", "1"), ("A", "2")], b"\n\x00body\n", 1.0, 2.0, {"accept": None})
    assert Entry.decode(entry.encode()) == entry


# -- the retry loop, run by both drivers ---------------------------------------------------


class Answer:
    def __init__(self, status, retry_after=None):
        self.status, self.retry_after, self.released = status, retry_after, False


REFUSED = ConnectionRefusedError(111, "Connection refused")
TIMED_OUT = TimeoutError("timed out")


@pytest.mark.parametrize("driver", ["sync", "async"])
@pytest.mark.parametrize("method, results, waits, made, gave_up", [
    ("GET", [503, 503, 200], [1.0, 2.0], 3, False),
    ("GET", [503, 502, 504, 500], [1.0, 2.0, 4.0], 4, True),      # the last retry spent
    ("GET", [(429, "3"), 200], [3.0], 2, False),                  # Retry-After replaces the backoff
    ("GET", [(429, "99"), 200], [], 1, True),                     # beyond the cap: no retry
    ("GET", [404], [], 1, False),
    ("POST", [503], [], 1, False),                                # GETs only
    ("GET", [REFUSED, 200], [1.0], 2, False),
    ("GET", [REFUSED] * 4, [1.0, 2.0, 4.0], 4, True),
    ("GET", [TIMED_OUT, 200], [], 1, False),                      # a time-out is not retried
])
def test_the_retry_loop(driver, method, results, waits, made, gave_up):
    import asyncio

    from quorvel_master.network.retry import Attempts, send_with_retries, send_with_retries_async

    policy = RetryPolicy(retries=3, backoff=1.0, backoff_max=8.0, retry_after_max=10)
    announced, waited, answers = [], [], []
    attempts = Attempts(policy, method, status_of=lambda a: a.status, retry_after_of=lambda a: a.retry_after,
                        announce=lambda n, delay, why: announced.append((n, why)))
    script = iter(results)

    def send():
        result = next(script)
        if isinstance(result, BaseException):
            raise result
        answers.append(Answer(*result) if isinstance(result, tuple) else Answer(result))
        return answers[-1]

    def release(answer):
        answer.released = True

    final = None
    try:
        if driver == "sync":
            final = send_with_retries(attempts, send, release, waited.append)
        else:
            async def sleep(delay):
                waited.append(delay)

            async def send_async():
                return send()

            final = asyncio.run(send_with_retries_async(attempts, send_async, release, sleep))
    except OSError as exc:
        assert exc is results[made - 1]
    # Jitter: each wait lies between half its ceiling and the whole of it.
    assert len(waited) == len(waits) and all(w / 2 <= got <= w for w, got in zip(waits, waited))
    assert [n for n, _ in announced] == list(range(1, len(waits) + 1))
    assert (attempts.made, attempts.gave_up) == (made, gave_up)
    if final is not None:
        assert final is answers[-1] and not final.released
        assert all(a.released for a in answers[:-1])
    else:
        assert attempts.kind == ("refused" if results[made - 1] is REFUSED else "timeout")


# -- who asked, and range answers ------------------------------------------------------------


def test_a_vary_on_credentials_keeps_no_secret():
    cache = HTTPCache(MemoryStore(1 << 20))
    asked = [("Authorization", "Bearer t0ken-secret")]
    cache.keep(URL, asked, 200, [("Vary", "Authorization"), ("Cache-Control", "max-age=60")], b"mine", NOW, NOW)
    assert cache.lookup("GET", URL, asked, now=NOW).entry.body == b"mine"
    assert cache.lookup("GET", URL, [("Authorization", "Bearer other")], now=NOW).entry is None
    assert not [v for v in cache.store._data.values() if b"t0ken-secret" in v]


TAIL = [("Range", "bytes=-4")]
HEAD = [("Range", "bytes=0-3")]


def part(etag="a", content_range="bytes 6-9/10", **more):
    headers = [("ETag", etag)] + ([("Content-Range", content_range)] if content_range else [])
    return headers + [(k.replace("_", "-"), v) for k, v in more.items()]


@pytest.mark.parametrize("kept, asked, found", [
    ([(TAIL, 206, part(), b"tail")], TAIL, b"tail"),
    ([(TAIL, 206, part(), b"tail")], HEAD, None),                          # another range
    ([(TAIL, 206, part(), b"tail")], [("Range", "bytes=-4"), ("Authorization", "Basic eDp5")], None),  # another identity
    ([(TAIL, 206, part(), b"tail"), (HEAD, 206, part("b", "bytes 0-3/10"), b"head")], TAIL, None),  # the file changed
    ([(TAIL, 206, part(), b"tail"), (HEAD, 206, part("a", "bytes 0-3/10"), b"head")], TAIL, b"tail"),
    ([(TAIL, 200, part(content_range=None, Content_Length="10"), b"whole file")], TAIL, b"whole file"),
    ([(TAIL, 206, part(content_range=None), b"tail")], TAIL, None),         # a part that says not which
    ([(TAIL, 206, part(Cache_Control="no-store"), b"tail")], TAIL, None),
    ([(TAIL, 206, part(), b"x" * 2000)], TAIL, None),                       # beyond the entry bound
    ([(TAIL, 416, [], b"")], TAIL, None),
])
def test_range_answers_are_kept_per_range_and_file_version(kept, asked, found):
    cache = HTTPCache(MemoryStore(1 << 20, max_entry=1024), mode="offline")
    for request, status, headers, body in kept:
        cache.keep(URL, request, status, headers, body, NOW, NOW)
    if found is None:
        with pytest.raises(OfflineMiss):
            cache.lookup("GET", URL, asked, now=NOW)
        return
    lookup = cache.lookup("GET", URL, asked, now=NOW)
    assert lookup.partial and lookup.fresh and lookup.entry.body == found
    with pytest.raises(OfflineMiss):  # a part answers no whole-file ask
        cache.lookup("GET", URL, [], now=NOW)
    online = HTTPCache(cache.store)
    again = online.lookup("GET", URL, asked, now=NOW)
    # Online, a part is fresh by its own headers only, and never revalidated (a 304 answers no range).
    assert again.entry.body == found and not again.fresh and again.conditional == {}


# -- what a repeated answer costs ----------------------------------------------------------


class CountingStore(MemoryStore):
    """A memory store that counts the bytes written and the keys removed."""

    def __init__(self) -> None:
        super().__init__(1 << 20)
        self.written: list[int] = []
        self.deleted = 0

    def put(self, key, data):
        self.written.append(len(data))
        super().put(key, data)

    def delete(self, key):
        self.deleted += 1
        super().delete(key)


BIG = b"<html>" + b"x" * 100_000     # kept apart from its entry
SMALL = b"<html>" + b"x" * 4000      # kept inside it
ETAG = [("ETag", '"a"')]


@pytest.mark.parametrize("body", [BIG, SMALL])
@pytest.mark.parametrize("first, then, changed, rewritten", [
    # the same body and headers, only the clock moved, no lifetime: nothing written
    (ETAG + [("Date", date(-60))], ETAG + [("Date", date(0))], False, False),
    ([], [("Age", "3")], False, False),
    # a lifetime: the clock matters, the entry is written
    (ETAG + [("Cache-Control", "max-age=60")], ETAG + [("Cache-Control", "max-age=60")], False, True),
    # a header changed
    (ETAG, [("ETag", '"b"')], False, True),
    # another body
    (ETAG, ETAG, True, True),
])
def test_a_repeated_answer_writes_only_what_changed(body, first, then, changed, rewritten):
    store = CountingStore()
    cache = HTTPCache(store)
    cache.keep(URL, [], 200, first, body, NOW - 60, NOW - 60)
    assert len(store.written) == (2 if body is BIG else 1)  # no Vary: no names record
    previous = cache.lookup("GET", URL, [], now=NOW).entry
    store.written.clear()
    served = body.replace(b"x", b"y") if changed else body
    cache.keep(URL, [], 200, then, served, NOW, NOW, previous=previous)
    # A large body is written only when it changed; the entry (a small body
    # inside) whenever anything but the clock did.
    body_writes = sum(n >= len(body) for n in store.written)
    assert body_writes == (int(changed) if body is BIG else int(rewritten))
    assert len(store.written) == (0 if not rewritten else 2 if changed and body is BIG else 1)
    assert store.deleted == (1 if changed and body is BIG else 0)
    again = cache.lookup("GET", URL, [], now=NOW)
    assert again.entry.body == served
    assert (("ETag", '"b"') in again.entry.headers) is (("ETag", '"b"') in then)
    assert again.fresh is (("Cache-Control", "max-age=60") in then)
    assert len(store._data) == (2 if body is BIG else 1)  # nothing left behind


@pytest.mark.parametrize("stored, not_modified, rewritten", [
    (ETAG, [("ETag", '"a"'), ("Date", date(0))], False),
    (ETAG + [("Date", date(-60)), ("Server", "s")], [("Date", date(0)), ("ETag", '"a"'), ("Server", "s")], False),
    (ETAG, [("ETag", '"a"'), ("Cache-Control", "max-age=60")], True),
    (ETAG + [("Cache-Control", "max-age=60")], [("ETag", '"a"')], True),   # its clock is reset
])
def test_a_304_never_rewrites_a_large_body(stored, not_modified, rewritten):
    store = CountingStore()
    cache = HTTPCache(store)
    cache.keep(URL, [], 200, stored, BIG, NOW - 600, NOW - 600)
    entry = cache.lookup("GET", URL, [], now=NOW).entry
    store.written.clear()
    updated = cache.revalidated(URL, [], entry, not_modified, NOW, NOW)
    assert updated.body == BIG
    assert all(n < 1000 for n in store.written)
    assert bool(store.written) is rewritten
    assert cache.lookup("GET", URL, [], now=NOW).entry.body == BIG


def test_vary_names_come_and_go():
    store = CountingStore()
    cache = HTTPCache(store)
    cache.keep(URL, [("Accept", "a")], 200, [("Vary", "Accept")], b"by accept", NOW, NOW)
    assert cache.lookup("GET", URL, [("Accept", "a")], now=NOW).entry.body == b"by accept"
    assert cache.lookup("GET", URL, [("Accept", "b")], now=NOW).entry is None
    cache.keep(URL, [("Accept", "b")], 200, [], b"for all", NOW, NOW)
    assert cache.lookup("GET", URL, [("Accept", "a")], now=NOW).entry.body == b"for all"
    assert cache.lookup("GET", URL, [("Accept", "c")], now=NOW).entry.body == b"for all"


def test_a_head_whose_body_is_gone_is_a_miss(tmp_path):
    cache = HTTPCache(DirectoryStore(tmp_path, max_bytes=1 << 20))
    cache.keep(URL, [], 200, ETAG, BIG, NOW, NOW)
    bodies = [p for p in tmp_path.rglob("*") if p.is_file() and p.stat().st_size >= len(BIG)]
    assert len(bodies) == 1
    bodies[0].unlink()
    assert cache.lookup("GET", URL, [], now=NOW).entry is None
