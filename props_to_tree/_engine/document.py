"""What every format provides, and the engine relies on: the contract.

A format is one package under `_formats/`, registered by one line of the
registry.  Its `__init__` is light (the registry imports it to learn the
suffixes) and exports `FORMAT`, a `Format`: what the format is called, which
files it reads, how its comments start, how the native listing spells its
values, and `load`, which gives a `Document` of a text.

A document has two halves.  A format that is only listed needs the reading
half; one that is edited needs the changing half too.  Both work on the
original text alone: a change is a list of splices of it, which the editor
applies together, and a document is never written out anew.

Reading (`Reading`): `text`, and `tree`, the whole document as dicts and
lists, which the listing walks.  A format may give `item_kinds`, the kind
of each item of a list as `current` would say it (None for a
collection), where reading every item's `current` costs more.  `lookup`
gives the value at a path as the listing walks it, `data` as plain
Python data for a caller to keep, `members` the keys of a table, the
length of a list, or None for a scalar, and `current` the value at a path
as a `Value`, None where there is none.
`place` tells a place from the others where aliases lead to one place by
several paths, and `shared` says, once per place, where a change at a path
shows at others too (None: nowhere); `streamed` is how many documents a
selector at the start of a path chooses among (None: the top is no stream).
`show` and `show_all` give a value's text in a listing.

Changing (`Changing`): `parse` reads a VALUE in the format's syntax (text
that is no value is a string; the engine has dealt with white space at its
ends already) and `value` makes one of Python data, raising TypeError or
ValueError for what the format cannot hold; `member` writes a member
of a table in flow syntax, `key` as the format writes keys and `text` a
VALUE, for tables made whole of typed values (a format without it has
its changes made one at a time).  `reach` says how many segments
of a path are there, and how many items the list holding the first missing
one has; with it the editor decides between `replace` (the value at a
path), `append` (an item after the last of the list at a path, or
before its item `before`), `insert`
(keys into the table at a path, tables made for all but the last) and
`delete`, each of which gives the splices of a change or raises an
EditError: a format without lists, or without nesting, refuses them there.
The editor applies the splices and `reload`s the text, which may refuse
what the changes made (ChangeError)."""

from __future__ import annotations

from props_to_tree._engine import paths
from props_to_tree._engine.errors import PathError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, Protocol

    from props_to_tree._engine.convert import Exported
    from props_to_tree._engine.paths import Path
    from props_to_tree._engine.text import Splice

    class Reading(Protocol):
        """What a listing, --get and a path's matches read of a document."""

        text: str
        format: Format

        @property
        def tree(self) -> Any: ...
        @property
        def streamed(self) -> int | None: ...
        def show(self, value: Any) -> str: ...
        def show_all(self, values: list[Any]) -> list[str]: ...
        def lookup(self, path: Path) -> Any: ...
        def data(self, path: Path) -> Any: ...
        def members(self, path: Path) -> list[str] | int | None: ...
        def current(self, path: Path) -> Value | None: ...
        def place(self, path: Path) -> object: ...
        def shared(self, path: Path, whole: bool) -> tuple[object, str] | None: ...

    class Changing(Protocol):
        """What the editor asks of a document to change it."""

        def parse(self, text: str) -> Value: ...
        def value(self, data: Any) -> Value: ...
        def member(self, key: str, text: str) -> str: ...
        def reach(self, path: Path) -> tuple[int, int | None]: ...
        def replace(self, path: Path, value: Value) -> list[Splice]: ...
        def append(
            self, path: Path, value: Value, before: int | None = None
        ) -> list[Splice]: ...
        def insert(self, path: Path, keys: list[str], value: Value) -> list[Splice]: ...
        def delete(self, path: Path) -> list[Splice]: ...
        def reload(self, text: str) -> Document: ...

    class Document(Reading, Changing, Protocol):
        """A parsed document of one format, over its text."""


