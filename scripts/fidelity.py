"""How faithfully the command edits real files: every JSON, TOML and YAML file
that the machine's installed packages ship, each read once, checked as it is
and as a CRLF copy (its text with every "\\n" made "\\r\\n"; a file that holds
"\\r" already has no CRLF copy).

Every check makes its change with a fresh editor over the one document loaded
from the text, and then asks two things: did exactly the expected lines
change, and does the new text, read by the format's own reader, hold what was
asked for.  The readers are the standard library's `json.loads` (for JSON with
comments, which it cannot read, the command's own reading of the text) and
`tomllib.loads`, and PyYAML's composer with its safe loader's resolver, which
reads plain scalars as YAML 1.1 does (Kubernetes, Ansible): a string written
plain must read as a string there too.

- round trip: the file's listing applied back to it changes nothing.
- rebuilt: the file's listing applied with --create to an empty document of
  its format (as `--new --create --apply` does) reads as the same data (a
  stream of documents as one list of them); a listing of more than
  REBUILT lines is skipped, for time.
- native listing: a JSON or TOML file listed by the native walk, as the
  command lists it, gives the bytes of the Python walk's listing (YAML is
  listed by the Python walk alone); a JSON file listed straight from its
  bytes too, where the native module takes it (it leaves an object that
  holds a key twice to be read first).
- numbers as written: every number the listing shows is one of the file's
  words (a run of digits, letters, ".", "_", "+" and "-"), as it is there.
- one edit: the first short value (a boolean, a small integer or a word) set
  to another changes one line, and in it only the value's text.
- list append: in the last list of two or more items with a short value, an
  item appended adds one line, or changes the one line of a list written in
  brackets; the list reads back as before with the new item after the last.
- list delete: that short item deleted takes its one line (a JSON comma
  dropped from the item before it aside), or changes the one line of a list
  in brackets; the list reads back as before without it.
- awkward values, each set on the first short string value of the file (a
  word), as a user types it after `--set PATH=`:
  `Fix #42 now`, ` padded `, `a<line break>b` and `a: b` must read back as
  that very string; `1.10` as the number 1.1, written `1.10`; in a YAML file
  that uses a tag, `<that tag> y` as "y" with that tag.
  Expected, here and for one edit: the value's own line is the one line
  that changes, and in it what stands before the value and what follows it
  stay, but for the spaces before a trailing comment, which shrink or grow
  so that the comment keeps its column (one space where the value outgrows
  it).  The value with a line break may be written over several lines (a
  block): its one line then gives way to one or more lines, the first
  starting with what stood before the value, the last ending with what
  followed it.  One edit must read back as the value set, too.
- number among strings: in the first list of two or more items that are all
  strings, `1.10` appended adds one line (or changes the one line of a list
  in brackets), warns that it is a number among strings, and reads back as
  the number; the quoted text the warning gives, `"1.10"`, appended instead
  reads back as the string "1.10".  YAML is read back by ruamel.yaml too.
- tag dropped (YAML): the first scalar with a tag and a plain value of one
  word (`!Ref bucket`), set to that word and "x", changes its line alone, in it only
  the value's text, warns that the tag was dropped, and reads back as an
  untagged string, to PyYAML and to ruamel.yaml alike.
- selector edit: in a list of two or more tables, an item found by a short
  value of its own (a key whose value no other item of the list holds) and
  a short value of that item set through `LIST[KEY=VALUE].KEY2`: exactly
  that one line changes, as for one edit, and reads back as the value set.
- every item: in a list of two or more tables each holding the same key
  with a short value, `LIST[*].KEY` set to one new value: each line of an
  item whose value differs changes, in it only the value's text, and no
  other line (where items share a line, the text is the one that the
  changes by index `LIST[N].KEY` make in turn).
- to json, to jsonc, to toml, to yaml: the document converted to each
  format (as --to does) reads, by that format's reading, as the file's data
  (dates as ISO strings in JSON, times of day as strings but in TOML), and
  converted back to the file's own format reads so again.  A refusal (what
  the target cannot hold: a null in TOML, a list at its top, a custom tag
  in JSON) is skipped, named by what was refused; a file refused for its
  custom tags is converted with --drop-tags instead.  The comments the file
  holds are counted per target, as carried or dropped (none are carried
  into JSON).
- on the CRLF copy every check again; the text after the change must have
  no line break but "\\r\\n", and be the text that the same change made to
  the file as it is, its line breaks made "\\r\\n": the same lines change.

A check passes only where both hold.  One that raises an error, the command's
own or not, fails.  Files that do not parse are skipped, as are the checks
for which a file has no suitable value (no short value, no string, no list of
two, no tag); both are counted apart from the failures.  The first few
failures of each check are shown on standard error, with the reason.

    python scripts/fidelity.py [--jobs N] [--examples N] [ROOT ...]
        (default roots: /usr and sys.base_prefix; ruamel.yaml, of the bench
        dependency group, reads YAML back too)
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import math
import multiprocessing
import os
import re
import signal
import sys
import time
import tomllib
import traceback
from collections import Counter, defaultdict
from collections.abc import Callable, Iterator
from functools import partial
from pathlib import Path
from typing import Any

import yaml

from props_to_tree._engine import paths
from props_to_tree._engine.changes import Change, Editor, kind
from props_to_tree._engine.document import find
from props_to_tree._engine.errors import EditError
from props_to_tree._engine.listing import leaves, parse, render
from props_to_tree._formats import detect
from props_to_tree._formats import load as _load

LIMIT = 60  # seconds all the checks of one file may take
REBUILT = 40000  # lines of the largest listing rebuilt, for time
WORD = r"[A-Za-z][A-Za-z0-9_]{0,30}"
# The awkward VALUEs, set on a string: what is typed, and what must be read.
AWKWARD: dict[str, tuple[str, Any]] = {
    "value ' #'": ("Fix #42 now", "Fix #42 now"),
    "value padded": (" padded ", " padded "),
    "value line break": ("a\nb", "a\nb"),
    "value ': '": ("a: b", "a: b"),
    "value 1.10": ("1.10", 1.1),
}
CHECKS = [
    "round trip",
    "rebuilt",
    "native listing",
    "native reader",
    "numbers as written",
    "one edit",
    "list append",
    "list delete",
    *AWKWARD,
    "value tag",
    "number among strings",
    "tag dropped",
    "selector edit",
    "every item",
    "to json",
    "to jsonc",
    "to toml",
    "to yaml",
]
TARGETS = ("json", "jsonc", "toml", "yaml")
# Tags whose values cannot be the word "y": a tag of these is not borrowed.
CORE = re.compile(r"!!(?:int|float|bool|null|timestamp|binary|map|seq|set|omap|pairs)")


HOLDS_CR = "skipped: the file holds \\r, so it has no CRLF copy"


class TooSlow(Exception):
    pass


def _too_slow(*_: object) -> None:
    raise TooSlow(f"over {LIMIT} s")


class Failed(Exception):
    """A check's change was made, but not as expected."""


