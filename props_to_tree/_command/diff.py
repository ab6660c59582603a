"""A unified diff of a document's text before and after its changes, built
from the stretches the changes made, as `git diff` and `patch` read it: a
whole-text comparison would take seconds on a large file for the one line
that changed.  Lines end at "\\n" alone, so a CRLF line keeps its "\\r"."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from props_to_tree._command.text import Changed

CONTEXT = 3


def unified(old: str, new: str, changed: list[Changed], name: str) -> str:
    """The diff of `old` and `new`, which differ in the stretches `changed`
    alone; "" where they are the same."""
    lines = _Lines(old), _Lines(new)
    runs: list[list[int]] = []  # first line and line count, in old and in new
    for first, last, start, end in changed:
        if old[first:last] == new[start:end]:
            continue  # a change undone by a later one
        old_lines, new_lines = _whole_lines(old, new, first, last, start, end)
        run = [*lines[0].span(*old_lines), *lines[1].span(*new_lines)]
        if runs and run[0] <= runs[-1][0] + runs[-1][1]:  # on a line it shares
            top = runs[-1]
            run = [top[0], run[0] + run[1] - top[0], top[2], run[2] + run[3] - top[2]]
            runs[-1] = run
        else:
            runs.append(run)
    if not runs:
        return ""
    out = [f"--- {name}\n+++ {name}\n"]
    hunk: list[list[int]] = []
    for run in runs:
        if hunk and run[0] - (hunk[-1][0] + hunk[-1][1]) > 2 * CONTEXT:
            out.append(_hunk(lines, hunk))
            hunk = []
        hunk.append(run)
    out.append(_hunk(lines, hunk))
    return "".join(out)


def _whole_lines(
    old: str, new: str, first: int, last: int, start: int, end: int
) -> tuple[tuple[int, int], tuple[int, int]]:
    """The stretches widened to whole lines: what stands before and after
    them on their lines is the same text in both."""
    head = first - (old.rfind("\n", 0, first) + 1)
    head = min(head, start - (new.rfind("\n", 0, start) + 1))
    first, start = first - head, start - head
    if old[first:last] and new[start:end]:
        at_end = old[last - 1] == "\n" and new[end - 1] == "\n"
    else:  # an insertion or a deletion of whole lines ends where it started
        at_end = (last == first or old[last - 1] == "\n") and (
            end == start or new[end - 1] == "\n"
        )
        at_end = at_end and head == 0
    if not at_end:
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

    def get(self, first: int, count: int) -> list[str]:
        """Lines `first` to `first + count`, each with its line break."""
        if count <= 0:
            return []
        start = self._offset(first)
        end = start
        for _ in range(count):
            found = self.text.find("\n", end)
            end = len(self.text) if found < 0 else found + 1
        return _split(self.text[start:end])

    def total(self) -> int:
        return self.text.count("\n") + (
            not self.text.endswith("\n") and self.text != ""
        )

    def _offset(self, line: int) -> int:
        """Where line `line` starts."""
        at = self.at
        current = self.number(at)
        while current > line:
            at = self.text.rfind("\n", 0, at - 1) + 1
            current -= 1
        while current < line:
            at = self.text.find("\n", at) + 1
            current += 1
        self.number(at)
        return at


def _split(text: str) -> list[str]:
    """Lines ending at "\\n" alone, each with it."""
    parts = text.split("\n")
    lines = [part + "\n" for part in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1])
    return lines


def _hunk(lines: tuple[_Lines, _Lines], runs: list[list[int]]) -> str:
    before, after = lines
    first_old = max(0, runs[0][0] - CONTEXT)
    first_new = runs[0][2] - (runs[0][0] - first_old)
    body: list[str] = []
    at = first_old
    for old_first, old_count, new_first, new_count in runs:
        body += [" " + line for line in before.get(at, old_first - at)]
        body += ["-" + line for line in before.get(old_first, old_count)]
        body += ["+" + line for line in after.get(new_first, new_count)]
        at = old_first + old_count
    total = before.total()
    body += [" " + line for line in before.get(at, min(CONTEXT, total - at))]
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
