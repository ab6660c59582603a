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

from props_to_tree._command import flow
from props_to_tree._command import text as texts
from props_to_tree._command.edit import Value
from props_to_tree._command.errors import UserError
from props_to_tree._command.text import Splice
from props_to_tree._explain import missing, not_a_table

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

_BARE = re.compile(r"[A-Za-z0-9_-]+")
_KEY = re.compile(r"""[ \t]*([A-Za-z0-9_-]+|"(?:[^"\\\n]|\\.)*"|'[^'\n]*')[ \t]*""")
_VALUE = re.compile(
    r'"""(?:[^"\\]|\\.|"(?!""))*"{3,5}'
    r"|'''(?:[^']|'(?!''))*'{3,5}"
    r'|"(?:[^"\\\n]|\\.)*"'
    r"|'[^'\n]*'"
    r"|[0-9]{4}-[0-9]{2}-[0-9]{2}[Tt ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]+)?)?"
    r"(?:[Zz]|[+-][0-9]{2}:[0-9]{2})?"
    r"|[^\s,\]}#]+",
    re.DOTALL,
)
_SPACE = re.compile(r"(?:[ \t\r\n]+|#[^\n]*)*")
_GAP = re.compile(r"(?P<gap>[ \t]+)#")
_COMMENT = ("#",)


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
        self.entries: list[_Entry] = []
        self.headers: list[_Header] = []
        self._paths: dict[tuple[Any, ...], _Entry] | None = None
        self._scan()

    def reload(self, text: str) -> TomlDocument:
        return Toml().load(text)

    # --- scanning -----------------------------------------------------------

    def _dotted(self, at: int) -> tuple[list[str], int]:
        text, parts = self.text, []
        while True:
            found = _KEY.match(text, at)
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
            at = _SPACE.match(text, at).end()  # type: ignore[union-attr]
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
                self.headers.append(_Header(header, line, at))
                continue
            parts, at = self._dotted(at)
            node, at = self._value(_SPACE.match(text, at + 1).end())  # type: ignore[union-attr]
            self.entries.append(_Entry(header + tuple(parts), line, node, header))

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
            end = _VALUE.match(text, at).end()  # type: ignore[union-attr]
            return _Node(at, end, None), end
        closing, members = "]" if text[at] == "[" else "}", []
        inner = _SPACE.match(text, at + 1).end()  # type: ignore[union-attr]
        while text[inner] != closing:
            start, key = inner, None
            if closing == "}":
                parts, inner = self._dotted(inner)
                key = ".".join(parts)
                inner = _SPACE.match(text, inner + 1).end()  # type: ignore[union-attr]
            node, inner = self._value(inner)
            inner = _SPACE.match(text, inner).end()  # type: ignore[union-attr]
            comma = None
            if text[inner] == ",":
                comma, inner = inner, _SPACE.match(text, inner + 1).end()  # type: ignore[union-attr]
            members.append(flow.Member(key, start, node.end, comma, node))
        return _Node(at, inner + 1, flow.Flow(at, inner, members)), inner + 1

    # --- finding ------------------------------------------------------------

    def _entry(self, path: tuple[str, ...]) -> _Entry | None:
        if self._paths is None:
            self._paths = {entry.path: entry for entry in self.entries}
        return self._paths.get(path)

    def _find(self, path: list[str]) -> tuple[Any, Any]:
        """What holds the last key of `path`: ("table", path) for a table,
        ("inline", node) for an inline table; and the value's node, if it
        is there."""
        whole = tuple(path)
        for depth in range(len(path) - 1, 0, -1):
            entry = self._entry(whole[:depth])
            if entry is None:
                continue
            node = entry.node
            for index, key in enumerate(path[depth:], depth):
                if node.flow is None or self.text[node.start] != "{":
                    raise UserError(not_a_table(path[:index], self._data(path[:index])))
                members = node.flow.members
                found = next((m for m in reversed(members) if m.key == key), None)
                if index == len(path) - 1:
                    return ("inline", node), found.value if found else None
                if found is None:
                    raise UserError(missing(path[: index + 1]))
                node = found.value
        entry = self._entry(whole)
        if len(path) > 1 and not self._is_table(whole[:-1]):
            raise UserError(missing(list(self._deepest(whole[:-1]))))
        return ("table", whole[:-1]), entry.node if entry else None

    def _data(self, path: list[str]) -> Any:
        data: Any = self.tree
        for key in path:
            data = data[key]
        return data

    def _is_table(self, path: tuple[str, ...]) -> bool:
        try:
            return isinstance(self._data(list(path)), dict)
        except (KeyError, TypeError):
            return False

    def _deepest(self, path: tuple[str, ...]) -> tuple[str, ...]:
        data: Any = self.tree
        for depth, key in enumerate(path):
            if not isinstance(data, dict):
                raise UserError(not_a_table(list(path[:depth]), data))
            if key not in data:
                return path[: depth + 1]
            data = data[key]
        return path

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

    def current(self, path: list[str]) -> Value | None:
        try:
            data = self._data(path)
        except (KeyError, TypeError):
            return None
        return Value(data, show(data))

    def set(self, path: list[str], value: Value) -> list[Splice]:
        try:
            (where, holder), node = self._find(path)
        except UserError as exc:
            raise UserError(f"cannot write {'.'.join(path)!r}: {exc}") from None
        text = self.text
        if node is not None:
            new = self._render(value, node)
            return [
                Splice(
                    node.start, node.end, new, texts.comment_gap(text, node.end, _GAP)
                )
            ]
        if where == "table" and self._is_table(tuple(path)):
            raise UserError(
                f"cannot write {'.'.join(path)!r}: it is a table; delete it first"
            )
        new = self._render(value, None)
        if where == "inline":
            member = f"{show_key(path[-1])} = {new}"
            return flow.insert(text, holder.flow, member, "  ", _COMMENT)
        return self._insert(holder, path[-1], new)

    def _insert(self, table: tuple[str, ...], key: str, value: str) -> list[Splice]:
        """A new `key = value` line after the last line of `table`'s own:
        under its header, or beside the dotted keys that make it, or as a
        dotted key at the top for a table made by its sub-tables' headers."""
        text = self.text
        header = next((h for h in reversed(self.headers) if h.path == table), None)
        if header is not None:
            own = [e for e in self.entries if e.header == table]
            if not own:
                return [Splice(header.end, header.end, f"\n{show_key(key)} = {value}")]
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
        member = ".".join(map(show_key, (*table[len(above) :], key))) + " = " + value
        if last is None:
            return [Splice(0, 0, member + "\n")]
        where = texts.line_end(text, last.node.end)
        return [
            Splice(where, where, "\n" + texts.indentation(text, last.line) + member)
        ]

    def delete(self, path: list[str]) -> list[Splice]:
        try:
            (where, holder), node = self._find(path)
            if node is None and not self._is_table(tuple(path)):
                raise UserError(missing(path))
        except UserError as exc:
            raise UserError(f"cannot delete {'.'.join(path)!r}: {exc}") from None
        text = self.text
        if where == "inline":
            index = next(
                i for i, m in enumerate(holder.flow.members) if m.value is node
            )
            return flow.remove(text, holder.flow, index, _COMMENT)
        whole = tuple(path)
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
                own = [e for e in self.entries if e.header == header.path]
                end = texts.line_end(text, own[-1].node.end) if own else header.end
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