class Skipped(Exception):
    """A check that the file, as it turns out, has nothing for."""


# --- reading the text back ---------------------------------------------------


def read_back(fmt: str, text: str, document: Any) -> Any:
    """What the format's own reader makes of `text`: data for JSON and TOML,
    nodes for YAML (a stream of two or more documents as a list of them, as
    the command lists it).  JSON with comments is the command's own reading,
    `document`'s, since the standard library cannot read it."""
    if fmt == "json":
        return json.loads(text)
    if fmt == "jsonc":
        return document.tree
    if fmt == "toml":
        return tomllib.loads(text)
    # Composed, not constructed: a tag is read, never acted on.
    nodes = list(yaml.compose_all(text, Loader=yaml.CSafeLoader))
    nodes = [n for n in nodes if not _empty(n)]
    return nodes[0] if len(nodes) == 1 else nodes or None


def _empty(node: Any) -> bool:
    return (
        isinstance(node, yaml.ScalarNode)
        and node.value == ""
        and node.style in ("", None)
        and node.start_mark.index == node.end_mark.index
    )


def at(fmt: str, root: Any, path: paths.Path) -> Any:
    """The value (for YAML the node) at `path`; LookupError if none."""
    if fmt != "yaml":
        node = root
        for segment in path:
            node = node[segment]
        return node
    node = root
    for segment in path:
        if isinstance(node, list):
            node = node[segment]
        elif isinstance(node, yaml.SequenceNode) and isinstance(segment, int):
            node = node.value[segment]
        elif isinstance(node, yaml.MappingNode) and isinstance(segment, str):
            node = _member(node, segment)
        else:
            raise LookupError(segment)
    return node


def _member(mapping: Any, key: str, depth: int = 0) -> Any:
    """A key's value, the mapping's own (the last) or else a merged one's."""
    found = [v for k, v in mapping.value if _key(k) == key]
    if found:
        return found[-1]
    if depth < 50:
        for k, v in mapping.value:
            if _key(k) == "<<" and k.tag.endswith(":merge"):
                for merged in v.value if isinstance(v, yaml.SequenceNode) else [v]:
                    if isinstance(merged, yaml.MappingNode):
                        try:
                            return _member(merged, key, depth + 1)
                        except LookupError:
                            pass
    raise LookupError(key)


def _key(node: Any) -> str | None:
    return node.value if isinstance(node, yaml.ScalarNode) else None


def comparable(fmt: str, value: Any, depth: int = 0) -> Any:
    """A value read back, as something `==` compares by type as well: 1,
    1.0 and True differ, and a YAML scalar is its tag and its text."""
    if depth > 100:
        return "..."
    if fmt != "yaml":
        if isinstance(value, list):
            return ("list", [comparable(fmt, v, depth + 1) for v in value])
        if isinstance(value, dict):
            pairs = [(k, comparable(fmt, v, depth + 1)) for k, v in value.items()]
            return ("table", pairs)
        if isinstance(value, float) and math.isnan(value):
            return ("float", "nan")
        return (type(value).__name__, value)
    if isinstance(value, yaml.ScalarNode):
        return (value.tag, value.value)
    if isinstance(value, yaml.SequenceNode):
        return (value.tag, [comparable(fmt, v, depth + 1) for v in value.value])
    if isinstance(value, yaml.MappingNode):
        pairs = [
            (comparable(fmt, k, depth + 1), comparable(fmt, v, depth + 1))
            for k, v in value.value
        ]
        return (value.tag, pairs)
    if isinstance(value, list):
        return ("stream", [comparable(fmt, v, depth + 1) for v in value])
    return ("none", None)


def expected(fmt: str, data: Any, text: str) -> Any:
    """What a scalar given as `text`, meaning `data`, reads back as."""
    if fmt != "yaml":
        return comparable(fmt, data)
    kind = {bool: "bool", int: "int", float: "float"}.get(type(data), "str")
    return (f"tag:yaml.org,2002:{kind}", text if kind != "str" else data)


def _said(value: Any) -> str:
    """A value read back, for a message: its text and its type."""
    kind, data = value
    return f"{_clip(data)} ({kind})"


def _clip(text: Any, width: int = 72) -> str:
    shown = repr(text)
    return shown if len(shown) <= width else shown[: width - 4] + "..."


# --- what changed ------------------------------------------------------------


def changed_lines(old: str, new: str) -> tuple[list[str], list[str]]:
    """The lines of `old` that `new` replaces, and those it puts in their
    place: the run between the lines both start with and those both end
    with.  Lines are split at "\\n" alone, so a CRLF line keeps its "\\r"."""
    before, after = old.split("\n"), new.split("\n")
    shorter = min(len(before), len(after))
    start = 0
    while start < shorter and before[start] == after[start]:
        start += 1
    end = 0
    while end < shorter - start and before[-1 - end] == after[-1 - end]:
        end += 1
    return before[start : len(before) - end], after[start : len(after) - end]


def _shown_change(removed: list[str], added: list[str]) -> str:
    lines = [f"-{_clip(line)}" for line in removed[:2]]
    lines += [f"+{_clip(line)}" for line in added[:3]]
    return " ".join(lines)


def _spellings(shown: str, line: str) -> list[str]:
    """How a short value that lists as `shown` may be written on `line`:
    a string in any quotes, with escapes too; a YAML null as nothing."""
    tagged = re.fullmatch(r"(![^ ]*) (.*)", shown)
    if tagged:  # a tag, then its value in any quotes
        tag, value = tagged.groups()
        return [f"{tag} {spelling}" for spelling in _spellings(value, line)]
    if shown in ("true", "false"):
        return [shown, shown.capitalize(), shown.upper()]
    if shown == "null":
        return ["null", "Null", "NULL", "~", ""]
    bare = shown.strip('"')
    escaped = [
        quoted
        for quoted in _QUOTED.findall(line)
        if _decoded(quoted) == bare and quoted != f'"{bare}"'
    ]
    return [f'"""{bare}"""', f"'''{bare}'''", f'"{bare}"', f"'{bare}'", *escaped, bare]


