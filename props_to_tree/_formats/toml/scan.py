"""Where each key, value and table header of a TOML document is written:
a scanner that trusts the syntax tomllib has checked."""

from __future__ import annotations

import re

from props_to_tree._engine import flow
from props_to_tree._engine import text as texts
from props_to_tree._formats.toml.values import key_part

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


# Compiled where first used (the re module keeps them): a listing reads with
# tomllib alone.
_KEY = r"""[ \t]*([A-Za-z0-9_-]+|"(?:[^"\\\n]|\\.)*"|'[^'\n]*')[ \t]*"""


_VALUE = (
    r'"""(?:[^"\\]|\\.|"(?!""))*"{3,5}'
    r"|'''(?:[^']|'(?!''))*'{3,5}"
    r'|"(?:[^"\\\n]|\\.)*"'
    r"|'[^'\n]*'"
    r"|[0-9]{4}-[0-9]{2}-[0-9]{2}[Tt ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]+)?)?"
    r"(?:[Zz]|[+-][0-9]{2}:[0-9]{2})?"
    r"|[^\s,\]}#]+"
)


_SPACE = r"(?:[ \t\r\n]+|#[^\n]*)*"


def _skip(text: str, at: int) -> int:
    """Where the white space and comments from `at` end."""
    return re.compile(_SPACE).match(text, at).end()  # type: ignore[union-attr]


# Parts a key may reach: its table's header, its dotted key and the inline
# tables and arrays around it, together.
LIMIT = 1000


STRINGS_AND_COMMENTS = (
    r'"""(?:[^"\\]|\\.|"(?!""))*"{3,5}'
    r"|'''(?:[^']|'(?!''))*'{3,5}"
    r'|"(?:[^"\\\n]|\\.)*"'
    r"|'[^'\n]*'"
    r"|#[^\n]*"
)


_STRUCTURE = r"[\[\]{}=,\n]"


def too_deep(text: str) -> bool:
    """Whether a key of `text` reaches LIMIT parts: found by one pass over
    the text, before tomllib, whose time grows with the square of the parts
    (a 10 MB file of long headers would keep it busy for minutes)."""
    if text.count(".") + text.count("[") + text.count("{") < LIMIT - 1:
        return False  # each part past the first needs one of them
    text = re.sub(STRINGS_AND_COMMENTS, "s", text)
    search = re.compile(_STRUCTURE).search
    base = 0  # the parts of the current table's header
    stack: list[tuple[str, int]] = []  # open arrays and inline tables: depth
    depth = 0  # the parts of the value being read
    key_from, in_value, at = 0, False, 0
    while found := search(text, at):
        at = found.end()
        mark = found.group()
        if mark == "=" and not in_value:
            owner = stack[-1][1] if stack else base
            depth = owner + text.count(".", key_from, at) + 1
            in_value = True
        elif mark == "[" and not stack and not in_value:  # a header
            end = text.find("\n", at)
            end = len(text) if end < 0 else end
            depth = base = text.count(".", at, end) + 1
            at = end
        elif mark in "[{":
            stack.append((mark, depth))
            if mark == "[":
                depth += 1
            else:
                key_from, in_value = at, False
        elif mark in "]}":
            if stack:
                stack.pop()
            if stack and stack[-1][0] == "[":
                depth = stack[-1][1] + 1
            in_value = True
        elif mark == "," and stack:
            if stack[-1][0] == "{":
                key_from, in_value = at, False
        elif mark == "\n" and not stack:
            key_from, in_value = at, False
        if depth >= LIMIT:
            return True
    return False


class Node:
    """A value in the text, and for an array or inline table its members."""

    __slots__ = ("end", "flow", "start")

    def __init__(self, start: int, end: int, members: flow.Flow | None) -> None:
        self.start, self.end, self.flow = start, end, members


class Entry:
    """`key = value` at the top of a table: its full path (array-of-tables
    members count as ints), where its line starts, its value, and the path
    of the header it is under."""

    __slots__ = ("header", "line", "node", "path")

    def __init__(
        self, path: tuple[Any, ...], line: int, node: Node, header: tuple[Any, ...]
    ) -> None:
        self.path, self.line, self.node, self.header = path, line, node, header


class Header:
    __slots__ = ("end", "path", "start")

    def __init__(self, path: tuple[Any, ...], start: int, end: int) -> None:
        self.path, self.start, self.end = path, start, end


class Parts:
    """What a TOML text is made of, as an edit needs it: tomllib's tree, and
    where each entry and table header is written, in the order written;
    `paths` finds an entry by its full path."""

    __slots__ = ("entries", "headers", "paths", "tree")

    def __init__(
        self, tree: dict[str, Any], entries: list[Entry], headers: list[Header]
    ) -> None:
        self.tree, self.entries, self.headers = tree, entries, headers
        self.paths = {entry.path: entry for entry in entries}


def scan(text: str, tree: dict[str, Any]) -> Parts:
    """The parts of `text`, which tomllib read as `tree`."""
    entries: list[Entry] = []
    headers: list[Header] = []
    at = 0
    header: tuple[Any, ...] = ()
    arrays: dict[tuple[Any, ...], int] = {}  # items so far, by resolved path
    while True:
        at = _skip(text, at)
        if at >= len(text):
            return Parts(tree, entries, headers)
        line = at
        if text.startswith("[", at):
            array = text.startswith("[[", at)
            parts, at = dotted(text, at + 1 + array)
            at = texts.line_end(text, at)
            header = _resolve(parts, arrays)
            if array:
                arrays[header] = arrays.get(header, -1) + 1
                header += (arrays[header],)
            headers.append(Header(header, line, at))
            continue
        parts, at = dotted(text, at)
        node, at = value_node(text, _skip(text, at + 1))
        entries.append(Entry((*header, *parts), line, node, header))


def dotted(text: str, at: int) -> tuple[list[str], int]:
    """The parts of the key, dotted or not, at `at`, and where it ends."""
    parts = []
    while True:
        found = re.compile(_KEY).match(text, at)
        assert found is not None, "tomllib read this key"
        parts.append(key_part(found.group(1)))
        at = found.end()
        if text.startswith(".", at):
            at += 1
            continue
        return parts, at


def _resolve(parts: list[str], arrays: dict[tuple[Any, ...], int]) -> tuple[Any, ...]:
    """A header's path with the current item of each array of tables above
    it: [[a]] then [a.b] is a.<last>.b, and [[a]], [[a.b]], [a.b.c] is
    a.<last>.b.<last>.c."""
    out: tuple[Any, ...] = ()
    for number, part in enumerate(parts):
        out += (part,)
        if number < len(parts) - 1 and out in arrays:
            out += (arrays[out],)
    return out


def value_node(text: str, at: int) -> tuple[Node, int]:
    """The value written at `at`, and where it ends."""
    if text[at] not in "[{":
        end = re.compile(_VALUE, re.DOTALL).match(text, at).end()  # type: ignore[union-attr]
        return Node(at, end, None), end
    closing, members = "]" if text[at] == "[" else "}", []
    inner = _skip(text, at + 1)
    while text[inner] != closing:
        start, key = inner, None
        if closing == "}":  # a key of one part or dotted: its parts
            parts, inner = dotted(text, inner)
            key = tuple(parts)
            inner = _skip(text, inner + 1)
        node, inner = value_node(text, inner)
        inner = _skip(text, inner)
        comma = None
        if text[inner] == ",":
            comma, inner = inner, _skip(text, inner + 1)
        members.append(flow.Member(key, start, node.end, comma, node))
    return Node(at, inner + 1, flow.Flow(at, inner, members)), inner + 1
