"""TOML, read with the standard library's tomllib.

tomllib checks the text and gives the values; a scanner of this module's
finds where each key, value and table header is written, trusting the syntax
that tomllib has checked.  An edit is a splice of the text.
"""

from __future__ import annotations

import re
import tomllib

from props_to_tree._engine.document import written_float, written_int
from props_to_tree._engine.errors import DocumentError
from props_to_tree._formats.toml.scan import LIMIT, _Node, _too_deep
from props_to_tree._formats.toml.values import show, show_all
from props_to_tree._formats.toml.write import Writer

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


class Toml:
    name = "TOML"

    def load(self, text: str, written: bool = False) -> TomlDocument:
        """The document in `text`; where `written`, its numbers show as
        written (`0o755`, `1_000`, `1e5`)."""
        if _too_deep(text):
            raise DocumentError(f"nested too deeply: a key of {LIMIT:,} parts or more")
        try:
            tree = tomllib.loads(text, parse_float=written_float if written else float)
        except tomllib.TOMLDecodeError as exc:
            where = re.search(r"at line (\d+), column (\d+)", str(exc))
            line, column = map(int, where.groups()) if where else (None, None)
            raise DocumentError(f"not valid {self.name}: {exc}", line, column) from None
        document = TomlDocument(text, tree)
        if written and re.search(_ODD_INT, text):
            for entry in document.entries:
                holder: Any = tree
                for segment in entry.path[:-1]:
                    holder = holder[segment]
                _as_written(text, holder, entry.path[-1], entry.node)
        return document


# Where an integer may be written otherwise than Python shows it: in another
# base, with "_" between its digits, or with a "+".
_ODD_INT = r"0[xob]|[0-9]_[0-9]|\+[0-9]"


def _as_written(text: str, holder: Any, key: Any, node: _Node) -> None:
    """The integers of the value at `holder[key]`, written at `node`, made
    to show as they are written."""
    value = holder[key]
    if node.flow is None:
        if type(value) is int:
            holder[key] = written_int(text[node.start : node.end], value)
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


class TomlDocument(Writer):
    """A TOML document over its text: scanned, looked up, changed."""

    show = staticmethod(show)
    show_all = staticmethod(show_all)

    def reload(self, text: str) -> TomlDocument:
        return Toml().load(text)
