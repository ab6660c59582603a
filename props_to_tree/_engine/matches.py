"""Where a path with selectors leads: every place it matches, in document
order, each once.

A path is followed a segment at a time from every place reached so far.
Below a selector, a place where the rest of the path is missing, or is not
what the rest needs, is dropped: `steps[*].name` finds the steps that have a
name.  Only a path that matches nowhere is an error, which says where the
last places reached were and what none of them held.
"""

from __future__ import annotations

from props_to_tree._engine import paths
from props_to_tree._engine.document import item_index, parsed
from props_to_tree._engine.errors import EditError, PathError
from props_to_tree._engine.paths import Condition, Selector

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.document import Value
    from props_to_tree._engine.paths import Path, Pattern, Segment


def expand(document: Any, pattern: Pattern, setting: bool = False) -> list[Path]:
    """The places `pattern` matches in `document`.  When `setting`, the
    segments after the last selector are not matched but kept: at every
    match, a --set makes its last key, or says which table is missing."""
    if not paths.selects(pattern):
        return [pattern]  # type: ignore[list-item]  # no selector in it
    if paths.appends(pattern):
        return _appended(document, pattern, setting)
    last = max(i for i, s in enumerate(pattern) if isinstance(s, Selector))
    matched = pattern[: last + 1] if setting else pattern
    live: list[Path] = [[]]
    for depth, segment in enumerate(matched):
        step = _Step(document, segment, depth == 0)
        found: list[Path] = []
        for place in live:
            found += step.follow(place)
        if not found:
            raise PathError(step.nowhere(pattern[:depth], live))
        live = found
    rest: Path = pattern[len(matched) :]  # type: ignore[assignment]
    places: list[Path] = []
    seen: set[object] = set()
    for place in live:
        path = place + rest
        # A node that aliases reach again is one place.
        mark = document.place(path)
        if mark not in seen:
            seen.add(mark)
            places.append(path)
    return places


def _appended(document: Any, pattern: Pattern, setting: bool) -> list[Path]:
    """Where `pattern`, which ends in `[+]`, appends: one past the last item
    of each list its path before matches; [0] of a list that is missing or
    null, for --create to make, or to be said missing."""
    paths.check_append(pattern, setting)
    places = expand(document, pattern[:-1], True)
    found: list[Path] = []
    for place in places:
        try:
            held = document.members(place)
        except EditError:
            held = 0  # missing: its first item
        if not isinstance(held, int) and _nothing(document, place):
            held = 0  # a null, or a document that holds nothing: as missing
        if not isinstance(held, int):
            what = "a table" if isinstance(held, list) else "a value, not a list"
            raise PathError(f"{paths.show(place)!r} holds {what}: [+] appends to lists")
        found.append([*place, held])
    return found


def _nothing(document: Any, place: Path) -> bool:
    """Whether `place` holds a null, or is the top of an empty document."""
    found = document.current(place)
    if found is None:
        return not place
    return found.data is None and not found.collection


