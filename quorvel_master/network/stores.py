"""Where the cache keeps its bytes: a store only keeps bytes under keys,
bounded, and is safe to call from any thread; the caching rules are cache.py's.

:class:`MemoryStore` keeps them in this process (least recently used out);
:class:`DirectoryStore` in a folder any number of processes share.
"""

from __future__ import annotations

import errno
import fcntl
import os
import random
import tempfile
import threading
import time
from collections import OrderedDict
from pathlib import Path
from typing import Any



class Store:
    """Bytes under keys; bounded; safe to call from any thread."""

    max_entry: int

    def get(self, key: str) -> bytes | None:
        raise NotImplementedError

    def put(self, key: str, data: bytes) -> None:
        raise NotImplementedError

    def delete(self, key: str) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass


class MemoryStore(Store):
    """In this process only; least recently used entries go first."""

    def __init__(self, max_bytes: int, max_entry: int | None = None) -> None:
        self.max_bytes = max_bytes
        self.max_entry = min(max_bytes, max_entry if max_entry is not None else max_bytes)
        self._data: OrderedDict[str, bytes] = OrderedDict()
        self._size = 0
        self._lock = threading.Lock()

    def get(self, key: str) -> bytes | None:
        with self._lock:
            data = self._data.get(key)
            if data is not None:
                self._data.move_to_end(key)
            return data

    def put(self, key: str, data: bytes) -> None:
        if len(data) > self.max_entry:
            return
        with self._lock:
            old = self._data.pop(key, None)
            if old is not None:
                self._size -= len(old)
            self._data[key] = data
            self._size += len(data)
            while self._size > self.max_bytes and self._data:
                _, dropped = self._data.popitem(last=False)
                self._size -= len(dropped)

    def delete(self, key: str) -> None:
        with self._lock:
            old = self._data.pop(key, None)
            if old is not None:
                self._size -= len(old)

    @property
    def size(self) -> int:
        return self._size


class DirectoryStore(Store):
    """One file per key under ``directory``, shared by any number of processes.

    A write goes to a temporary file in the same folder and is renamed over
    the entry, so readers see the old entry or the new one, never a part. A
    read touches the file's time, which eviction orders by. Eviction runs
    about once per tenth of the bound written, by whichever process, under an
    exclusive lock file (a process that finds it taken leaves the work to the
    holder), and deletes down to 90% of the bound; a file that another
    process removed meanwhile is simply gone. Between evictions the folder
    may exceed the bound by about a tenth.
    """

    #: v3: whole answers kept as a head beside their body (v2 kept them in
    #: one entry, v1 without who asked); older layouts are never read.
    LAYOUT = "v3"
    #: Temporary files older than this are debris of a process that died.
    STALE_TEMPORARY = 3600.0

    def __init__(self, directory: str | os.PathLike[str], max_bytes: int, max_entry: int | None = None) -> None:
        self.root = Path(directory) / self.LAYOUT
        self.root.mkdir(parents=True, exist_ok=True)
        self.max_bytes = max_bytes
        self.max_entry = min(max_bytes, max_entry if max_entry is not None else max_bytes)
        self._check_every = max(1, max_bytes // 10)

    def _path(self, key: str) -> Path:
        return self.root / key[:2] / key

    def get(self, key: str) -> bytes | None:
        path = self._path(key)
        try:
            with open(path, "rb") as f:
                data = f.read(self.max_entry + 1)
        except OSError:
            return None
        if len(data) > self.max_entry:
            return None
        try:
            os.utime(path)
        except OSError:
            pass
        return data

    def put(self, key: str, data: bytes) -> None:
        if len(data) > self.max_entry:
            return
        path = self._path(key)
        try:
            path.parent.mkdir(exist_ok=True)
            fd, temporary = tempfile.mkstemp(dir=path.parent, prefix=".tmp-")
            try:
                with os.fdopen(fd, "wb") as f:
                    f.write(data)
                os.replace(temporary, path)
            except BaseException:
                _unlink(temporary)
                raise
        except OSError as exc:
            if exc.errno in (errno.ENOSPC, errno.EDQUOT, errno.EACCES, errno.EROFS):
                return  # a cache that cannot write is a cache that misses
            raise
        # Each write starts an eviction with a chance in proportion to its
        # size, so the processes sharing the folder (short-lived ones too,
        # which never write a tenth of the bound each) count once per tenth
        # of the bound written between them, with no shared counter.
        if random.random() * self._check_every < len(data):
            self.evict()

    def delete(self, key: str) -> None:
        _unlink(self._path(key))

    def evict(self) -> None:
        """Deletes the least recently used files until the folder fits."""
        lock_path = self.root / ".lock"
        with open(lock_path, "a+b") as lock:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return
            try:
                self._evict_locked()
            finally:
                fcntl.flock(lock, fcntl.LOCK_UN)

    def _evict_locked(self) -> None:
        files: list[tuple[float, int, str]] = []
        total = 0
        now = time.time()
        for sub in _scandir(self.root):
            if not sub.is_dir(follow_symlinks=False):
                continue
            for item in _scandir(sub.path):
                try:
                    stat = item.stat(follow_symlinks=False)
                except OSError:
                    continue
                if item.name.startswith(".tmp-"):
                    if now - stat.st_mtime > self.STALE_TEMPORARY:
                        _unlink(item.path)
                    continue
                files.append((stat.st_mtime, stat.st_size, item.path))
                total += stat.st_size
        if total <= self.max_bytes:
            return
        files.sort()
        for _mtime, size, path in files:
            if total <= self.max_bytes * 0.9:
                break
            _unlink(path)
            total -= size

    @property
    def size(self) -> int:
        return sum(
            item.stat(follow_symlinks=False).st_size
            for sub in _scandir(self.root) if sub.is_dir(follow_symlinks=False)
            for item in _scandir(sub.path) if not item.name.startswith(".tmp-")
        )


def _scandir(path: Any) -> list[os.DirEntry[str]]:
    try:
        with os.scandir(path) as it:
            return list(it)
    except OSError:
        return []


def _unlink(path: Any) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def make_store(directory: str | os.PathLike[str] | None, max_bytes: int, memory_bytes: int, max_entry: int) -> Store:
    if directory is None:
        return MemoryStore(memory_bytes, max_entry)
    return DirectoryStore(directory, max_bytes, max_entry)
