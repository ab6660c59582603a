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

from props_to_tree._command import flow, paths
from props_to_tree._command import text as texts
from props_to_tree._command.edit import Value
from props_to_tree._command.errors import UserError
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
_GAP = r"(?P<gap>[ \t]+)#"
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


class Toml:
    name = "TOML"

    def load(self, text: str) -> TomlDocument:
        try:
            tree = tomllib.loads(text)
        except tomllib.TOMLDecodeError as exc:
            raise UserError(f"not valid {self.name}: {exc}") from None
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
        text, at, header = self.text, 0, ()
        arrays: dict[tuple[Any, ...], int] = {}
        while True:
            at = _skip(text, at)
            if at >= len(text):
                return
            line = at
            if text.startswith("[", at):
                array = text.startswith("[[", at)
                parts, at = self._dotted(at + 1 + array)
                at = texts.line_end(text, at)
                path: tuple[Any, ...] = tuple(parts)
                if array:
                    arrays[path] = arrays.get(path, -1) + 1
                    path += (arrays[path],)
                header = self._resolve(path, arrays)
                self._headers.append(_Header(header, line, at))
                continue
            parts, at = self._dotted(at)
            node, at = self._value(_skip(text, at + 1))
            self.entries.append(_Entry((*header, *parts), line, node, header))

    @staticmethod
    def _resolve(
        path: tuple[Any, ...], arrays: dict[tuple[Any, ...], int]
    ) -> tuple[Any, ...]:
        """A header's path with the current item of each array of tables
        above it: [[a]] then [a.b] is a.<last>.b."""
        out: tuple[Any, ...] = ()
        for part in path:
            out += (part,)
            if (
                isinstance(part, str)
                and out in arrays
                and len(out) < len(path)
                and not isinstance(path[len(out)], int)
            ):
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
            if closing == "}":
                parts, inner = self._dotted(inner)
                key = ".".join(parts)
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

    def _find(self, path: Path) -> tuple[Any, Any, int]:
        """Where `path` leads: the holder of its last segment, ("table",
        path) for a table or an array of tables, ("flow", node) for an
        inline table or array; the index of the last segment in an array or
        its key (None where it is missing); and how deep the walk got."""
        data: Any = self.tree
        prefix: tuple[Any, ...] = ()
        for depth, segment in enumerate(path):
            entry = self._entry(prefix) if prefix else None
            if entry is not None:
                return self._find_inline(entry.node, path, depth)
            segment = self._check(data, path, depth)
            last = depth == len(path) - 1
            if segment is None or (isinstance(segment, str) and segment not in data):
                return ("table", prefix), None, depth
            if last:
                return ("table", prefix), segment, depth
            prefix, data = (*prefix, segment), data[segment]
        raise AssertionError("an empty path")  # pragma: no cover

    def _find_inline(self, node: _Node, path: Path, depth: int) -> tuple[Any, Any, int]:
        """`_find` on from the value at `path[:depth]`, written in the line."""
        for index in range(depth, len(path)):
            segment = path[index]
            kind = "{" if isinstance(segment, str) else "["
            if node.flow is None or self.text[node.start] != kind:
                raise UserError(paths.blocked(self._data(path[:index]), path[:index]))
            members = node.flow.members
            if isinstance(segment, str):
                position = node.flow.find(segment)
            else:
                position = segment + len(members) if segment < 0 else segment
                position = position if 0 <= position < len(members) else None
            if index == len(path) - 1 or position is None:
                return ("flow", node), position, index
            node = members[position].value
        raise AssertionError("an empty path")  # pragma: no cover

    def _check(self, data: Any, path: Path, depth: int) -> Any:
        """`path[depth]` made fit to index `data`: a key of a table, or an
        item of an array of tables counted from 0; None past the end."""
        segment = path[depth]
        if not isinstance(data, list if isinstance(segment, int) else dict):
            raise UserError(paths.blocked(data, path[:depth]))
        if isinstance(segment, int):
            index = segment + len(data) if segment < 0 else segment
            return index if 0 <= index < len(data) else None
        return segment

    def _data(self, path: Path) -> Any:
        data: Any = self.tree
        for segment in path:
            data = data[segment]
        return data

    # --- changing -----------------------------------------------------------

    def parse(self, text: str) -> Value:
        stripped = text.strip()
        if stripped == "null":
            raise UserError("TOML has no null (--delete removes a key)")
        try:
            data = tomllib.loads(f"v = {stripped}")
        except tomllib.TOMLDecodeError:
            return Value(text, show(text))
        if list(data) != ["v"]:
            return Value(text, show(text))
        return Value(data["v"], show(data["v"]), stripped)

    def current(self, path: Path) -> Value | None:
        try:
            data = self._data(path)
        except (KeyError, TypeError, IndexError):
            return None
        return Value(data, show(data))

    def set(self, path: Path, value: Value, create: bool = False) -> list[Splice]:
        try:
            return self._set(path, value, create)
        except UserError as exc:
            raise UserError(f"cannot write {paths.show(path)!r}: {exc}") from None

    def _set(self, path: Path, value: Value, create: bool) -> list[Splice]:
        (where, holder), found, depth = self._find(path)
        rest, segment, text = path[depth + 1 :], path[depth], self.text
        if where == "flow":
            members = holder.flow.members
            if found is not None:
                return self._replace(members[found].value, value)
            if isinstance(segment, int):
                if rest or segment != len(members):
                    raise UserError(paths.missing(path[: depth + 1], len(members)))
                item = self._render(value, None)
                return flow.insert(text, holder.flow, item, "  ", _COMMENT)
            if rest and not create:
                raise UserError(paths.missing(path[: depth + 1]))
            new = self._render(value, None)
            for key in reversed(self._keys(rest, path, depth)):
                new = f"{{{show_key(key)} = {new}}}"
            member = f"{show_key(segment)} = {new}"
            return flow.insert(text, holder.flow, member, "  ", _COMMENT)
        whole = (*holder, segment)
        if found is not None and not rest:
            entry = self._entry(whole)
            if entry is None:
                raise UserError(f"{paths.show(path)!r} is a table: delete it first")
            return self._replace(entry.node, value)
        if isinstance(segment, int):
            count = len(self._data(list(holder)))
            if rest or segment != count:
                raise UserError(paths.missing(path[: depth + 1], count))
            return self._append_table(holder, count, value)
        if rest and not create:
            raise UserError(paths.missing(path[: depth + 1]))
        keys = [segment, *self._keys(rest, path, depth)]
        dotted = any(
            e.path[: len(holder)] == holder and len(e.header) < len(holder)
            for e in self.entries
        )
        if len(keys) > 1 and not dotted:  # a table with a header of its own
            return self._new_table(holder, keys[:-1], keys[-1], value)
        return self._insert(holder, keys, self._render(value, None))

    @staticmethod
    def _keys(rest: Path, path: Path, depth: int) -> list[str]:
        if any(isinstance(s, int) for s in rest):
            missing = paths.missing(path[: depth + 1])
            raise UserError(f"{missing}; --create makes tables, not lists")
        return [str(s) for s in rest]

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
            raise UserError("--create does not make tables inside an array of tables")
        under = [h for h in self.headers if h.path[: len(parent)] == parent]
        text = self.text
        where = self._section_end(under[-1]) if under else len(text.rstrip("\n"))
        name = ".".join(map(show_key, (*parent, *tables)))
        lead = "\n\n" if where else ""
        block = f"{lead}[{name}]\n{show_key(key)} = {self._render(value, None)}"
        return [Splice(where, where, block + ("" if where < len(text) else "\n"))]

    def _append_table(
        self, array: tuple[Any, ...], count: int, value: Value
    ) -> list[Splice]:
        """A new item of an array of tables: its header and keys after the
        last item's."""
        if not isinstance(value.data, dict):
            raise UserError("an item of an array of tables is a table: {key = value}")
        last = self._header((*array, count - 1))
        if last is None or any(isinstance(s, int) for s in array):
            raise UserError(
                f"{paths.show(list(array))!r} is not written as [[...]] headers"
            )
        under = [
            h for h in self.headers if h.path[: len(array) + 1] == (*array, count - 1)
        ]
        where = self._section_end(under[-1])
        parsed = tomllib.loads(f"v = {value.text}")["v"]
        lines = [f"{show_key(k)} = {show(v)}" for k, v in parsed.items()]
        name = ".".join(map(show_key, array))
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
            return [
                Splice(
                    first, first, member + "\n" + ("\n" if first < len(text) else "")
                )
            ]
        where = texts.line_end(text, last.node.end)
        return [
            Splice(where, where, "\n" + texts.indentation(text, last.line) + member)
        ]

    def delete(self, path: Path) -> list[Splice]:
        try:
            (where, holder), found, depth = self._find(path)
            if found is None or depth < len(path) - 1:
                count = len(holder.flow.members) if where == "flow" else None
                if (
                    count is None
                    and isinstance(path[-1], int)
                    and depth == len(path) - 1
                ):
                    count = len(self._data(list(holder)))
                raise UserError(paths.missing(path[: depth + 1], count))
        except UserError as exc:
            raise UserError(f"cannot delete {paths.show(path)!r}: {exc}") from None
        text = self.text
        if where == "flow":
            return flow.remove(text, holder.flow, found, _COMMENT)
        whole = (*holder, found)
        splices = []
        for entry in self.entries:
            if entry.path[: len(whole)] == whole and not any(
                h.path[: len(whole)] == whole and h.path == entry.header
                for h in self.headers
            ):
                end = texts.line_end(text, entry.node.end) + 1
                splices.append(Splice(entry.line, end, ""))
        for header in self.headers:
            if header.path[: len(whole)] == whole:
                end = self._section_end(header)
                splices.append(Splice(header.start, min(end + 1, len(text)), ""))
        return splices

    def _render(self, value: Value, old: _Node | None) -> str:
        data = value.data
        if not isinstance(data, str):
            return value.text
        written = self.text[old.start : old.end] if old else ""
        if written.startswith("'''") and "'''" not in data:
            return "'''" + ("\n" if written.startswith("'''\n") else "") + data + "'''"
        if written.startswith('"""'):
            inner = _basic(data, escapes="\\u" in written)[1:-1].replace("\\n", "\n")
            return '"""' + ("\n" if written.startswith('"""\n') else "") + inner + '"""'
        if written.startswith("'") and "'" not in data and data.isprintable():
            return f"'{data}'"
        return _basic(data, escapes="\\u" in written or "\\U" in written)
