"""Paths in a TOML document: where a path leads, through tables, arrays
of tables, inline tables and dotted keys, and what is there."""

from __future__ import annotations

from props_to_tree._engine import flow, paths
from props_to_tree._engine.document import item_index
from props_to_tree._engine.errors import PathError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.paths import Path
    from props_to_tree._formats.toml.scan import Node, Parts


def _member(
    members: list[flow.Member], path: Path, index: int
) -> tuple[int | None, int]:
    """The member of an inline table whose key, dotted or not, is the path
    from `index` on (the last, where there are two), and how many segments
    its key takes; else None, and how many segments the path shares with a
    dotted key (the tables those make)."""
    found, width, shared = None, 1, 0
    for position, member in enumerate(members):
        parts = member.key
        if tuple(path[index : index + len(parts)]) == parts:
            found, width = position, len(parts)
            continue
        common = 0
        for part, segment in zip(parts, path[index:], strict=False):
            if part != segment:
                break
            common += 1
        shared = max(shared, common)
    return (found, width) if found is not None else (None, shared)


def find(text: str, parts: Parts, path: Path) -> tuple[Any, Any, int, int]:
    """Where `path` leads: the holder of its last segment, ("table", path)
    for a table or an array of tables, ("flow", node) for an inline table or
    array; the index of the last segment in an array or its member (None
    where it is missing); how deep the walk got (past the end where the path
    names a table made by dotted keys in an inline table); and where the
    keys of that inline table start."""
    data: Any = parts.tree
    prefix: tuple[Any, ...] = ()
    for depth, segment in enumerate(path):
        entry = parts.paths.get(prefix) if prefix else None
        if entry is not None:
            return _find_inline(text, parts, entry.node, path, depth)
        segment = _check(data, path, depth)
        last = depth == len(path) - 1
        if segment is None or (isinstance(segment, str) and segment not in data):
            return ("table", prefix), None, depth, depth
        if last:
            return ("table", prefix), segment, depth, depth
        prefix, data = (*prefix, segment), data[segment]
    raise AssertionError("an empty path")  # pragma: no cover


def _find_inline(
    text: str, parts: Parts, node: Node, path: Path, depth: int
) -> tuple[Any, Any, int, int]:
    """`find` on from the value at `path[:depth]`, written in the line."""
    index = depth
    while True:
        segment = path[index]
        kind = "{" if isinstance(segment, str) else "["
        if node.flow is None or text[node.start] != kind:
            raise PathError(paths.blocked(data_at(parts, path[:index]), path, index))
        members = node.flow.members
        if isinstance(segment, str):
            position, width = _member(members, path, index)
        else:
            position = item_index(segment, len(members))
            width = 0 if position is None else 1
        if position is None:
            return ("flow", node), None, index + width, index
        if index + width == len(path):
            return ("flow", node), position, index + width - 1, index
        node, index = members[position].value, index + width


def _check(data: Any, path: Path, depth: int) -> Any:
    """`path[depth]` made fit to index `data`: a key of a table, or an item
    of an array of tables counted from 0; None past the end."""
    segment = path[depth]
    if not isinstance(data, list if isinstance(segment, int) else dict):
        raise PathError(paths.blocked(data, path, depth))
    if isinstance(segment, int):
        return item_index(segment, len(data))
    return segment


def data_at(parts: Parts, path: Path) -> Any:
    """The value at `path`, which is there, in tomllib's tree."""
    data: Any = parts.tree
    for segment in path:
        data = data[segment]
    return data
