"""How faithfully the command edits real files: every TOML and YAML file that
the machine's installed packages ship, in two checks.

- round trip: the file's listing applied back to it changes nothing;
- one edit: setting one value changes exactly that value's line.

    python scripts/fidelity.py [ROOT ...]    (default: /usr and sys.base_prefix)
"""

import difflib
import os
import sys
from collections import Counter
from pathlib import Path

from props_to_tree._edit import Change, Editor
from props_to_tree._errors import UserError
from props_to_tree._formats import FORMATS, SUFFIXES, Format
from props_to_tree._listing import parse, render


def new_value(value: object) -> str | None:
    """A change to `value` in listing syntax that every format reads alike,
    for a short value: the edit itself then fits on its line."""
    if isinstance(value, bool):
        return "false" if value else "true"
    if isinstance(value, int):
        return str(int(value) + 1)
    if isinstance(value, str) and len(value) < 40 and value[-1:].isalnum():
        if "\n" in value:
            return None
        return value + "x"
    return None


def check(path: Path) -> str:
    fmt: Format = FORMATS[SUFFIXES[path.suffix]]()
    text = path.read_text("utf-8")
    document = fmt.load(text)
    if not isinstance(document, dict):
        return "skipped: no mapping at the top"
    editor = Editor(fmt, document)
    listing = "".join(render(editor.current, fmt.show_all))
    changes = [Change(p, v, w) for p, v, w in parse(listing, path.name)]
    if editor.apply(changes):
        return "round trip changed the document"
    edits = ((k, new_value(v)) for k, v in editor.current.items())
    edit = next(((k, v) for k, v in edits if v is not None), None)
    if edit is None:
        return "skipped: no short scalar value"
    editor.apply([Change(*edit, "edit")])
    before, after = text.splitlines(), fmt.dump(document).splitlines()
    diff = [line for line in difflib.ndiff(before, after) if line[:1] in "+-"]
    if len(diff) == 2 and diff[0][0] == "-" and diff[1][0] == "+":
        return "one line"
    return f"{len(diff)} lines changed"


def main() -> None:
    roots = sys.argv[1:] or ["/usr", sys.base_prefix]
    files = sorted(
        {
            Path(directory, name)
            for root in roots
            for directory, _, names in os.walk(root)
            for name in names
            if Path(name).suffix in (".toml", ".yaml", ".yml")
        }
    )
    outcomes: dict[str, Counter[str]] = {"toml": Counter(), "yaml": Counter()}
    for path in files:
        try:
            outcome = check(path)
        except (UserError, UnicodeDecodeError, RecursionError) as exc:
            outcome = f"skipped: unreadable ({type(exc).__name__})"
        except Exception as exc:
            outcome = f"FAILED: {type(exc).__name__}: {exc}"
            print(f"{path}: {outcome}", file=sys.stderr)
        if not outcome.startswith(("one line", "skipped")):
            print(f"{path}: {outcome}", file=sys.stderr)
        kind = outcome if outcome.startswith("skipped") else outcome.split(":")[0]
        outcomes[SUFFIXES[path.suffix]][kind] += 1
    for fmt, counts in outcomes.items():
        edited = sum(n for k, n in counts.items() if not k.startswith("skipped"))
        ok = counts["one line"]
        share = f"{ok / edited:.1%}" if edited else "n/a"
        print(f"{fmt}: {ok} of {edited} edited files changed one line ({share})")
        for outcome, n in counts.most_common():
            print(f"  {n:5} {outcome}")


if __name__ == "__main__":
    main()
