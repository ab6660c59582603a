"""Paths: keys joined by ".", a list's item as [N] right after its key
(`spec.containers[0].image`, `[-1]` the last), and a key that cannot stand
bare as a JSON string in brackets (`labels["app.kubernetes.io/name"]`).  Every
path a listing writes reads back as the keys it came from.

A path given for a change or a read may also select: `*` every key of a
table, `[*]` every item of a list, `[SUB=VALUE]` and `[SUB^=VALUE]` the items
that hold a matching scalar at SUB (`.` the item itself)."""

from __future__ import annotations

from props_to_tree._engine.errors import PathError

# json and re are imported where first needed: a listing from a JSON file's
# bytes needs neither, and they are a good part of the command's start.

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    Segment = str | int
    Path = list[Segment]
    Pattern = list["Segment | Selector"]

# Compiled where first needed (the re module keeps them): a listing needs
# none of them, and their character classes take a while to compile.
_SEGMENT = (
    r"(?P<bare>[^.\[\]\"=\s](?:[^.\[\]\"=]*[^.\[\]\"=\s])?)"
    r"|\[(?:(?P<index>-?[0-9]+)|(?P<quoted>\"(?:[^\"\\]|\\.)*\"))\]"
)
# In a selector's SUB, "&" joins conditions: a bare key holds none.
_SUB_SEGMENT = (
    r"(?P<bare>[^.\[\]\"=&\s](?:[^.\[\]\"=&]*[^.\[\]\"=&\s])?)"
    r"|\[(?:(?P<index>-?[0-9]+)|(?P<quoted>\"(?:[^\"\\]|\\.)*\"))\]"
)
_BEFORE_VALUE = r" *="
_SURROGATE = "[\ud800-\udfff]"
# Each key as a path shows it, by key: a listing shows the same keys again and
# again, and the native walks fill it too.
key_texts: dict[str, str] = {}


class Condition:
    """What a selector asks of an item: a scalar at SUB (a path from the
    item, `[]` for the item itself) that is VALUE (`op` "=") or a string
    that starts with it ("^="); `value` is VALUE as a string, `quoted` where
    it was written as a JSON string."""

    __slots__ = ("op", "quoted", "sub", "value")

    def __init__(self, sub: Path, op: str, value: str, quoted: bool = False) -> None:
        self.sub, self.op, self.value, self.quoted = sub, op, value, quoted

    def text(self) -> str:
        """SUB, the operator and VALUE as written: `name=web`."""
        import json

        if not self.sub:
            sub = "."
        else:
            parts = [
                f"[{s}]"
                if isinstance(s, int)
                else f"[{json.dumps(s, ensure_ascii=False)}]"
                if "&" in s  # which would join conditions
                else key_text(s)
                for s in self.sub
            ]
            sub = "".join(parts).removeprefix(".")
            last = self.sub[-1]
            not_operator = self.op == "=" and sub[-1] in "^" + _NOT_OPERATORS
            if isinstance(last, str) and not_operator:
                before = show(self.sub[:-1]) if len(self.sub) > 1 else ""
                sub = f"{before}[{json.dumps(last)}]"  # not an operator
        value = self.value
        if self.quoted or any(c in value for c in "&]"):
            value = json.dumps(value, ensure_ascii=False)
        return f"{sub}{self.op}{value}"


class Selector:
    """A segment that stands for every place it matches: `*` the keys of a
    table ("keys"), `[*]` the items of a list ("items"), and the items of a
    list, or the members of a table, whose value meets every one of its
    `conditions` ("where": `[SUB=VALUE&SUB^=VALUE]`); or `[+]`, the place
    one past a list's last item, where a --set appends ("append").  A
    selector of one condition may be made of its parts:
    `Selector("where", sub, op, value)`."""

    __slots__ = ("conditions", "kind")

    def __init__(
        self,
        kind: str,
        sub: Path | None = None,
        op: str = "",
        value: str = "",
        quoted: bool = False,
        conditions: list[Condition] | None = None,
    ) -> None:
        self.kind = kind
        if conditions is None and kind == "where":
            conditions = [Condition(sub or [], op, value, quoted)]
        self.conditions = conditions or []

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Selector) and self.text() == other.text()

    def __hash__(self) -> int:
        return hash(self.text())

    def __repr__(self) -> str:
        return f"Selector({self.text()!r})"

    def condition(self) -> str:
        """The conditions as written: `kind=Pod&metadata.name=web`."""
        return "&".join(condition.text() for condition in self.conditions)

    def text(self) -> str:
        """As it follows a path before it."""
        if self.kind == "keys":
            return ".*"
        if self.kind == "append":
            return "[+]"
        return "[*]" if self.kind == "items" else f"[{self.condition()}]"


def _bare(key: str) -> bool:
    """Whether `key` can stand bare in a path: not empty, no separator,
    bracket, quote or "=", nothing that does not print (line breaks, other
    control characters, lone surrogates, spaces but the plain one), no space
    at either end, no "#" first (a listing's comment), and not "*", which
    stands for every key."""
    return (
        key.isprintable()
        and key[:1] not in ("", "#", " ")
        and key[-1] != " "
        and key != "*"
        and not any(c in key for c in '.[]"=')
    )


