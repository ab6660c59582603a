"""TOML's values as one line of its syntax: how a listing shows them, and
the strings and keys a change writes."""

from __future__ import annotations

import datetime
import math

from props_to_tree._engine.document import WrittenFloat, WrittenInt
from props_to_tree._engine.errors import DocumentError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


# A bare key's characters: a set, not a pattern, so that --get loads no re.
_BARE = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-")


def _bare(key: str) -> bool:
    return bool(key) and _BARE.issuperset(key)


def key_part(part: str) -> str:
    """The key that `part`, a bare or quoted key, is."""
    return part if _bare(part) else str(loads(f"k = {part}")["k"])


def loads(text: str, parse_float: Any = float, title: str = "TOML") -> dict[str, Any]:
    """The tree tomllib.loads(text, parse_float=parse_float) reads, read by
    the native module with tomllib's rules; what that reading leaves (what
    does not read, above all) is tomllib's, whose error is said as a
    DocumentError."""
    from props_to_tree import _listing

    tree = _listing.toml_tree(text, parse_float)
    return tomllib_tree(text, parse_float, title) if tree is None else tree


def tomllib_tree(text: str, parse_float: Any, title: str) -> dict[str, Any]:
    """tomllib's tree of `text`; its error said as a DocumentError."""
    import re
    import tomllib

    try:
        return tomllib.loads(text, parse_float=parse_float)
    except tomllib.TOMLDecodeError as exc:
        where = re.search(r"at line (\d+), column (\d+)", str(exc))
        line, column = map(int, where.groups()) if where else (None, None)
        raise DocumentError(f"not valid {title}: {exc}", line, column) from None
    except ValueError as exc:  # an integer of more digits than int() reads
        digits = re.search(r"value has (\d+) digits", str(exc))
        if digits is None:
            raise
        import sys

        raise DocumentError(
            f"a number of {int(digits[1]):,} digits is more than Python reads "
            f"({sys.get_int_max_str_digits():,}; PYTHONINTMAXSTRDIGITS raises it)"
        ) from None


def show_key(key: str) -> str:
    return key if _bare(key) else basic(key, escapes=False)


# json.dumps's escapes, as it writes them beyond ASCII too, and TOML's DEL.
_ESCAPED = {c: f"\\u{c:04x}" for c in [*range(0x20), 0x7F]} | {
    ord(c): "\\" + e for c, e in zip('"\\\b\t\n\f\r', '"\\btnfr', strict=True)
}


def basic(text: str, *, escapes: bool) -> str:
    """A basic string: JSON's escapes, and those TOML adds."""
    if not escapes:  # as json.dumps writes it, which --get need not load
        return '"' + text.translate(_ESCAPED) + '"'
    import json

    written = json.dumps(text, ensure_ascii=escapes).replace("\x7f", "\\u007f")
    if escapes:  # TOML writes a character beyond the BMP as one escape
        from props_to_tree._engine import text as texts

        written = texts.astral_escapes(written, "\\U%08X")
    return written


class WrittenDateTime(datetime.datetime):
    """A date-time that shows as it is written: `Z`, a space for the `T`,
    digits past the microsecond that tomllib drops."""

    text: str


class WrittenDate(datetime.date):
    text: str


class WrittenTime(datetime.time):
    text: str


_WRITTEN_DATES = (WrittenDateTime, WrittenDate, WrittenTime)


def written_date(text: str, value: datetime.date | datetime.time) -> Any:
    """`value`, which shows as `text` where its ISO form differs."""
    if value.isoformat() == text:
        return value
    kind: type[WrittenDateTime | WrittenDate | WrittenTime] = (
        WrittenDateTime
        if isinstance(value, datetime.datetime)
        else WrittenDate
        if isinstance(value, datetime.date)
        else WrittenTime
    )
    found = kind.fromisoformat(value.isoformat())  # the subclass, equal
    found.text = text
    return found


def show(value: Any) -> str:
    """A value as one line of TOML value syntax; a number as written."""
    if isinstance(value, str):
        return basic(value, escapes=False)
    if isinstance(value, bool):
        return "true" if value else "false"
    if type(value) is WrittenFloat or type(value) is WrittenInt:
        return value.text
    if isinstance(value, int):
        return int.__repr__(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        return ("inf" if value > 0 else "-inf") if math.isinf(value) else repr(value)
    if isinstance(value, dict):
        return (
            "{"
            + ", ".join(f"{show_key(k)} = {show(v)}" for k, v in value.items())
            + "}"
        )
    if isinstance(value, list):
        return "[" + ", ".join(map(show, value)) + "]"
    assert isinstance(value, datetime.date | datetime.time)
    return value.text if isinstance(value, _WRITTEN_DATES) else value.isoformat()


def show_all(values: list[Any]) -> list[str]:
    return list(map(show, values))


def literal(data: str, quotes: str) -> bool:
    """Whether a literal string in `quotes` can hold `data`: no escapes, so
    nothing that does not print but a tab (and in three quotes a line feed,
    which a carriage return before it would not survive), and no quotes."""
    lines = data.split("\n") if len(quotes) == 3 else [data]
    return quotes not in data and all(
        line.replace("\t", " ").isprintable() for line in lines
    )