class Format:
    """A format, as its package declares it.  `name` is what --format and
    the API call it, `title` what messages do; `suffixes` and file `names`
    choose it for a file; `comment` is how its comments start, for the
    splices that keep them; `native` is how the native listing spells its
    values ("json", "toml"), or None where the format's own show() alone
    does; `load(text, written)` is the document of a text, or raises
    DocumentError, its numbers shown as written (`1.10`) where `written`, for
    a listing; `emit` writes a whole value in the format, for new
    structure; `write` a whole document converted from another format (an
    `Exported`), raising ConvertError for what the format cannot hold, and
    None where the format has none; where `carries`, the comments with it.

    A document to convert from gives `export(tags)`, its data: numbers as
    written, a custom tag's value `Tagged` where `tags`, else the value
    alone; `comments()`, the (start, end) of each comment, in order; and
    `anchors()`, where each member is written, in order, the top first."""

    __slots__ = (
        "carries",
        "comment",
        "emit",
        "load",
        "name",
        "names",
        "native",
        "suffixes",
        "title",
        "write",
    )

    def __init__(
        self,
        name: str,
        title: str,
        *,
        load: Callable[..., Document],
        suffixes: tuple[str, ...] = (),
        names: tuple[str, ...] = (),
        comment: tuple[str, ...] = (),
        native: str | None = None,
        emit: Callable[[Any], str] | None = None,
        write: Callable[[Exported], str] | None = None,
        carries: bool = False,
    ) -> None:
        self.name, self.title, self.load = name, title, load
        self.suffixes, self.names, self.comment = suffixes, names, comment
        self.native, self.emit = native, emit
        self.write, self.carries = write, carries

    def __repr__(self) -> str:
        return f"<format {self.name}>"


# Plain classes: dataclasses would import inspect, a tenth of the start-up.
class Value:
    """A value in the document or given for it: what it reads as, how it
    shows in a listing, and the text it was given as ("" for text that is
    no value, hence a string).  `collection` is "a list" or "a table" where
    it is one; `kind` the kind of scalar where `data` does not say it (a
    tag does); `tag` its tag as written, "" for none; `refused` says why it
    cannot be written, where it cannot."""

    __slots__ = ("collection", "data", "kind", "refused", "shown", "tag", "text")

    def __init__(
        self,
        data: Any,
        shown: str,
        text: str = "",
        *,
        collection: str = "",
        kind: str | None = None,
        tag: str = "",
        refused: str | None = None,
    ) -> None:
        self.data, self.shown, self.text = data, shown, text
        self.collection, self.kind, self.tag = collection, kind, tag
        self.refused = refused


class WrittenFloat(float):
    """A float read from a document that shows as it is written there (`1.10`,
    `1e5`, `1E400`), where Python would show it otherwise."""

    __slots__ = ("text",)
    text: str


class WrittenInt(int):
    """An int that shows as it is written (`0o755`, `1_000`, `+1`, `-0`)."""

    text: str


def written_float(text: str) -> float:
    """The float of `text`, which shows as `text` where Python's own showing
    of it differs."""
    number = float(text)
    if float.__repr__(number) == text:
        return number
    found = WrittenFloat(number)
    found.text = text
    return found


def written_int(text: str, number: int) -> int:
    """`number`, which shows as `text` where Python's own showing differs."""
    try:
        if int.__repr__(number) == text:
            return number
    except ValueError:  # more digits than Python shows: written otherwise
        pass
    found = WrittenInt(number)
    found.text = text
    return found


# White space that a VALUE may not start or end with, and stay a value.
_PADDING = " \t\r\n"


def parsed(document: Document, text: str) -> Value:
    """A VALUE: `text` read in `document`'s syntax as exactly one value.
    Text that starts or ends with white space, or is empty, is a string,
    whatever it holds (` true`, `null `): every format's rule, kept here
    once so that no format's parse sees such text."""
    if not text or text[0] in _PADDING or text[-1] in _PADDING:
        return document.value(text)
    return document.parse(text)


def item_index(segment: int, count: int) -> int | None:
    """The item that `segment` names in a list of `count`, counted from 0
    (a negative one from the end), or None where there is no such item."""
    found = segment + count if segment < 0 else segment
    return found if 0 <= found < count else None


def same(read: Any, given: Any) -> bool:
    """Whether Python data `given` is the value `read` from a document: equal,
    and of the same kind throughout (1, 1.0 and True differ; a tuple is a
    list)."""
    if isinstance(read, dict):
        return (
            isinstance(given, dict)
            and len(read) == len(given)
            and all(
                key in given and same(item, given[key]) for key, item in read.items()
            )
        )
    if isinstance(read, list):
        return (
            isinstance(given, list | tuple)
            and len(read) == len(given)
            and all(map(same, read, given))
        )
    return _sort(read) is _sort(given) and bool(read == given)


def _sort(data: Any) -> type:
    for sort in (bool, int, float, str):
        if isinstance(data, sort):
            return sort
    return type(data)


