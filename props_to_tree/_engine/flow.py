"""Members added to and removed from bracketed collections: JSON objects and
arrays, TOML inline tables and arrays, YAML flow collections.  They share one
shape, an opening bracket, members separated by commas (perhaps one after the
last) and a closing bracket, on one line or several."""

from __future__ import annotations

import itertools
import re

from props_to_tree._engine import text as texts
from props_to_tree._engine.text import (
    Splice,
    first_on_line,
    indentation,
    line_end,
    one_line,
    rest_is_comment,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


class Member:
    """One member: where it starts (its key, or its value in an array),
    where its value ends, and the comma after it, if any."""

    __slots__ = ("comma", "end", "key", "start", "value")

    def __init__(
        self, key: Any, start: int, end: int, comma: int | None, value: Any
    ) -> None:
        self.key, self.start, self.end, self.comma, self.value = (
            key,
            start,
            end,
            comma,
            value,
        )


class Flow:
    """A bracketed collection: text[open] is its opening bracket, text[close]
    its closing one."""

    __slots__ = ("_keys", "close", "members", "open")

    def __init__(self, open: int, close: int, members: list[Member]) -> None:
        self.open, self.close, self.members = open, close, members
        self._keys: dict[str | None, int] | None = None

    def find(self, key: str) -> int | None:
        """The index of the member of `key`: the last, where there are two."""
        if self._keys is None:
            self._keys = {member.key: i for i, member in enumerate(self.members)}
        return self._keys.get(key)


def insert(
    text: str,
    flow: Flow,
    member: str,
    unit: str,
    comment: tuple[str, ...],
    before: int | None = None,
) -> list[Splice]:
    """Splices that add `member` (its text) after the last member, in the
    collection's own layout: on its line where it is written on one line,
    else on a line of its own, with the members' indentation, and a comma
    after it where the members each have one.  With `before`, it goes in
    front of that member instead, parted from it as the members are."""
    members = flow.members
    if before is not None and before < len(members):
        target = members[before].start
        if one_line(text, flow.open, flow.close):
            space = _space_after_comma(text, members) if len(members) > 1 else " "
        elif first_on_line(text, target):
            space = "\n" + indentation(text, target)
        else:
            space = " "
        return [Splice(target, target, member + "," + space)]
    single = one_line(text, flow.open, flow.close)
    if not members:
        if single:
            return [Splice(flow.open + 1, flow.close, member)]
        inner = indentation(text, flow.open) + unit
        return [Splice(flow.open + 1, flow.open + 1, "\n" + inner + member)]
    last = members[-1]
    trailing = last.comma is not None
    after = last.comma + 1 if last.comma is not None else last.end
    if single or not rest_is_comment(text, after, comment):
        space = _space_after_comma(text, members)
        if trailing:
            return [Splice(after, after, space + member + ",")]
        return [Splice(after, after, "," + space + member)]
    where = line_end(text, after)
    line = "\n" + indentation(text, last.start) + member + ("," if trailing else "")
    splices = [Splice(where, where, line)]
    if not trailing:
        splices.insert(0, Splice(last.end, last.end, ","))
    return splices


def _space_after_comma(text: str, members: list[Member]) -> str:
    for member, following in itertools.pairwise(members):
        space = text[member.comma + 1 : following.start] if member.comma else "\n"
        if not space.strip(" \t"):  # spaces alone: no line break, no comment
            return space
    # None to copy: none where the collection shows a comma or colon
    # written without one after it ({"c":[1,2]}).
    inner = re.sub(
        r"\"(?:[^\"\\]|\\.)*\"|'[^']*'", "''", text[members[0].start : members[-1].end]
    )
    return "" if re.search(r"[,:][^\s\]}]", inner) else " "


def remove(text: str, flow: Flow, index: int, comment: tuple[str, ...]) -> list[Splice]:
    """Splices that remove member `index` with its comma, and its own lines
    where it has them; what is around it stays."""
    members = flow.members
    member = members[index]
    after = member.comma + 1 if member.comma is not None else member.end
    previous = members[index - 1] if index else None
    alone = (
        not one_line(text, flow.open, flow.close)
        and first_on_line(text, member.start)
        and rest_is_comment(text, after, comment)
        and line_end(text, after) < flow.close
    )
    if alone:
        splices = [Splice(*texts.own_lines(text, member.start, after), "")]
        last = index == len(members) - 1
        if last and member.comma is None and previous and previous.comma is not None:
            splices.insert(0, Splice(previous.comma, previous.comma + 1, ""))
        return splices
    if index + 1 < len(members):
        end = members[index + 1].start
        between = text[member.comma + 1 : end] if member.comma is not None else ""
        if between.strip():  # a comment before the next member stays
            end -= len(between.lstrip(" \t"))
        return [Splice(member.start, end, "")]
    if previous is not None:
        if member.comma is not None and previous.comma is not None:
            return [Splice(previous.comma + 1, after, "")]
        return [Splice(previous.end, after, "")]
    if (
        one_line(text, flow.open, flow.close)
        and not text[flow.open + 1 : flow.close]
        .replace(text[member.start : after], "", 1)
        .strip()
    ):
        return [Splice(flow.open + 1, flow.close, "")]  # { a = 1 } becomes {}
    return [Splice(member.start, after, "")]
