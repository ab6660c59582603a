"""Helpers shared by the tests: leak accounting and isolated interpreters."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import tracemalloc
from collections.abc import Callable
from pathlib import Path
from typing import Any

import props_to_tree
from props_to_tree import _props_to_tree as ext

# The directory the module under test was imported from; child interpreters
# are pointed at it so that they test the same build.
IMPORT_ROOT = str(Path(props_to_tree.__file__).resolve().parent.parent)
TESTS = str(Path(__file__).resolve().parent)


def call(fn: Callable[[], Any], raises: type[BaseException] | None) -> None:
    if raises is None:
        fn()
        return
    try:
        fn()
    except raises:
        return
    raise AssertionError(f"expected {raises.__name__}")


def assert_no_leaks(
    fn: Callable[[], Any],
    *objects: object,
    raises: type[BaseException] | None = None,
    calls: int = 2000,
) -> None:
    """Call `fn` many times and check that nothing it was handed gains or loses
    a reference and that no memory accumulates.

    Objects must be mortal (built at runtime, not interned literals or small
    ints), or their counts say nothing.
    """
    call(fn, raises)  # warm caches: cached UTF-8, dict key tables
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    tracemalloc.start()
    try:
        for _ in range(calls // 10):
            call(fn, raises)
        gc.collect()
        baseline, _ = tracemalloc.get_traced_memory()
        for _ in range(calls):
            call(fn, raises)
        gc.collect()
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objects]
    assert after == before, "reference counts changed"
    # One leaked object of the smallest size per call would be 32 bytes each.
    assert current - baseline < calls * 8, f"{current - baseline} bytes retained"


def in_small_stack_thread(fn: Callable[[], Any]) -> None:
    """Run `fn` in a thread with a 256 KiB stack, re-raising what it raised.

    Whatever is very deep must be made and freed outside: freeing it is the
    interpreter's own recursion, which overflows such a stack on 3.13.
    """
    failures: list[BaseException] = []

    def worker() -> None:
        try:
            fn()
        except BaseException as exc:
            failures.append(exc)

    old = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    if failures:
        raise failures[0]


def run_python(code: str, timeout: float = 300) -> subprocess.CompletedProcess[str]:
    """Run `code` in a fresh interpreter that imports the build under test, so
    that a crash fails one test instead of the whole run.

    The debug allocator (unless the caller chose one) fills freed memory, so
    that a use after free shows as a crash or a wrong value.
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([IMPORT_ROOT, TESTS]))
    env.setdefault("PYTHONMALLOC", "debug")
    # These children test the extension, not the package's Python, and
    # coverage.py's tracer does not survive injected allocation failures.
    env.pop("COVERAGE_PROCESS_CONFIG", None)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd="/",  # keep the source tree, which has no built module, off sys.path
    )


__all__ = [
    "IMPORT_ROOT",
    "assert_no_leaks",
    "ext",
    "in_small_stack_thread",
    "run_python",
]
