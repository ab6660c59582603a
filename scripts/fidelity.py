"""How faithfully the command edits real files: every JSON, TOML and YAML file
that the machine's installed packages ship, in two checks.

- round trip: the file's listing applied back to it changes nothing;
- one edit: setting one short value, at any depth, changes exactly that
  value's line, and in it only the value's text (and the spaces before a
  trailing comment);
- lists: an item appended to a list of short values adds one line (or
  changes the one line of a list written in brackets), and deleting its last
  item takes one line.

An edit that fails counts as a failure, not as a skipped file.

    python scripts/fidelity.py [ROOT ...]    (default: /usr and sys.base_prefix)
"""

import difflib
import itertools
import os
import re
import signal
import sys
import time
from collections import Counter
from pathlib import Path
from typing import Any

from props_to_tree._command import paths
from props_to_tree._command.cli import SUFFIXES, _load
from props_to_tree._command.edit import Change, Editor
from props_to_tree._command.errors import UserError
from props_to_tree._command.listing import find, leaves, parse, render


def new_value(shown: str) -> tuple[str, str] | None:
    """A change to a short value, in listing syntax, and the text that the
    file should then hold in place of the old one."""
    if shown in ("true", "false"):
        flipped = "false" if shown == "true" else "true"
        return flipped, flipped
    if re.fullmatch(r"[0-9]{1,9}", shown):
        return str(int(shown) + 1), str(int(shown) + 1)
    if re.fullmatch(r'"?[A-Za-z][A-Za-z0-9_]{0,30}"?', shown):
        bare = shown.strip('"')
        return bare + "x", bare + "x"
    return None


def _edited(editor: Editor, text: str, change: Change) -> list[str]:
    """The lines that `change` alone takes away (-) and adds (+)."""
    editor.apply([change])
    after = editor.document.text.splitlines()
    return [
        line for line in difflib.ndiff(text.splitlines(), after) if line[:1] in "+-"
    ]


def check(path: Path, fmt: str) -> str:
    text = path.read_text("utf-8")
    document = _load(fmt, text, path.name)  # a file that does not load is skipped
    try:
        return _edits(text, document)
    except UserError as exc:
        return f"FAILED: {exc}"


def _edits(text: str, document: Any) -> str:
    found, values = leaves(document.tree)
    listing = "".join(render(found, values, document.show_all))
    changes = [Change(p, v, w) for p, v, w in parse(listing, "listing")]

    def editor() -> Editor:
        return Editor(document, document.reload, lambda _: None)

    if editor().apply(changes):
        return "FAILED: the round trip changed the document"
    shown = document.show_all(values)
    edits = ((p, new_value(v)) for p, v in zip(found, shown, strict=True))
    edit = next(((p, e) for p, e in edits if e), None)
    if edit is None:
        return "skipped: no short scalar value"
    where, (value, written) = edit
    diff = _edited(editor(), text, Change(paths.parse(where), value, "edit"))
    if len(diff) != 2 or diff[0][0] != "-" or diff[1][0] != "+":
        return f"FAILED: an edit changed {len(diff)} lines"
    if written not in diff[1] or diff[0].split() == diff[1].split():
        return "FAILED: the line changed but not as asked"
    # A list of two or more short scalars: an item appended, and one deleted.
    lists = [
        (p, e)
        for p, v in zip(found, shown, strict=True)
        if p.endswith("]") and not p.startswith("[") and (e := new_value(v))
    ]
    where, (value, _) = lists[-1] if lists else ("", ("", ""))
    items = paths.parse(where) if where else []
    if len(items) < 2 or len(find(document.tree, items[:-1])) < 2:
        return "one line"
    appended = [*items[:-1], len(find(document.tree, items[:-1]))]
    for change in (Change(appended, value, "append"), Change(items, None, "delete")):
        diff = _commas_aside(_edited(editor(), text, change))
        alone = len(diff) == 1 and diff[0][0] == ("+" if change.text else "-")
        if not alone and not (len(diff) == 2 and diff[0][0] == "-"):
            return f"FAILED: {change.origin} changed {len(diff)} lines"
    return "one line, and a list appended to and deleted from"


def _commas_aside(diff: list[str]) -> list[str]:
    """`diff` without the line before an item that gains or loses its comma:
    JSON has no comma after its last item."""
    for old, new in itertools.product(diff, diff):
        before, after = old[2:].rstrip(), new[2:].rstrip()
        bare = before.rstrip(",")
        if (old[0], new[0]) == ("-", "+") and {before, after} == {bare, bare + ","}:
            return [line for line in diff if line not in (old, new)]
    return diff


LIMIT = 60  # seconds a file may take


class TooSlow(Exception):
    pass


def _too_slow(*_: object) -> None:
    raise TooSlow(f"over {LIMIT} s")


def main() -> None:
    roots = sys.argv[1:] or ["/usr", sys.base_prefix]
    files = sorted(
        {
            Path(directory, name)
            for root in roots
            for directory, _, names in os.walk(root)
            for name in names
            if Path(name).suffix in SUFFIXES
        }
    )
    outcomes: dict[str, Counter[str]] = {}
    signal.signal(signal.SIGALRM, _too_slow)
    for path in files:
        fmt = SUFFIXES[path.suffix]
        started = time.perf_counter()
        signal.alarm(LIMIT)
        try:
            outcome = check(path, fmt)
        except (UserError, UnicodeDecodeError, RecursionError, OSError) as exc:
            outcome = f"skipped: unreadable ({type(exc).__name__})"
        except Exception as exc:
            outcome = f"FAILED: {type(exc).__name__}: {exc}"
        finally:
            signal.alarm(0)
        if time.perf_counter() - started > 2:
            print(f"{path}: {time.perf_counter() - started:.1f} s", file=sys.stderr)
        if outcome.startswith("FAILED"):
            print(f"{path}: {outcome}", file=sys.stderr)
        kind = outcome if outcome.startswith("skipped") else outcome.split(":")[0]
        outcomes.setdefault(fmt, Counter())[kind] += 1
    for fmt, counts in sorted(outcomes.items()):
        edited = sum(n for k, n in counts.items() if not k.startswith("skipped"))
        ok = sum(n for k, n in counts.items() if k.startswith("one line"))
        share = f"{ok / edited:.1%}" if edited else "n/a"
        print(f"{fmt}: {ok} of {edited} edited files changed one line ({share})")
        for outcome, n in counts.most_common():
            print(f"  {n:5} {outcome}")


if __name__ == "__main__":
    main()
