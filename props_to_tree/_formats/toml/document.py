"""A TOML document over its text: the tree tomllib's rules read, and where
its keys and values are written, scanned for an edit."""

from __future__ import annotations

import datetime

from props_to_tree._engine import document
from props_to_tree._engine.document import Value, written_float, written_int
from props_to_tree._engine.errors import DocumentError
from props_to_tree._formats.toml.values import (
    show,
    show_all,
    tomllib_tree,
    written_date,
)

# What a change needs (the scanner, the text's splices, re) is loaded where
# it is first needed: a listing and a --get read the text alone.

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Anchor
    from props_to_tree._engine.document import Format
    from props_to_tree._engine.paths import Path
    from props_to_tree._engine.text import Changed, Splice
    from props_to_tree._formats.toml.scan import Node, Parts


def load(format: Format, text: str, written: bool = False) -> TomlDocument:
    """The document in `text`; where `written`, its numbers and dates show
    as written (`0o755`, `1_000`, `1e5`, `1979-05-27 07:32:00Z`)."""
    from props_to_tree import _listing

    parse_float = written_float if written else float
    # Read natively, its dates and odd integers made as written as it reads
    # them; the native reading bounds its own depth.
    tree = _listing.toml_tree(text, parse_float, _written if written else None)
    if tree is not None:
        return TomlDocument(format, text, tree)
    from props_to_tree._formats.toml.scan import LIMIT, too_deep

    if too_deep(text):  # before tomllib, whose time grows with the parts
        raise DocumentError(f"nested too deeply: a key of {LIMIT:,} parts or more")
    tree = tomllib_tree(text, parse_float, format.title)
    found = TomlDocument(format, text, tree)
    import re

    if written and re.search(_ODD_INT + "|" + _DATE, text):
        for entry in found.parts.entries:
            holder: Any = tree
            for segment in entry.path[:-1]:
                holder = holder[segment]
            _as_written(text, holder, entry.path[-1], entry.node)
    return found


def _written(text: str, value: Any) -> Any:
    """An integer or a date, made to show as `text`."""
    if type(value) is int:
        return written_int(text, value)
    return written_date(text, value)


# Where an integer may be written otherwise than Python shows it: in another
# base, with "_" between its digits, with a "+", or as -0; and where a date
# or a time may be (`Z`, a space, a fraction that is not six digits).
_ODD_INT = r"0[xob]|[0-9]_[0-9]|\+[0-9]|-0(?![.0-9eE])"
_DATE = r"[0-9]{4}-[0-9]{2}-[0-9]{2}|[0-9]{2}:[0-9]{2}:[0-9]{2}"


def _as_written(text: str, holder: Any, key: Any, node: Node) -> None:
    """The integers and dates of the value at `holder[key]`, written at
    `node`, made to show as they are written."""
    value = holder[key]
    if node.flow is None:
        if type(value) is int:
            holder[key] = written_int(text[node.start : node.end], value)
        elif isinstance(value, datetime.date | datetime.time):
            holder[key] = written_date(text[node.start : node.end], value)
        return
    members = node.flow.members
    if isinstance(value, list):
        for index, member in enumerate(members):
            _as_written(text, value, index, member.value)
        return
    for member in members:  # an inline table, its keys dotted or not
        *parents, last = member.key
        inner = value
        for part in parents:
            inner = inner[part]
        _as_written(text, inner, last, member.value)