_QUOTED = re.compile(r'"(?:[^"\\]|\\.)*"')


def _decoded(quoted: str) -> str | None:
    try:
        return json.loads(quoted)
    except ValueError:
        return None


_COMMENT_GAP = re.compile(r"[ \t]+(?=#|//|/\*)")


def _rest_kept(new: str, rest: str, column: int) -> tuple[int | None, str | None]:
    """Where in `new` the text that followed the old value (`rest`, which
    started at `column` of its line) starts, if `new` ends with it; and what
    is wrong with the spaces before a trailing comment, which shrink or grow
    so that the comment keeps its column, or are one where the value
    outgrows it."""
    # The spaces before a comment first: the value's end is where they start.
    for gap in _COMMENT_GAP.finditer(rest):
        before, after = rest[: gap.start()], rest[gap.end() :]
        pattern = re.escape(before) + r"([ \t]+)" + re.escape(after) + r"\Z"
        found = re.search(pattern, new)
        if found is None:
            continue
        old_gap, new_gap = gap.group(), found.group(1)
        at = found.start(1)
        now = at - (new.rfind("\n", 0, at) + 1)
        was = column + gap.start()
        # The command resizes spaces alone.
        spaces = " " * max(1, was + len(old_gap) - now)
        wanted = old_gap if "\t" in old_gap else spaces
        problem = None
        if new_gap != wanted:
            problem = (
                f"the comment moved from column {was + len(old_gap) + 1} to "
                f"{now + len(new_gap) + 1}: {_clip(new)}"
            )
        return found.start(), problem
    return (len(new) - len(rest) if new.endswith(rest) else None), None


def value_in_place(
    removed: list[str], added: list[str], shown: str, lines: bool
) -> str:
    """The new value's text, where the change is the old value's one line
    with its value (listed as `shown`) replaced, and what stood before and
    after it kept, a comment at its column; with `lines`, the new value may
    take several lines.  Raises Failed otherwise."""
    if len(removed) != 1 or not added or (len(added) > 1 and not lines):
        raise Failed(
            f"changed {len(removed)} lines into {len(added)}: "
            + _shown_change(removed, added)
        )
    old, new = removed[0], "\n".join(added)
    problem = None
    for spelling in _spellings(shown, old):
        start = old.find(spelling)
        while start >= 0:
            before, rest = old[:start], old[start + len(spelling) :]
            if new.startswith(before):
                end, wrong = _rest_kept(new, rest, start + len(spelling))
                if end is not None and end > len(before):
                    if wrong is None:
                        return new[len(before) : end]
                    problem = problem or wrong
            start = old.find(spelling, start + 1)
    if problem:
        raise Failed(problem)
    if not any(s in old for s in _spellings(shown, old) if s):
        raise Failed(f"the old value is not on the changed line: {_clip(old)}")
    raise Failed(f"the line changed outside the value: {_shown_change(removed, added)}")


def _commas_aside(removed: list[str], added: list[str]) -> tuple[list[str], list[str]]:
    """The lines without the one before an item that gains or loses its
    comma: JSON has no comma after its last item."""
    for old in removed:
        for new in added:
            before, after = old.rstrip(), new.rstrip()
            bare = before.rstrip(",")
            if {before, after} == {bare, bare + ","} and before != after:
                return [r for r in removed if r is not old], [
                    a for a in added if a is not new
                ]
    return removed, added


# --- the values to change ----------------------------------------------------


def new_value(shown: str) -> tuple[str, Any] | None:
    """A change to a short value, as typed after `--set PATH=`, and what
    the file should then hold there."""
    if shown in ("true", "false"):
        return ("false", False) if shown == "true" else ("true", True)
    if re.fullmatch(r"[0-9]{1,9}", shown):
        return str(int(shown) + 1), int(shown) + 1
    if re.fullmatch(rf'"?{WORD}"?', shown):
        bare = shown.strip('"') + "x"
        return bare, bare
    return None


def _is_word_string(fmt: str, value: Any, shown: str) -> bool:
    if fmt == "yaml":
        quoted = re.fullmatch(rf'"{WORD}"', shown)
        plain = re.fullmatch(WORD, shown) and shown not in ("true", "false", "null")
        return bool(quoted or plain)
    return isinstance(value, str) and re.fullmatch(rf'"{WORD}"', shown) is not None


class Targets:
    """What the checks change, found once in the file's listing: the first
    short value, the first short string, the last short item of a list of
    two or more, and a tag the file uses (YAML)."""

    def __init__(self, fmt: str, document: Any, root: Any) -> None:
        self.fmt = fmt
        found, values = leaves(document.tree)
        shown = document.show_all(values)
        self.short: tuple[paths.Path, str, tuple[str, Any]] | None = None
        self.string: tuple[paths.Path, str] | None = None
        self.item: tuple[paths.Path, str, tuple[str, Any]] | None = None
        self.tag: tuple[str, str] | None = None
        self.tagged: tuple[paths.Path, str, str] | None = None
        self.strings: paths.Path | None = None
        lists: set[tuple[paths.Segment, ...]] = set()
        for where, value, text in zip(found, values, shown, strict=True):
            change = new_value(text)
            if change and self.short is None:
                self.short = (paths.parse(where), text, change)
            path = paths.parse(where)
            if change and isinstance(path[-1], int) and not isinstance(path[0], int):
                self.item = (path, text, change)
            if self.string is None and _is_word_string(fmt, value, text):
                self.string = (paths.parse(where), text)
            if isinstance(path[-1], int) and not isinstance(path[0], int):
                lists.add(tuple(path[:-1]))
            word = re.fullmatch(r"(![^ ]*) ([^\s\"'#,\[\]{}]+)", text)
            if self.tagged is None and fmt == "yaml" and word:
                self.tagged = (path, text, word[1])
            if self.tag is None and fmt == "yaml" and text.startswith("!"):
                written = text.split(" ", 1)[0]
                try:
                    node = at(fmt, root, paths.parse(where))
                except LookupError:
                    continue
                if not CORE.fullmatch(written):
                    self.tag = (written, node.tag)
        if self.item is not None:
            items = self.item[0]
            if len(items) < 2 or len(find(document.tree, items[:-1])) < 2:
                self.item = None
        self.chosen, self.every = _lists_of_tables(fmt, document, root, found, shown)
        self.strings = next(
            (list(p) for p in sorted(lists, key=str) if _of_strings(document, list(p))),
            None,
        )