def collection(data: Any) -> str:
    """What a tree of dicts and lists holds at the top, said as a change of
    kind says it; "" for a scalar."""
    if isinstance(data, dict):
        return "a table"
    return "a list" if isinstance(data, list) else ""


def copied(data: Any) -> Any:
    """A copy of a tree of dicts and lists, for a caller to keep: the
    document's own tree is never handed out, and a number that shows as
    written is a plain one."""
    kind = type(data)
    if kind is dict:
        return {key: copied(value) for key, value in data.items()}
    if kind is list:
        return [copied(value) for value in data]
    if kind is WrittenFloat:
        return float(data)
    return int(data) if kind is WrittenInt else data


def plain(
    data: Any,
    name: str,
    *,
    nulls: bool,
    dates: bool,
    times: bool | None = None,
    surrogates: bool = True,
) -> Any:
    """Python data as the plain types a format of `name` holds: str, int,
    float, bool, None where `nulls`, dates (and date-times) where `dates`,
    times of day where `times` (by default as `dates`), lists (of tuples
    too) and dicts with string keys, whose strings may hold lone surrogates
    where `surrogates`.  TypeError says what it cannot hold, and ValueError
    which string."""
    times = dates if times is None else times
    import datetime
    import re

    def text(data: str) -> str:
        lone = None if surrogates else re.search("[\ud800-\udfff]", data)
        if lone:
            raise ValueError(f"{name} cannot hold a lone surrogate: {data!r}")
        return str(data)

    def made(data: Any) -> Any:
        # Subclasses (enums, numpy's scalars are not) become their base.
        if isinstance(data, bool):
            return bool(data)
        if isinstance(data, int):
            return int(data)
        if isinstance(data, float):
            return float(data)
        if isinstance(data, str):
            return text(data)
        if data is None and nulls:
            return None
        if isinstance(data, datetime.date) and dates:
            return data
        if isinstance(data, datetime.time) and times:
            return data
        if isinstance(data, list | tuple):
            return [made(item) for item in data]
        if isinstance(data, dict):
            for key in data:
                if not isinstance(key, str):
                    raise TypeError(f"a key must be a str, not {type(key).__name__}")
            return {text(key): made(value) for key, value in data.items()}
        if data is None:
            raise TypeError(f"{name} has no null (delete removes a key)")
        if isinstance(data, datetime.time) and dates:
            raise TypeError(f"{name} has no times of day: pass a str")
        if isinstance(data, datetime.date | datetime.time):
            raise TypeError(f"{name} has no dates or times: pass a str")
        raise TypeError(f"{name} holds no {type(data).__name__}")

    return made(data)


def find(tree: Any, path: Path) -> Any:
    """The value at `path` in a tree of dicts and lists."""
    node = tree
    for depth, segment in enumerate(path):
        if not isinstance(node, list if isinstance(segment, int) else dict):
            raise PathError(paths.blocked(node, path, depth))
        if isinstance(segment, int):
            found = item_index(segment, len(node))
            if found is None:
                raise PathError(paths.missing(path[: depth + 1], len(node)))
            node = node[found]
        elif segment in node:
            node = node[segment]  # type: ignore[call-overload]
        else:
            raise PathError(paths.missing(path[: depth + 1]))
    return node


def members(tree: Any, path: Path) -> list[str] | int | None:
    """The keys of the table at `path` in a tree of dicts and lists, the
    length of the list there, or None for a value."""
    data = find(tree, path)
    if isinstance(data, dict):
        return list(data)
    return len(data) if isinstance(data, list) else None


class PlainTree:
    """Reading for a format whose reader gives plain dicts and lists, none
    of them shared (JSON, TOML): every path is its own place."""

    tree: Any
    streamed = None  # no stream: a selector at the start picks the top list's items

    def show(self, value: Any) -> str:
        raise NotImplementedError  # the format's own

    def current(self, path: Path) -> Value | None:
        try:
            data = self.lookup(path)
        except PathError:
            return None
        return Value(data, self.show(data), collection=collection(data))

    def lookup(self, path: Path) -> Any:
        return find(self.tree, path)

    def members(self, path: Path) -> list[str] | int | None:
        return members(self.tree, path)

    def item_kinds(self, path: Path) -> list[str | None]:
        from props_to_tree._engine.kinds import kind

        return [kind(item) for item in find(self.tree, path)]

    def data(self, path: Path) -> Any:
        return copied(self.lookup(path))

    @staticmethod
    def place(path: Path) -> object:
        return tuple(path)

    def shared(self, path: Path, whole: bool) -> None:
        return None
