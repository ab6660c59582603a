"""TOML, read with the standard library's tomllib.

tomllib checks the text and gives the values; a scanner of this module's
finds where each key, value and table header is written, trusting the syntax
that tomllib has checked.  An edit is a splice of the text.
"""

from __future__ import annotations

import re
import tomllib

from props_to_tree._command.errors import DocumentError
from props_to_tree._command.toml_scan import LIMIT, _too_deep
from props_to_tree._command.toml_values import show, show_all
from props_to_tree._command.toml_write import Writer


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


class TomlDocument(Writer):
    """A TOML document over its text: scanned, looked up, changed."""

    show = staticmethod(show)
    show_all = staticmethod(show_all)

    def reload(self, text: str) -> TomlDocument:
        return Toml().load(text)
