"""Helpers shared by the tests, the fuzz target and the valgrind driver: node
types, tree builders, leak accounting and isolated interpreters."""

import contextlib
import datetime as dt
import gc
import os
import subprocess
import sys
import threading
import tracemalloc
import types
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import props_to_tree
from props_to_tree import _listing
from props_to_tree import _props_to_tree as ext
from props_to_tree._engine import listing, paths
from props_to_tree._engine import text as texts
from props_to_tree._formats.json import document as json_format
from props_to_tree._formats.toml import values as toml_format

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


def run_isolated(target: str, *args: object, timeout: float = 300) -> None:
    """Call `target`, a function named "module.function" of tests/, with `args`
    in a fresh interpreter that imports the build under test, so that a crash
    fails one test instead of the whole run.

    The debug allocator (unless the caller chose one) fills freed memory, so
    that a use after free shows as a crash or a wrong value.
    """
    module, function = target.rsplit(".", 1)
    code = f"import {module}; {module}.{function}(*{args!r}); print('ok')"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([IMPORT_ROOT, TESTS]))
    env.setdefault("PYTHONMALLOC", "debug")
    # These children test the extension, not the package's Python, and
    # coverage.py's tracer does not survive injected allocation failures.
    env.pop("COVERAGE_PROCESS_CONFIG", None)
    result = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd="/",  # keep the source tree, which has no built module, off sys.path
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith("ok\n"), result.stdout


# --- Node types and trees --------------------------------------------------------


class Str(str):
    pass


class Dict(dict):  # type: ignore[type-arg]
    """A dict subclass whose Python-level iteration is unusable: whatever
    reads it must read its storage."""

    def _refuse(self, *args: object) -> Any:
        raise AssertionError("iteration methods must not be called")

    items = keys = values = __iter__ = _refuse  # type: ignore[assignment]


def skeleton(tree: dict[Any, Any]) -> dict[Any, Any]:
    """The tree's branches without its leaves."""
    return {k: skeleton(v) for k, v in dict.items(tree) if isinstance(v, dict)}


def chain(depth: int, leaf: str | None = None) -> dict[str, Any]:
    """{"k": {"k": ... }} `depth` levels deep, with {leaf: 1} at the bottom."""
    root = node = {}
    for _ in range(depth):
        node["k"] = node = {}
    if leaf is not None:
        node[leaf] = 1
    return root


def outcome(fn: Callable[..., Any], *args: Any) -> tuple[str, Any]:
    """("ok", result) or ("error", the exception's type): what the module and
    the model must agree on."""
    try:
        return "ok", fn(*args)
    except Exception as exc:
        return "error", type(exc)


KEY_TEXT = ["a", "b", ".", "", "\0", "é", "😀", "\udc80"]


def random_tree(choose: Callable[[int], int], depth: int = 0, keys: str = "") -> Any:
    """A random tree of dicts and Dicts, drawing every choice from
    `choose(n)`, a number below n, so that any source of randomness can drive
    it: random.Random, atheris or hypothesis.  Keys are built from `keys`, or
    from KEY_TEXT and small integers."""
    node = (dict, Dict)[choose(2)]()
    for _ in range(choose(5)):
        if keys:
            key: Any = "".join(keys[choose(len(keys))] for _ in range(choose(4)))
        elif choose(10) == 0:
            key = choose(3)
        else:
            key = "".join(KEY_TEXT[choose(len(KEY_TEXT))] for _ in range(choose(4)))
        kind = choose(6)
        if kind <= 1 and depth < 5:
            dict.__setitem__(node, key, random_tree(choose, depth + 1, keys))
        else:
            leaf = types.MappingProxyType({}) if kind == 2 and not keys else [kind]
            dict.__setitem__(node, key, leaf)
    return node


def tree_strategy(keys: Any, leaves: Any, kinds: tuple[type, ...] = (dict,)) -> Any:
    """A hypothesis strategy for trees of `kinds` of dict, with `keys` and
    `leaves` drawn from the strategies given."""
    from hypothesis import strategies as st  # not needed by every user of this

    def branches(values: Any) -> Any:
        plain = st.dictionaries(keys, values, max_size=5)
        return st.one_of(*(plain.map(kind) for kind in kinds))

    return st.recursive(branches(leaves), lambda t: branches(t | leaves), max_leaves=30)