def _of_strings(document: Any, above: paths.Path) -> bool:
    """Whether the list at `above` holds two or more items, all strings."""
    count = document.members(above)
    if not isinstance(count, int) or count < 2:
        return False
    for index in range(count):
        item = document.current([*above, index])
        if (
            item is None
            or item.collection
            or (item.kind or kind(item.data)) != "a string"
        ):
            return False
    return True


Short = tuple[str, tuple[str, Any]]  # a value as listed, and a change to it


def _lists_of_tables(
    fmt: str, document: Any, root: Any, found: list[str], shown: list[str]
) -> tuple[Any, Any]:
    """For the selector checks, in the first list of two or more tables that
    has what each needs: (the list, the index of an item, a key whose value
    tells it from the others, that value as listed, a key of a short value
    of the item and its change); and (the list, a key every item holds a
    short value at, the change)."""
    keys: dict[tuple[paths.Segment, ...], dict[int, dict[str, Short]]] = {}
    for where, text in zip(found, shown, strict=True):
        path = paths.parse(where)
        change = new_value(text)
        if (
            change is None
            or len(path) < 2
            or not isinstance(path[-2], int)
            or not isinstance(path[-1], str)
            or "]" in text
        ):
            continue
        items = keys.setdefault(tuple(path[:-2]), {})
        items.setdefault(path[-2], {})[path[-1]] = (text, change)  # type: ignore[index]
    chosen = every = None
    for above, items in keys.items():
        listed = list(above)
        try:
            count = len(find(document.tree, listed))
        except EditError:
            continue
        if count < 2 or not _own_items(fmt, root, listed, count):
            continue
        if every is None and len(items) == count:
            common = set.intersection(*(set(held) for held in items.values()))
            key = next((k for k in items[0] if k in common), None)
            if key is not None:
                every = (listed, key, items[0][key][1])
        if chosen is None:
            for index, held in items.items():
                for key, (text, _) in held.items():
                    same = [i for i, h in items.items() if h.get(key, ("",))[0] == text]
                    if same == [index]:
                        other = next((k for k in held if k != key), key)
                        chosen = (listed, index, key, text, other, held[other][1])
                        break
                if chosen is not None:
                    break
        if chosen is not None and every is not None:
            break
    return chosen, every


def _own_items(fmt: str, root: Any, above: paths.Path, count: int) -> bool:
    """Whether a YAML list's items are its own: no alias stands for an item
    of another, which a change made through one would change twice."""
    if fmt != "yaml":
        return True
    try:
        node = at(fmt, root, above)
    except LookupError:
        return False
    items = node if isinstance(node, list) else getattr(node, "value", [])
    return len({id(item) for item in items}) == count == len(items)


# --- the checks --------------------------------------------------------------


class Case:
    """One text of a file (as it is, or its CRLF copy), loaded once: every
    check makes its change with an editor of its own over this document."""

    def __init__(
        self, fmt: str, text: str, document: Any, lf: Case | None = None
    ) -> None:
        """`lf`: the case of the file as it is, where this is its CRLF copy."""
        self.fmt, self.text, self.document, self.lf = fmt, text, document, lf
        self.root = read_back(fmt, text, document)
        self.made: dict[str, str] = {}  # the new text of each check's change

    def edit(
        self, change: Change, warned: list[str] | None = None
    ) -> tuple[str, list[str], list[str], Any]:
        """The new text, the lines it changed, and how it reads back; the
        change's warnings go to `warned`.  On a CRLF copy, every line break
        must be "\\r\\n", and the change must be the one made to the file as
        it is."""
        said: list[str] = [] if warned is None else warned
        editor = Editor(self.document, said.append)
        editor.apply([change])
        new = self.made[change.origin] = editor.document.text
        if self.lf is not None:
            bare = re.search(r"(?<!\r)\n", new)
            if bare:
                line = new.count("\n", 0, bare.start()) + 1
                raise Failed(f"a bare \\n ends line {line}: {_clip(_line(new, line))}")
            twin = self.lf.made.get(change.origin)
            if twin is not None and new.replace("\r\n", "\n") != twin:
                removed, added = changed_lines(twin, new.replace("\r\n", "\n"))
                raise Failed(
                    "not the change made without CRLF: " + _shown_change(removed, added)
                )
        try:
            root = read_back(self.fmt, new, editor.document)
        except (ValueError, yaml.YAMLError) as exc:
            error = " ".join(str(exc).split())[:120]
            raise Failed(f"the new text does not read: {error}") from None
        removed, added = changed_lines(self.text, new)
        return new, removed, added, root

    def value(self, root: Any, path: paths.Path) -> Any:
        try:
            return comparable(self.fmt, at(self.fmt, root, path))
        except (LookupError, TypeError):
            raise Failed(f"nothing at {paths.show(path)!r} in the new text") from None


def _line(text: str, number: int) -> str:
    return text.split("\n", number)[number - 1]


def round_trip(case: Case) -> None:
    document = case.document
    listed = _load(case.fmt, case.text, "file", written=True)  # as the command lists
    found, values = leaves(listed.tree)
    listing = "".join(render(found, values, listed.show_all))
    changes = [Change(p, v, w, listed=True) for p, v, w in parse(listing, "listing")]
    editor = Editor(document, lambda _: None)
    if editor.apply(changes) or editor.document.text != case.text:
        removed, added = changed_lines(case.text, editor.document.text)
        raise Failed(
            f"the listing applied back changed {_shown_change(removed, added)}"
        )


def rebuilt(case: Case) -> None:
    listed = _load(case.fmt, case.text, "file", written=True)
    found, values = leaves(listed.tree)
    if len(found) > REBUILT:
        raise Skipped(f"{len(found):,} lines, past {REBUILT:,}")
    listing = "".join(render(found, values, listed.show_all))
    changes = [
        Change(p, v, w, listed=True, create=True) for p, v, w in parse(listing, "l")
    ]
    editor = Editor(_load(case.fmt, "", "new"), lambda _: None)
    editor.apply(changes)
    new = editor.document.text
    if case.fmt in ("json", "toml"):
        same = read_back(case.fmt, new, None) == case.root
    else:
        same = _load(case.fmt, new, "new").data([]) == listed.data([])
    if not same:
        raise Failed(f"the rebuilt document reads otherwise: {_clip(new)}")


