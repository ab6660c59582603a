"""Changes to a document's text as splices: (start, end, new text) of the
original, applied together, so that whatever no splice covers stays byte for
byte.  Also the line arithmetic that every format's edits share."""

from __future__ import annotations

import bisect
import re

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from typing import Any

    Span = tuple[int, int, int]  # a splice made: start, end, new length
    Changed = tuple[int, int, int, int]  # first start, end; current start, end


BOM = "\ufeff"


def split_mark(text: str) -> tuple[str, str]:
    """A byte-order mark, which is no part of the document and is kept, and
    the text after it."""
    mark = BOM if text.startswith(BOM) else ""
    return mark, text[len(mark) :]


class Splice:
    """Replace text[start:end] by `text`.  `gap`, where set, is the run of
    spaces between the end of the value and a comment on the same line: it
    shrinks or grows so that the comment keeps its column."""

    __slots__ = ("end", "gap", "start", "text")

    def __init__(
        self, start: int, end: int, text: str, gap: tuple[int, int] | None = None
    ) -> None:
        self.start, self.end, self.text, self.gap = start, end, text, gap

    def __repr__(self) -> str:
        return f"Splice({self.start}, {self.end}, {self.text!r}, gap={self.gap})"


def _reach(splice: Splice) -> tuple[int, int]:
    return splice.start, max(splice.end, splice.gap[1] if splice.gap else splice.end)


def _meet(one: tuple[int, int], other: tuple[int, int]) -> bool:
    if one[0] < other[1] and other[0] < one[1]:
        return True
    return one[0] == one[1] == other[0] == other[1]  # two insertions: order matters


class Pending:
    """Splices planned on one original and not yet made.  What they reach
    is kept in order, so whether a new splice meets one of them (and so
    cannot be applied to the same original) is a bisection: a change
    through `[*]` plans one per item, and comparing each with all before
    it took seconds on a list of thousands."""

    __slots__ = ("_loose", "_spans", "splices")

    def __init__(self, splices: Iterable[Splice] = ()) -> None:
        self.splices: list[Splice] = []
        self._spans: list[tuple[int, int]] = []  # (start, end), in order
        # Some that meet one another, which splices of one plan may: then
        # the ends are not in order and every one is compared.
        self._loose = False
        self.add(splices)

    def __bool__(self) -> bool:
        return bool(self.splices)

    def __iter__(self) -> Iterator[Splice]:
        return iter(self.splices)

    def copy(self) -> Pending:
        copied = Pending()
        copied.splices, copied._spans = list(self.splices), list(self._spans)
        copied._loose = self._loose
        return copied

    def after(self, splice: Splice) -> None:
        """Adds `splice`, an insertion where one of these inserts: applied
        after it, in the order added."""
        self._loose = True
        bisect.insort(self._spans, _reach(splice))
        self.splices.append(splice)

    def clear(self) -> None:
        self.splices.clear()
        self._spans.clear()
        self._loose = False

    def add(self, splices: Iterable[Splice]) -> None:
        for splice in splices:
            span = _reach(splice)
            self._loose = self._loose or self._meets(span)
            bisect.insort(self._spans, span)
            self.splices.append(splice)

    def meets(self, new: Iterable[Splice]) -> bool:
        """Whether any of `new` touches text that one of these changes."""
        return any(self._meets(_reach(splice)) for splice in new)

    def _meets(self, span: tuple[int, int]) -> bool:
        spans = self._spans
        if self._loose:
            return any(_meet(span, other) for other in spans)
        # Apart from one another, in order of start, their ends are in
        # order too: of those that start before `span` ends, the last
        # reaches furthest.
        before = bisect.bisect_left(spans, (span[1],))
        if before and spans[before - 1][1] > span[0]:
            return True
        if span[0] == span[1]:
            at = bisect.bisect_left(spans, span)
            return at < len(spans) and spans[at] == span
        return False


