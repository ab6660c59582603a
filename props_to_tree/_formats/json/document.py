"""A JSON or JSONC document over its text: read, looked up, changed."""

from __future__ import annotations

import itertools
import json
import json.scanner
import operator
import re

from props_to_tree._engine import document, flow, paths
from props_to_tree._engine import text as texts
from props_to_tree._engine.document import Value, item_index
from props_to_tree._engine.document import collection as _collection
from props_to_tree._engine.errors import DocumentError, EditError, PathError
from props_to_tree._engine.text import Splice

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

    from props_to_tree._engine.convert import Anchor
    from props_to_tree._engine.document import Format
    from props_to_tree._engine.paths import Path

_DECODER = json.JSONDecoder()
_SCAN = json.scanner.make_scanner(_DECODER)  # type: ignore[arg-type]
_SCAN_STRING = json.decoder.scanstring  # type: ignore[attr-defined]
_WHITE = " \t\n\r"  # JSON's white space, and no other
_SPACE = re.compile(r"[ \t\n\r]*")
_SPACE_OR_COMMENTS = re.compile(r"(?:[ \t\n\r]+|//[^\n]*|/\*.*?\*/)*", re.DOTALL)


def _space(text: str, at: int) -> int:
    """Where the white space from `at` ends."""
    return _SPACE.match(text, at).end()  # type: ignore[union-attr]


_ENCODER = json.JSONEncoder(ensure_ascii=False)
_ENCODE_STR = json.encoder.encode_basestring
# The C encoder that json.dumps builds afresh on every call, built once: a
# listing calls it for each list among the leaves.
_C_ENCODER = getattr(json.encoder, "c_make_encoder", None)
if _C_ENCODER is not None:
    _C_ENCODER = _C_ENCODER(
        None, _ENCODER.default, _ENCODE_STR, None, ": ", ", ", False, False, True
    )


def _encode(value: Any) -> str:
    if _C_ENCODER is None:
        return _ENCODER.encode(value)
    return "".join(_C_ENCODER(value, 0))


_SIMPLE: dict[type, Callable[[Any], str]] = {
    # The listing shows every leaf: the common types skip the encoder.
    str: _ENCODE_STR,
    int: int.__repr__,
    bool: {True: "true", False: "false"}.__getitem__,
    type(None): lambda _: "null",
    document.WrittenFloat: operator.attrgetter("text"),
    document.WrittenInt: operator.attrgetter("text"),
}


def _written_int(text: str) -> int:
    return document.written_int(text, int(text))


def show(value: Any) -> str:
    return _SIMPLE.get(type(value), _encode)(value)


def show_all(values: list[Any]) -> list[str]:
    # A listing shows every leaf: keep the loop in C.
    shows = map(_SIMPLE.get, map(type, values), itertools.repeat(_encode))
    return list(map(operator.call, shows, values))


# Strings are matched so that what looks like a comment inside one is not one.
_COMMENTS = re.compile(r'"(?:[^"\\\n]|\\.)*"|//[^\n]*|/\*.*?\*/', re.DOTALL)
# A trailing comma follows a member: a string, or the last character of any
# other value; a comma after "[", "{" or another comma stays, and is an error.
_TRAILING_COMMAS = re.compile(
    r'"(?:[^"\\\n]|\\.)*"(?:[ \t\r\n]*(,)(?=[ \t\r\n]*[}\]]))?'
    r'|[^ \t\r\n\[{,"][ \t\r\n]*(,)(?=[ \t\r\n]*[}\]])'
)
_NOT_A_BREAK = re.compile(r"[^\n\r]")


def _blanked(text: str) -> str:
    """`text` with comments and trailing commas turned into spaces."""

    def blank(match: re.Match[str]) -> str:
        found = match.group()
        return found if found[0] == '"' else _NOT_A_BREAK.sub(" ", found)

    def uncomma(match: re.Match[str]) -> str:
        comma = match.start(1) if match.start(1) >= 0 else match.start(2)
        if comma < 0:
            return match.group()
        at = comma - match.start()
        found = match.group()
        return found[:at] + " " + found[at + 1 :]

    return _TRAILING_COMMAS.sub(uncomma, _COMMENTS.sub(blank, text))


