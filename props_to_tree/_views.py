"""Live tables and lists of a Document: each holds a place in the document,
reads it as it is now and changes it by the document's own changes, so
code written for tomlkit's and ruamel.yaml's objects edits the text in
place.

A view holds its place, not its data.  The document moves a place when an
item is put in or taken out before it, and gives it up when the value
there, or one above it, is replaced or deleted: a view never reaches
another item than its own."""

from __future__ import annotations

import operator
from collections.abc import (
    ItemsView,
    Mapping,
    MutableMapping,
    MutableSequence,
    ValuesView,
)

from props_to_tree._engine import paths
from props_to_tree._engine.errors import PathError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator
    from typing import Any

    from props_to_tree._api import Document
    from props_to_tree._engine.paths import Path

    _Mapping = MutableMapping[str, Any]
    _Sequence = MutableSequence[Any]
    _ItemsBase = ItemsView[str, Any]
    _ValuesBase = ValuesView[Any]
else:  # subscripted at run time, they would need typing's Any
    _Mapping, _Sequence = MutableMapping, MutableSequence
    _ItemsBase, _ValuesBase = ItemsView, ValuesView

_MISSING: Any = object()


class Place:
    """Where a view is: its path now, or None once its value is gone, and
    the path it was last at, shown."""

    __slots__ = ("__weakref__", "path", "shown")

    def __init__(self, path: Path) -> None:
        self.path: Path | None = path
        self.shown = paths.show(path)

    def move(self, path: Path) -> None:
        self.path, self.shown = path, paths.show(path)


class View:
    """What a Table and an Array share: a place in a Document."""

    __slots__ = ("_doc", "_place")

    def __init__(self, document: Document, place: Place) -> None:
        self._doc = document
        self._place = place

    def _at(self) -> Path:
        """The view's path now; PathError where it has none."""
        path = self._place.path
        ended = self._doc._ended
        if path is None or ended:
            shown = self._place.shown or "the top"
            why = (
                "the edit() block it was read in has ended"
                if ended
                else "it was replaced or deleted: read it again from the document"
            )
            raise PathError(f"{shown!r} is no longer there: {why}", self._place.shown)
        return path

    def copy(self) -> Any:
        """The value as plain Python data, all the way down."""
        return self._doc._data(self._at())

    @property
    def path(self) -> str:
        """The path of the view's place now, as `doc[path]` takes it."""
        return paths.show(self._at())

    def __eq__(self, other: object) -> bool:
        if isinstance(other, View):
            other = other.copy()
        return bool(self.copy() == other)

    __hash__ = None  # type: ignore[assignment]

    # A copy is plain data: a second view of the same place would change
    # the document where a copy was meant.
    def __copy__(self) -> Any:
        return self.copy()

    def __deepcopy__(self, memo: dict[int, Any]) -> Any:
        return self.copy()

    def __repr__(self) -> str:
        try:
            shown = repr(self.copy())
        except PathError:
            shown = "<gone>"
        return f"{type(self).__name__}({shown})"


