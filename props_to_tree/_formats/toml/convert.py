"""A whole TOML document written from another format's data, as a person
writes TOML: a table's keys and inline values first, then a header for each
of its tables and each item of its lists of tables; each comment beside
what it describes, those inside an inline value above its key."""

from __future__ import annotations

import datetime
import math
import re

from props_to_tree._engine.convert import Notes, Tagged, refused, tag_refused
from props_to_tree._engine.document import WrittenFloat, WrittenInt
from props_to_tree._engine.errors import ConvertError
from props_to_tree._formats.toml.values import basic, show_key

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Exported

    Path = tuple[Any, ...]

# Numbers as written that TOML reads as the same number.
_INT = re.compile(
    r"[-+]?(?:0|[1-9](?:_?[0-9])*)|0x[0-9A-Fa-f](?:_?[0-9A-Fa-f])*|0o[0-7](?:_?[0-7])*"
)
_FLOAT = re.compile(
    r"[-+]?(?:0|[1-9](?:_?[0-9])*)(?:\.[0-9](?:_?[0-9])*)?(?:[eE][-+]?[0-9](?:_?[0-9])*)?"
)
_SURROGATE = re.compile("[\ud800-\udfff]")
_WIDE = 88  # an inline array longer than this is written an item a line
_LOWEST, _HIGHEST = -(1 << 63), (1 << 63) - 1


def write(made: Exported) -> str:
    data = made.data
    if type(data) is Tagged:
        raise tag_refused((), data.tag, "TOML")
    if type(data) is not dict:
        what = "a list" if type(data) is list else "a scalar"
        raise ConvertError(f"the top is {what}, and a TOML document is a table")
    out: list[str] = ["" if line is None else "#" + line for line in made.head]
    if out:
        out.append("")
    _table(out, data, (), (), made.notes or None, "")
    while out and not out[-1]:
        out.pop()
    return "\n".join(out) + "\n" if out else ""


def _sections(value: Any) -> str:
    """How a table's member is written: "[" a table of its own, "[[" a list
    of tables, "" inline."""
    if type(value) is dict and value:
        return "["
    if type(value) is list and value and all(type(item) is dict for item in value):
        return "[["
    return ""


def _table(
    out: list[str],
    table: dict[str, Any],
    path: Path,
    name: tuple[str, ...],
    notes: dict[Path, Notes] | None,
    bracket: str,
    lead: Notes | None = None,
    tail: Notes | None = None,
) -> None:
    """A table: its header (none at the top, nor for a table of tables
    alone, which theirs imply), its keys, then its tables; the comments of
    a list of tables' own above its first's header (`lead`) and at the end
    of its last (`tail`)."""
    note = notes.get(path) if notes is not None else None
    if lead is not None or tail is not None:
        joined = Notes()
        if lead is not None:
            joined.above = [*lead.above, *([lead.after] if lead.after else [])]
        if note is not None:
            joined.above += note.above
            joined.after, joined.end = note.after, list(note.end)
        if tail is not None:
            joined.end += tail.end
        note = joined
    inline = [(k, v) for k, v in table.items() if not _sections(v)]
    if bracket:
        named = ".".join(_key(part, path) for part in name)
        header = bracket + named + bracket.replace("[", "]")
        if inline or bracket == "[[" or note is not None or not table:
            if out and out[-1]:
                out.append("")
            if note is not None:
                _above(out, note.above)
                header += "  #" + note.after if note.after else ""
            out.append(header)
    for key, value in inline:
        here = (*path, key)
        if notes is not None:
            if (type(value) is dict or type(value) is list) and value:
                _notes_above(out, notes, here)
            elif here in notes:
                _above(out, notes[here].above)
        line = _key(key, here) + " = " + _inline(value, here, "")
        member = notes.get(here) if notes is not None else None
        if member is not None and member.after:
            line += "  #" + member.after
        out.append(line)
    if note is not None and note.end:
        out += ["" if line is None else "#" + line for line in note.end]
    for key, value in table.items():
        kind = _sections(value)
        here = (*path, key)
        if kind == "[":
            _table(out, value, here, (*name, key), notes, "[")
        elif kind == "[[":
            own = notes.get(here) if notes is not None else None
            for number, item in enumerate(value):
                first = own if number == 0 else None
                last = own if number == len(value) - 1 else None
                at = (*here, number)
                _table(out, item, at, (*name, key), notes, "[[", first, last)


def _above(out: list[str], lines: list[str | None]) -> None:
    """Comment lines, a blank line where the output has none already, nor
    a header above."""
    for line in lines:
        if line is not None or (out and out[-1] and not out[-1].startswith("[")):
            out.append("" if line is None else "#" + line)


def _notes_above(out: list[str], notes: dict[Path, Notes], path: Path) -> None:
    """The comments of a collection written inline, and of all within it,
    above its line: TOML's inline tables hold none."""
    size = len(path)
    found = notes.get(path)
    if found is not None:
        _above(out, found.above)
        out += ["#" + line for line in found.end if line is not None]
    for where, note in notes.items():
        if len(where) <= size or where[:size] != path:
            continue
        out += ["#" + line for line in note.above if line is not None]
        out += ["#" + note.after] if note.after else []
        out += ["#" + line for line in note.end if line is not None]


def _key(key: str, path: Path) -> str:
    if _SURROGATE.search(key):
        raise refused(path, "a key with a lone surrogate", "TOML")
    return show_key(key)


def _inline(value: Any, path: Path, indent: str) -> str:
    kind = type(value)
    if kind is str:
        if _SURROGATE.search(value):
            raise refused(path, "a string with a lone surrogate", "TOML")
        if "\n" in value and indent == "":
            lines = value.split("\n")
            return (
                '"""\n'
                + "\n".join(basic(line, escapes=False)[1:-1] for line in lines)
                + '"""'
            )
        return basic(value, escapes=False)
    if kind is bool:
        return "true" if value else "false"
    if isinstance(value, int) and kind is not bool:
        if not _LOWEST <= value <= _HIGHEST:
            raise refused(path, "an integer past 64 bits", "TOML")
        if kind is WrittenInt and _INT.fullmatch(value.text):  # type: ignore[attr-defined]
            return str(value.text)  # type: ignore[attr-defined]
        return int.__repr__(value)
    if isinstance(value, float):
        if kind is WrittenFloat and _FLOAT.fullmatch(value.text):  # type: ignore[attr-defined]
            return str(value.text)  # type: ignore[attr-defined]
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return float.__repr__(value)
    if value is None:
        raise refused(path, "null", "TOML")
    if kind is Tagged:
        raise tag_refused(path, value.tag, "TOML")
    if kind is dict:
        if not value:
            return "{}"
        pairs = (
            _key(k, (*path, k)) + " = " + _inline(v, (*path, k), indent + "    ")
            for k, v in value.items()
        )
        return "{ " + ", ".join(pairs) + " }"
    if kind is list:
        items = [_inline(v, (*path, n), indent + "    ") for n, v in enumerate(value)]
        flat = "[" + ", ".join(items) + "]"
        if len(flat) <= _WIDE or len(items) < 2 or any("\n" in i for i in items):
            return flat
        inner = indent + "    "
        return "[\n" + "".join(f"{inner}{item},\n" for item in items) + indent + "]"
    if isinstance(value, datetime.datetime):
        return datetime.datetime.isoformat(value)
    if isinstance(value, datetime.date):
        return datetime.date.isoformat(value)
    if isinstance(value, datetime.time):
        return datetime.time.isoformat(value)
    raise refused(path, f"a {kind.__name__}", "TOML")