def load(
    format: Format, text: str, written: bool = False, comments: bool = False
) -> JsonDocument:
    """The document in `text`, read first as JSON unless it is expected to
    hold `comments`; JSON with comments or trailing commas is taken as
    JSONC.  Nothing but white space (and comments) is an empty
    document, which lists nothing and takes a first key.  Where `written`,
    its numbers show as written."""
    hooks: dict[str, Any] = {}
    if written:
        hooks["parse_float"] = document.written_float
        if "-0" in text:  # the one integer that Python shows otherwise
            hooks["parse_int"] = _written_int
    if not comments:
        try:
            return JsonDocument(format, text, text, json.loads(text, **hooks))
        except ValueError:
            pass  # perhaps comments: blanked, the text may read
    blank = _blanked(text)
    try:
        data = json.loads(blank, **hooks)
    except json.JSONDecodeError as exc:
        if not blank.strip(_WHITE):
            return JsonDocument(format, text, blank, {}, empty=True)
        where = f"line {exc.lineno}, column {exc.colno}"
        problem = exc.msg
        if blank.startswith(",", exc.pos):
            problem = "a comma with no member before it"
        raise DocumentError(
            f"not valid {format.title}: {problem} ({where})", exc.lineno, exc.colno
        ) from None
    return JsonDocument(format, text, blank, data)


class _Node:
    """A value in the text: text[start:end], and what it reads as."""

    __slots__ = ("end", "start", "value")

    def __init__(self, start: int, end: int, value: Any) -> None:
        self.start, self.end, self.value = start, end, value