class Table(View, _Mapping):
    """A table of a Document, live: `table[key]` reads what is there now (a
    Table or an Array for a table or a list, else the value) and
    `table[key] = value`, `del table[key]`, `update`, `pop`, `setdefault`
    change the document's text at once, as `doc[path] = value` does.  A key
    is a key as the file holds it, dots and all, never a path.

        >>> import props_to_tree
        >>> doc = props_to_tree.Document('[project]\\nversion = "1.0"\\n', "toml")
        >>> project = doc["project"]
        >>> project["version"] = "2.0"
        >>> project.setdefault("dependencies", []).append("requests")
        >>> print(doc.text, end="")
        [project]
        version = "2.0"
        dependencies = ["requests"]

    It compares equal to a dict of the same data; `copy()` is that dict."""

    __slots__ = ()

    def _keys(self) -> list[str]:
        return list(self._doc._keys(self._at()))

    def _held(self, key: object) -> Path | None:
        """The path of `key`, where the table holds it."""
        path = self._at()
        if not isinstance(key, str) or key not in self._doc._keys(path):
            return None
        return [*path, key]

    def __getitem__(self, key: str) -> Any:
        found = self._held(key)
        if found is None:
            raise KeyError(key)
        return self._doc._view(found)

    def __setitem__(self, key: str, value: Any) -> None:
        self._set_all([(key, value)])

    def __delitem__(self, key: str) -> None:
        found = self._held(key)
        if found is None:
            raise KeyError(key)
        self._doc._delete([found], 4)

    def __iter__(self) -> Iterator[str]:
        return iter(self._keys())

    def __len__(self) -> int:
        return len(self._keys())

    def __contains__(self, key: object) -> bool:
        return self._held(key) is not None

    def items(self) -> ItemsView[str, Any]:
        return _Items(self)

    def values(self) -> ValuesView[Any]:
        return _Values(self)

    def _pairs(self) -> Iterator[tuple[str, Any]]:
        """Each key and what it holds: read at once, while nothing changes;
        key by key, as they were when it began, once something does."""
        document, path = self._doc, self._at()
        generation = document._generation
        data = document._data(path)
        for key, value in data.items():
            if document._generation == generation:
                yield key, document._member([*path, key], value)
            elif key in self:
                yield key, self[key]

    def _set_all(self, pairs: Iterable[tuple[Any, Any]], level: int = 5) -> None:
        path = self._at()
        items = []
        for key, value in pairs:
            if not isinstance(key, str):
                raise TypeError(f"a table's keys are str, not {type(key).__name__}")
            items.append(([*path, key], value))
        self._doc._set_many(items, level)

    def update(self, other: Any = (), /, **more: Any) -> None:
        """Sets each key of `other` (a mapping, or pairs) and of `more`,
        all as one change: all of them, or, where one fails, none."""
        pairs = list(other.items() if isinstance(other, Mapping) else other)
        self._set_all([*pairs, *more.items()])

    def setdefault(self, key: str, default: Any = None) -> Any:
        """What `key` holds, set to `default` first where it holds nothing:
        a Table or Array for a table or list, as `table[key]` reads it."""
        if key not in self:
            self._set_all([(key, default)])
        return self[key]

    def pop(self, key: str, default: Any = _MISSING) -> Any:
        """Removes `key`, and gives what it held as plain data."""
        found = self._held(key)
        if found is None:
            if default is _MISSING:
                raise KeyError(key)
            return default
        held = self._doc._data(found)
        self._doc._delete([found], 4)
        return held

    def popitem(self) -> tuple[str, Any]:
        keys = self._keys()
        if not keys:
            raise KeyError("popitem(): the table is empty")
        return keys[-1], self.pop(keys[-1])

    def clear(self) -> None:
        """Removes every key, as one change."""
        path = self._at()
        self._doc._delete([[*path, key] for key in reversed(self._keys())], 4)


