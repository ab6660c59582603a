"""A whole YAML document written from another format's data, in block style
as a person writes it: two spaces a level, a list's dashes a step in, a
table in a list compact (`- name: x`), strings plain where every reader
takes them for strings, several lines as a literal block (`|`), and each
comment beside what it describes."""

from __future__ import annotations

import datetime
import math
import re

from props_to_tree._engine.convert import Tagged, number
from props_to_tree._formats.yaml.values import write_string

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Exported, Notes

    Path = tuple[Any, ...]

# Numbers as written that YAML 1.1 and 1.2 readers alike read as the same.
_FLOAT = re.compile(r"-?[0-9]+\.[0-9]+(?:[eE][-+][0-9]+)?")
_INT = re.compile(r"[-+]?(?:0|[1-9][0-9]*)|0x[0-9a-fA-F]+")


def write(made: Exported) -> str:
    out: list[str] = ["" if line is None else "#" + line for line in made.head]
    if out:
        out.append("")
    notes = made.notes or None
    top = notes.get(()) if notes else None
    if top is not None and top.after:
        out.append("#" + top.after)
    data = made.data
    if type(data) is Tagged and isinstance(data.value, dict | list) and data.value:
        out.append(data.tag)
        data = data.value
    if isinstance(data, dict | list) and data:
        _block(out, data, (), "", notes, {})
    elif out and data == {}:  # comments alone: a document that holds nothing
        out.pop()
    else:
        out.append(_scalar(data, "  "))
    if top is not None:
        out += [_comment(line, "") for line in top.end]
    return "\n".join(out) + "\n"


def _above(out: list[str], lines: list[str | None], indent: str) -> None:
    """Comment lines, a blank line where the output has none already, nor
    a collection's first line above."""
    for line in lines:
        if line is not None or (
            out and out[-1] and len(_indent(out[-1])) >= len(indent)
        ):
            out.append("" if line is None else indent + "#" + line)


def _indent(line: str) -> str:
    return line[: len(line) - len(line.lstrip(" "))]


def _comment(line: str | None, indent: str) -> str:
    return "" if line is None else indent + "#" + line


def _block(
    out: list[str],
    data: Any,
    path: Path,
    indent: str,
    notes: dict[Path, Notes] | None,
    keys: dict[str, str],
) -> None:
    """The members of a collection that holds some, a line each (or more),
    at `indent`; `keys` the keys written so far, for the next."""
    inner = indent + "  "
    if type(data) is dict:
        for key, value in data.items():
            written = keys.get(key)
            if written is None:
                written = keys[key] = _key(key)
            here = (*path, key) if notes is not None else path
            _member(
                out, indent + written + ":", value, here, indent, inner, notes, keys
            )
    else:
        for index, item in enumerate(data):
            here = (*path, index) if notes is not None else path
            _member(out, indent + "-", item, here, indent, inner, notes, keys, True)


def _member(
    out: list[str],
    head: str,
    value: Any,
    path: Path,
    indent: str,
    inner: str,
    notes: dict[Path, Notes] | None,
    keys: dict[str, str],
    item: bool = False,
) -> None:
    note = notes.get(path) if notes is not None else None
    after = ""
    if note is not None:
        _above(out, note.above, indent)
        after = "  #" + note.after if note.after else ""
    tag = ""
    if type(value) is Tagged:
        tag, value = " " + value.tag, value.value
    if (type(value) is dict or type(value) is list) and value:
        start = len(out)
        out.append(head + tag + after)
        _block(out, value, path, inner, notes, keys)
        first = out[start + 1]
        if item and not tag and not after and first[len(inner) : len(inner) + 1] != "#":
            # `- name: x`: the item's first line after its dash.
            out[start : start + 2] = [head + " " + first[len(inner) :]]
        if note is not None and note.end:
            out += [_comment(line, inner) for line in note.end]
        return
    written = _scalar(value, inner)
    if after and "\n" in written:  # a block scalar's: on its header's line
        first, _, rest = written.partition("\n")
        written, after = first + after + "\n" + rest, ""
    out.append(head + tag + " " + written + after)
    if note is not None and note.end:  # an empty collection's
        out += [_comment(line, inner) for line in note.end]


def _key(key: str) -> str:
    written = write_string(key, "", "", None, False)
    if len(written) > 1000:  # an implicit key is at most 1,024 characters
        written = "? " + written + "\n"
    return written


def _scalar(value: Any, body: str) -> str:
    kind = type(value)
    if kind is str:
        written = write_string(value, "", "", None, False, body)
        if written[1:2] == "+":  # keeping its last blank lines: quoted, so
            return write_string(value, "", "", None, False)  # none is added
        return written
    if kind is bool:
        return "true" if value else "false"
    if value is None:
        return "null"
    if isinstance(value, int):
        return number(value, _INT)
    if isinstance(value, float):
        if math.isnan(value):
            return ".nan"
        if math.isinf(value):
            return ".inf" if value > 0 else "-.inf"
        written = number(value, _FLOAT)
        if "e" in written and "." not in written:  # a YAML 1.1 reader's float
            written = written.replace("e", ".0e")
        return written
    if isinstance(value, datetime.date):  # and date-times
        return value.isoformat()
    if isinstance(value, datetime.time):  # YAML has no time of day
        return write_string(value.isoformat(), "", "", None, False)
    if kind is dict:
        return "{}"
    if kind is list:
        return "[]"
    raise TypeError(f"no YAML for {value!r}")
