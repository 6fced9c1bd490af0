"""In the sanitizer run of CI (PIC_EXPECT_SANITIZERS=1), the suite must really
run against an instrumented extension with the runtime loaded, and a memory
error must really be reported; elsewhere these tests are skipped."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(os.environ.get("PIC_EXPECT_SANITIZERS") != "1",
                                reason="only in the sanitizer run")


def test_extension_is_instrumented_and_the_runtimes_are_loaded(m):
    with open("/proc/self/maps") as f:
        maps = f.read()
    assert "libasan" in maps and "libubsan" in maps
    with open(m.__file__, "rb") as f:
        image = f.read()
    assert b"__asan_report_load" in image and b"__ubsan_handle_" in image


def test_a_heap_overflow_is_reported():
    # reported on stderr of the child, not in the run's report folder
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0", PYTHONMALLOC="malloc")
    code = textwrap.dedent("""
        import ctypes
        buffer = ctypes.create_string_buffer(4096)  # its own malloc block
        ctypes.memmove(buffer, b"x" * 4160, 4160)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode != 0
    assert "AddressSanitizer" in out.stderr