class JsonDocument(document.PlainTree):
    show = staticmethod(show)
    show_all = staticmethod(show_all)

    def __init__(
        self, format: Format, text: str, blank: str, data: Any, empty: bool = False
    ) -> None:
        self.format = format
        self.text = text
        self._blank = blank
        self.tree = data
        self._empty = empty  # no value at all: white space and comments
        self._flows: dict[int, flow.Flow] = {}
        self._top: _Node | None = None

    def reload(self, text: str) -> JsonDocument:
        return load(self.format, text, comments=self._blank is not self.text)

    # --- reading ------------------------------------------------------------

    def _value(self, start: int) -> _Node:
        value, end = _SCAN(self._blank, start)
        return _Node(start, end, value)

    def _flow(self, node: _Node) -> flow.Flow:
        """The members of the object or array at `node`, scanned once."""
        found = self._flows.get(node.start)
        if found is not None:
            return found
        blank, closing = self._blank, "}" if isinstance(node.value, dict) else "]"
        at = _space(blank, node.start + 1)
        members = []
        while blank[at] != closing:
            key, start = None, at
            if closing == "}":
                key, at = _SCAN_STRING(blank, at + 1)
                at = _space(blank, _space(blank, at) + 1)  # past the colon
            value = self._value(at)
            at = _space(blank, value.end)
            comma = None
            if blank[at] == ",":
                comma, at = at, _space(blank, at + 1)
            elif blank is not self.text:  # a trailing comma is blanked out
                after = _SPACE_OR_COMMENTS.match(self.text, value.end).end()  # type: ignore[union-attr]
                comma = after if self.text[after] == "," else None
            members.append(flow.Member(key, start, value.end, comma, value))
        found = self._flows[node.start] = flow.Flow(node.start, at, members)
        return found

    def _root(self) -> _Node:
        if self._top is None:
            self._top = self._value(_space(self._blank, 0))
        return self._top

    def _find(self, path: Path) -> tuple[_Node, flow.Flow, int | None, int]:
        """The object or array that holds the last segment of `path`, the
        index of that member (None where there is none), and how deep the
        walk got: short of the end where a table on the way is missing."""
        node = self._root()
        for depth, segment in enumerate(path):
            if not isinstance(node.value, list if isinstance(segment, int) else dict):
                raise PathError(paths.blocked(node.value, path, depth))
            found = self._flow(node)
            if isinstance(segment, str):
                index = found.find(segment)
            else:
                index = item_index(segment, len(found.members))
            if depth == len(path) - 1 or index is None:
                return node, found, index, depth
            node = found.members[index].value
        raise AssertionError("an empty path")  # pragma: no cover

    # --- converting ---------------------------------------------------------

    def export(self, tags: bool) -> Any:
        if self._empty:
            return {}
        return json.loads(self._blank, parse_float=document.written_float)

    def comments(self) -> list[tuple[int, int]]:
        if self._blank is self.text:
            return []
        return [m.span() for m in _COMMENTS.finditer(self.text) if m[0][0] == "/"]

    def anchors(self) -> list[Anchor]:
        from props_to_tree._engine.convert import Anchor

        if self._empty:
            return []
        found: list[Anchor] = []

        def walk(node: _Node, path: tuple[Any, ...], start: int) -> None:
            if not isinstance(node.value, dict | list):
                found.append(Anchor(path, start, node.end))
                return
            members = self._flow(node)
            found.append(Anchor(path, start, node.end, close=members.close))
            for number, member in enumerate(members.members):
                key = number if member.key is None else member.key
                walk(member.value, (*path, key), member.start)

        root = self._root()
        walk(root, (), root.start)
        return found

    # --- changing -----------------------------------------------------------

    def parse(self, text: str) -> Value:
        """A VALUE: exactly one JSON value; other text is a string."""
        constants: list[str] = []

        def constant(name: str) -> float:
            constants.append(name)
            return float(name)

        try:
            data = json.loads(
                text,
                parse_constant=constant,
                parse_float=document.written_float,
                parse_int=_written_int,
            )
        except ValueError:
            return Value(text, show(text))
        refused = None
        if constants:
            refused = (
                f"{constants[0]} is not JSON; write '\"{constants[0]}\"' for a string"
            )
        return Value(
            data, show(data), text, collection=_collection(data), refused=refused
        )

    def value(self, data: Any) -> Value:
        """A VALUE made of Python data."""
        data = document.plain(data, "JSON", nulls=True, dates=False)
        if isinstance(data, str):
            return Value(data, show(data))
        try:
            text = json.dumps(data, ensure_ascii=False, allow_nan=False)
        except ValueError:
            raise ValueError("JSON has no NaN or infinity") from None
        return self.parse(_lone_escaped(text))

    def member(self, key: str, text: str) -> str:
        return _string(key, escapes=False) + ": " + text

    def current(self, path: Path) -> Value | None:
        return None if self._empty and not path else super().current(path)

    def reach(self, path: Path) -> tuple[int, int | None]:
        """How many segments of `path` are there, and how many members the
        object or array holding the first missing one has."""
        if self._empty:
            return 0, 0
        _, found, index, depth = self._find(path)
        return (depth + 1 if index is not None else depth), len(found.members)

    def replace(self, path: Path, value: Value) -> list[Splice]:
        if self._empty:  # the document's first value
            return self._first([], value)
        if not path:  # the whole document
            root = self._root()
            new = self._render(value, root, self._block(root, ""))
            return [Splice(root.start, root.end, new)]
        _, found, index, _ = self._find(path)
        assert index is not None, "replaced where it is"
        old: _Node = found.members[index].value
        several = not texts.one_line(self.text, found.open, found.close)
        indent = texts.indentation(self.text, old.start) if several else None
        new = self._render(
            value, old, self._block(old, indent), self._colon(found.members)
        )
        gap = texts.comment_gap(self.text, old.end, self.format.comment)
        return [Splice(old.start, old.end, new, gap)]

    def append(
        self, path: Path, value: Value, before: int | None = None
    ) -> list[Splice]:
        item = value.text or _string(value.data, escapes=False)
        if self._empty and not path:  # a document of nothing: a list of one
            return self._first([], self.parse(f"[{item}]"))
        if self._empty:
            raise PathError(paths.missing([*path, 0], 0))
        node = self._container(path)
        placeholder = self._placeholder(path, node, f"[{item}]")
        return placeholder or self._insert(node, self._flow(node), None, value, before)

    def insert(self, path: Path, keys: list[str], value: Value) -> list[Splice]:
        if self._empty:
            return self._first(keys, value)
        node = self._container(path)
        if node.value is None:  # a null made a table (--create)
            return self._into_null(path, node, keys, value)
        new = value.text or _string(value.data, escapes=False)
        for key in reversed(keys):
            new = "{" + self.member(str(key), new) + "}"
        placeholder = self._placeholder(path, node, new)
        return placeholder or self._insert(node, self._flow(node), keys, value)  # type: ignore[arg-type]

    def _into_null(
        self, path: Path, node: _Node, keys: list[str], value: Value
    ) -> list[Splice]:
        """The null at `path` made an object of `keys`, laid out as the
        object or array that holds it is (a document that is null as a new
        one is)."""
        unit = self._unit()
        if not path:
            new = self._render(value, None, unit * len(keys))
            nested = self._nested(keys, new, "", True, ": ")
            return [Splice(node.start, node.end, nested)]
        holder = self._root() if len(path) == 1 else self._container(path[:-1])
        members = self._flow(holder).members
        several = not texts.one_line(self.text, holder.start, holder.end)
        indent = texts.indentation(self.text, node.start)
        colon = self._colon(members)
        inner = indent + unit * len(keys) if several else None
        new = self._render(value, None, inner, colon)
        nested = self._nested(keys, new, indent, several, colon)
        return [Splice(node.start, node.end, nested)]

    def _placeholder(self, path: Path, node: _Node, new: str) -> list[Splice] | None:
        """The splice that puts `new`, an object or array of the one member
        to add, in place of `node`, an empty `{}` or `[]` written on one line
        in an object or array on lines of its own, as a collection new there
        is written; None where `node` is no such placeholder."""
        text = self.text
        if not path or node.value or not texts.one_line(text, node.start, node.end):
            return None
        holder = self._root() if len(path) == 1 else self._container(path[:-1])
        if texts.one_line(text, holder.start, holder.end):
            return None
        members = self._flow(holder).members
        indent = texts.indentation(text, node.start)
        written = self._render(self.parse(new), node, indent, self._colon(members))
        return [Splice(node.start, node.end, written)]

    def _colon(self, members: list[flow.Member]) -> str:
        """What stands between a key and its value, as the members write it."""
        if not members or members[-1].key is None:
            return ": "
        last = members[-1]
        key_end = _SCAN_STRING(self._blank, last.start + 1)[1]
        colon = self.text[key_end : last.value.start]
        if not texts.one_line(colon, 0, len(colon)) or "/" in colon:
            return ": "
        return colon

    def _nested(
        self, keys: list[str], new: str, indent: str, several: bool, colon: str
    ) -> str:
        """Objects of `keys`, one in another, around the value `new`: on lines
        of their own, a step deeper than `indent` each, where `several`."""
        unit = self._unit()
        for depth, key in enumerate(reversed(keys)):
            inner = indent + unit * (len(keys) - depth)
            member = _string(str(key), escapes=False) + colon + new
            new = (
                "{\n" + inner + member + "\n" + inner[: -len(unit)] + "}"
                if several
                else "{" + member + "}"
            )
        return new

    def _container(self, path: Path) -> _Node:
        """The object or array at `path`, which is there."""
        if not path:
            return self._root()
        _, found, index, _ = self._find(path)
        assert index is not None, "a container that is there"
        node: _Node = found.members[index].value
        return node

    def _insert(
        self,
        node: _Node,
        found: flow.Flow,
        keys: Path | None,
        value: Value,
        before: int | None = None,
    ) -> list[Splice]:
        """A new member of `found`: an item, or `keys` with tables made for
        all but the last."""
        text, members, unit = self.text, found.members, self._unit()
        several = not texts.one_line(text, found.open, found.close)
        # The new member's line: the last one's indentation, or a step in.
        indent = (
            texts.indentation(text, members[-1].start)
            if members
            else texts.indentation(text, node.start) + unit
        )
        colon = self._colon(members) if keys is not None else ": "
        if keys is None:
            new = self._render(value, None, indent if several else None, colon)
            return flow.insert(text, found, new, unit, self.format.comment, before)
        inner = indent + unit * (len(keys) - 1) if several else None
        new = self._render(value, None, inner, colon)
        new = self._nested([str(key) for key in keys[1:]], new, indent, several, colon)
        member = _string(str(keys[0]), escapes=False) + colon + new
        return flow.insert(text, found, member, unit, self.format.comment)

    def _first(self, path: list[str], value: Value) -> list[Splice]:
        """A document's first value, in a file of white space or comments:
        an object in two-space indentation, and a final line break."""
        new = self._render(value, None, "  " * len(path))
        for depth in reversed(range(len(path))):
            indent = "  " * depth
            key = _string(str(path[depth]), escapes=False)
            new = "{\n" + indent + "  " + key + ": " + new + "\n" + indent + "}"
        text = self.text
        if not text.strip(_WHITE):
            return [Splice(0, len(text), new + "\n")]
        lead = "" if text.endswith("\n") else "\n"
        return [Splice(len(text), len(text), lead + new + "\n")]

    def delete(self, path: Path) -> list[Splice]:
        if self._empty:
            raise PathError(
                f"cannot delete {paths.show(path)!r}: the document is empty"
            )
        try:
            _, found, index, depth = self._find(path)
            if index is None or depth < len(path) - 1:
                raise PathError(paths.missing(path[: depth + 1], len(found.members)))
        except EditError as exc:
            raise exc.prefixed(f"cannot delete {paths.show(path)!r}: ") from None
        splices = flow.remove(self.text, found, index, self.format.comment)
        key = path[-1]
        if sum(member.key == key for member in found.members) < 2:
            return splices
        # A key written twice: readers take the last, and with it gone they
        # would take the one before.  Every one goes.
        rest = self.reload(texts.apply(self.text, splices))
        after = texts.apply(rest.text, rest.delete(path))
        return [texts.difference(self.text, after)]

    def _block(self, old: _Node, indent: str | None) -> str | None:
        """Where a collection replacing `old` is written in block style, at
        `indent` (None: in flow style): in a place on lines of its own, but
        for a collection of members written on one line, which stays so;
        where `old` is on lines of its own, always."""
        text = self.text
        if not texts.one_line(text, old.start, old.end):
            return texts.indentation(text, old.start)
        if isinstance(old.value, dict | list) and old.value:
            return None
        return indent

    def _render(
        self, value: Value, old: _Node | None, indent: str | None, colon: str = ": "
    ) -> str:
        """A new value, to stand where `old` is (None: a new member): a
        collection in block style at `indent`, as a person lays it out
        there, or where `indent` is None as it was typed, else on one line;
        a string escaped as the one it replaces."""
        data, text = value.data, self.text
        if isinstance(data, str):
            escapes = old is not None and "\\u" in text[old.start : old.end]
            return _string(data, escapes=escapes)
        if not isinstance(data, dict | list):
            return value.text
        if indent is not None and data:
            return emit(data, indent, self._unit(), colon)
        if value.text and texts.one_line(value.text, 0, len(value.text)):
            return value.text
        return json.dumps(data, ensure_ascii=False)

    def _unit(self) -> str:
        """The file's step of indentation."""
        found = re.search(r"^([ \t]+)\S", self.text, re.MULTILINE)
        return found.group(1) if found else "  "