# Documents that the command's and the API's tables share.
COMPOSE = """\
services:
  web:
    image: nginx:1.25  # pinned
    ports: ["80:80"]
  db:
    image: postgres:16
  "*": odd
"""
PEOPLE = '[{"name": "Ann", "age": 30}, {"name": "Bo"}, 7]'
MANIFESTS = """\
kind: Deployment
metadata: {name: web}
spec:
  replicas: 2
---
kind: Service
metadata: {name: web}
"""
CARGO = """\
[[bin]]
name = "server"
path = "src/main.rs"

[[bin]]
name = "cli"
path = "src/cli.rs"
"""
WORKFLOW = """\
jobs:
  test:
    runs-on: ubuntu-22.04
    steps:
      - uses: actions/checkout@v3  # fetch
      - uses: actions/setup-python@v5
        with: {python-version: '3.12'}
  lint:
    runs-on: ubuntu-22.04
    steps: [{uses: actions/checkout@v3}, {run: ruff check}]
"""
PYPROJECT = """\
[project]
dependencies = [
    "requests>=2.31",  # http
    "requests-oauthlib>=1.3",
]
"""
PACKAGES = """\
{
  "packages": [
    {"name": "a", "version": "1.0.0", "private": true},
    {"name": "b", "version": "1.0.0"},
    {"name": "c", "version": "2.0.0"}
  ]
}
"""


# --- Listings --------------------------------------------------------------------

FORMATS = {"json": json_format, "toml": toml_format}


def python_listing(tree: Any, fmt: str, size: int = 0) -> str:
    """The listing as the Python walk writes it: the reference."""
    return "".join(listing.render(*listing.leaves(tree), FORMATS[fmt].show_all))


def native_listing(tree: Any, fmt: str, size: int = listing.NATIVE_CHUNK) -> str:
    """The listing as the native walk writes it, `size` characters a chunk
    or so; each chunk must be whole lines."""
    chunks = list(
        _listing.Chunks(
            tree,
            FORMATS[fmt].show,
            paths.key_text,
            paths.key_texts,
            _listing.TOML if fmt == "toml" else _listing.JSON,
            size,
        )
    )
    assert all(chunk.endswith("\n") for chunk in chunks), chunks
    return "".join(chunks)


LISTINGS = {"native": native_listing, "python": python_listing}


def bytes_listing(
    text: str | bytes,
    size: int = listing.NATIVE_CHUNK,
    held: int | None = None,
    fmt: str = "json",
) -> str | None:
    """The listing of a JSON text as the native module makes it from the
    bytes: whole, as it checks them; or, past `held` bytes, again once they
    are checked, `size` bytes a chunk or so, each whole lines; None where it
    leaves the text to be read first.  A YAML text's is made whole, or left
    to the reading past `held`."""
    data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass")
    bound = () if held is None else (held,)
    if fmt in ("yaml", "toml"):
        made_by = _listing.yaml_chunks if fmt == "yaml" else _listing.toml_chunks
        chunks = made_by(data, paths.key_text, paths.key_texts, *bound)
    else:
        chunks = _listing.json_chunks(
            data, paths.key_text, paths.key_texts, size, *bound
        )
    if chunks is None:
        return None
    made = list(chunks)
    assert all(chunk.endswith(b"\n") for chunk in made), made
    return b"".join(made).decode("utf-8")


@contextlib.contextmanager
def tomllib_only() -> Iterator[None]:
    """TOML read by tomllib alone, the reference of the native reading."""
    native = _listing.toml_tree
    _listing.toml_tree = lambda *args: None  # type: ignore[assignment]
    try:
        yield
    finally:
        _listing.toml_tree = native  # type: ignore[assignment]


def read_listing(text: str | bytes, fmt: str = "json") -> str:
    """The listing of a text read first, as the command lists what the
    native module leaves: the reference, as printed (a lone surrogate
    escaped)."""
    from props_to_tree import _formats as formats

    if isinstance(text, bytes):
        text = formats.decoded(text, "text")
    with tomllib_only():
        document = formats.load(fmt, texts.split_mark(text)[1], written=True)
    found = listing.leaves(document.tree)
    shown = "".join(listing.render(*found, document.show_all))
    return shown.encode("utf-8", "backslashreplace").decode("utf-8")


# Keys and strings that a listing writes each its own way: quoted keys, the
# escapes, characters of each width a str has, a lone surrogate.
ODD_TEXT = [
    "", "a", "*", "#a", " a", "a ", "a.b", "a[0]", 'q"', "a=b", "\\", "\x7f",
    "\n", "\t\b\f\r\x01\x1f", "é", "ā", "😀", "\ud800", "x\udfffy", "a b",
]  # fmt: skip


def random_document(choose: Callable[[int], int], toml: bool, depth: int = 0) -> Any:
    """A random document as JSON's or TOML's reader makes it, drawing every
    choice from `choose(n)` as random_tree does: dicts and lists, and the
    scalars of the format, empty lists and tables among them."""
    kind = choose(12) if depth < 6 else 6 + choose(6)
    if kind < 3:
        return {
            ODD_TEXT[choose(len(ODD_TEXT))] + "k" * choose(3): random_document(
                choose, toml, depth + 1
            )
            for _ in range(choose(5))
        }
    if kind < 6:
        return [random_document(choose, toml, depth + 1) for _ in range(choose(5))]
    scalars: list[Any] = [
        choose(2) == 1,
        choose(1 << 16) - (1 << 15),
        (choose(1 << 16) + 1) << 64,
        choose(1000) / 7,
        float("nan"),
        -float("inf"),
        "".join(ODD_TEXT[choose(len(ODD_TEXT))] for _ in range(choose(4))),
    ]
    scalars += [dt.date(2024, 1, 1 + choose(28))] if toml else [None, (1, "t")]
    return scalars[choose(len(scalars))]


