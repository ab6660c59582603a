"""The hostile, failure-path and round-trip cases in one plain process.

pytest is too slow under valgrind; this script is what `make check` runs
there.  It exits non-zero on a wrong result, and valgrind on a memory error.
"""

import json
import random
import re
import sys
import tomllib

import hostile
import model
from _support import (
    bytes_listing,
    composed_alike,
    native_listing,
    python_listing,
    random_document,
    random_tree,
    read_listing,
)

from props_to_tree import _listing
from props_to_tree import _props_to_tree as ext


def fails(error: type[BaseException], fn: object, *args: object) -> None:
    try:
        fn(*args)  # type: ignore[operator]
    except error:
        return
    raise AssertionError(f"{fn}{args!r} did not raise {error.__name__}")


def failure_paths() -> None:
    leaf = object()
    cyclic: dict[str, object] = {"a": leaf}
    cyclic["self"] = cyclic
    fails(TypeError, ext._tree_to_props, [])
    fails(TypeError, ext._tree_to_props, {"a": {1: leaf}})
    fails(RecursionError, ext._tree_to_props, cyclic)
    fails(TypeError, ext._props_to_tree, {"x": leaf, 7: leaf}, {})
    fails(UnicodeEncodeError, ext._props_to_tree, {"x\udc80.y": leaf}, {})
    fails(KeyError, ext._props_to_tree, {"a.b.c": leaf}, {"a": {}})
    fails(TypeError, ext._props_to_tree, {"a.b": leaf}, {"a": [0]})
    fails(TypeError, ext._props_to_tree, {"a.b": leaf}, {"a": None})


def round_trips() -> None:
    rng = random.Random(1234)
    for _ in range(300):
        tree = random_tree(rng.randrange, keys="ab\0é😀")
        props = ext._tree_to_props(tree)
        assert props == model.tree_to_props(tree)
        assert ext._props_to_tree(props, tree) is tree
        assert ext._tree_to_props(tree) == props


def listings() -> None:
    """Random documents listed natively and in Python, in chunks of a few
    lines and of many, and the listing's failure paths."""
    rng = random.Random(4321)
    for number in range(400):
        fmt = ("json", "toml")[number % 2]
        tree = random_document(rng.randrange, fmt == "toml")
        for size in (1, 64, 1 << 16):
            assert native_listing(tree, fmt, size) == python_listing(tree, fmt)
    for number in range(200):  # the same from the bytes, of the JSON ones
        tree = random_document(rng.randrange, False)
        text = json.dumps(tree, indent=number % 3 or None, ensure_ascii=number % 2 == 0)
        data = text.encode("utf-8", "surrogatepass")
        raw = re.search("[\ud800-\udfff]", text)  # a lone surrogate: not UTF-8
        expected = None if raw else read_listing(data)
        for size, held in ((1 << 16, None), (1, 0), (7, 50)):
            assert bytes_listing(data, size, held) == expected
    assert bytes_listing('{"a": 1, "a": 2}') is None
    import yaml

    for number in range(200):  # YAML from libyaml's events, as a writer writes it
        tree = random_document(rng.randrange, False)
        try:
            flow = (None, True, False)[number % 3]
            text = yaml.safe_dump(tree, default_flow_style=flow, allow_unicode=True)
        except yaml.YAMLError:  # a lone surrogate
            continue
        made = bytes_listing(text, fmt="yaml")
        assert made is None or made == read_listing(text, "yaml")
    for text in ("a: &x 1\nb: *x\n", "a: [\n", "a: 1\na: 2\n", "[" * 201 + "]" * 201):
        assert bytes_listing(text, fmt="yaml") is None
    import tomli_w

    for number in range(200):  # TOML read natively, as a writer writes it
        tree = random_document(rng.randrange, True)
        if not isinstance(tree, dict):
            continue
        try:
            text = tomli_w.dumps(tree, multiline_strings=number % 2 == 0)
        except (TypeError, ValueError):  # what TOML cannot hold
            continue
        made = bytes_listing(text.replace("\n", "\r\n"), fmt="toml")
        assert made is None or made == read_listing(text, "toml")
        native = _listing.toml_tree(text, float)
        assert native is None or repr(native) == repr(tomllib.loads(text))
    for text in ("a = 1\na = 2\n", "[a]\n[a]\n", "a = " + "[" * 101 + "]" * 101):
        assert bytes_listing(text, fmt="toml") is None
        assert _listing.toml_tree(text, float) is None
    # The composer: anchors and aliases, tags, streams, deep, and its errors.
    for text in (
        "a: &x {b: [1, 'é']}\nc: *x\nd: !t x\n---\n- &y [*y]\n",
        "[" * 1000 + "]" * 1000,
        "[" * 1001 + "]" * 1001,
        "- " * 1000 + "x",
        "a: *x\n",
        "a: &x 1\nb: &x 2\n",
        "\x01",
    ):
        assert composed_alike(text) is not None, text
    cyclic: dict[str, object] = {"a": [1]}
    cyclic["b"] = cyclic
    fails(RecursionError, native_listing, cyclic, "json")
    fails(AttributeError, native_listing, {"a": {1: 2}}, "json")
    fails(AssertionError, native_listing, {"a": [None]}, "toml")


def deep_key() -> None:
    depth = 20_000
    root = node = {}
    for _ in range(depth):
        node["k"] = node = {}
    ext._props_to_tree({"k." * depth + "leaf": 1}, root)
    node = root
    for _ in range(depth):
        node = node["k"]
    assert node == {"leaf": 1}


if __name__ == "__main__":
    hostile.run_all()
    hostile.run_all_listing()
    failure_paths()
    round_trips()
    listings()
    deep_key()
    print("valgrind driver: all cases ran", file=sys.stderr)