def native_listing(case: Case) -> None:
    from props_to_tree import _listing
    from props_to_tree._engine import listing

    document = _load(case.fmt, case.text, "file", written=True)
    tree, show_all = document.tree, document.show_all
    if case.fmt == "yaml":  # from libyaml's events, as the command lists
        made = listing.yaml_lines(case.text.encode("utf-8"))
        if made is None:
            raise Skipped("left to the reading: an anchor, a merge key, ...")
        python = "".join(render(*leaves(tree), show_all))
        _same_lines(b"".join(made).decode("utf-8"), python, "the listing of events")
        return
    chunks = listing.lines(document)
    if not isinstance(chunks, _listing.Chunks):
        raise Failed(f"listed by the Python walk, not the native one: {chunks!r}")
    python = "".join(render(*leaves(tree), show_all))
    _same_lines("".join(chunks), python, "the native walk")
    if case.fmt == "json":  # and straight from the bytes, as the command lists
        data = case.text.encode("utf-8", "surrogatepass")
        made = listing.json_lines(data)
        if made is None:  # an object that holds a key twice, say
            if not _holds_a_key_twice(case.text):
                raise Failed("the bytes were left to be read first")
            return
        from_bytes = b"".join(made).decode("utf-8")
        shown = python.encode("utf-8", "backslashreplace").decode("utf-8")
        _same_lines(from_bytes, shown, "the listing from the bytes")


class _Loader(yaml.CBaseLoader):
    """PyYAML's C loader, untagged nodes' tags left "": the reference of the
    native composer."""

    def resolve(self, kind: Any, value: Any, implicit: Any) -> str:
        return ""


def _nodes(documents: list[Any]) -> list[Any]:
    """Documents' nodes as plain data: kind, tag, value, style, marks; a
    node met again (an alias) as its number."""
    seen: dict[int, int] = {}

    def walk(node: Any) -> Any:
        if node is None or id(node) in seen:
            return None if node is None else ("again", seen[id(node)])
        seen[id(node)] = len(seen)
        start, end = node.start_mark, node.end_mark
        marks = (start.index, start.line, start.column, end.index, end.line, end.column)
        kind = type(node).__name__
        if kind == "ScalarNode":
            return kind, node.tag, node.value, node.style, marks
        if kind == "SequenceNode":
            items = [walk(item) for item in node.value]
        else:
            items = [(walk(key), walk(value)) for key, value in node.value]
        return kind, node.tag, node.flow_style, marks, items

    return [walk(document) for document in documents]


def native_reader(case: Case) -> None:
    from props_to_tree import _yaml

    mine = _nodes(_yaml.compose_all(case.text))
    theirs = _nodes(list(yaml.compose_all(case.text, Loader=_Loader)))
    for number, (got, want) in enumerate(zip(mine, theirs, strict=False)):
        if got != want:
            raise Failed(f"document {number}: {_clip(got)}, not {_clip(want)}")
    if len(mine) != len(theirs):
        raise Failed(f"{len(mine)} documents, not {len(theirs)}")


def _holds_a_key_twice(text: str) -> bool:
    twice = []

    def pairs(found: list[tuple[str, Any]]) -> dict[str, Any]:
        twice.append(len({key for key, _ in found}) < len(found))
        return dict(found)

    json.loads(text, object_pairs_hook=pairs)
    return any(twice)


def _same_lines(got_text: str, want_text: str, what: str) -> None:
    got, want = got_text.split("\n"), want_text.split("\n")
    for number, (mine, theirs) in enumerate(zip(got, want, strict=False), 1):
        if mine != theirs:
            raise Failed(f"{what}: line {number} is {_clip(mine)}, not {_clip(theirs)}")
    if len(got) != len(want):
        raise Failed(f"{what}: {len(got)} lines, not {len(want)}")


# What a number may be written with, in all three formats: a number of the
# listing must be one of the file's words of these characters, as it is.
_NUMBER_WORD = re.compile(r"[-+.\w]+")


def numbers_as_written(case: Case) -> None:
    from props_to_tree._formats.yaml.values import plain_value

    document = _load(case.fmt, case.text, "file", written=True)
    found, values = leaves(document.tree)
    shown = document.show_all(values)
    words = set(_NUMBER_WORD.findall(case.text))
    for where, value, text in zip(found, values, shown, strict=True):
        if case.fmt == "yaml":  # the listing's tree holds the values as shown
            plain = isinstance(value, str) and value[:1] not in "\"'!"
            number = plain and isinstance(plain_value(value), int | float)
            number = number and not isinstance(plain_value(value), bool)
        else:
            number = isinstance(value, int | float) and not isinstance(value, bool)
        if number and text not in words:
            raise Failed(
                f"{where} lists as {_clip(text)}, which the file does not hold"
            )


def one_edit(case: Case, targets: Targets) -> None:
    assert targets.short is not None
    path, shown, (typed, data) = targets.short
    _set(case, path, shown, typed, expected(case.fmt, data, typed))


def _set(case: Case, path: paths.Path, shown: str, typed: str, wanted: Any) -> str:
    """Sets `typed` at `path` (a short value listed as `shown`): the value's
    line alone changes, and the new text holds `wanted` there."""
    _, removed, added, root = case.edit(Change(path, typed, f"--set {typed!r}"))
    written = value_in_place(removed, added, shown, "\n" in typed)
    got = case.value(root, path)
    if got != wanted:
        raise Failed(
            f"{typed!r} written as {_clip(written)} reads back as {_said(got)}"
        )
    return written


def awkward(case: Case, targets: Targets, name: str) -> None:
    assert targets.string is not None
    path, shown = targets.string
    typed, data = AWKWARD[name]
    written = _set(case, path, shown, typed, expected(case.fmt, data, typed))
    if typed == "1.10" and written != "1.10":
        raise Failed(f"1.10 written as {_clip(written)}")


def tagged(case: Case, targets: Targets) -> None:
    assert targets.string is not None
    assert targets.tag is not None
    path, shown = targets.string
    written, tag = targets.tag
    _set(case, path, shown, f"{written} y", (tag, "y"))


