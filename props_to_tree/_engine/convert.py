"""A document written whole in another format, its comments carried with
what they describe.

A format's document gives three things for it: `export`, its data as the
target's writer takes it (numbers as written, a custom tag's value wrapped
in `Tagged`); `comments`, where each of its comments is; and `anchors`,
where each of its members is written.  From the last two this module works
out which member each comment belongs to (`attach`), as `Notes` by path, and
the target's writer lays the comments out beside what they describe."""

from __future__ import annotations

import bisect
import itertools

from props_to_tree._engine import paths
from props_to_tree._engine.document import WrittenFloat, WrittenInt
from props_to_tree._engine.errors import ConvertError

TYPE_CHECKING = False
if TYPE_CHECKING:
    import re
    from typing import Any

    from props_to_tree._engine.document import Format, Reading

    Path = tuple[Any, ...]


class Tagged:
    """A value under a custom tag (`!Ref x`), which only YAML can hold."""

    __slots__ = ("tag", "value")

    def __init__(self, tag: str, value: Any) -> None:
        self.tag, self.value = tag, value

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Tagged) and (self.tag, self.value) == (
            other.tag,
            other.value,
        )

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Tagged({self.tag!r}, {self.value!r})"


class Anchor:
    """Where a member is written: `start`, where it starts (its key, its
    item's dash, its table's header), `end`, where its value ends (a
    block collection's: where its last member's does); `close`, for a
    bracketed collection, where its closing bracket is; `column`, for a
    block collection whose members' indentation says what they hold (YAML's),
    that of its members; `table`, for another collection whose end only a
    blank line tells (TOML's tables)."""

    __slots__ = ("close", "column", "end", "parent", "path", "start", "table")

    def __init__(
        self,
        path: Path,
        start: int,
        end: int,
        *,
        close: int | None = None,
        column: int | None = None,
        table: bool = False,
    ) -> None:
        self.path, self.start, self.end = path, start, end
        self.close, self.column, self.table = close, column, table
        self.parent: Anchor | None = None


class Notes:
    """The comments of one member: the lines `above` it, the one that ends
    its line (a collection's: its first line), and those that `end` it as
    a collection.  Each is a comment's text after its marker; None stands
    for a blank line."""

    __slots__ = ("above", "after", "end")

    def __init__(self) -> None:
        self.above: list[str | None] = []
        self.after = ""
        self.end: list[str | None] = []


class Exported:
    """What a writer writes: the data, the notes by path, the comments that
    head the document, and how many comments found no place."""

    __slots__ = ("data", "dropped", "head", "notes")

    def __init__(
        self, data: Any, notes: dict[Path, Notes], head: list[str | None], dropped: int
    ) -> None:
        self.data, self.notes, self.head, self.dropped = data, notes, head, dropped


def export(document: Reading, *, tags: bool, comments: bool) -> Exported:
    """The document's data as a writer takes it, and, where `comments`, its
    comments attached to what they describe."""
    data = document.export(tags)  # type: ignore[attr-defined]
    if not comments:
        return Exported(data, {}, [], 0)
    spans = document.comments()  # type: ignore[attr-defined]
    if not spans:
        return Exported(data, {}, [], 0)
    return attach(document.text, document.anchors(), spans, data)  # type: ignore[attr-defined]


def convert(
    document: Reading, target: Format, *, drop_tags: bool = False
) -> tuple[str, int]:
    """The document written whole in `target`, with its line breaks, and
    how many of its comments were dropped (none are counted where the
    target holds no comments)."""
    write = target.write
    if write is None:
        raise ConvertError(f"{target.title} has no writer of whole documents")
    made = export(document, tags=not drop_tags, comments=target.carries)
    written = write(made)
    text = document.text
    if "\r\n" in text and "\n" not in text.replace("\r\n", ""):
        # A file of Windows line breaks gives one: every reader takes them
        # as "\n" in a block scalar or a string of several lines too.
        written = written.replace("\n", "\r\n")
    return written, made.dropped


