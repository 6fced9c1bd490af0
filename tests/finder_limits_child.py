"""Child process of the finder road's bound tests: asks one index for the
dependencies of one version through the finder road, on this thread, and
prints as JSON the answer, the module's log lines, the time taken and the
peak growth of the resident size during the call over its size before it
(the kernel's high-water mark, reset first; a fresh process, so nothing of a
parent's size is carried in).

    python finder_limits_child.py INDEX_URL NAME VERSION [TIMEOUT]

With TIMEOUT, the finder's session has that read time-out (and so each
request of the road that total).
"""

from __future__ import annotations

import gc
import json
import sys
import time
import warnings

with warnings.catch_warnings():
    warnings.filterwarnings("ignore", "compile time Python version", RuntimeWarning)
    import quorvel_master.business_layer.packages.package_index_client as pic


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


class Lines:
    def __init__(self) -> None:
        self.lines: list[list[str]] = []

    def __getattr__(self, level):
        return lambda message: self.lines.append([level, message])


def finder_with_timeout(seconds: float):
    import unearth
    from unearth.auth import MultiDomainBasicAuth
    from unearth.fetchers import PyPIClient

    def make(index_urls):
        session = PyPIClient(timeout=seconds)
        session.auth = MultiDomainBasicAuth(prompting=False, index_urls=index_urls)
        return unearth.PackageFinder(session=session, index_urls=index_urls)

    return make


def main() -> None:
    index, name, version = sys.argv[1:4]
    if len(sys.argv) > 4:
        pic.PackageFinder = finder_with_timeout(float(sys.argv[4]))
    log = pic.logger = Lines()
    client = pic.PackageIndexClient(None)
    # Everything the call needs once is loaded by a first call that fails
    # at once (nothing listens on port 1).
    client._get_dependencies_via_unearth(name, version, "http://127.0.0.1:1/simple/")
    log.lines.clear()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    start = time.monotonic()
    answer = client._get_dependencies_via_unearth(name, version, index)
    seconds = time.monotonic() - start
    growth = status_kib("VmHWM") - before
    print(json.dumps({"answer": answer, "log": log.lines, "seconds": seconds, "growth_kib": growth,
                      "before_kib": before}))


if __name__ == "__main__":
    main()