def emit(data: Any, indent: str = "", unit: str = "  ", colon: str = ": ") -> str:
    """`data`, a tree of Python data, written whole as JSON.stringify(data,
    null, unit) lays it out: a member or item a line, `unit` deeper than
    the collection; each line after the first led by `indent`, each key
    parted from its value by `colon`.  A number read as written stays so
    (a VALUE's `1.10`); an empty collection is `{}` or `[]`."""
    if not isinstance(data, dict | list) or not data:
        return _scalar(data)
    inner = indent + unit
    if isinstance(data, dict):
        lines = [
            inner
            + _string(str(key), escapes=False)
            + colon
            + emit(v, inner, unit, colon)
            for key, v in data.items()
        ]
        return "{\n" + ",\n".join(lines) + "\n" + indent + "}"
    lines = [inner + emit(item, inner, unit, colon) for item in data]
    return "[\n" + ",\n".join(lines) + "\n" + indent + "]"


def _scalar(data: Any) -> str:
    if isinstance(data, str):
        return _string(data, escapes=False)
    if isinstance(data, document.WrittenFloat | document.WrittenInt):
        return data.text
    return json.dumps(data, allow_nan=False)  # {} and [] too


_SURROGATE = re.compile("[\ud800-\udfff]")


def _string(data: str, *, escapes: bool) -> str:
    return _lone_escaped(json.dumps(data, ensure_ascii=escapes))


def _lone_escaped(written: str) -> str:
    """JSON text with each lone surrogate, which a JSON escape can make and
    no file can hold, written as an escape again."""
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", written)
