"""The kinds of values, and the warnings of a change that writes another
kind than was there, or than a list's other items are: it may be a typo."""

from __future__ import annotations

from props_to_tree._engine import paths

TYPE_CHECKING = False
if TYPE_CHECKING:
    from props_to_tree._engine.changes import Change
    from props_to_tree._engine.document import Value
    from props_to_tree._engine.paths import Path


def kind(data: object) -> str | None:
    """The kind of scalar whose change the user is warned of."""
    if data is None or isinstance(data, dict | list):
        return None
    found = paths.kind(data)
    return None if found == "a value" else found.replace("a time", "a date")


def changed_kind(change: Change, path: Path, old: Value, value: Value) -> str | None:
    """A warning where the change writes another kind of value than was
    there (a list or table gone for a value, a string turned into a number):
    it may be a typo.  Judged by what is written, its tag too: a scalar's
    tag that the VALUE does not repeat is dropped, and said so."""
    was = old.collection or old.kind or kind(old.data)
    now = value.collection or value.kind
    now = now or (paths.kind(value.data) if old.collection else kind(value.data))
    python = change.value is not None
    typed = change.text or ""
    shown = repr(paths.show(path))
    if old.tag and not value.tag and not old.collection:
        said = (
            f"{shown} had the tag {old.tag} and is now {now or paths.kind(value.data)}"
        )
        return said if python else f"{said}; write '{old.tag} {typed}' to keep it"
    if not (was and now and was != now):
        return None
    said = f"{shown} was {was} and is now {now}"
    if was != "a string" or value.kind is not None:  # a tag's doing
        return said
    keep = "pass a str" if python else f"write '{quoted(typed)}'"
    return f"{said}; {keep} to keep a string"


def odd_item(
    change: Change, path: Path, value: Value, held: list[str | None]
) -> str | None:
    """A warning where a scalar added at `path` to a list whose items are
    of the kinds `held` (None for a null or a collection) is of another
    kind than every item, all of one kind: `3.10` among strings is the
    number 3.1."""
    new = value.kind or kind(value.data)
    if not held or new is None:
        return None
    first = ""
    for sort in held:
        if sort is None or sort != (first or sort):
            return None  # a null, or two kinds
        first = sort
    if first == new:
        return None
    said = f"{paths.show(path)!r} is {new} among {first.removeprefix('a ')}s"
    if first != "a string" or change.value is not None:
        return said
    return f"{said}; write '{quoted(change.text or '')}' to keep a string"


def quoted(shown: str) -> str:
    import json  # loaded by the first: most changes need none

    return json.dumps(shown, ensure_ascii=False)