class TomlDocument(document.PlainTree):
    """A TOML document over its text: tomllib's tree, read; its parts,
    scanned when a change first needs them; its changes, worked out by the
    functions of the write module over both."""

    show = staticmethod(show)
    show_all = staticmethod(show_all)

    def __init__(self, format: Format, text: str, tree: dict[str, Any]) -> None:
        self.format, self.text, self.tree = format, text, tree
        self._parts: Parts | None = None

    @property
    def parts(self) -> Parts:
        if self._parts is None:
            from props_to_tree._formats.toml.scan import scan

            self._parts = scan(self.text, self.tree)
        return self._parts

    # --- converting ---------------------------------------------------------

    def export(self, tags: bool) -> Any:
        return load(self.format, self.text, True).tree

    def comments(self) -> list[tuple[int, int]]:
        if "#" not in self.text:
            return []
        import re

        from props_to_tree._formats.toml.scan import STRINGS_AND_COMMENTS

        found = re.compile(STRINGS_AND_COMMENTS).finditer(self.text)
        return [m.span() for m in found if m[0][0] == "#"]

    def anchors(self) -> list[Anchor]:
        from props_to_tree._engine.convert import Anchor

        parts, found = self.parts, [Anchor((), 0, len(self.text), table=True)]
        ends: dict[tuple[Any, ...], Anchor] = {}
        for header in parts.headers:
            ends[header.path] = anchor = Anchor(
                header.path, header.start, header.end, table=True
            )
            found.append(anchor)

        def walk(path: tuple[Any, ...], start: int, node: Any) -> None:
            members = node.flow
            close = members.close if members is not None else None
            found.append(Anchor(path, start, node.end, close=close))
            for number, member in enumerate(members.members if members else ()):
                key = (number,) if member.key is None else member.key
                walk((*path, *key), member.start, member.value)

        for entry in parts.entries:
            walk(entry.path, entry.line, entry.node)
            table = ends.get(entry.header)
            if table is not None:
                table.end = entry.node.end
        found.sort(key=lambda anchor: anchor.start)
        return found

    def parse(self, text: str) -> Value:
        from props_to_tree._formats.toml import write  # a listing needs none

        return write.parse(text)

    def value(self, data: Any) -> Value:
        from props_to_tree._formats.toml import write  # a listing needs none

        return write.value(data)

    def member(self, key: str, text: str) -> str:
        from props_to_tree._formats.toml import write  # a listing needs none

        return write.member(key, text)

    def reach(self, path: Path) -> tuple[int, int | None]:
        from props_to_tree._formats.toml import write  # a listing needs none

        return write.reach(self.text, self.parts, path)

    def replace(self, path: Path, value: Value) -> list[Splice]:
        from props_to_tree._formats.toml import write  # a listing needs none

        if (
            path
            and isinstance(value.data, dict)
            and write.table_written_apart(self.parts, path)
        ):
            # A table of a header or of dotted keys set to a table: it goes,
            # and the new one is written as a new table there is.
            gone = self.delete(path)
            from props_to_tree._engine import text as texts

            made: list[texts.Span] = []
            rest = self.reload(texts.apply(self.text, gone, made))
            # Where a header was, the new table's headers, if it takes any.
            headed = write.header_of(self.parts, path) is not None
            at = gone[0].start if headed else None
            added = rest.insert(path[:-1], [str(path[-1])], value, at)
            moved = _as_read(added, texts.track([], made))
            if moved is not None:  # the stretches between stay as they are
                return [*gone, *moved]
            return [texts.difference(self.text, texts.apply(rest.text, added))]
        return write.replace(self.text, self.parts, path, value)

    def append(
        self, path: Path, value: Value, before: int | None = None
    ) -> list[Splice]:
        from props_to_tree._formats.toml import write  # a listing needs none

        return write.append(self.text, self.parts, path, value, before)

    def insert(
        self, path: Path, keys: list[str], value: Value, at: int | None = None
    ) -> list[Splice]:
        from props_to_tree._formats.toml import write  # a listing needs none

        return write.insert(self.text, self.parts, path, keys, value, at)

    def delete(self, path: Path) -> list[Splice]:
        from props_to_tree._formats.toml import write  # a listing needs none

        return write.delete(self.text, self.parts, path)

    def reload(self, text: str) -> TomlDocument:
        return load(self.format, text)


def _as_read(splices: list[Splice], changed: list[Changed]) -> list[Splice] | None:
    """`splices` of a text that the splices `changed` says made, as splices
    of the text before them; None where one meets what those changed."""
    from props_to_tree._engine import text as texts

    out = []
    for splice in splices:
        if splice.gap is not None:
            return None  # a comment's column, as it is there
        for _, _, start, end in changed:
            if start <= splice.end and splice.start <= end:
                return None
        out.append(
            texts.Splice(
                texts.as_read(changed, splice.start),
                texts.as_read(changed, splice.end),
                splice.text,
            )
        )
    return out