class _Step:
    """One segment of a pattern, followed from any place."""

    def __init__(self, document: Any, segment: Segment | Selector, first: bool) -> None:
        self.document = document
        self.segment = segment
        # At the start of a YAML path, a selector chooses among documents.
        self.documents: int | None = None
        if first and isinstance(segment, Selector) and segment.kind != "keys":
            self.documents = document.streamed
        # Each condition: SUB, VALUE as the format reads it, and whether a
        # string must start with it ("^=").
        self.tests: list[tuple[Path, Value | str, bool]] = []
        if isinstance(segment, Selector) and segment.kind == "where":
            self.tests = [
                (c.sub, _wanted(document, segment, c), c.op == "^=")
                for c in segment.conditions
            ]

    def follow(self, place: Path) -> list[Path]:
        segment, held = self.segment, self.document.members(place)
        if isinstance(segment, str):
            return (
                [[*place, segment]]
                if isinstance(held, list) and segment in held
                else []
            )
        if isinstance(segment, int):
            if not isinstance(held, int):
                return []
            found = item_index(segment, held)
            return [] if found is None else [[*place, found]]
        if segment.kind == "keys":
            return [[*place, key] for key in held] if isinstance(held, list) else []
        if self.documents == 1 and not isinstance(held, int):  # a document alone
            return [place] if segment.kind == "items" or self._holds(place) else []
        if isinstance(held, list):  # a table: its members whose value holds it
            if segment.kind == "items":
                return []  # a table's members are *
            return [item for key in held if self._holds(item := [*place, key])]
        if not isinstance(held, int):
            return []
        if segment.kind == "items":
            return [[*place, index] for index in range(held)]
        return [item for index in range(held) if self._holds(item := [*place, index])]

    def _holds(self, item: Path) -> bool:
        """Whether `item` meets every condition of the selector."""
        return all(self._meets(item, *test) for test in self.tests)

    def _meets(self, item: Path, sub: Path, wanted: Value | str, prefix: bool) -> bool:
        """Whether `item` holds at `sub` a scalar that is `wanted` (or, by
        `prefix`, a string that starts with it)."""
        at = item + sub
        try:
            if self.document.members(at) is not None:
                return False  # a list or a table
        except EditError:
            return False  # no SUB there
        found = self.document.current(at)
        if found is None or found.collection:
            return False
        data = found.data
        if isinstance(wanted, str) and prefix:
            return isinstance(data, str) and data.startswith(wanted)
        if isinstance(wanted, str):  # a JSON string: a string, whatever the format
            return isinstance(data, str) and data == wanted
        if found.shown == wanted.shown:
            return True
        if _date(data) and _date(wanted.data):  # compared as dates
            return type(data) is type(wanted.data) and bool(data == wanted.data)
        return _number(data) and _number(wanted.data) and data == wanted.data

    def nowhere(self, before: Pattern, live: list[Path]) -> str:
        """Why no place in `live` goes on by this segment."""
        segment = self.segment
        if len(live) > 1:
            # A condition picks the members of tables, the items of lists.
            tables = all(
                isinstance(self.document.members(place), list) for place in live
            )
            what = _what(segment)
            if (
                tables
                and not isinstance(segment, str | int)
                and segment.kind == "where"
            ):
                what = what.replace("an item", "a member", 1)
            return (
                f"none of the {len(live):,} matches of {paths.show(before)!r} "
                f"holds {what}"
            )
        place = live[0]
        held = self.document.members(place)
        name = repr(paths.show(place)) if place else "the top"
        if isinstance(segment, str | int):
            if isinstance(held, list if isinstance(segment, str) else int):
                count = held if isinstance(held, int) else None
                return paths.missing([*place, segment], count)
            return paths.blocked(
                self._stand_in(place, held), [*place, segment], len(place)
            )
        if self.documents is not None:
            what = f" with {segment.condition()}" if segment.kind == "where" else ""
            return f"no document{what} ({_count(self.documents, 'document')})"
        inside = f"in {name}" if place else "at the top"
        if segment.kind == "keys":
            if isinstance(held, list):  # holding no key at all
                return f"no key {inside} (an empty table)"
            if isinstance(held, int):
                return f"{name} is a list: a list's items are [*]"
            return f"{name} holds {self._kind(place)}, not a table"
        if isinstance(held, int):
            size = _count(held, "item") if held else "an empty list"
            return f"no {_what(segment).removeprefix('an ')} {inside} ({size})"
        if isinstance(held, list) and segment.kind == "where":
            size = _count(len(held), "key") if held else "an empty table"
            return f"no member with {segment.condition()} {inside} ({size})"
        if isinstance(held, list):
            return (
                f"{name} is a table, not a list: [*] picks a list's items, "
                "* a table's keys"
            )
        wanted = "a list or a table" if segment.kind == "where" else "a list"
        return f"{name} holds {self._kind(place)}, not {wanted}"

    def _kind(self, place: Path) -> str:
        return paths.kind(self._stand_in(place, None))

    def _stand_in(self, place: Path, held: list[str] | int | None) -> Any:
        """What `paths.blocked` is told of the value at `place`."""
        if isinstance(held, list):
            return {}
        if isinstance(held, int):
            return [None] * held
        found = self.document.current(place)
        return None if found is None else found.data


def _wanted(document: Any, selector: Selector, condition: Condition) -> Value | str:
    """A condition's VALUE as the format reads it; a JSON string is a
    string."""
    if condition.op == "^=" or condition.quoted:
        return condition.value
    value: Value = parsed(document, condition.value)
    if value.collection:
        raise PathError(
            f"[{selector.condition()}] compares scalars: {condition.value!r} is "
            f"{value.collection}"
        )
    if value.refused:
        raise PathError(f"[{selector.condition()}]: {value.refused}")
    return value


def _what(segment: Segment | Selector) -> str:
    if isinstance(segment, str):
        return repr(segment)
    if isinstance(segment, int):
        return f"[{segment}]"
    if segment.kind == "keys":
        return "a key"
    if segment.kind == "items":
        return "an item"
    return f"an item with {segment.condition()}"


def _count(count: int, what: str) -> str:
    return f"{count:,} {what}" + ("" if count == 1 else "s")


def _date(data: object) -> bool:
    return hasattr(data, "isoformat") and hasattr(data, "year")


def _number(data: object) -> bool:
    return isinstance(data, int | float) and not isinstance(data, bool)