def ruamel_at(text: str, path: paths.Path) -> Any:
    """What ruamel.yaml's round-trip reader makes of the value at `path`."""
    from ruamel.yaml import YAML

    documents = [d for d in YAML(typ="rt").load_all(text) if d is not None]
    node: Any = documents[0] if len(documents) == 1 else documents
    for segment in path:
        node = node[segment]
    return node


def among_strings(case: Case, targets: Targets) -> None:
    assert targets.strings is not None
    above = targets.strings
    kind_, items = case.value(case.root, above)
    for typed, data in (("1.10", 1.1), ('"1.10"', "1.10")):
        warned: list[str] = []
        path = [*above, len(items)]
        new, removed, added, root = case.edit(Change(path, typed, typed), warned)
        removed, added = _commas_aside(removed, added)
        alone = (removed, len(added)) == ([], 1)
        if not (alone or (len(removed), len(added)) == (1, 1)):
            raise Failed(f"appending {typed} changed {_shown_change(removed, added)}")
        shown = json.dumps(typed, ensure_ascii=False)
        warning = (
            f"{paths.show(path)!r} is a number among strings; "
            f"write '{shown}' to keep a string"
        )
        warned = [w for w in warned if "is shared through" not in w]  # aliases
        if warned != ([warning] if data == 1.1 else []):
            raise Failed(f"appending {typed} warned {warned}")
        wanted = (kind_, [*items, expected(case.fmt, data, typed.strip('"'))])
        got = case.value(root, above)
        if got != wanted:
            raise Failed(
                f"with {typed} appended the list reads {_clip(str(got[1]), 160)}"
            )
        if case.fmt == "yaml":
            other = ruamel_at(new, path)
            if not isinstance(other, type(data)) or other != data:
                raise Failed(f"ruamel.yaml reads {typed} appended as {other!r}")


def tag_dropped(case: Case, targets: Targets) -> None:
    assert targets.tagged is not None
    path, shown, tag = targets.tagged
    typed = shown.split(" ", 1)[1] + "x"
    warned: list[str] = []
    new, removed, added, root = case.edit(Change(path, typed, "untagged"), warned)
    value_in_place(removed, added, shown, False)
    warning = (
        f"{paths.show(path)!r} had the tag {tag} and is now a string; "
        f"write '{tag} {typed}' to keep it"
    )
    warned = [w for w in warned if "is shared through" not in w]  # aliases
    if warned != [warning]:
        raise Failed(f"setting {typed} warned {warned}")
    got = case.value(root, path)
    if got != ("tag:yaml.org,2002:str", typed):
        raise Failed(f"{typed} reads back as {_said(got)}")
    other = ruamel_at(new, path)
    if not isinstance(other, str) or other != typed:  # not a TaggedScalar
        raise Failed(f"ruamel.yaml reads {typed} as {other!r} ({type(other).__name__})")


def list_change(case: Case, targets: Targets, append: bool) -> None:
    assert targets.item is not None
    path, _, (typed, data) = targets.item
    above = path[:-1]
    before = case.value(case.root, above)
    kind, items = before
    if append:
        change = Change([*above, len(items)], typed, "append")
        wanted = (kind, [*items, expected(case.fmt, data, typed)])
    else:
        change = Change(path, None, "delete")
        index = path[-1]
        assert isinstance(index, int)
        wanted = (kind, items[:index] + items[index + 1 :])
    _, removed, added, root = case.edit(change)
    removed, added = _commas_aside(removed, added)
    alone = (
        (removed, len(added)) == ([], 1) if append else (len(removed), added) == (1, [])
    )
    in_brackets = len(removed) == 1 and len(added) == 1
    if not (alone or in_brackets):
        raise Failed(
            f"changed {len(removed)} lines into {len(added)}: "
            + _shown_change(removed, added)
        )
    got = case.value(root, above)
    if got != wanted:
        what = "an appended" if append else "a deleted"
        raise Failed(f"the list after {what} item reads {_clip(str(got[1]), 160)}")


def selector_edit(case: Case, targets: Targets) -> None:
    assert targets.chosen is not None
    above, index, key, text, other, (typed, data) = targets.chosen
    selector = paths.Selector("where", [key], "=", text)
    pattern = [*above, selector, other]
    _, removed, added, root = case.edit(Change(pattern, typed, "selector"))
    shown = _listed(case, [*above, index, other])
    value_in_place(removed, added, shown, False)
    got = case.value(root, [*above, index, other])
    if got != expected(case.fmt, data, typed):
        raise Failed(
            f"{typed!r} through {paths.show(pattern)!r} reads back as {_said(got)}"
        )


def _listed(case: Case, path: paths.Path) -> str:
    return str(case.document.show_all([find(case.document.tree, path)])[0])


def every_item(case: Case, targets: Targets) -> None:
    assert targets.every is not None
    above, key, (typed, data) = targets.every
    pattern = [*above, paths.Selector("items"), key]
    count = len(find(case.document.tree, above))
    new, _, _, root = case.edit(Change(pattern, typed, "every item"))
    before, after = case.text.split("\n"), new.split("\n")
    if len(before) != len(after):
        raise Failed(f"{len(before)} lines became {len(after)}")
    changed = [(b, a) for b, a in zip(before, after, strict=True) if b != a]
    # A value that reads as the new one already may be written another way.
    wanted = expected(case.fmt, data, typed)
    differ = [
        i for i in range(count) if case.value(case.root, [*above, i, key]) != wanted
    ]
    if len(changed) == len(differ):
        for (old, line), i in zip(changed, differ, strict=True):
            value_in_place([old], [line], _listed(case, [*above, i, key]), False)
    else:  # items that share a line: the change of each by its index, in turn
        editor = Editor(case.document, lambda _: None)
        editor.apply(Change([*above, i, key], typed, f"[{i}]") for i in differ)
        if editor.document.text != new or len(changed) > len(differ):
            removed, added = changed_lines(editor.document.text, new)
            raise Failed(f"not the changes by index: {_shown_change(removed, added)}")
    for i in range(count):
        got = case.value(root, [*above, i, key])
        if got != wanted:
            raise Failed(f"item {i} reads back as {_said(got)}")


