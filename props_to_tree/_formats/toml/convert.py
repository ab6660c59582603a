"""A whole TOML document written from another format's data, as a person
writes TOML: a table's keys and inline values first, then a header for each
of its tables and each item of its lists of tables; each comment beside
what it describes, those inside an inline value above its key."""

from __future__ import annotations

import datetime
import math
import re

from props_to_tree._engine.convert import Notes, Tagged, number, refused, tag_refused
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
    notes = made.notes or None
    top = notes.get(()) if notes is not None else None
    if top is not None and top.after:  # on a line of its own: `--- # x`
        out.append("#" + top.after)
    _table(out, data, (), (), notes, "")
    if top is not None and top.end:  # at the end, after every table
        _above(out, [None, *top.end])
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
        said = note is not None and (
            note.after or any(line is not None for line in [*note.above, *note.end])
        )
        if inline or bracket == "[[" or said or not table:
            if out and out[-1]:
                out.append("")
            if note is not None:
                _above(out, note.above)
                header += "  #" + note.after if note.after else ""
            out.append(header)
    for key, value in inline:
        here = (*path, key)
        member = notes.get(here) if notes is not None else None
        if notes is not None:
            if type(value) is dict and value:
                _notes_above(out, notes, here)
            elif member is not None:
                _above(out, member.above)
        written = _inline(value, here, "", notes)
        empty = type(value) in (dict, list) and not value
        if member is not None and member.end and empty:  # above, in TOML
            _above(out, member.end)
        if member is not None and member.after:
            # After an array's "[", a string's closing quotes.
            first, brake, rest = written.partition("\n")
            if written.startswith('"""'):
                first, brake, rest = written, "", ""
            written = first + "  #" + member.after + brake + rest
        out.append(_key(key, here) + " = " + written)
        if member is not None and member.end and type(value) not in (dict, list):
            out += ["#" + line for line in member.end if line is not None]
    for key, value in table.items():
        kind = _sections(value)
        here = (*path, key)
        if kind == "[":
            _table(out, value, here, (*name, key), notes, "[")
        elif kind == "[[":
            own = notes.get(here) if notes is not None else None
            for index, item in enumerate(value):
                heading = own if index == 0 else None
                ending = own if index == len(value) - 1 else None
                at = (*here, index)
                _table(out, item, at, (*name, key), notes, "[[", heading, ending)
    if note is not None and note.end and path:  # after its tables too
        out += ["" if line is None else "#" + line for line in note.end]


def _above(out: list[str], lines: list[str | None]) -> None:
    """Comment lines, a blank line where the output has none already, nor
    a header above."""
    for line in lines:
        if line is not None or (out and out[-1] and not out[-1].startswith("[")):
            out.append("" if line is None else "#" + line)


def _notes_above(out: list[str], notes: dict[Path, Notes], path: Path) -> None:
    """The comments of an inline table, and of all within it, above its
    line, in order: TOML's inline tables hold none."""
    size = len(path)
    found = notes.get(path)
    if found is not None:
        _above(out, found.above)
    for where, note in notes.items():
        if len(where) <= size or where[:size] != path:
            continue
        out += ["#" + line for line in note.above if line is not None]
        out += ["#" + note.after] if note.after else []
        out += ["#" + line for line in note.end if line is not None]
    if found is not None:
        out += ["#" + line for line in found.end if line is not None]


def _within(notes: dict[Path, Notes] | None, path: Path) -> list[str]:
    """The comments of all within an inline table at `path`, but its own,
    as lines."""
    lines: list[str] = []
    size = len(path)
    for where, note in notes.items() if notes is not None else ():
        if len(where) > size and where[:size] == path:
            lines += ["#" + line for line in note.above if line is not None]
            lines += ["#" + note.after] if note.after else []
            lines += ["#" + line for line in note.end if line is not None]
    return lines


def _key(key: str, path: Path) -> str:
    if _SURROGATE.search(key):
        raise refused(path, "a key with a lone surrogate", "TOML")
    return show_key(key)


def _inline(
    value: Any,
    path: Path,
    indent: str,
    notes: dict[Path, Notes] | None = None,
    flat: bool = False,
) -> str:
    """A value in TOML's value syntax; an array of several items an item a
    line where it is long or its items have comments, but in an inline
    table (`flat`), which is one line."""
    kind = type(value)
    if kind is str:
        if _SURROGATE.search(value):
            raise refused(path, "a string with a lone surrogate", "TOML")
        if "\n" in value and indent == "" and not flat:
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
        return number(value, _INT)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return number(value, _FLOAT)
    if value is None:
        raise refused(path, "null", "TOML")
    if kind is Tagged:
        raise tag_refused(path, value.tag, "TOML")
    if isinstance(value, datetime.date | datetime.time):
        return value.isoformat()
    if kind is dict:
        if not value:
            return "{}"
        pairs = (
            _key(k, (*path, k)) + " = " + _inline(v, (*path, k), indent, None, True)
            for k, v in value.items()
        )
        return "{ " + ", ".join(pairs) + " }"
    if kind is list:
        inner = indent + "    "
        items = [
            _inline(v, (*path, n), inner, notes, flat) for n, v in enumerate(value)
        ]
        lines = [] if flat else _commented(value, path, inner, items, notes)
        one = "[" + ", ".join(items) + "]"
        if not lines and (flat or len(one) <= _WIDE or len(items) < 2):
            return one
        lines = lines or [f"{inner}{item}," for item in items]
        return "[\n" + "\n".join(lines) + "\n" + indent + "]"
    raise refused(path, f"a {kind.__name__}", "TOML")


def _commented(
    value: list[Any],
    path: Path,
    inner: str,
    items: list[str],
    notes: dict[Path, Notes] | None,
) -> list[str]:
    """An array's lines with its items' comments, or none where it has none."""
    if notes is None:
        return []
    own = notes.get(path)
    found = [notes.get((*path, n)) for n in range(len(value))]
    deeper = [
        _within(notes, (*path, n)) if type(v) is dict else []
        for n, v in enumerate(value)
    ]
    if not any(found) and not any(deeper) and not (own and own.end):
        return []
    lines: list[str] = []
    for item, note, within in zip(items, found, deeper, strict=True):
        if note is not None:
            lines += [inner + "#" + line for line in note.above if line is not None]
        lines += [inner + line for line in within]
        after = f"  #{note.after}" if note is not None and note.after else ""
        lines.append(f"{inner}{item},{after}")
        if note is not None:
            lines += [inner + "#" + line for line in note.end if line is not None]
    if own is not None:
        lines += [inner + "#" + line for line in own.end if line is not None]
    return lines
