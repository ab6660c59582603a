"""JSON, and JSON with comments and trailing commas (JSONC: tsconfig.json,
devcontainer.json, editors' settings).

A listing reads the text with the standard library's C decoder.  An edit
finds its place by scanning the objects and arrays on its path, and skips
every other value with that same decoder, so that it costs about one parse.
JSONC is read through a copy of its text in which comments and trailing
commas are blanked out, character for character, so that every offset in the
copy is the same offset in the file.
"""

from __future__ import annotations

from props_to_tree._engine.document import Format

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Exported
    from props_to_tree._formats.json.document import JsonDocument


def _json(text: str, written: bool = False) -> JsonDocument:
    from props_to_tree._formats.json import document

    return document.load(FORMAT, text, written)


def _jsonc(text: str, written: bool = False) -> JsonDocument:
    from props_to_tree._formats.json import document

    return document.load(JSONC, text, written, comments=True)


def _emit(data: Any) -> str:
    from props_to_tree._formats.json import document

    return document.emit(data)


def _write_json(made: Exported) -> str:
    from props_to_tree._formats.json import convert

    return convert.write_json(made)


def _write_jsonc(made: Exported) -> str:
    from props_to_tree._formats.json import convert

    return convert.write_jsonc(made)


# Both take comments: JSON that holds them is read as JSONC is.
FORMAT = Format(
    "json",
    "JSON",
    load=_json,
    suffixes=(".json",),
    comment=("//", "/*"),
    native="json",
    emit=_emit,
    write=_write_json,
)
JSONC = Format(
    "jsonc",
    "JSONC",
    load=_jsonc,
    suffixes=(".jsonc",),
    comment=("//", "/*"),
    native="json",
    emit=_emit,
    write=_write_jsonc,
    carries=True,
)
