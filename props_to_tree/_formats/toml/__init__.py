"""TOML, read by the rules of the standard library's tomllib.

The native module reads the text as tomllib does and gives the same values
(tomllib itself reads what it leaves, and words why a text does not read); a
scanner of this package's finds where each key, value and table header is
written, trusting the syntax that reading has checked.  An edit is a splice
of the text.
"""

from __future__ import annotations

from props_to_tree._engine.document import Format

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Exported
    from props_to_tree._formats.toml.document import TomlDocument


def _load(text: str, written: bool = False) -> TomlDocument:
    from props_to_tree._formats.toml import document

    return document.load(FORMAT, text, written)


def _emit(data: Any) -> str:
    from props_to_tree._formats.toml import write

    return write.emit(data)


def _write(made: Exported) -> str:
    from props_to_tree._formats.toml import convert

    return convert.write(made)


FORMAT = Format(
    "toml",
    "TOML",
    load=_load,
    suffixes=(".toml",),
    names=("Cargo.lock", "Pipfile", "poetry.lock", "uv.lock"),
    comment=("#",),
    native="toml",
    emit=_emit,
    write=_write,
    carries=True,
)