def key_text(key: str) -> str:
    """A key as it follows the path before it: ".key" or '["key"]'."""
    found = key_texts.get(key)
    if found is None:
        if _bare(key):
            found = "." + key
        else:
            import json
            import re

            quoted = json.dumps(key, ensure_ascii=False)
            escape = lambda m: f"\\u{ord(m[0]):04x}"  # noqa: E731
            found = "[" + re.sub(_SURROGATE, escape, quoted) + "]"
        key_texts[key] = found
    return found


def show(path: Sequence[Segment | Selector]) -> str:
    """`path` as written: "." for the top."""
    return _tail(path).removeprefix(".") or "."


def _tail(path: Sequence[Segment | Selector]) -> str:
    """`path` as it follows a path before it."""
    return "".join(
        key_text(s)
        if isinstance(s, str)
        else s.text()
        if isinstance(s, Selector)
        else f"[{s}]"
        for s in path
    )


def selects(path: Pattern) -> bool:
    """Whether `path` may stand for more places than one, or for one found
    in the document (`[+]`)."""
    return any(isinstance(s, Selector) for s in path)


def appends(path: Pattern) -> bool:
    """Whether `path` holds `[+]`."""
    return any(isinstance(s, Selector) and s.kind == "append" for s in path)


def check_append(path: Pattern, setting: bool) -> None:
    """Refuses a `[+]` anywhere but at the end of a path that is set."""
    if appends(path) and (not setting or appends(path[:-1])):
        raise PathError(
            f"bad path {show(path)!r}: [+] stands for a new item, so it ends "
            "a path that is set, and only there"
        )


def read(text: str, at: int = 0, shown: str | None = None) -> tuple[Pattern, int]:
    """The path that `text` starts with at `at`, and where it ends: before
    the first "=" outside brackets (and the spaces before it), or at the
    end.  "." alone is the top of the document: the empty path.  Errors
    call the path `shown`, by default the whole of `text`."""
    plain = _plain(text, at)
    if plain is not None:
        return plain
    import re

    shown = text if shown is None else shown
    if text.startswith(".", at) and (
        at + 1 == len(text) or re.compile(_BEFORE_VALUE).match(text, at + 1)
    ):
        return [], at + 1
    path, at = _segments(text, at, shown, _BEFORE_VALUE)
    if not path:
        raise PathError(f"bad path {shown!r}: it is empty (the top is '.')")
    return path, at


# The characters of the keys most paths are made of.
_PLAIN = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.")


def _plain(text: str, at: int) -> tuple[Pattern, int] | None:
    """read()'s path where it is the common one, keys of letters, digits,
    "_" and "-" joined by ".", read without the regular expressions (which
    a --get would otherwise load for it); None for any other."""
    end = at
    while end < len(text) and text[end] in _PLAIN:
        end += 1
    path = text[at:end]
    rest = text[end:].lstrip(" ")
    if not path or (rest and rest[0] != "=") or (rest == "" and end < len(text)):
        return None
    keys: Pattern = [*path.split(".")]
    return None if "" in keys else (keys, end)


def _segments(
    text: str, at: int, shown: str, stop: str, inner: bool = False
) -> tuple[Pattern, int]:
    """The segments from `at` up to where `stop` matches after one of them,
    or the end; `inner` for a selector's SUB, which holds keys and [N] only."""
    import re

    path: Pattern = []
    ends, segment_at = re.compile(stop), re.compile(_SUB_SEGMENT if inner else _SEGMENT)
    while at < len(text) and not (path and ends.match(text, at)):
        if path and text[at] == ".":
            at += 1
        elif inner and text[at] == "&":
            raise _Operator(
                f"bad path {shown!r}: '&' joins a selector's conditions; "
                'a key that holds it is written quoted, ["R&D"]'
            )
        elif path and text[at] != "[":
            raise PathError(f"bad path {shown!r}: {_hint(text, at)}")
        if inner and text.startswith('"', at):  # a quoted key needs no brackets here
            key, at = _string(text, at, shown, "a key")
            path.append(key)
            continue
        found = segment_at.match(text, at)
        if found is None and text.startswith("[", at) and not inner:
            selector, at = _selector(text, at, shown)
            path.append(selector)
            continue
        if found is None:
            raise PathError(f"bad path {shown!r}: {_hint(text, at)}")
        bare = found["bare"]
        if bare is not None:
            if (
                inner
                and bare[-1] in _NOT_OPERATORS
                and text.startswith("=", found.end())
            ):
                import json

                raise _Operator(
                    f"bad path {shown!r}: a selector compares with = or ^=; "
                    f"a key that ends in {bare[-1]!r} is written quoted, "
                    f"{json.dumps(bare)}"
                )
            if inner and bare.endswith("^") and text.startswith("=", found.end()):
                bare = bare[:-1]  # "^=" is the operator's
                if not bare:
                    raise PathError(f"bad path {shown!r}: {_hint(text, at)}")
                path.append(bare)
                at = found.end() - 1
                continue
            path.append(Selector("keys") if bare == "*" and not inner else bare)
        elif found["index"] is not None:
            path.append(int(found["index"]))
        else:
            import json  # loaded by the first key written quoted

            try:
                path.append(json.loads(found["quoted"]))
            except ValueError as exc:  # an escape JSON has not
                problem = str(exc).partition(":")[0]
                raise PathError(f"bad path {shown!r}: {problem} in a key") from None
        at = found.end()
    return path, at


