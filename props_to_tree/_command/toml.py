"""TOML, read with the standard library's tomllib.

tomllib checks the text and gives the values; a scanner of this module's
finds where each key, value and table header is written, trusting the syntax
that tomllib has checked.  An edit is a splice of the text.
"""

from __future__ import annotations

import datetime
import json
import math
import re
import tomllib

from props_to_tree._command import document, flow, listing, paths
from props_to_tree._command import text as texts
from props_to_tree._command.document import Value, item_index
from props_to_tree._command.document import collection as _collection
from props_to_tree._command.errors import (
    ChangeError,
    DocumentError,
    EditError,
    PathError,
)
from props_to_tree._command.text import Splice

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._command.paths import Path

_BARE = re.compile(r"[A-Za-z0-9_-]+")
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
# The spaces before the line's comment, past no string: see json.py.
_GAP = r"[^\"'#\n]*?(?P<gap>[ \t]+)#"
_COMMENT = ("#",)


def _skip(text: str, at: int) -> int:
    """Where the white space and comments from `at` end."""
    return re.compile(_SPACE).match(text, at).end()  # type: ignore[union-attr]


def _key(part: str) -> str:
    return part if _BARE.fullmatch(part) else str(tomllib.loads(f"k = {part}")["k"])


def show_key(key: str) -> str:
    return key if _BARE.fullmatch(key) else _basic(key, escapes=False)


def _basic(text: str, *, escapes: bool) -> str:
    """A basic string: JSON's escapes, and those TOML adds."""
    written = json.dumps(text, ensure_ascii=escapes).replace("\x7f", "\\u007f")
    if escapes:  # TOML writes a character beyond the BMP as one escape
        written = re.sub(
            r"\\ud([89ab][0-9a-f]{2})\\ud([c-f][0-9a-f]{2})",
            lambda m: f"\\U{_pair(int(m[1], 16), int(m[2], 16)):08X}",
            written,
        )
    return written


def _pair(high: int, low: int) -> int:
    return 0x10000 + ((high & 0x3FF) << 10) + (low & 0x3FF)