def _as_in(data: Any, target: str) -> Any:
    """`data` as a document of `target` holds it: JSON's dates and times are
    ISO strings, YAML's times of day too; NaN is a word, to compare."""
    if isinstance(data, dict):
        return {key: _as_in(value, target) for key, value in data.items()}
    if isinstance(data, list):
        return [_as_in(value, target) for value in data]
    if isinstance(data, float) and math.isnan(data):
        return "NaN"
    if isinstance(data, datetime.date | datetime.time) and target.startswith("json"):
        return data.isoformat()
    if isinstance(data, datetime.time) and target == "yaml":
        return data.isoformat()
    return data


# What a refusal says, as the kind of refusal it is.
REFUSALS = [
    ("is null", "a null"),
    ("a TOML document is a table", "a list or scalar at the top"),
    ("is tagged", "a custom tag"),
    ("past 64 bits", "an integer past 64 bits"),
    ("is inf", "infinity"),
    ("is -inf", "infinity"),
    ("is nan", "NaN"),
]


def converted(case: Case, target: str) -> None:
    """The document to `target` and back reads as its data."""
    from props_to_tree import _formats as formats
    from props_to_tree._engine import convert

    try:
        written, dropped = convert.convert(case.document, formats.reader(target))
    except EditError as exc:
        said = str(exc)
        if type(exc).__name__ != "ConvertError":
            raise
        kinds = [name for words, name in REFUSALS if words in said]
        if kinds != ["a custom tag"]:
            raise Skipped(f"refused: {kinds[0] if kinds else said}") from None
        # As --drop-tags converts it: the tags' values alone, as its data.
        try:
            written, dropped = convert.convert(
                case.document, formats.reader(target), drop_tags=True
            )
        except EditError as again:
            kinds = [name for words, name in REFUSALS if words in str(again)]
            tagged = (
                f"a custom tag, and with --drop-tags {kinds[0] if kinds else again}"
            )
            raise Skipped(f"refused: {tagged}") from None
    wanted = _as_in(case.document.data([]), target)
    there = _load(target, written, "converted")
    # Carried: as many as the converted text holds, where none was dropped
    # (a comment of several lines in /* */ is as many comments there).
    found = len(case.document.comments())
    carried = min(found - dropped, len(there.comments())) if found else 0
    carried = carried if formats.reader(target).carries else 0
    case.made[f"comments {target}"] = f"{found} {found - carried}"
    if _as_in(there.data([]), target) != wanted:
        raise Failed(f"the {target} reads otherwise: {_clip(written)}")
    back, _ = convert.convert(there, formats.reader(case.fmt))
    if _as_in(_load(case.fmt, back, "back").data([]), target) != wanted:
        raise Failed(f"back from {target}, it reads otherwise: {_clip(back)}")


def checks(targets: Targets) -> Iterator[tuple[str, Callable[[Case], None] | str]]:
    """Each check, or why the file has nothing for it."""
    yield "round trip", round_trip
    yield "rebuilt", rebuilt
    yield "native listing", native_listing
    native = targets.fmt == "yaml"
    yield "native reader", native_reader if native else "YAML's alone"
    yield "numbers as written", numbers_as_written
    short, item, string = targets.short, targets.item, targets.string
    yield "one edit", partial(one_edit, targets=targets) if short else "no short value"
    for name, append in (("list append", True), ("list delete", False)):
        run = partial(list_change, targets=targets, append=append)
        yield name, run if item else "no list of two short items"
    for name in AWKWARD:
        run = partial(awkward, targets=targets, name=name)
        yield name, run if string else "no short string"
    run = partial(among_strings, targets=targets)
    yield "number among strings", run if targets.strings else "no list of strings"
    if targets.fmt == "yaml":
        run = partial(tag_dropped, targets=targets)
        yield "tag dropped", run if targets.tagged else "no tagged plain word"
    run = partial(selector_edit, targets=targets)
    yield "selector edit", run if targets.chosen else "no list of tables told apart"
    run = partial(every_item, targets=targets)
    yield "every item", run if targets.every else "no list of tables with a common key"
    if targets.fmt == "yaml":
        run = partial(tagged, targets=targets)
        why = "no tag in the file" if string else "no short string"
        yield "value tag", run if string and targets.tag else why
    for target in TARGETS:
        yield f"to {target}", partial(converted, target=target)


# --- one file ----------------------------------------------------------------


def check_file(name: str) -> tuple[str, str, list[tuple[str, str]], float]:
    """(file, format, [(check, outcome)], seconds): an outcome is "ok",
    "skipped: why" or "FAILED: why"; ("file", ...) for the file as a whole."""
    started = time.perf_counter()
    fmt = detect(name)[0]
    results: list[tuple[str, str]] = []
    gc.disable()  # a check makes no cycles worth the collector's scans
    signal.alarm(LIMIT)
    try:
        fmt = _check_file(name, fmt, results)
    except TooSlow:
        results.append(("file", f"FAILED: over {LIMIT} s"))
    except Exception as exc:
        results.append(("file", f"FAILED: {_reason(exc)}"))
    finally:
        signal.alarm(0)
        gc.enable()
    return name, fmt, results, time.perf_counter() - started


def _check_file(name: str, fmt: str, results: list[tuple[str, str]]) -> str:
    """Runs every check of the file, adding to `results`; its format, where
    a JSON file turns out to hold comments "jsonc"."""
    try:
        # As bytes: read_text would turn each "\r\n" into "\n".
        text = Path(name).read_bytes().decode("utf-8").removeprefix("\ufeff")
        document = _load(fmt, text, Path(name).name)
    except (EditError, UnicodeDecodeError, RecursionError, OSError) as exc:
        results.append(("file", f"skipped: unreadable ({type(exc).__name__})"))
        return fmt
    if fmt == "json":
        try:
            json.loads(text)
        except ValueError:
            fmt = "jsonc"
    try:
        root = read_back(fmt, text, document)
    except (ValueError, yaml.YAMLError, RecursionError) as exc:
        why = f"the format's own reader refuses it ({type(exc).__name__})"
        results.append(("file", f"skipped: {why}"))
        return fmt
    try:
        targets = Targets(fmt, document, root)
    except (EditError, RecursionError) as exc:  # aliases that stand for too much
        results.append(("file", f"skipped: unreadable ({type(exc).__name__})"))
        return fmt
    slow = False
    lf: Case | None = None
    for crlf in (False, True):
        case: Case | None = None
        setup: str | None = None
        if crlf and "\r" in text:
            setup = HOLDS_CR
        elif not slow:
            try:
                if crlf:
                    copy = text.replace("\n", "\r\n")
                    document = _load(fmt, copy, Path(name).name)
                    case = Case(fmt, copy, document, lf)
                else:
                    case = lf = Case(fmt, text, document)
            except TooSlow:
                slow = True
            except Exception as exc:
                setup = f"FAILED: the copy does not load: {_reason(exc)}"
        for check, run in checks(targets):
            if slow:
                outcome = f"FAILED: not run, the file took over {LIMIT} s"
            elif setup is not None:
                outcome = setup
            elif isinstance(run, str):
                outcome = f"skipped: {run}"
            else:
                try:
                    run(case)  # type: ignore[arg-type]
                    outcome = "ok"
                except Failed as exc:
                    outcome = f"FAILED: {exc}"
                except Skipped as exc:
                    outcome = f"skipped: {exc}"
                except TooSlow:
                    slow = True
                    outcome = f"FAILED: over {LIMIT} s"
                except Exception as exc:
                    outcome = f"FAILED: {_reason(exc)}"
            results.append((check + (" (CRLF)" if crlf else ""), outcome))
        for target in TARGETS if case is not None and not crlf else ():
            counted = case.made.get(f"comments {target}")
            if counted is not None:
                results.append((f"comments {target}", counted))
    return fmt


