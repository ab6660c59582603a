"""A whole JSON document written from another format's data, as
JSON.stringify(data, null, 2) lays it out; JSONC's with each comment beside
what it describes.  Dates are ISO strings; what JSON has no syntax for (a
custom tag, infinity, a time with no date) is refused by its path."""

from __future__ import annotations

import datetime
import json
import math
import re

from props_to_tree._engine.convert import Tagged, number, refused, tag_refused
from props_to_tree._engine.errors import ConvertError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Exported, Notes

    Path = tuple[Any, ...]

# Numbers as written that are JSON's syntax.
_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?")
_STRING = json.encoder.encode_basestring
_SURROGATE = re.compile("[\ud800-\udfff]")


def write_json(made: Exported) -> str:
    try:
        return _value(made.data, (), "", None) + "\n"
    except ConvertError:  # found again, its path followed: the error names it
        return _value(made.data, (), "", {}) + "\n"


def write_jsonc(made: Exported) -> str:
    notes = made.notes or None
    head = "".join(_comment(line, "") + "\n" for line in made.head)
    try:
        text = _value(made.data, (), "", notes)
    except ConvertError:
        if notes is not None:
            raise
        text = _value(made.data, (), "", {})  # found again, its path followed
    top = made.notes.get(())
    if top is not None and top.end and not _open(made.data):
        text += "".join("\n" + _comment(line, "") for line in top.end)
    return head + text + "\n"


def _open(data: Any) -> bool:
    """Whether `data` is written with brackets on lines of their own."""
    return (type(data) is dict or type(data) is list) and bool(data)


def _comment(line: str | None, indent: str) -> str:
    return "" if line is None else indent + "//" + line


def _string(text: str) -> str:
    written: str = _STRING(text)
    if _SURROGATE.search(written):  # as an escape: no file holds one raw
        written = _SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", written)
    return written


def _value(data: Any, path: Path, indent: str, notes: dict[Path, Notes] | None) -> str:
    kind = type(data)
    if kind is str:
        return _string(data)
    if kind is dict or kind is list:
        if not data:
            return "{}" if kind is dict else "[]"
        inner = indent + "  "
        if notes is None:
            if kind is dict:
                lines = [
                    inner + _string(key) + ": " + _value(item, path, inner, None)
                    for key, item in data.items()
                ]
            else:
                lines = [inner + _value(item, path, inner, None) for item in data]
            opening, closing = ("{", "}") if kind is dict else ("[", "]")
            return opening + "\n" + ",\n".join(lines) + "\n" + indent + closing
        return _commented(data, path, indent, notes)
    if kind is bool:
        return "true" if data else "false"
    if data is None:
        return "null"
    if isinstance(data, float) and (math.isinf(data) or math.isnan(data)):
        raise refused(path, f"{float.__repr__(data)}", "JSON")
    if isinstance(data, int | float):
        return number(data, _NUMBER)
    if isinstance(data, datetime.date | datetime.time):
        return '"' + data.isoformat() + '"'
    if kind is Tagged:
        raise tag_refused(path, data.tag, "JSON")
    raise refused(path, f"a {kind.__name__}", "JSON")


def _commented(data: Any, path: Path, indent: str, notes: dict[Path, Notes]) -> str:
    """A collection with the comments of its members: above each, after
    its comma, and before its closing bracket."""
    inner = indent + "  "
    own = notes.get(path)
    is_dict = type(data) is dict
    pairs = list(data.items() if is_dict else enumerate(data))
    opening = "{" if is_dict else "["
    if own is not None and own.after:
        opening += " //" + own.after
    lines = [opening]
    for index, (key, item) in enumerate(pairs):
        here = (*path, key)
        note = notes.get(here)
        if note is not None:
            above = (
                note.above[1:]
                if index == 0 and note.above[:1] == [None]
                else note.above
            )
            lines += [_comment(line, inner) for line in above]
        written = inner + (_string(key) + ": " if is_dict else "")
        written += _value(item, here, inner, notes)
        if index < len(pairs) - 1:
            written += ","
        if note is not None and note.after and not _open(item):
            written += " //" + note.after
        if note is not None and note.end and not _open(item):
            written += "".join("\n" + _comment(line, inner) for line in note.end)
        lines.append(written)
    if own is not None:
        lines += [_comment(line, inner) for line in own.end]
    lines.append(indent + ("}" if is_dict else "]"))
    return "\n".join(lines)