def apply(text: str, splices: Iterable[Splice], made: list[Span] | None = None) -> str:
    """`text` with `splices` made; the line breaks of the new text are those
    of the line it follows, so a CRLF file stays one.  `made`, where given,
    gets where each splice was made: its start and end in `text`, and the
    length of what it put there."""
    ordered = sorted(splices, key=lambda s: (s.start, s.end))
    parts, done = [], 0
    for splice in _with_gaps(text, ordered):
        parts.append(text[done : splice.start])
        new = splice.text
        if "\n" in new and ending(text, splice.start) == "\r\n":
            new = _BREAK.sub("\r\n", new)
        parts.append(new)
        done = splice.end
        if made is not None:
            made.append((splice.start, splice.end, len(new)))
    parts.append(text[done:])
    return "".join(parts)


def track(changed: list[Changed], made: list[Span]) -> list[Changed]:
    """What differs between a text as first read and a text made of it by
    splices: `changed` holds (start, end) in the first and (start, end) in
    the current text of each stretch that differs, in order; `made` the
    splices then made to the current text, as `apply` gives them.  The
    stretches after them, those that meet merged into one."""
    events = sorted(
        [(c[2], c[3], c) for c in changed] + [(s, e, (s, e, n)) for s, e, n in made],
        key=lambda event: (event[0], event[1]),
    )
    groups: list[list[Any]] = []
    for start, end, what in events:
        if groups and start <= groups[-1][1]:
            groups[-1][1] = max(groups[-1][1], end)
            groups[-1][2].append(what)
        else:
            groups.append([start, end, [what]])
    out: list[Changed] = []
    drift = 0  # current minus first, before the group
    grown = 0  # what the splices before the group added
    for start, end, members in groups:
        spans = [m for m in members if len(m) == 4]
        first = start - drift
        if spans and spans[0][2] == start:
            first = spans[0][0]
        after = drift + sum((c - b) - (a - o) for o, a, b, c in spans)
        last = end - after
        if spans and max(s[3] for s in spans) == end:
            last = max(s[1] for s in spans)
        added = sum(n - (e - s) for s, e, n in (m for m in members if len(m) == 3))
        out.append((first, last, start + grown, end + grown + added))
        drift, grown = after, grown + added
    return out


def as_read(changed: list[Changed], offset: int) -> int:
    """Where `offset` in a text that splices made was in the text as first
    read, by the stretches `track` gives: the start of the stretch it falls
    in, or as far from the end of the stretch before it."""
    found = offset
    for first, last, start, end in changed:
        if offset < start:
            break
        found = first if offset < end else last + offset - end
    return found


def offset(text: str, line: int, column: int) -> int:
    """The offset of a line and column, counted from 1, in `text`."""
    at = 0
    for _ in range(line - 1):
        at = text.find("\n", at) + 1
        if not at:
            return len(text)
    return min(at + column - 1, len(text))


def _with_gaps(text: str, ordered: list[Splice]) -> list[Splice]:
    """`ordered` with the spaces before each trailing comment resized, by how
    much the splices before it on its line grew or shrank."""
    out: list[Splice] = []
    gaps: set[tuple[int, int]] = set()
    for splice in ordered:
        out.append(splice)
        gap = splice.gap
        if gap is None or gap in gaps or "\n" in splice.text:
            continue
        gaps.add(gap)
        line = line_start(text, gap[0])
        grown = sum(
            len(s.text) - (s.end - s.start)
            for s in ordered
            if line <= s.start and s.end <= gap[0]
        )
        width = gap[1] - gap[0]
        if grown and text[gap[0] : gap[1]].strip(" ") == "":
            out.append(Splice(gap[0], gap[1], " " * max(1, width - grown)))
    out.sort(key=lambda s: (s.start, s.end))
    return out


def difference(old: str, new: str) -> Splice:
    """One splice that makes `new` of `old`: what stands between the start
    and the end they share."""
    shortest = min(len(old), len(new))
    head = _longest(lambda n: old[:n] == new[:n], shortest)
    tail = _longest(
        lambda n: old[len(old) - n :] == new[len(new) - n :], shortest - head
    )
    return Splice(head, len(old) - tail, new[head : len(new) - tail])


