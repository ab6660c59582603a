"""The listing: one ``path = value`` line per leaf, and back."""

from __future__ import annotations

import functools
import itertools

from props_to_tree import flatten
from props_to_tree._command.errors import UserError
from props_to_tree._explain import walk

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from typing import Any

    ShowAll = Callable[[list[Any]], list[str]]

SEPARATOR = " = "


def render(
    props: dict[str, Any], show_all: ShowAll, chunk: int = 4096
) -> Iterator[str]:
    """The listing's lines, `chunk` at a time: a print per line would cost
    more than parsing and flattening together, and one string for all of
    them would be copied whole from one fresh buffer to the next."""
    paths, values = list(props), list(props.values())
    for start in range(0, len(paths), chunk):
        shown = show_all(values[start : start + chunk])
        # Slices keep the loop in C.
        parts = [SEPARATOR] * (4 * len(shown))
        parts[0::4] = paths[start : start + chunk]
        parts[2::4] = shown
        parts[3::4] = itertools.repeat("\n", len(shown))
        yield "".join(parts)


def get(document: Any, path: str) -> str:
    """The value at `path` as a line of value syntax, or the listing of the
    table there."""
    tree = document.tree
    current = flatten(tree)
    if path in current:
        return str(document.show(current[path])) + "\n"
    prefix = path + "."
    below = {p: v for p, v in current.items() if p.startswith(prefix)}
    if below:
        return "".join(render(below, document.show_all))
    node, problem = walk(tree, path.split("."))
    if problem is None:
        problem = f"{path!r} holds no values" if isinstance(node, dict) else ""
    raise UserError(problem or f"nothing at {path!r}")


def parse(text: str, source: str) -> Iterator[tuple[str, str, str]]:
    """(path, value text, where) for each line of a listing; blank lines and
    lines starting with "#" are skipped."""
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        path, separator, value = line.partition(SEPARATOR)
        where = f"{source}, line {number}"
        if not separator:
            raise UserError(f"{where}: expected 'PATH = VALUE', got {line[:60]!r}")
        yield path, value, where


def _unclear(keys: Iterable[Any]) -> bool:
    try:
        text = "\0".join(keys)
    except TypeError:
        return True  # keys that are not strings: look at each
    return "." in text or SEPARATOR in text or "\n" in text or "\r" in text


def unclear_keys(tree: dict[Any, Any]) -> Iterator[str]:
    """A warning for each key whose lines cannot be read back as meant: one
    that holds "." reads as more levels.  `tree` must have been flattened:
    that is what refuses one that contains itself."""
    # Most trees have none: a first look, a level at a time, keeps every step
    # in C, and only a tree with such a key is walked again to name it.
    chain = itertools.chain.from_iterable
    is_branch = functools.partial(type.__instancecheck__, dict)
    keys: list[Any] = []
    level: list[dict[Any, Any]] = [tree]
    while level:
        keys.extend(chain(map(dict.keys, level)))
        level = list(filter(is_branch, chain(map(dict.values, level))))
    if _unclear(keys):
        yield from _named(tree)


def _named(tree: dict[Any, Any]) -> Iterator[str]:
    todo: list[tuple[tuple[str, ...], dict[Any, Any]]] = [((), tree)]
    while todo:
        path, node = todo.pop()
        for key, value in dict.items(node):
            is_branch = isinstance(value, dict)
            if is_branch and value:
                todo.append(((*path, str(key)), value))
            if not isinstance(key, str) or (is_branch and not value):
                continue  # no line holds it
            where = f" under {'.'.join(path)!r}" if path else ""
            if "." in key:
                yield f"key {key!r}{where} holds '.', so its path reads as more levels"
            elif _unclear([key]):
                yield (
                    f"key {key!r}{where} holds {SEPARATOR!r} or a line break, "
                    "so its line reads back wrong"
                )
