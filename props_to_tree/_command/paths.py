"""Paths: keys joined by ".", a list's item as [N] right after its key
(`spec.containers[0].image`, `[-1]` the last), and a key that cannot stand
bare as a JSON string in brackets (`labels["app.kubernetes.io/name"]`).  Every
path a listing writes reads back as the keys it came from."""

from __future__ import annotations

import json
import re

from props_to_tree._command.errors import UserError

TYPE_CHECKING = False
if TYPE_CHECKING:
    Segment = str | int
    Path = list[Segment]

# Compiled where first needed (the re module keeps them): a listing needs
# none of them, and their character classes take a while to compile.
_SEGMENT = (
    r"(?P<bare>[^.\[\]\"=\s](?:[^.\[\]\"=]*[^.\[\]\"=\s])?)"
    r"|\[(?:(?P<index>-?[0-9]+)|(?P<quoted>\"(?:[^\"\\]|\\.)*\"))\]"
)
_BEFORE_VALUE = r" *="
_SURROGATE = "[\ud800-\udfff]"
_cache: dict[str, str] = {}


def _bare(key: str) -> bool:
    """Whether `key` can stand bare in a path: not empty, no separator,
    bracket, quote or "=", nothing that does not print (line breaks, other
    control characters, lone surrogates, spaces but the plain one), no space
    at either end, and no "#" first (a listing's comment)."""
    return (
        key.isprintable()
        and key[:1] not in ("", "#", " ")
        and key[-1] != " "
        and not any(c in key for c in '.[]"=')
    )


def key_text(key: str) -> str:
    """A key as it follows the path before it: ".key" or '["key"]'."""
    found = _cache.get(key)
    if found is None:
        if _bare(key):
            found = "." + key
        else:
            quoted = json.dumps(key, ensure_ascii=False)
            escape = lambda m: f"\\u{ord(m[0]):04x}"  # noqa: E731
            found = "[" + re.sub(_SURROGATE, escape, quoted) + "]"
        _cache[key] = found
    return found


def show(path: Path) -> str:
    """`path` as written: "." for the top."""
    return _tail(path).removeprefix(".") or "."


def _tail(path: Path) -> str:
    """`path` as it follows a path before it."""
    return "".join(key_text(s) if isinstance(s, str) else f"[{s}]" for s in path)


def read(text: str, at: int = 0, shown: str | None = None) -> tuple[Path, int]:
    """The path that `text` starts with at `at`, and where it ends: before
    the first "=" outside a quoted key (and the spaces before it), or at the
    end.  "." alone is the top of the document: the empty path.  Errors
    call the path `shown`, by default the whole of `text`."""
    shown = text if shown is None else shown
    path: Path = []
    before_value, segment_at = re.compile(_BEFORE_VALUE), re.compile(_SEGMENT)
    if text.startswith(".", at) and (
        at + 1 == len(text) or before_value.match(text, at + 1)
    ):
        return path, at + 1
    while at < len(text) and not (path and before_value.match(text, at)):
        if path and text[at] == ".":
            at += 1
        elif path and text[at] != "[":
            raise UserError(f"bad path {shown!r}: {_hint(text, at)}")
        found = segment_at.match(text, at)
        if found is None:
            raise UserError(f"bad path {shown!r}: {_hint(text, at)}")
        if found["bare"] is not None:
            path.append(found["bare"])
        elif found["index"] is not None:
            path.append(int(found["index"]))
        else:
            try:
                path.append(json.loads(found["quoted"]))
            except ValueError as exc:  # an escape JSON has not
                problem = str(exc).partition(":")[0]
                raise UserError(f"bad path {shown!r}: {problem} in a key") from None
        at = found.end()
    if not path:
        raise UserError(f"bad path {shown!r}: it is empty (the top is '.')")
    return path, at


def _hint(text: str, at: int) -> str:
    if text.startswith("[", at):
        return 'an item is [N] (a number, [-1] the last), a quoted key ["key"]'
    if at == len(text) or text[at] in ".=":
        return 'a key is empty (an empty key is written [""])'
    if text[at].isspace():
        return 'a key with white space at an end is written [" key"]'
    return f"unexpected {text[at]!r} at {at + 1}"


def parse(text: str) -> Path:
    path, end = read(text)
    if end != len(text):
        raise UserError(f"bad path {text!r}: a key with '=' is written [\"...\"]")
    return path


def split_assignment(text: str, what: str = "--set") -> tuple[Path, str]:
    """PATH=VALUE, or a listing's line PATH = VALUE."""
    # A message shows the path without the value, as far as it can tell.
    path, at = read(text, shown=text if '"' in text else text.partition("=")[0])
    if at == len(text):
        raise UserError(f"{what} needs PATH=VALUE, got {text!r}")
    spaced = text[at] == " "
    value = text[text.index("=", at) + 1 :]
    return path, value[1:] if spaced and value.startswith(" ") else value


# --- what stops a path, in words ---------------------------------------------


def where(path: Path) -> str:
    return f"under {show(path)!r}" if path else "at the top level"


def missing(path: Path, count: int | None = None) -> str:
    """The last segment of `path` is not there (a list holds `count`)."""
    last, above = path[-1], path[:-1]
    if isinstance(last, int):
        inside = f"in {show(above)!r}" if above else "at the top"
        return f"no [{last}] {inside} ({_items(count)})"
    return f"no {last!r} {where(above)}"


def _items(count: int | None) -> str:
    return f"{count} item" + ("" if count == 1 else "s")


def kind(data: object) -> str:
    """What a value is, in words."""
    if data is None:
        return "null"
    if isinstance(data, bool):
        return "a boolean"
    if isinstance(data, int | float):
        return "a number"
    if isinstance(data, str):
        return "a string"
    if isinstance(data, dict):
        return "a table"
    if isinstance(data, list):
        return "a list"
    if hasattr(data, "isoformat"):
        return "a date" if hasattr(data, "year") else "a time"
    return "a value"


def blocked(node: object, path: Path, depth: int) -> str:
    """Why `path` cannot go on from `node`, the value at `path[:depth]`:
    `node` holds a list, a table or a value where `path[depth]` needs the
    other.  A list counts as a list and a dict as a table whatever the
    format made of them; a YAML node is given as what it reads as."""
    above, segment = path[:depth], path[depth]
    name = repr(show(above)) if above else "the top"
    if isinstance(segment, int) and isinstance(node, dict):
        return f"{name} is a table, not a list: its keys have no [N]"
    if isinstance(segment, str) and isinstance(node, list):
        rest = _tail(path[depth:])
        return (
            f"no {segment!r} {where(above) if above else 'at the top'}: it is a list "
            f"({_items(len(node))}); write {_tail(above).removeprefix('.')}[N]{rest}"
        )
    wanted = "a list" if isinstance(segment, int) else "a table"
    return f"{name} holds {kind(node)}, not {wanted}"