def _longest(holds: Callable[[int], bool], limit: int) -> int:
    """The largest n up to `limit` for which `holds(n)`, which holds up to
    some n and not past it; by halving, each test a comparison run in C."""
    low, high = 0, limit
    while low < high:
        middle = (low + high + 1) // 2
        if holds(middle):
            low = middle
        else:
            high = middle - 1
    return low


# A character beyond the BMP as json.dumps escapes it: two surrogates.
# Compiled on first use, not at import: a listing never needs it.
_PAIR = r"\\ud([89ab][0-9a-f]{2})\\ud([c-f][0-9a-f]{2})"


def astral_escapes(written: str, escape: str) -> str:
    """JSON string syntax `written` with each character beyond the BMP, which
    JSON escapes as a pair of surrogates, as one `escape` of its code point
    instead (TOML and YAML have one: "\\U%08X")."""

    def one(pair: re.Match[str]) -> str:
        high, low = int(pair[1], 16), int(pair[2], 16)
        return escape % (0x10000 + ((high & 0x3FF) << 10) + (low & 0x3FF))

    return re.sub(_PAIR, one, written)


def line_start(text: str, offset: int) -> int:
    return text.rfind("\n", 0, offset) + 1


def line_end(text: str, offset: int) -> int:
    """The offset of the line break that ends the line of `offset` (its
    "\r" where it is "\r\n"), or the end of the text."""
    end = text.find("\n", offset)
    if end < 0:
        return len(text)
    return end - 1 if end and text[end - 1] == "\r" else end


def next_line(text: str, offset: int) -> int:
    """Where the line after that of `offset` starts, or the end of the text."""
    end = text.find("\n", offset)
    return len(text) if end < 0 else end + 1


_BREAK = re.compile(r"\r?\n")


def ending(text: str, offset: int) -> str:
    """The line break of the line that text inserted at `offset` follows,
    else that of the file's first line, else "\n"."""
    at = text.find("\n", max(offset - 1, 0))
    if at < 0:
        at = text.find("\n")
    return "\r\n" if at > 0 and text[at - 1] == "\r" else "\n"


def blank(text: str, start: int, end: int) -> bool:
    return text[start:end].strip(" \t\r\n") == ""


def own_lines(text: str, start: int, end: int) -> tuple[int, int]:
    """The whole lines from that of `start` to that of `end`, breaks
    included; where a blank line is on both sides, one of them too, so that
    what stood between two blank lines leaves one."""
    start, end = line_start(text, start), next_line(text, end)
    if start and end < len(text) and blank(text, line_start(text, start - 1), start):
        following = next_line(text, end)
        if blank(text, end, following):
            end = following
    return start, end


def indentation(text: str, offset: int) -> str:
    """The white space that starts the line of `offset`."""
    start = line_start(text, offset)
    return text[
        start : start + len(text[start:offset]) - len(text[start:offset].lstrip())
    ]


def first_on_line(text: str, offset: int) -> bool:
    return text[line_start(text, offset) : offset].strip() == ""


def one_line(text: str, start: int, end: int) -> bool:
    return text.find("\n", start, end) < 0


def comment_gap(
    text: str, offset: int, comment: tuple[str, ...]
) -> tuple[int, int] | None:
    """The spaces before the comment that ends the line of `offset`, in a
    format whose comments start with one of `comment`; None where no such
    comment follows."""
    pattern = _GAPS.get(comment)
    if pattern is None:
        # Only where no string stands between the value and the comment:
        # what follows the value on its line may be more members (a flow
        # list), as long as nothing in them could hide a comment's start.
        starts = re.escape("".join(sorted({mark[0] for mark in comment})))
        marks = "|".join(map(re.escape, comment))
        pattern = _GAPS[comment] = re.compile(
            rf"[^\"'{starts}\n]*?(?P<gap>[ \t]+)(?:{marks})"
        )
    found = pattern.match(text, offset)
    if found is None:
        return None
    return found.start("gap"), found.end("gap")


_GAPS: dict[tuple[str, ...], re.Pattern[str]] = {}


def rest_is_comment(text: str, offset: int, comment: tuple[str, ...]) -> bool:
    """Whether only spaces and a comment follow `offset` on its line."""
    rest = text[offset : line_end(text, offset)].strip()
    return not rest or rest.startswith(comment)
