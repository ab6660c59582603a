"""The listing: one ``path = value`` line per scalar, and per empty list or
table, in document order; and back."""

from __future__ import annotations

import itertools

from props_to_tree._engine import paths
from props_to_tree._engine.errors import DocumentError, PathError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any

    from props_to_tree._engine.document import Reading

    ShowAll = Callable[[list[Any]], list[str]]

SEPARATOR = " = "
# Characters of a native chunk: a few pages, reused from one chunk to the next.
NATIVE_CHUNK = 1 << 16


def lines(document: Reading, paint: Any = None) -> Iterator[str]:
    """The listing of `document`, the text of render(*leaves(tree),
    show_all, paint=paint) in chunks of whole lines.  A document whose
    format the native walk can spell, listed without colour, is walked and
    shown by the native module, a chunk at a time, so that a reader that
    stops early (`| head`) stops the walk."""
    tree, spelling = document.tree, document.format.native
    if paint is not None or spelling is None:
        return render(*leaves(tree), document.show_all, paint=paint)
    from props_to_tree import _listing  # only a listing loads it

    spelled = {"json": _listing.JSON, "toml": _listing.TOML}[spelling]
    return _listing.Chunks(
        tree, document.show, paths.key_text, paths.key_texts, spelled, NATIVE_CHUNK
    )


def json_lines(data: bytes) -> Iterator[bytes] | None:
    """The listing of the JSON document in `data`, its bytes, in chunks of
    whole lines of UTF-8, made straight from the bytes by the native module
    as it checks them, and given once all of them are (one chunk, but for a
    listing more than twice the document's size); None where the document
    is to be read first (it does not read as JSON, an object holds a key
    twice, it nests deeper than the recursion limit): its tree's listing is
    `lines`'s."""
    from props_to_tree import _listing  # only a listing loads it

    return _listing.json_chunks(data, paths.key_text, paths.key_texts, NATIVE_CHUNK)


def yaml_lines(data: bytes) -> Iterator[bytes] | None:
    """The listing of the YAML document in `data`, its bytes, as `lines`
    gives it, made straight from libyaml's events by the native module, in
    one chunk of whole lines of UTF-8; None where the document is to be read
    first: it holds an anchor, an alias, a tag, a merge key, a key that is no
    scalar or is there twice, it nests deep, it does not read, or its listing
    is too large to hold."""
    from props_to_tree import _listing  # only a listing loads it

    return _listing.yaml_chunks(data, paths.key_text, paths.key_texts)


def toml_lines(data: bytes) -> Iterator[bytes] | None:
    """The listing of the TOML document in `data`, its bytes, as `lines`
    gives it, read by the native module with tomllib's rules, in one chunk
    of whole lines of UTF-8; None where tomllib is to read it: it does not
    read there, it nests deep, or its listing is too large to hold."""
    from props_to_tree import _listing  # only a listing loads it

    return _listing.toml_chunks(data, paths.key_text, paths.key_texts)


def leaves(tree: Any, prefix: str = "") -> tuple[list[str], list[Any]]:
    """The path and value of every scalar and empty collection of `tree`,
    whose dicts and lists are its tables and lists.  Every node is visited:
    the loop is kept lean."""
    found: list[str] = []
    values: list[Any] = []
    add_path, add_value = found.append, values.append
    cached, key_text = paths.key_texts.get, paths.key_text

    def walk(node: Any, prefix: str) -> None:
        if not node:
            add_path(prefix)
            add_value(node)
            return
        if type(node) is dict:
            for key, value in node.items():
                kind = type(value)
                path = prefix + (cached(key) or key_text(key))
                if kind is dict or kind is list:
                    walk(value, path)
                else:
                    add_path(path)
                    add_value(value)
        else:
            for index, value in enumerate(node):
                kind = type(value)
                path = f"{prefix}[{index}]"
                if kind is dict or kind is list:
                    walk(value, path)
                else:
                    add_path(path)
                    add_value(value)

    if prefix:
        walk(tree, prefix)
    elif type(tree) is dict:  # the top level's keys have no "." before them
        for key, value in tree.items():
            path = key_text(key)
            path = path[1:] if path[0] == "." else path
            if type(value) is dict or type(value) is list:
                walk(value, path)
            else:
                add_path(path)
                add_value(value)
    elif type(tree) is list:
        if tree:
            walk(tree, prefix)
    else:  # a document that is one value
        add_path(".")
        add_value(tree)
    return found, values


def render(
    found: list[str],
    values: list[Any],
    show_all: ShowAll,
    chunk: int = 4096,
    paint: Any = None,
) -> Iterator[str]:
    """The listing's lines, `chunk` at a time: a print per line would cost
    more than parsing and flattening together, and one string for all of
    them would be copied whole from one fresh buffer to the next.  `paint`,
    where given, is the colour module."""
    for start in range(0, len(found), chunk):
        shown = show_all(values[start : start + chunk])
        keys = found[start : start + chunk]
        separator = SEPARATOR
        if paint is not None:
            keys = [paint.path(key) for key in keys]
            shown = [paint.value(value) for value in shown]
            separator = paint.equals(SEPARATOR)
        # Slices keep the loop in C.
        parts = [separator] * (4 * len(shown))
        parts[0::4] = keys
        parts[2::4] = shown
        parts[3::4] = itertools.repeat("\n", len(shown))
        yield "".join(parts)


def get(document: Any, path: paths.Pattern, paint: Any = None) -> str:
    """What --get prints for `path`: for each place it matches, a scalar's
    value on a line (a string's own text, every other value as the listing
    shows it), or the lines of the list or table there."""
    from props_to_tree._engine.matches import expand

    # Where a path selects, an empty list or table is a line of the listing,
    # which says where it is.
    lines = paths.selects(path)
    places = expand(document, path)
    return "".join(_get(document, place, lines, paint) for place in places)


def _get(document: Any, path: paths.Path, lines: bool, paint: Any) -> str:
    node = document.lookup(path)
    if isinstance(node, dict | list) and (node or lines):
        prefix = paths.show(path) if path else ""
        return "".join(render(*leaves(node, prefix), document.show_all, paint=paint))
    value = document.current(path)
    if value is not None and isinstance(value.data, str) and not value.collection:
        text = value.data
        return (text if paint is None else paint.string(text)) + "\n"
    shown = str(document.show_all([node])[0])
    return (shown if paint is None else paint.value(shown)) + "\n"


def parse(text: str, source: str) -> Iterator[tuple[paths.Pattern, str, str]]:
    """(path, value text, where) for each line of a listing; blank lines and
    lines starting with "#" are skipped.  Lines end at "\n" or "\r\n" only:
    the listing writes every other line break inside a value escaped or
    raw, and a raw one is part of the value.  Spaces and tabs around a line
    are dropped: a key with them at an end is written quoted."""
    lines = text.removeprefix("\ufeff").split("\n")
    if lines[-1] == "":
        lines.pop()
    for number, line in enumerate(lines, 1):
        line = line.removesuffix("\r").strip(" \t")
        if not line.strip() or line.startswith("#"):
            continue
        where = f"{source}, line {number}"
        if SEPARATOR.rstrip() not in line:
            raise DocumentError(
                f"{where}: expected 'PATH = VALUE', got {line[:60]!r}", number
            )
        try:
            path, value = paths.split_assignment(line, "a line")
        except PathError as exc:
            raise exc.prefixed(f"{where}: ") from None
        yield path, value, where