def show(value: Any) -> str:
    """A value as one line of TOML value syntax."""
    if isinstance(value, str):
        return _basic(value, escapes=False)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return int.__repr__(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        return ("inf" if value > 0 else "-inf") if math.isinf(value) else repr(value)
    if isinstance(value, dict):
        return (
            "{"
            + ", ".join(f"{show_key(k)} = {show(v)}" for k, v in value.items())
            + "}"
        )
    if isinstance(value, list):
        return "[" + ", ".join(map(show, value)) + "]"
    assert isinstance(value, datetime.date | datetime.time)
    return value.isoformat()


def show_all(values: list[Any]) -> list[str]:
    return list(map(show, values))


# Parts a key may reach: its table's header, its dotted key and the inline
# tables and arrays around it, together.
LIMIT = 1000
_STRINGS_AND_COMMENTS = (
    r'"""(?:[^"\\]|\\.|"(?!""))*"{3,5}'
    r"|'''(?:[^']|'(?!''))*'{3,5}"
    r'|"(?:[^"\\\n]|\\.)*"'
    r"|'[^'\n]*'"
    r"|#[^\n]*"
)
_STRUCTURE = r"[\[\]{}=,\n]"


def _too_deep(text: str) -> bool:
    """Whether a key of `text` reaches LIMIT parts: found by one pass over
    the text, before tomllib, whose time grows with the square of the parts
    (a 10 MB file of long headers would keep it busy for minutes)."""
    if text.count(".") + text.count("[") + text.count("{") < LIMIT - 1:
        return False  # each part past the first needs one of them
    text = re.sub(_STRINGS_AND_COMMENTS, "s", text)
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


class Toml:
    name = "TOML"

    def load(self, text: str) -> TomlDocument:
        if _too_deep(text):
            raise DocumentError(f"nested too deeply: a key of {LIMIT:,} parts or more")
        try:
            tree = tomllib.loads(text)
        except tomllib.TOMLDecodeError as exc:
            where = re.search(r"at line (\d+), column (\d+)", str(exc))
            line, column = map(int, where.groups()) if where else (None, None)
            raise DocumentError(f"not valid {self.name}: {exc}", line, column) from None
        return TomlDocument(text, tree)


class _Node:
    """A value in the text, and for an array or inline table its members."""

    __slots__ = ("end", "flow", "start")

    def __init__(self, start: int, end: int, members: flow.Flow | None) -> None:
        self.start, self.end, self.flow = start, end, members


class _Entry:
    """`key = value` at the top of a table: its full path (array-of-tables
    members count as ints), where its line starts, its value, and the path
    of the header it is under."""

    __slots__ = ("header", "line", "node", "path")

    def __init__(
        self, path: tuple[Any, ...], line: int, node: _Node, header: tuple[Any, ...]
    ) -> None:
        self.path, self.line, self.node, self.header = path, line, node, header


class _Header:
    __slots__ = ("end", "path", "start")

    def __init__(self, path: tuple[Any, ...], start: int, end: int) -> None:
        self.path, self.start, self.end = path, start, end


class TomlDocument:
    show = staticmethod(show)
    show_all = staticmethod(show_all)

    def __init__(self, text: str, tree: dict[str, Any]) -> None:
        self.text = text
        self.tree = tree
        self._entries: list[_Entry] | None = None  # scanned for an edit only
        self._headers: list[_Header] = []
        self._paths: dict[tuple[Any, ...], _Entry] | None = None

    @property
    def entries(self) -> list[_Entry]:
        if self._entries is None:
            self._entries = []
            self._scan()
        return self._entries

    @property
    def headers(self) -> list[_Header]:
        self.entries  # noqa: B018 - scanned with them
        return self._headers

    def reload(self, text: str) -> TomlDocument:
        return Toml().load(text)

    # --- scanning -----------------------------------------------------------

    def _dotted(self, at: int) -> tuple[list[str], int]:
        text, parts = self.text, []
        while True:
            found = re.compile(_KEY).match(text, at)
            assert found is not None, "tomllib read this key"
            parts.append(_key(found.group(1)))
            at = found.end()
            if text.startswith(".", at):
                at += 1
                continue
            return parts, at

    def _scan(self) -> None:
        text, at = self.text, 0
        header: tuple[Any, ...] = ()
        arrays: dict[tuple[Any, ...], int] = {}  # items so far, by resolved path
        while True:
            at = _skip(text, at)
            if at >= len(text):
                return
            line = at
            if text.startswith("[", at):
                array = text.startswith("[[", at)
                parts, at = self._dotted(at + 1 + array)
                at = texts.line_end(text, at)
                header = self._resolve(parts, arrays)
                if array:
                    arrays[header] = arrays.get(header, -1) + 1
                    header += (arrays[header],)
                self._headers.append(_Header(header, line, at))
                continue
            parts, at = self._dotted(at)
            node, at = self._value(_skip(text, at + 1))
            self.entries.append(_Entry((*header, *parts), line, node, header))

    @staticmethod
    def _resolve(
        parts: list[str], arrays: dict[tuple[Any, ...], int]
    ) -> tuple[Any, ...]:
        """A header's path with the current item of each array of tables
        above it: [[a]] then [a.b] is a.<last>.b, and [[a]], [[a.b]], [a.b.c]
        is a.<last>.b.<last>.c."""
        out: tuple[Any, ...] = ()
        for number, part in enumerate(parts):
            out += (part,)
            if number < len(parts) - 1 and out in arrays:
                out += (arrays[out],)
        return out

    def _value(self, at: int) -> tuple[_Node, int]:
        text = self.text
        if text[at] not in "[{":
            end = re.compile(_VALUE, re.DOTALL).match(text, at).end()  # type: ignore[union-attr]
            return _Node(at, end, None), end
        closing, members = "]" if text[at] == "[" else "}", []
        inner = _skip(text, at + 1)
        while text[inner] != closing:
            start, key = inner, None
            if closing == "}":  # a key of one part or dotted: its parts
                parts, inner = self._dotted(inner)
                key = tuple(parts)
                inner = _skip(text, inner + 1)
            node, inner = self._value(inner)
            inner = _skip(text, inner)
            comma = None
            if text[inner] == ",":
                comma, inner = inner, _skip(text, inner + 1)
            members.append(flow.Member(key, start, node.end, comma, node))
        return _Node(at, inner + 1, flow.Flow(at, inner, members)), inner + 1

    # --- finding ------------------------------------------------------------

    def _entry(self, path: tuple[str, ...]) -> _Entry | None:
        if self._paths is None:
            self._paths = {entry.path: entry for entry in self.entries}
        return self._paths.get(path)

    def _find(self, path: Path) -> tuple[Any, Any, int, int]:
        """Where `path` leads: the holder of its last segment, ("table",
        path) for a table or an array of tables, ("flow", node) for an
        inline table or array; the index of the last segment in an array or
        its member (None where it is missing); how deep the walk got (past
        the end where the path names a table made by dotted keys in an
        inline table); and where the keys of that inline table start."""
        data: Any = self.tree
        prefix: tuple[Any, ...] = ()
        for depth, segment in enumerate(path):
            entry = self._entry(prefix) if prefix else None
            if entry is not None:
                return self._find_inline(entry.node, path, depth)
            segment = self._check(data, path, depth)
            last = depth == len(path) - 1
            if segment is None or (isinstance(segment, str) and segment not in data):
                return ("table", prefix), None, depth, depth
            if last:
                return ("table", prefix), segment, depth, depth
            prefix, data = (*prefix, segment), data[segment]
        raise AssertionError("an empty path")  # pragma: no cover

    def _find_inline(
        self, node: _Node, path: Path, depth: int
    ) -> tuple[Any, Any, int, int]:
        """`_find` on from the value at `path[:depth]`, written in the line."""
        index = depth
        while True:
            segment = path[index]
            kind = "{" if isinstance(segment, str) else "["
            if node.flow is None or self.text[node.start] != kind:
                raise PathError(paths.blocked(self._data(path[:index]), path, index))
            members = node.flow.members
            if isinstance(segment, str):
                position, width = _member(members, path, index)
            else:
                position = item_index(segment, len(members))
                width = 0 if position is None else 1
            if position is None:
                return ("flow", node), None, index + width, index
            if index + width == len(path):
                return ("flow", node), position, index + width - 1, index
            node, index = members[position].value, index + width

    def _check(self, data: Any, path: Path, depth: int) -> Any:
        """`path[depth]` made fit to index `data`: a key of a table, or an
        item of an array of tables counted from 0; None past the end."""
        segment = path[depth]
        if not isinstance(data, list if isinstance(segment, int) else dict):
            raise PathError(paths.blocked(data, path, depth))
        if isinstance(segment, int):
            return item_index(segment, len(data))
        return segment

    def _data(self, path: Path) -> Any:
        data: Any = self.tree
        for segment in path:
            data = data[segment]
        return data

    def lookup(self, path: Path) -> Any:
        return listing.find(self.tree, path)

    streamed = None  # no stream: a selector at the start picks the top list's items

    def members(self, path: Path) -> list[str] | int | None:
        return listing.members(self.tree, path)

    @staticmethod
    def place(path: Path) -> object:
        return tuple(path)  # TOML shares no values: every path is its own place

    def shared(self, path: Path, whole: bool) -> None:
        return None  # TOML shares no values

    # --- changing -----------------------------------------------------------

    def parse(self, text: str) -> Value:
        """A VALUE: exactly one TOML value, nothing around it (no comment);
        other text is a string."""
        if text == "null":
            raise ChangeError("TOML has no null (--delete removes a key)")
        if not text or text[0] in " \t\r\n" or text[-1] in " \t\r\n":
            return Value(text, show(text))
        line = f"v = {text}"
        try:
            data = tomllib.loads(line)
        except tomllib.TOMLDecodeError:
            return Value(text, show(text))
        if list(data) != ["v"] or TomlDocument(line, data)._value(4)[1] != len(line):
            return Value(text, show(text))  # another key, or a comment after
        value = data["v"]
        return Value(value, show(value), text, collection=_collection(value))

    def value(self, data: Any) -> Value:
        """A VALUE made of Python data."""
        data = document.plain(data, "TOML", nulls=False, dates=True)
        if isinstance(data, str):
            return Value(data, show(data))
        made = self.parse(show(data))
        if isinstance(made.data, str):  # a time with an offset, say
            raise ValueError(f"TOML cannot hold {data!r}")
        if _too_large(made.data):
            raise ValueError("TOML's integers are 64-bit: pass a str or a float")
        return made

    def data(self, path: Path) -> Any:
        return document.copied(self.lookup(path))

    def current(self, path: Path) -> Value | None:
        try:
            data = self.lookup(path)
        except EditError:
            return None
        return Value(data, show(data), collection=_collection(data))

    def reach(self, path: Path) -> tuple[int, int | None]:
        """How many segments of `path` are there (all of them where it names
        a table, which only a deletion makes way in), and how many items the
        array holding the first missing one has."""
        if len(path) >= LIMIT:
            raise ChangeError(f"nested too deeply: {LIMIT:,} parts or more")
        (where, holder), found, depth, _ = self._find(path)
        if depth >= len(path) or found is not None:
            return len(path), None
        count = None
        if isinstance(path[depth], int):
            count = len(
                holder.flow.members if where == "flow" else self._data(path[:depth])
            )
        return depth, count

    def replace(self, path: Path, value: Value) -> list[Splice]:
        if not path:
            raise ChangeError("the top of a TOML document is a table: set its keys")
        (where, holder), found, depth, _ = self._find(path)
        if depth >= len(path):
            raise ChangeError(f"{paths.show(path)!r} is a table: delete it first")
        if where == "flow":
            return self._replace(holder.flow.members[found].value, value)
        whole = (*holder, path[depth])
        entry = self._entry(whole)
        if entry is None:
            written = "a table"
            if isinstance(self._data(list(whole)), list):
                written = "an array of tables ([[...]])"
            raise ChangeError(f"{paths.show(path)!r} is {written}: delete it first")
        return self._replace(entry.node, value)

    def append(self, path: Path, value: Value) -> list[Splice]:
        count = len(self._data(path))
        (where, holder), _, _, _ = self._find([*path, count])
        if where == "flow":
            like = _last_string(self.text, [m.value for m in holder.flow.members])
            item = self._render(value, None, like)
            return flow.insert(self.text, holder.flow, item, "  ", _COMMENT)
        return self._append_table(holder, count, value)

    def insert(self, path: Path, keys: list[str], value: Value) -> list[Splice]:
        full: Path = [*path, *keys]
        (where, holder), _, depth, first = self._find(full)
        text, rest, segment = self.text, full[depth + 1 :], full[depth]
        if where == "flow":
            like = _last_string(text, [m.value for m in holder.flow.members])
            new = self._render(value, None, like)
            for key in reversed(rest):
                new = f"{{{show_key(str(key))} = {new}}}"
            key = ".".join(show_key(str(s)) for s in full[first : depth + 1])
            return flow.insert(text, holder.flow, f"{key} = {new}", "  ", _COMMENT)
        names = [str(segment), *map(str, rest)]
        dotted = any(
            e.path[: len(holder)] == holder and len(e.header) < len(holder)
            for e in self.entries
        )
        implied = (  # by headers below it alone: [a.b] makes a
            holder
            and self._header(holder) is None
            and not any(isinstance(s, int) for s in holder)
        )
        if not dotted and (len(names) > 1 or implied):  # a header of its own
            return self._new_table(holder, names[:-1], names[-1], value)
        like = _last_string(
            text, [e.node for e in self.entries if e.path[:-1] == holder]
        )
        return self._insert(holder, names, self._render(value, None, like))

    def _replace(self, node: _Node, value: Value) -> list[Splice]:
        new = self._render(value, node)
        return [
            Splice(
                node.start,
                node.end,
                new,
                texts.comment_gap(self.text, node.end, re.compile(_GAP)),
            )
        ]

    def _header(self, table: tuple[Any, ...]) -> _Header | None:
        return next((h for h in reversed(self.headers) if h.path == table), None)

    def _section_end(self, header: _Header) -> int:
        """The end of the last line of a table's own keys, or of its header."""
        own = [e for e in self.entries if e.header == header.path]
        return texts.line_end(self.text, own[-1].node.end) if own else header.end

    def _new_table(
        self, parent: tuple[Any, ...], tables: list[str], key: str, value: Value
    ) -> list[Splice]:
        """One header for the new table, not one for each table on the way,
        after the last table under `parent`, or at the end."""
        if any(isinstance(s, int) for s in parent):
            raise ChangeError("--create does not make tables inside an array of tables")
        under = [h for h in self.headers if h.path[: len(parent)] == parent]
        text = self.text
        where = self._section_end(under[-1]) if under else len(text.rstrip("\r\n"))
        name = ".".join(map(show_key, (*parent, *tables)))
        lead = "\n\n" if where else ""
        block = f"{lead}[{name}]\n{show_key(key)} = {self._render(value, None)}"
        return [Splice(where, where, block + ("" if where < len(text) else "\n"))]

    def _append_table(
        self, array: tuple[Any, ...], count: int, value: Value
    ) -> list[Splice]:
        """A new item of an array of tables: its header, and its keys as they
        were typed, after the last item's tables."""
        if not isinstance(value.data, dict):
            raise ChangeError("an item of an array of tables is a table: {key = value}")
        if self._header((*array, count - 1)) is None:
            raise ChangeError(
                f"{paths.show(list(array))!r} is not written as [[...]] headers"
            )
        under = [
            h for h in self.headers if h.path[: len(array) + 1] == (*array, count - 1)
        ]
        where = self._section_end(under[-1])
        line = f"v = {value.text}"
        typed = TomlDocument(line, {})._value(4)[0].flow
        assert typed is not None, "an inline table, as parsed"
        lines = [line[m.start : m.end] for m in typed.members]
        name = ".".join(show_key(s) for s in array if isinstance(s, str))
        return [Splice(where, where, f"\n\n[[{name}]]\n" + "\n".join(lines))]

    def _insert(
        self, table: tuple[Any, ...], keys: list[str], value: str
    ) -> list[Splice]:
        """A new `keys = value` line after the last line of `table`'s own:
        under its header, or beside the dotted keys that make it, or as a
        dotted key at the top for a table made by its sub-tables' headers."""
        text = self.text
        header = self._header(table)
        if header is not None:
            own = [e for e in self.entries if e.header == table]
            if not own:
                line = ".".join(map(show_key, keys))
                return [Splice(header.end, header.end, f"\n{line} = {value}")]
            last: _Entry | None = own[-1]
        else:
            # Dotted keys in a table above make it; failing those, the top.
            inside = [
                e
                for e in self.entries
                if e.path[: len(table)] == table and len(e.header) <= len(table)
            ]
            top = [e for e in self.entries if e.header == ()]
            last = (inside or top)[-1] if inside or top else None
        above = last.header if last else ()
        member = ".".join(map(show_key, (*table[len(above) :], *keys))) + " = " + value
        if last is None:
            first = self.headers[0].start if self.headers else len(text)
            # Not on the line of a comment that ends the file unbroken.
            lead = "\n" if first == len(text) and text[-1:] not in ("\n", "") else ""
            after = "\n" if first < len(text) else ""
            return [Splice(first, first, lead + member + "\n" + after)]
        where = texts.line_end(text, last.node.end)
        return [
            Splice(where, where, "\n" + texts.indentation(text, last.line) + member)
        ]

    def delete(self, path: Path) -> list[Splice]:
        try:
            (where, holder), found, depth, _ = self._find(path)
            if depth >= len(path):
                raise ChangeError("a table of dotted keys: delete its keys one by one")
            if found is None or depth < len(path) - 1:
                count = len(holder.flow.members) if where == "flow" else None
                if (
                    count is None
                    and isinstance(path[-1], int)
                    and depth == len(path) - 1
                ):
                    count = len(self._data(list(holder)))
                raise PathError(paths.missing(path[: depth + 1], count))
        except EditError as exc:
            raise exc.prefixed(f"cannot delete {paths.show(path)!r}: ") from None
        text = self.text
        if where == "flow":
            members = holder.flow.members
            member = members[found]
            table = member.key[:-1] if member.key else ()  # items have none
            if table and not any(
                m.key[: len(table)] == table for m in members if m is not member
            ):  # `sub.z = 1` alone made sub: it stays, empty
                new = ".".join(map(show_key, table)) + " = {}"
                return [Splice(member.start, member.end, new)]
            return flow.remove(text, holder.flow, found, _COMMENT)
        whole = (*holder, found)
        # What goes: keys (dotted, or of the table), then tables' headers.
        keys = [
            entry
            for entry in self.entries
            if entry.path[: len(whole)] == whole
            and not any(
                h.path[: len(whole)] == whole and h.path == entry.header
                for h in self.headers
            )
        ]
        dotted = [Splice(*texts.own_lines(text, e.line, e.node.end), "") for e in keys]
        tables = []
        for header in self.headers:
            if header.path[: len(whole)] == whole:
                lines = texts.own_lines(text, header.start, self._section_end(header))
                tables.append(Splice(*lines, ""))
        splices = dotted + tables
        if not holder or len(self._data(list(holder))) > 1:
            return splices
        if isinstance(found, int):
            # An array of tables that loses its last item stays, empty.
            *parent, name = holder
            return splices + self._insert(tuple(parent), [name], "[]")
        if self._header(holder) is not None:
            return splices
        # A table that only what goes made, by a dotted key or a header below
        # it, stays: its first key gives way to `table = {}`, or its first
        # header to the table's own.
        if keys:
            first = keys[0]
            new = ".".join(map(show_key, holder[len(first.header) :])) + " = {}"
            return [Splice(first.line, first.node.end, new), *splices[1:]]
        if any(isinstance(s, int) for s in holder):
            return splices  # [a.b] under [[x]] has no header of its own to take
        gone = text[splices[0].start : splices[0].end]
        own = "[" + ".".join(map(show_key, holder)) + "]"
        own += gone[len(gone.rstrip("\r\n")) :]  # its line break
        return [Splice(splices[0].start, splices[0].end, own), *splices[1:]]

    def _render(
        self, value: Value, old: _Node | None, like: _Node | None = None
    ) -> str:
        """A new value: as typed; a string in the style of the one it
        replaces, or failing that in the quotes of `like`, a string beside
        it."""
        data = value.data
        if not isinstance(data, str):
            return value.text
        written = self.text[old.start : old.end] if old else ""
        if like is not None and not written:
            written = self.text[like.start]  # its quotes, not its lines
        # A line break right after the opening quotes is dropped by readers:
        # one written there is the file's style, or keeps the text's own.
        lead = "\n" if written[3:4] == "\n" or data.startswith("\n") else ""
        if written.startswith("'''") and _literal(data, "'''"):
            return "'''" + lead + data + "'''"
        if written.startswith('"""'):
            inner = _basic(data, escapes="\\u" in written)[1:-1].replace("\\n", "\n")
            return '"""' + lead + inner + '"""'
        if written.startswith("'") and _literal(data, "'"):
            return f"'{data}'"
        return _basic(data, escapes="\\u" in written or "\\U" in written)


def _member(
    members: list[flow.Member], path: Path, index: int
) -> tuple[int | None, int]:
    """The member of an inline table whose key, dotted or not, is the path
    from `index` on (the last, where there are two), and how many segments
    its key takes; else None, and how many segments the path shares with a
    dotted key (the tables those make)."""
    found, width, shared = None, 1, 0
    for position, member in enumerate(members):
        parts = member.key
        if tuple(path[index : index + len(parts)]) == parts:
            found, width = position, len(parts)
            continue
        common = 0
        for part, segment in zip(parts, path[index:], strict=False):
            if part != segment:
                break
            common += 1
        shared = max(shared, common)
    return (found, width) if found is not None else (None, shared)


def _literal(data: str, quotes: str) -> bool:
    """Whether a literal string in `quotes` can hold `data`: no escapes, so
    nothing that does not print but a tab (and in three quotes a line feed,
    which a carriage return before it would not survive), and no quotes."""
    lines = data.split("\n") if len(quotes) == 3 else [data]
    return quotes not in data and all(
        line.replace("\t", " ").isprintable() for line in lines
    )


def _last_string(text: str, nodes: list[_Node]) -> _Node | None:
    """The last of `nodes` written as a string."""
    return next((n for n in reversed(nodes) if text[n.start] in "\"'"), None)


def _too_large(data: Any) -> bool:
    if isinstance(data, dict):
        return any(map(_too_large, data.values()))
    if isinstance(data, list):
        return any(map(_too_large, data))
    return type(data) is int and not -(2**63) <= data < 2**63