# --- Edits ------------------------------------------------------------------------


def made_through_the_api(fmt: str, document: str, args: list[str]) -> str:
    """`document` changed as the command's arguments say, through the API."""
    import warnings

    doc = props_to_tree.Document(document, fmt, create="--create" in args)
    flags = iter(arg for arg in args if arg != "--create")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", props_to_tree.EditWarning)  # tested apart
        for flag in flags:
            if flag == "--set":
                path, value = paths.split_assignment(next(flags))
                doc.set_text(paths.show(path), value)
            elif flag == "--apply":  # the listing's text itself, not a file
                doc.apply(next(flags))
            else:
                doc.delete(next(flags))
    return doc.text


def edited_alone(
    fmt: str, document: str, args: list[str], after: str, crlf: bool
) -> None:
    """`document` changed as `args` say is `after`, exactly; on its CRLF
    copy, `after`'s CRLF copy."""
    import pytest

    if crlf:  # every line break written takes the file's
        if "\r" in document or "\n" not in document:
            pytest.skip("no line break to take")
        document, after = (t.replace("\n", "\r\n") for t in (document, after))
    assert made_through_the_api(fmt, document, args) == after


__all__ = [
    "CARGO",
    "COMPOSE",
    "FORMATS",
    "IMPORT_ROOT",
    "LISTINGS",
    "MANIFESTS",
    "ODD_TEXT",
    "PACKAGES",
    "PEOPLE",
    "PYPROJECT",
    "WORKFLOW",
    "Dict",
    "Str",
    "assert_no_leaks",
    "bytes_listing",
    "chain",
    "edited_alone",
    "ext",
    "in_small_stack_thread",
    "made_through_the_api",
    "native_listing",
    "outcome",
    "python_listing",
    "random_document",
    "random_tree",
    "read_listing",
    "run_isolated",
    "skeleton",
    "tree_strategy",
]


# --- The native YAML composer against PyYAML's C loader ---------------------


def _reference() -> Any:
    """PyYAML's C loader, an untagged node's tag left "" as the format's."""
    import yaml

    class Reference(yaml.CBaseLoader):
        def resolve(self, kind: Any, value: Any, implicit: Any) -> str:
            return ""

    return Reference


def _error(error: Any) -> Any:
    marks = [getattr(error, name, None) for name in ("problem_mark", "context_mark")]
    said = [getattr(error, name, None) for name in ("problem", "context", "reason")]
    at = [getattr(error, name, None) for name in ("position", "character")]
    return said, at, [m and (m.index, m.line, m.column) for m in marks]


def _same_nodes(mine: Any, theirs: Any, met: dict[int, Any]) -> bool:
    """Whether two nodes, and all below them, are alike; an alias leads to
    the node its anchor is on in both.  A stack of its own: documents are
    nested as deep as libyaml reads."""
    todo = [(mine, theirs)]
    while todo:
        mine, theirs = todo.pop()
        if mine is None or theirs is None:
            if mine is not theirs:
                return False
            continue
        if id(mine) in met:
            if met[id(mine)] is not theirs:
                return False
            continue
        met[id(mine)] = theirs
        kind = type(theirs).__name__
        marks = [
            [(at.index, at.line, at.column) for at in (m.start_mark, m.end_mark)]
            for m in (mine, theirs)
        ]
        if type(mine).__name__ != kind or mine.tag != theirs.tag:
            return False
        if marks[0] != marks[1]:
            return False
        if kind == "ScalarNode":
            if (mine.value, mine.style) != (theirs.value, theirs.style):
                return False
            continue
        if mine.flow_style != theirs.flow_style:
            return False
        if len(mine.value) != len(theirs.value):
            return False
        if kind == "SequenceNode":
            todo += zip(mine.value, theirs.value, strict=True)
        else:
            for (key, value), (their_key, their_value) in zip(
                mine.value, theirs.value, strict=True
            ):
                todo += [(key, their_key), (value, their_value)]
    return True


def composed_alike(text: str) -> str | None:
    """Whether the native composer reads `text` as PyYAML's C loader does:
    "read", the same nodes; "error", the same error; None where they differ."""
    import yaml

    from props_to_tree import _yaml

    try:
        theirs = list(yaml.compose_all(text, Loader=_reference()))
    except yaml.YAMLError as error:
        try:
            _yaml.compose_all(text)
        except _yaml.Error as mine:
            return "error" if _error(mine) == _error(error) else None
        return None
    try:
        mine = _yaml.compose_all(text)
    except _yaml.Error:
        return None
    met: dict[int, Any] = {}
    alike = len(mine) == len(theirs) and all(
        _same_nodes(a, b, met) for a, b in zip(mine, theirs, strict=True)
    )
    return "read" if alike else None
