"""Changes that build one new table or list, made as one.

A listing applied with --create to a new document adds its lines one at a
time, and each added key changes the place the next one goes to, so each
would need the text read again: a document of n lines would be read n
times.  A run of such changes that all fall within one new place (a key
missing from the document, or the item one past a list's last) is made
instead as one change that sets that place to the whole, in the format's
flow syntax, which its writer lays out in the style of the place as it
would a VALUE typed so.  The run is only taken where it writes what the
changes one at a time would: every value new within it, warned of as it
would be (anything else ends it), and the whole read back as their data;
else they go one at a time."""

from __future__ import annotations

from props_to_tree._engine import kinds
from props_to_tree._engine.document import parsed, same
from props_to_tree._engine.errors import EditError
from props_to_tree._engine.kinds import kind

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

    from props_to_tree._engine.changes import Change
    from props_to_tree._engine.document import Document, Value
    from props_to_tree._engine.paths import Path


class _Leaf:
    __slots__ = ("value",)

    def __init__(self, value: Value) -> None:
        self.value = value


def candidate(change: Change) -> bool:
    """Whether `change` may be one of a run: a value typed, at a path of
    keys and indexes, with --create."""
    return (
        change.create
        and change.text is not None
        and change.value is None
        and bool(change.path)
        and all(isinstance(s, str | int) for s in change.path)
    )


def place(document: Document, change: Change) -> Path | None:
    """The new place that `change` makes, where a run may start from it: a
    key missing from a table that is there, the item one past the last of
    a list, or the top of a document that holds nothing; None for anything
    else."""
    concrete: Path = change.path  # type: ignore[assignment]
    if not document.text.strip():
        return []  # a new document, made whole
    try:
        depth, count = document.reach(concrete)
    except EditError:
        return None  # a null or a scalar on the way: as one change alone
    if depth >= len(concrete):
        return None
    segment = concrete[depth]
    if isinstance(segment, int) and segment != count:
        return None
    return concrete[: depth + 1]


def gathered(
    document: Document,
    changes: list[Change],
    start: int,
    top: Path,
    unchanged: Callable[[Change], bool],
) -> tuple[str, Any, int, list[str]] | None:
    """The flow text of the value at `top`, a new place, that the changes
    from `start` on build there one at a time, the Python data it must read
    as once written (`reads_as`), how many of the changes it stands for,
    and the warnings they bring; None where fewer than two would be
    gathered.  `unchanged` says whether a listing's line shows what the
    document as read holds, and so changes nothing."""
    root: list[Any] = []  # what holds the value at `top`, as its one item
    expected: list[Any] = []
    said: list[str] = []
    count = 0
    for change in changes[start:]:
        path = change.path
        if (
            not candidate(change)
            or path[: len(top)] != top
            or (change.listed and unchanged(change))
        ):
            break
        value = _leaf(document, change)
        rest: Path = path[len(top) :]  # type: ignore[assignment]
        if value is None or not _placed(root, expected, rest, value):
            break
        if rest and isinstance(rest[-1], int):
            warning = _said(change, root, rest, value)
            if warning:
                said.append(warning)
        count += 1
    if count < 2:
        return None
    return _flow(document, root[0]), expected[0], count, said


def reads_as(document: Document, top: Path, expected: Any) -> bool:
    """Whether the value at `top` holds the run's data `expected` (of
    `gathered`), its tagged scalars shown as they were typed."""
    return _holds(document, top, document.data(top), expected)


def _holds(document: Document, path: Path, read: Any, expected: Any) -> bool:
    if isinstance(expected, _Leaf):  # tagged: what it reads as is the format's
        found = document.current(path)
        return found is not None and found.shown == expected.value.shown
    if isinstance(expected, dict):
        return (
            isinstance(read, dict)
            and read.keys() == expected.keys()
            and all(
                _holds(document, [*path, key], read[key], item)
                for key, item in expected.items()
            )
        )
    if isinstance(expected, list):
        return (
            isinstance(read, list)
            and len(read) == len(expected)
            and all(
                _holds(document, [*path, index], item, wanted)
                for index, (item, wanted) in enumerate(zip(read, expected, strict=True))
            )
        )
    return same(read, expected)


def _leaf(document: Document, change: Change) -> Value | None:
    """The value `change` sets, where one of a run may set it: a value that
    reads, scalar or empty, and is not a string typed as a collection."""
    typed = change.text or ""
    try:
        value = parsed(document, typed)
    except EditError:
        return None
    if value.refused:
        return None
    if typed.startswith(("[", "{")) and not value.collection:
        return None  # a string meant for a list or table: warned of
    if value.collection and (value.tag or value.shown not in ("[]", "{}")):
        return None  # what it reads as is the format's to say: alone
    return value


def _placed(root: list[Any], expected: list[Any], rest: Path, value: Value) -> bool:
    """Puts `value` at `rest` within the run's value, and its data in
    `expected`, as the change would make it: in new tables and lists, a new
    key or the item after the last; False where the change would do
    otherwise (set what is there, skip an item, reach into a value)."""
    node, data = root, expected
    full: Path = [0, *rest]
    for depth, segment in enumerate(full[:-1]):
        following = full[depth + 1]
        child = _member(node, segment)
        if child is None:
            if not _new_member(node, segment):
                return False
            if isinstance(following, int) and following != 0:
                return False  # a list is made of its first item alone
            child = [] if isinstance(following, int) else {}
            _add(node, segment, child)
            _add(data, segment, [] if isinstance(following, int) else {})
        elif isinstance(child, _Leaf):
            return False  # into a value set whole: as one change alone
        node, data = child, _member(data, segment)
        if isinstance(following, int) != isinstance(node, list):
            return False
    last = full[-1]
    if _member(node, last) is not None or not _new_member(node, last):
        return False
    _add(node, last, _Leaf(value))
    if value.tag:
        _add(data, last, _Leaf(value))
    elif value.collection:
        _add(data, last, {} if value.shown == "{}" else [])
    else:
        _add(data, last, value.data)
    return True


def _member(node: Any, segment: str | int) -> Any:
    if isinstance(node, list):
        return (
            node[segment] if isinstance(segment, int) and segment < len(node) else None
        )
    return node.get(segment) if isinstance(segment, str) else None


def _new_member(node: Any, segment: str | int) -> bool:
    if isinstance(node, list):
        return isinstance(segment, int) and segment == len(node)
    return isinstance(segment, str)


def _add(node: Any, segment: str | int, item: Any) -> None:
    if isinstance(node, list):
        node.append(item)
    else:
        node[segment] = item


def _said(change: Change, root: list[Any], rest: Path, value: Value) -> str | None:
    """The warning of a scalar added to a list of the run, as a change alone
    would say it."""
    items = root
    for segment in [0, *rest[:-1]]:
        items = items[segment]  # type: ignore[index]
    held = [
        None
        if not isinstance(item, _Leaf) or item.value.collection
        else item.value.kind or kind(item.value.data)
        for item in items[:-1]
    ]
    return kinds.odd_item(change, change.path, value, held)  # type: ignore[arg-type]


def _flow(document: Document, node: Any) -> str:
    """The run's value in flow syntax: each scalar as typed."""
    if isinstance(node, _Leaf):
        value = node.value
        return value.text or document.show(value.data)
    if isinstance(node, list):
        return "[" + ", ".join(_flow(document, item) for item in node) + "]"
    return (
        "{"
        + ", ".join(document.member(k, _flow(document, v)) for k, v in node.items())
        + "}"
    )
