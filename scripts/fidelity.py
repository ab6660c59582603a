"""How faithfully the command edits real files: every JSON, TOML and YAML file
that the machine's installed packages ship, in two checks.

- round trip: the file's listing applied back to it changes nothing;
- one edit: setting one short value changes exactly that value's line, and
  in it only the value's text (and the spaces before a trailing comment).

An edit that fails counts as a failure, not as a skipped file.

    python scripts/fidelity.py [ROOT ...]    (default: /usr and sys.base_prefix)
"""

import difflib
import os
import re
import signal
import sys
import time
from collections import Counter
from pathlib import Path

from props_to_tree import flatten
from props_to_tree._command.cli import SUFFIXES, _load
from props_to_tree._command.edit import Change, Editor
from props_to_tree._command.errors import UserError
from props_to_tree._command.listing import parse, render


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


def check(path: Path, fmt: str) -> str:
    text = path.read_text("utf-8")
    document = _load(fmt, text, path.name)
    props = flatten(document.tree)
    listing = "".join(render(props, document.show_all))
    changes = [Change(p, v, w) for p, v, w in parse(listing, path.name)]
    if Editor(document, document.reload, lambda _: None).apply(changes):
        return "FAILED: the round trip changed the document"
    shown = document.show_all(list(props.values()))
    edit = next(
        (
            (key, found)
            for key, value in zip(props, shown, strict=True)
            if (found := new_value(value)) and "." not in key.split(".")[-1]
        ),
        None,
    )
    if edit is None:
        return "skipped: no short scalar value"
    key, (value, written) = edit
    editor = Editor(document, document.reload, lambda _: None)
    editor.apply([Change(key, value, "edit")])
    before, after = text.splitlines(), editor.document.text.splitlines()
    diff = [line for line in difflib.ndiff(before, after) if line[:1] in "+-"]
    if len(diff) != 2 or diff[0][0] != "-" or diff[1][0] != "+":
        return f"FAILED: {len(diff)} lines changed"
    old, new = diff[0][2:], diff[1][2:]
    if written not in new or old.split() == new.split():
        return "FAILED: the line changed but not as asked"
    return "one line"


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
            if isinstance(exc, UserError) and "break the document" in str(exc):
                outcome = f"FAILED: {exc}"
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
        ok = counts["one line"]
        share = f"{ok / edited:.1%}" if edited else "n/a"
        print(f"{fmt}: {ok} of {edited} edited files changed one line ({share})")
        for outcome, n in counts.most_common():
            print(f"  {n:5} {outcome}")


if __name__ == "__main__":
    main()