def _reason(exc: BaseException) -> str:
    """An error in one line; where it was raised, unless it is one of the
    command's own, which name what went wrong in words."""
    said = " ".join(str(exc).split())[:200]
    if isinstance(exc, EditError):
        return f"EditError: {said}"
    last = traceback.extract_tb(exc.__traceback__)[-1]
    return f"{type(exc).__name__}: {said} ({Path(last.filename).name}:{last.lineno})"


def _start_worker() -> None:
    signal.signal(signal.SIGALRM, _too_slow)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent stops the pool


# --- the report --------------------------------------------------------------


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    options.add_argument("roots", nargs="*", default=["/usr", sys.base_prefix])
    options.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    options.add_argument(
        "--examples", type=int, default=5, help="failing files shown per check"
    )
    args = options.parse_args()
    started = time.perf_counter()
    files = {
        str(Path(directory, name))
        for root in args.roots
        for directory, _, names in os.walk(root)
        for name in names
        if not detect(name)[1]  # a format's by its name or suffix
    }

    def size(name: str) -> int:
        try:
            return os.stat(name).st_size
        except OSError:
            return 0

    # The largest first, so that no worker is left with one at the end.
    order = sorted(files, key=lambda name: (-size(name), name))
    context = multiprocessing.get_context("fork")
    with context.Pool(args.jobs, initializer=_start_worker) as pool:
        done = sorted(pool.imap_unordered(check_file, order, chunksize=1))

    counts: dict[tuple[str, str], Counter[str]] = defaultdict(Counter)
    failures: dict[tuple[str, str], list[str]] = defaultdict(list)
    comments: dict[tuple[str, str], Counter[str]] = defaultdict(Counter)
    for name, fmt, results, seconds in done:
        if seconds > LIMIT / 3:
            print(f"{name}: {seconds:.1f} s", file=sys.stderr)
        for check, outcome in results:
            if check.startswith("comments "):
                found, dropped = map(int, outcome.split())
                comments[fmt, check.removeprefix("comments ")] += Counter(
                    found=found, dropped=dropped
                )
                continue
            kind = "passed" if outcome == "ok" else outcome
            if outcome.startswith("FAILED"):
                kind = "failed"
                reason = outcome.removeprefix("FAILED: ")
                failures[fmt, check].append(f"{name}: {reason}")
            counts[fmt, check][kind] += 1

    for (fmt, check), lines in sorted(failures.items(), key=lambda kv: _order(*kv[0])):
        print(f"--- {fmt}, {check}: {len(lines)} failed", file=sys.stderr)
        for line in lines[: args.examples]:
            print(f"  {line}", file=sys.stderr)

    print(f"{'format':7} {'check':28} {'passed':>7} {'of':>7} {'share':>7}")
    for fmt, check in sorted(counts, key=lambda key: _order(*key)):
        tally = counts[fmt, check]
        passed, of = tally["passed"], tally["passed"] + tally["failed"]
        if of or check != "file":
            share = f"{passed / of:.1%}" if of else "n/a"
            print(f"{fmt:7} {check:28} {passed:7} {of:7} {share:>7}")
    print("\nskipped (not counted in 'of'), as it is and as a CRLF copy:")
    by_format = Counter(fmt for _, fmt, _, _ in done)
    for fmt in sorted(by_format):
        whole = counts.get((fmt, "file"), Counter())
        unread = sum(n for why, n in whole.items() if why.startswith("skipped"))
        print(f"  {fmt}: {by_format[fmt]} files, {by_format[fmt] - unread} read")
        for why, n in sorted(whole.items()):
            if why.startswith("skipped"):
                print(f"    {n:6}         {why.removeprefix('skipped: ')}")
        held = counts[fmt, "round trip (CRLF)"][HOLDS_CR]
        if held:
            print(f"           {held:6}  {HOLDS_CR.removeprefix('skipped: ')}")
        for check in [c for c in CHECKS if (fmt, c) in counts]:
            crlf = counts.get((fmt, f"{check} (CRLF)"), Counter())
            reasons = {*counts[fmt, check], *crlf} - {HOLDS_CR}
            for why in sorted(r for r in reasons if r.startswith("skipped")):
                n, m = counts[fmt, check][why], crlf[why]
                print(f"    {n:6} {m:6}  {check}: {why.removeprefix('skipped: ')}")
    print("\ncomments of the files converted, carried and dropped:")
    for (fmt, target), tally in sorted(comments.items()):
        found, dropped = tally["found"], tally["dropped"]
        carried = found - dropped
        share = f"{carried / found:.1%}" if found else "n/a"
        print(
            f"  {fmt:5} to {target:5}: {found:8,} comments, {carried:8,} carried "
            f"({share}), {dropped:,} dropped"
        )
    elapsed = time.perf_counter() - started
    print(f"\n{len(files)} files in {elapsed:.0f} s with {args.jobs} processes")


def _order(fmt: str, check: str) -> tuple[str, bool, int]:
    """Formats in turn; in each, the checks in order, then on the CRLF copy."""
    name = check.removesuffix(" (CRLF)")
    index = CHECKS.index(name) if name in CHECKS else -1
    return fmt, check.endswith("(CRLF)"), index


if __name__ == "__main__":
    main()