def number(value: int | float, syntax: re.Pattern[str]) -> str:
    """A number as the file wrote it, where the target's `syntax` reads
    that text as the same number (`0x1F`, `1.10`), else as Python shows it."""
    kind = type(value)
    if (kind is WrittenInt or kind is WrittenFloat) and syntax.fullmatch(
        value.text  # type: ignore[union-attr]
    ):
        return str(value.text)  # type: ignore[union-attr]
    return float.__repr__(value) if isinstance(value, float) else int.__repr__(value)


def dropped_note(count: int, target: Format) -> str:
    """What is said of `count` comments dropped in converting to `target`."""
    some = "a comment" if count == 1 else f"{count:,} comments"
    were = "was" if count == 1 else "were"
    return f"{some} had no place in {target.title} and {were} dropped"


def refused(
    path: Path, what: str, target: str, hint: str | None = None
) -> ConvertError:
    """The error of a value at `path` that `target` cannot hold."""
    where = "the top" if not path else repr(paths.show(list(path)))
    return ConvertError(
        f"{where} is {what}, which {target} cannot hold", path, hint=hint
    )


def tag_refused(path: Path, tag: str, target: str) -> ConvertError:
    return refused(path, f"tagged {tag}", target, "tags")


# Attaching comments ----------------------------------------------------------


def _body(text: str, start: int, end: int) -> list[str]:
    """A comment's lines, its markers taken off: `# x` is " x"."""
    written = text[start:end]
    if written.startswith("/*"):
        inner = written[2:-2].split("\n")
        lines = [line.strip().removeprefix("*").rstrip() for line in inner]
        while lines and not lines[0].strip():
            lines.pop(0)
        while lines and not lines[-1].strip():
            lines.pop()
        return [" " + line.strip() if line.strip() else " " for line in lines]
    marker = 2 if written.startswith("//") else 1
    return [written[marker:].rstrip("\r")]


def _blank_between(text: str, start: int, end: int) -> bool:
    """Whether a blank line lies between offsets `start` and `end`, which
    only white space parts."""
    between = text[start:end].replace("\r", "")
    return (
        "\n\n" in between or between.replace(" ", "").replace("\t", "").count("\n") > 1
    )


def _blank_before(text: str, line: int) -> bool:
    """Whether the line before the one that starts at `line` is blank."""
    if line == 0:
        return False
    previous = text.rfind("\n", 0, line - 1) + 1
    return not text[previous:line].strip()