def _selector(text: str, at: int, shown: str) -> tuple[Selector, int]:
    """The selector that starts with the "[" at `at`, and where it ends: its
    conditions, joined by "&"."""
    if text.startswith("[*]", at):
        return Selector("items"), at + 3
    if text.startswith("[+]", at):
        return Selector("append"), at + 3
    start, at = at, at + 1
    conditions: list[Condition] = []
    while True:
        condition, at = _condition(text, at, shown, start, bool(conditions))
        conditions.append(condition)
        if text.startswith("]", at):
            return Selector("where", conditions=conditions), at + 1
        at += 1  # past the "&"


def _condition(
    text: str, at: int, shown: str, start: int, joined: bool
) -> tuple[Condition, int]:
    """The condition at `at`, within the selector that starts at `start`,
    and where it ends: at the "&" or "]" after it.  `joined`: one after an
    "&"."""
    import re

    sub: Pattern = []
    if not (text.startswith(".=", at) or text.startswith(".^=", at)):
        try:
            sub, at = _segments(text, at, shown, r"\^?=", inner=True)
        except _Operator:
            raise
        except PathError:
            sub = []
        if not sub or not text.startswith(("=", "^="), at):
            if joined:
                raise PathError(
                    f"bad path {shown!r}: after '&' comes no condition SUB=VALUE; "
                    'a VALUE that holds "&" is a JSON string, [url^="...&..."]'
                )
            raise PathError(f"bad path {shown!r}: {_hint(text, start)}")
    else:
        at += 1
    op = "^=" if text.startswith("^", at) else "="
    at += len(op)
    if text.startswith('"', at):
        value, at = _string(text, at, shown, "a VALUE")
        if not text.startswith(("]", "&"), at):
            raise PathError(
                f"bad path {shown!r}: a quoted VALUE ends its condition with "
                "'&' or its selector with ']'"
            )
        quoted = True
    else:
        found = re.compile(r"[&\]]").search(text, at)
        if found is None:
            raise PathError(f"bad path {shown!r}: a selector ends with ']'")
        value, at, quoted = text[at : found.start()], found.start(), False
    keys: Path = [s for s in sub if not isinstance(s, Selector)]
    return Condition(keys, op, value, quoted), at


class _Operator(PathError):
    """A selector with an operator of another tool's."""


# Other tools' operators, which a key before "=" may not end in unquoted.
_NOT_OPERATORS = "!~$*<>|="


def _string(text: str, at: int, shown: str, what: str) -> tuple[str, int]:
    """The JSON string that starts at `at`, and where it ends."""
    from json.decoder import scanstring  # type: ignore[attr-defined]

    try:
        found: tuple[str, int] = scanstring(text, at + 1)
    except ValueError as exc:
        problem = str(exc).partition(":")[0]
        raise PathError(f"bad path {shown!r}: {problem} in {what}") from None
    return found


def _hint(text: str, at: int) -> str:
    if text.startswith("[", at):
        return (
            'an item is [N] (a number, [-1] the last), a quoted key ["key"], '
            "a selector [*], [SUB=VALUE] or [SUB^=VALUE]"
        )
    if at == len(text) or text[at] in ".=":
        return 'a key is empty (an empty key is written [""])'
    if text[at].isspace():
        return 'a key with white space at an end is written [" key"]'
    return f"unexpected {text[at]!r} at {at + 1}"


def parse(text: str) -> Pattern:
    path, end = read(text)
    if end != len(text):
        raise PathError(f"bad path {text!r}: a key with '=' is written [\"...\"]")
    return path


def split_assignment(text: str, what: str = "--set") -> tuple[Pattern, str]:
    """PATH=VALUE, or a listing's line PATH = VALUE."""
    path, at = read(text, shown=_before_value(text))
    if at == len(text):
        raise PathError(f"{what} needs PATH=VALUE, got {text!r}")
    spaced = text[at] == " "
    value = text[text.index("=", at) + 1 :]
    return path, value[1:] if spaced and value.startswith(" ") else value


def _before_value(text: str) -> str:
    """The path of PATH=VALUE as far as a message can tell: up to the first
    "=" outside brackets and quotes."""
    depth, quoted, escaped = 0, False, False
    for at, c in enumerate(text):
        if quoted:
            quoted, escaped = (c != '"' or escaped), (c == "\\" and not escaped)
        elif c == '"':
            quoted = True
        elif c in "[]":
            depth += 1 if c == "[" else -1
        elif c == "=" and depth <= 0:
            return text[:at].rstrip(" ")
    return text


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
