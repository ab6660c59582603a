"""A unified diff of a document's text before and after its changes, built
from the stretches the changes made, as `git diff` and `patch` read it: a
whole-text comparison would take seconds on a large file for the one line
that changed.  Lines end at "\\n" alone, so a CRLF line keeps its "\\r"."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from props_to_tree._engine.text import Changed

CONTEXT = 3


def unified(
    old: str, new: str, changed: list[Changed], name: str, made: bool = False
) -> str:
    """The diff of `old` and `new`, which differ in the stretches `changed`
    alone; "" where they are the same.  A file `made` by the change is
    /dev/null before it, as diff -N shows one."""
    lines = _Lines(old), _Lines(new)
    runs: list[list[int]] = []  # first line and line count, in old and in new
    for first, last, start, end in _on_lines(old, new, changed):
        old_lines, new_lines = _whole_lines(old, new, first, last, start, end)
        runs.append(
            [
                *lines[0].span(*old_lines),
                *lines[1].span(*new_lines),
                *old_lines,
                *new_lines,
            ]
        )
    if not runs:
        return ""
    shown = _name(name)
    out = [f"--- {'/dev/null' if made else shown}\n+++ {shown}\n"]
    hunk: list[list[int]] = []
    for run in runs:
        if hunk and run[0] - (hunk[-1][0] + hunk[-1][1]) > 2 * CONTEXT:
            out.append(_hunk(old, new, hunk))
            hunk = []
        hunk.append(run)
    out.append(_hunk(old, new, hunk))
    return "".join(out)


def _on_lines(old: str, new: str, changed: list[Changed]) -> list[Changed]:
    """The stretches that differ, those on one line merged: between two,
    the text they leave alone holds a line break."""
    merged: list[Changed] = []
    for stretch in changed:
        first, last, start, end = stretch
        if old[first:last] == new[start:end]:
            continue  # a change undone by a later one
        if merged and "\n" not in old[merged[-1][1] : first]:
            merged[-1] = (merged[-1][0], last, merged[-1][2], end)
        else:
            merged.append(_lined_up(old, new, stretch))
    return merged


def _lined_up(old: str, new: str, stretch: Changed) -> Changed:
    """A stretch that starts with a line break and is followed by one, as
    the lines it puts in or takes out (`a\n|\nb|\n` as `a\n\n|b\n|`): a
    diff then shows those lines alone, not the line before them as well."""
    first, last, start, end = stretch
    for brk in ("\n", "\r\n"):
        width = len(brk)
        if (
            old[last : last + width] == brk
            and old[first:last][:width] in ("", brk)
            and new[start:end][:width] in ("", brk)
        ):
            return first + width, last + width, start + width, end + width
    return stretch


def _whole_lines(
    old: str, new: str, first: int, last: int, start: int, end: int
) -> tuple[tuple[int, int], tuple[int, int]]:
    """A stretch widened to whole lines: what stands before and after it on
    its lines is text no change touched, the same in both."""
    head = first - (old.rfind("\n", 0, first) + 1)
    first, start = first - head, start - head
    whole = (last == first or old[last - 1] == "\n") and (
        end == start or new[end - 1] == "\n"
    )
    if head or not whole:
        found = old.find("\n", last)
        tail = (len(old) if found < 0 else found + 1) - last
        last, end = last + tail, end + tail
    return (first, last), (start, end)


class _Lines:
    """A text's lines, counted as far as they are asked for, in order."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.at, self.line = 0, 0  # an offset and the number of its line

    def number(self, offset: int) -> int:
        """The number (from 0) of the line that starts at `offset`."""
        if offset >= self.at:
            self.line += self.text.count("\n", self.at, offset)
        else:
            self.line -= self.text.count("\n", offset, self.at)
        self.at = offset
        return self.line

    def span(self, start: int, end: int) -> tuple[int, int]:
        """The first line and the number of lines of text[start:end]."""
        first = self.number(start)
        count = self.text.count("\n", start, end)
        if end > start and self.text[end - 1] != "\n":
            count += 1  # the last line, which has no line break
        return first, count


def _split(text: str) -> list[str]:
    """Lines ending at "\\n" alone, each with it."""
    parts = text.split("\n")
    lines = [part + "\n" for part in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1])
    return lines


def _hunk(old: str, new: str, runs: list[list[int]]) -> str:
    """One hunk: its runs of changed lines, the lines between them, and up
    to CONTEXT lines before the first and after the last."""
    start = runs[0][4]
    for _ in range(CONTEXT):
        if start == 0:
            break
        start = old.rfind("\n", 0, start - 1) + 1
    first_old = runs[0][0] - old.count("\n", start, runs[0][4])
    first_new = runs[0][2] - (runs[0][0] - first_old)
    body: list[str] = []
    at = start
    for run in runs:
        body += [" " + line for line in _split(old[at : run[4]])]
        body += ["-" + line for line in _split(old[run[4] : run[5]])]
        body += ["+" + line for line in _split(new[run[6] : run[7]])]
        at = run[5]
    end = at
    for _ in range(CONTEXT):
        found = old.find("\n", end)
        end = len(old) if found < 0 else found + 1
    body += [" " + line for line in _split(old[at:end])]
    old_count = sum(1 for line in body if line[0] in " -")
    new_count = sum(1 for line in body if line[0] in " +")
    text = "".join(
        line if line.endswith("\n") else line + "\n\\ No newline at end of file\n"
        for line in body
    )
    return (
        f"@@ -{_range(first_old, old_count)} +{_range(first_new, new_count)} @@\n"
        + text
    )


def _range(first: int, count: int) -> str:
    """A hunk's range: its first line counted from 1 (the line before an
    empty one), and its length where it is not 1."""
    start = first + 1 if count else first
    return str(start) if count == 1 else f"{start},{count}"


def _name(name: str) -> str:
    """A file's name as patch reads it from a header: quoted with escapes
    where it holds a tab, a line break, a quote or a backslash, and ended
    by a tab where it holds a space."""
    if any(c in name for c in '\t\n"\\'):
        escaped = name.replace("\\", "\\\\").replace('"', '\\"')
        return '"' + escaped.replace("\t", "\\t").replace("\n", "\\n") + '"'
    return name + "\t" if " " in name else name