def attach(
    text: str, anchors: list[Anchor], spans: list[tuple[int, int]], data: Any
) -> Exported:
    """The comments at `spans` (start, end), in order, as notes of the
    members at `anchors`, in document order, the first the top's."""
    by_path = {anchor.path: anchor for anchor in anchors}
    for anchor in anchors:
        path = anchor.path
        while path:
            path = path[:-1]
            parent = by_path.get(path)
            if parent is not None:
                anchor.parent = parent
                break
    starts = [anchor.start for anchor in anchors]
    notes: dict[Path, Notes] = {}
    head: list[str | None] = []
    dropped = 0

    def note(anchor: Anchor) -> Notes:
        found = notes.get(anchor.path)
        if found is None:
            found = notes[anchor.path] = Notes()
        return found

    def chain(anchor: Anchor | None) -> list[Anchor]:
        out = []
        while anchor is not None:
            out.append(anchor)
            anchor = anchor.parent
        return out

    def inside(anchor: Anchor, outer: Anchor) -> bool:
        return anchor.path[: len(outer.path)] == outer.path

    top = anchors[0] if anchors else None
    # The member whose line the last comment ended, its column and line.
    last_after: tuple[Anchor, int, int] | None = None
    number = 0
    while number < len(spans):
        start, end = spans[number]
        line = text.rfind("\n", 0, start) + 1
        before = bisect.bisect_left(starts, start) - 1
        last = anchors[before] if before >= 0 else None
        if text[line:start].strip():  # the comment ends a line
            number += 1
            last_after = None
            ends = _body(text, start, end)
            found = None
            ups = chain(last)
            for anchor in ups:  # the widest member written whole on the line
                if found is not None and (anchor.column is not None or anchor.table):
                    break  # not a block table of one member: `- uses: x  # v4`
                if anchor.start >= line and anchor.end <= start:
                    found = anchor
                elif found is not None or anchor.start < line:
                    break
            if found is None:  # a collection's first line: its header
                opened = [a for a in ups if a.start >= line and a.end > start]
                found = opened[0] if opened else None
            if found is top and top is not None:  # `--- # x`: the head's
                head += ends
                continue
            if found is not None and not note(found).after and len(ends) == 1:
                note(found).after = ends[0]
                last_after = (found, start - line, line)
                continue
            closed = [a for a in ups if line <= a.end <= start and a is not top]
            if closed and found is None:
                ended = closed[0]
                scalar = ended.close is None and ended.column is None
                if scalar and not ended.table and not note(ended).after:
                    note(ended).after = " ".join(ends)  # `"""  # x`: the string's
                else:  # `}, // the end of it`
                    note(ended).end += ends
                last_after = (ended, start - line, line)
                continue
            dropped += 1
            continue
        # A comment below a line's comment, at its column, goes on with it.
        if last_after is not None and start - line == last_after[1]:
            member, _, ended_line = last_after
            previous = text.rfind("\n", 0, line - 1) + 1 if line else 0
            if previous == ended_line:
                note(member).end += _body(text, start, end)
                last_after = (member, start - line, line)
                number += 1
                continue
        last_after = None
        # Comments on lines of their own, one after another: one block.
        lines: list[str | None] = [*_body(text, start, end)]
        gap = _blank_before(text, line)
        number += 1
        while number < len(spans):
            following, finish = spans[number]
            if text[end:following].strip():
                break
            # Another indentation is another block: `  # end of a` then
            # `# above b`.
            if following - text.rfind("\n", 0, following) - 1 != start - line:
                break
            if _blank_between(text, end, following):
                lines.append(None)
            lines += _body(text, following, finish)
            end = finish
            number += 1
        after = bisect.bisect_left(starts, end)
        upcoming = anchors[after] if after < len(anchors) else None
        apart = upcoming is None or _blank_between(text, end, upcoming.start)
        if last is None or (
            last is top and upcoming is not None and upcoming.parent is top and apart
        ):
            first = upcoming if upcoming is not top else None
            if None in lines and first is not None:  # a blank line parts
                cut = lines.index(None)  # the document's head from the rest
                head += [None, *lines[:cut]] if head else lines[:cut]
                lines = lines[cut + 1 :]
            if first is not None and not apart:
                note(first).above += lines
            elif lines:
                head += [None, *lines] if head else lines
            continue
        column = start - line
        owner = None
        for anchor in chain(last):
            if (
                upcoming is not None
                and inside(upcoming, anchor)
                and anchor.start < start
            ):
                break
            if anchor.close is not None:
                if start < anchor.close:
                    owner = anchor
                    break
            elif anchor.column is not None:
                # A list dashed at its key's column ends where the comment
                # at that column belongs to the table around it.
                outer = anchor.parent
                level = outer is not None and outer.column == anchor.column
                if column > anchor.column or (column == anchor.column and not level):
                    owner = anchor
                    break
            elif anchor.table and apart and anchor.end <= start:
                owner = anchor
                break
        if owner is not None:
            note(owner).end += [None] * gap + lines
        elif upcoming is not None:
            note(upcoming).above += [None] * gap + lines + [None] * apart
        elif top is not None:
            note(top).end += [None] * gap + lines
        else:
            dropped += 1
    # The blank lines that part members, kept where no comment stands.
    for before_it, anchor in itertools.pairwise(anchors):
        if anchor.parent is before_it:  # the first member: after its opening
            continue
        line = text.rfind("\n", 0, anchor.start) + 1
        if _blank_before(text, line) and not text[line : anchor.start].strip():
            parted = note(anchor)
            if not parted.above or parted.above[0] is not None:
                parted.above.insert(0, None)
    return Exported(data, notes, head, dropped)
