"""Cost of the installed-distributions table and of one specifier check.

Compares the native client with plain Python doing the same library calls
(importlib.metadata, re, packaging) in the same process and environment.

    PYTHONPATH=<stage> python bench/bench_environment.py
"""

import importlib.metadata
import re
import statistics
import sys
import timeit

from packaging.specifiers import SpecifierSet
from packaging.version import Version

from quorvel_master.business_layer.packages import package_index_client as m

EXTRA_PATTERN = r"""extra\s*==\s*["\']([^"\']+)["\']"""


class _Metadata(dict):
    def get_all(self, *args, **kwargs):
        return []


class _Dist:
    def __init__(self, name, version):
        self.metadata = _Metadata()
        self.metadata["Name"] = name
        self.metadata["Version"] = version


class PlainClient:
    """The same steps written in Python, for comparison."""

    def __init__(self):
        self._distributions_cache = None

    def _normalize_name(self, name):
        return re.sub(r"[-_.]+", "-", name.lower())

    def _get_current_distributions(self):
        if self._distributions_cache is None:
            table = {}
            for dist in importlib.metadata.distributions():
                table[self._normalize_name(dist.metadata["Name"])] = dist
            stdlib = getattr(sys, "stdlib_module_names", [])
            sys_version = sys.version.split()[0]
            for mod in stdlib:
                norm_name = self._normalize_name(mod)
                if norm_name not in table:
                    table[norm_name] = _Dist(mod, sys_version)
            self._distributions_cache = table
        return self._distributions_cache

    def clear_distributions_cache(self):
        self._distributions_cache = None

    def check_specifier_in_dist(self, package_name, version_spec, extras=None):
        distributions = self._get_current_distributions()
        dist = distributions.get(self._normalize_name(package_name))
        if dist is None:
            return None
        dist_version_str = dist.metadata.get("Version")
        if not dist_version_str:
            return None
        if version_spec and version_spec.strip():
            try:
                if Version(dist_version_str) not in SpecifierSet(version_spec):
                    return None
            except Exception:
                return None
        if extras:
            requires = dist.metadata.get_all("Requires-Dist") or []
            available_extras = set()
            for req in requires:
                if "extra ==" in req:
                    match = re.search(EXTRA_PATTERN, req)
                    if match:
                        available_extras.add(match.group(1).lower())
            for extra in extras:
                if extra.lower() not in available_extras:
                    return None
        return dist_version_str


def measure(fn, number, repeat=7):
    runs = [t / number for t in timeit.repeat(fn, number=number, repeat=repeat)]
    return min(runs), statistics.median(runs)


def build(client):
    def run():
        client.clear_distributions_cache()
        client._get_current_distributions()

    return run


def show(label, native, plain):
    (n_min, n_med), (p_min, p_med) = native, plain
    print(f"{label:<44} native {n_min * 1e6:10.1f} us (median {n_med * 1e6:10.1f})"
          f"   python {p_min * 1e6:10.1f} us (median {p_med * 1e6:10.1f})   ratio {n_min / p_min:5.2f}")


def main():
    native = m.PackageIndexClient(None)
    plain = PlainClient()
    table = native._get_current_distributions()
    assert sorted(table) == sorted(plain._get_current_distributions())
    installed = sum(not isinstance(d, m._dummy_dist) for d in table.values())
    print(f"Python {sys.version.split()[0]}; table of {len(table)} entries "
          f"({installed} installed distributions, {len(table) - installed} standard-library names)")

    show("build the table", measure(build(native), 20), measure(build(plain), 20))

    cases = [
        ("aiohttp", ">=3", ["speedups"]),
        ("aiohttp", ">=3", None),
        ("asyncio", "", None),
        ("no-such-package", ">=1", None),
    ]
    for args in cases:
        expected = plain.check_specifier_in_dist(*args)
        assert native.check_specifier_in_dist(*args) == expected, args
        label = f"check {args!r}"
        show(label[:44], measure(lambda: native.check_specifier_in_dist(*args), 2000),
             measure(lambda: plain.check_specifier_in_dist(*args), 2000))


if __name__ == "__main__":
    main()