class Array(View, _Sequence):
    """A list of a Document, live: `array[i]` reads the item there now (a
    Table or an Array for a table or a list; a slice reads a plain list),
    and `append`, `insert`, `extend`, `remove`, `pop`, `array[i] = value`
    and `del array[i]` change the document's text at once, in the list's
    own layout.  An index counts from 0, or back from the end where it is
    negative.

        >>> import props_to_tree
        >>> doc = props_to_tree.Document("env:\\n  - name: A\\n", "yaml")
        >>> doc["env"].append({"name": "B", "value": "1"})
        >>> print(doc.text, end="")
        env:
          - name: A
          - name: B
            value: "1"

    It compares equal to a list of the same data; `copy()` is that list."""

    __slots__ = ()

    def _count(self, path: Path) -> int:
        return self._doc._count(path)

    def _index(self, path: Path, index: Any) -> int:
        if not hasattr(index, "__index__"):
            raise TypeError(
                f"a list's items are read by int, not {type(index).__name__}: "
                f"{paths.show(path)!r}"
            )
        number = operator.index(index)
        count = self._count(path)
        if number < 0:
            number += count
        if not 0 <= number < count:
            raise IndexError("list index out of range")
        return number

    def __getitem__(self, index: Any) -> Any:
        path = self._at()
        if isinstance(index, slice):
            return self._doc._data(path)[index]
        return self._doc._view([*path, self._index(path, index)])

    def __setitem__(self, index: Any, value: Any) -> None:
        path = self._at()
        if isinstance(index, slice):
            chosen = range(self._count(path))[index]
            values = list(value)
            if len(values) != len(chosen):
                raise ValueError(
                    f"a slice of {len(chosen)} items is set to as many values, "
                    f"not {len(values)}: insert or delete the others"
                )
            pairs = [([*path, i], v) for i, v in zip(chosen, values, strict=True)]
            self._doc._set_many(pairs, 4)
            return
        self._doc._set_many([([*path, self._index(path, index)], value)], 4)

    def __delitem__(self, index: Any) -> None:
        path = self._at()
        if isinstance(index, slice):
            chosen = sorted(range(self._count(path))[index], reverse=True)
            self._doc._delete([[*path, i] for i in chosen], 4)
            return
        self._doc._delete([[*path, self._index(path, index)]], 4)

    def __len__(self) -> int:
        return self._count(self._at())

    def __iter__(self) -> Iterator[Any]:
        # Read at once, while nothing changes; item by item, by the indexes
        # as they were when it began, once something does.
        document, path = self._doc, self._at()
        generation = document._generation
        for index, value in enumerate(document._data(path)):
            if document._generation == generation:
                yield document._member([*path, index], value)
            else:
                try:
                    yield self[index]
                except IndexError:
                    return

    def sort(self, *, key: Any = None, reverse: bool = False) -> None:
        """Sorts the items in place, as list.sort: each place then holds the
        item that sorts there, written in its style."""
        path = self._at()
        items = self._doc._data(path)
        ordered = sorted(items, key=key, reverse=reverse)
        pairs = [
            ([*path, i], new)
            for i, (old, new) in enumerate(zip(items, ordered, strict=True))
            if old != new or type(old) is not type(new)
        ]
        self._doc._set_many(pairs, 4)

    def __add__(self, other: Any) -> list[Any]:
        return list(self.copy()) + list(other)

    def __radd__(self, other: Any) -> list[Any]:
        return list(other) + list(self.copy())

    def insert(self, index: Any, value: Any) -> None:
        """Puts `value` before the item at `index` (after the last where
        `index` is past it)."""
        path = self._at()
        count = self._count(path)
        number = operator.index(index)
        number = max(0, min(count, number + count if number < 0 else number))
        self._doc._set_many([([*path, number], value)], 4, insert=number < count)

    def append(self, value: Any) -> None:
        path = self._at()
        self._doc._set_many([([*path, self._count(path)], value)], 4)

    def extend(self, values: Iterable[Any]) -> None:
        """Appends each of `values`, as one change."""
        path = self._at()
        items = list(values)
        count = self._count(path)
        pairs = [([*path, count + i], v) for i, v in enumerate(items)]
        self._doc._set_many(pairs, 4)

    def pop(self, index: int = -1) -> Any:
        """Removes the item at `index`, and gives it as plain data."""
        path = self._at()
        number = self._index(path, index)
        held = self._doc._data([*path, number])
        self._doc._delete([[*path, number]], 4)
        return held

    def remove(self, value: Any) -> None:
        """Removes the first item equal to `value`."""
        path = self._at()
        if isinstance(value, View):
            value = value.copy()
        for index, item in enumerate(self._doc._data(path)):
            if item == value:
                self._doc._delete([[*path, index]], 4)
                return
        raise ValueError("the value is not in the list")

    def clear(self) -> None:
        """Removes every item, as one change."""
        path = self._at()
        count = self._count(path)
        self._doc._delete([[*path, i] for i in reversed(range(count))], 4)

    def __iadd__(self, values: Iterable[Any]) -> Array:  # type: ignore[misc]
        self.extend(values)
        return self


class _Items(_ItemsBase):
    __slots__ = ()
    _mapping: Table

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        return self._mapping._pairs()


class _Values(_ValuesBase):
    __slots__ = ()
    _mapping: Table

    def __iter__(self) -> Iterator[Any]:
        return (value for _, value in self._mapping._pairs())


def plain(value: Any) -> Any:
    """`value` with every view in it read as plain data."""
    if isinstance(value, View):
        return value.copy()
    if isinstance(value, dict):
        return (
            {k: plain(v) for k, v in value.items()}
            if _nested(value.values())
            else value
        )
    if isinstance(value, list | tuple) and _nested(value):
        return (
            [plain(v) for v in value]
            if isinstance(value, list)
            else tuple(map(plain, value))
        )
    return value


def _nested(values: Iterable[Any]) -> bool:
    return any(isinstance(v, View | dict | list | tuple) for v in values)
