"""Reading and changing JSON, JSONC, TOML and YAML documents by path, from
Python, keeping every byte that no change touches."""

from __future__ import annotations

import contextlib
import functools
import itertools
import math
import os
import warnings
import weakref

from props_to_tree import _formats as formats
from props_to_tree import _views as views
from props_to_tree._engine import listing, matches, paths
from props_to_tree._engine import text as texts
from props_to_tree._engine.changes import Change, Editor, Made
from props_to_tree._engine.collector import paused
from props_to_tree._engine.errors import (
    ChangeError,
    ConflictError,
    ConvertError,
    DocumentError,
    EditError,
    PathError,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any

    from props_to_tree._engine.document import Document as Engine
    from props_to_tree._engine.paths import Path, Segment

__all__ = [
    "Array",
    "ChangeError",
    "ConflictError",
    "ConvertError",
    "Document",
    "DocumentError",
    "EditError",
    "EditWarning",
    "PathError",
    "Table",
    "edit",
    "read",
]

Table = views.Table
Array = views.Array


class EditWarning(UserWarning):
    """A change that may show more than was asked: a value of another kind
    put in place of a string or a table, or a value that other paths reach
    too, through YAML's aliases and merge keys."""


_MISSING: Any = object()


class Document:
    """A document in memory: `text` in `format` ("json", "jsonc", "toml" or
    "yaml"), read by paths and changed by splicing its text.

    `doc[path]` is the value at a path that matches one place, as plain
    Python data; `doc[path] = value` and `del doc[path]` change every place
    the path matches.  A path is keys joined by ".", `[N]` for a list's
    item and `["key"]` for a key that cannot stand bare, and it may select:
    `[name=web]`, `[*]`, `*`; a path set may end in `[+]`, a new item after
    a list's last (`doc["deps[+]"] = "x"`).  `text` is the text after the
    changes so far.
    A change that fails leaves the document as it was.

    `create` makes the tables missing on the way of every change that does
    not say otherwise."""

    def __init__(self, text: str, format: str, *, create: bool = False) -> None:
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        self._start(text, format, "", False, create, None)

    @classmethod
    def _read(
        cls,
        text: str,
        format: str,
        source: str,
        guessed: bool = False,
        create: bool = False,
        warn: Callable[[str], None] | None = None,
    ) -> Document:
        """A document read from `source`, which errors name; `warn` takes
        the warnings of each change made, worded for the command, once the
        change is made."""
        self = cls.__new__(cls)
        self._start(text, format, source, guessed, create, warn)
        return self

    def _start(
        self,
        text: str,
        format: str,
        source: str,
        guessed: bool,
        create: bool,
        warn: Callable[[str], None] | None,
    ) -> None:
        self.format = format
        mark, body = texts.split_mark(text)
        self._warn = warn
        try:
            engine = formats.load(format, body, source, guessed)
        except EditError as exc:
            raise self._worded(exc) from None
        self._said: list[str] = []
        self._editor = Editor(engine, self._said.append, mark)
        self._create = create
        # The places of the views handed out, moved or given up as changes
        # are made; a view no longer held lets go of its place.
        self._live: weakref.WeakValueDictionary[tuple[Segment, ...], views.Place]
        self._live = weakref.WeakValueDictionary()
        self._ended = False  # the block of edit() is over: views stop
        # Counts the changes asked for: what views read is kept till the next.
        self._generation = 0
        self._keys_read: tuple[int, dict[tuple[Segment, ...], dict[str, None]]] = (
            0,
            {},
        )

    # --- reading --------------------------------------------------------------

    @property
    def text(self) -> str:
        """The document's text, with every change so far made."""
        return self._editor.text

    @property
    def data(self) -> Any:
        """The whole document as Python data: dicts, lists, str, int, float,
        bool, None, and TOML's and YAML's dates and times.  YAML reads by the
        1.2 core schema, plus YAML 1.1's timestamps (`on` is a string,
        `2024-01-01` a date); a stream of two or more documents is the list
        of them."""
        with paused():
            return _reading("", lambda: self._engine.data([]))

    def __getitem__(self, path: str) -> Any:
        """The value at `path`, which must match exactly one place: a
        `Table` or an `Array`, live, for a table or a list; else the value."""
        found = self._places(path, one=True)
        return _reading(path, lambda: self._view(found[0]))

    def get(self, path: str, default: Any = None) -> Any:
        """The value at `path` as `doc[path]` reads it, or `default` where
        it matches nothing."""
        found = self._places(path, one=True, none=True)
        if not found:
            return default
        return _reading(path, lambda: self._view(found[0]))

    def table(self, path: str) -> Table:
        """The table at `path`, as a live `Table`; TypeError where the value
        there is no table."""
        return _of_kind(path, self[path], Table)

    def array(self, path: str) -> Array:
        """The list at `path`, as a live `Array`; TypeError where the value
        there is no list."""
        return _of_kind(path, self[path], Array)

    @property
    def root(self) -> Table | Array:
        """The whole document, live: a `Table`, or an `Array` for a list at
        the top and for a YAML stream of two or more documents; TypeError
        for a document that is one scalar."""
        found = _reading("", lambda: self._view([]))
        if not isinstance(found, Table | Array):
            raise TypeError(f"the document holds {_kind_of(found)}, not a table")
        return found

    def __contains__(self, path: object) -> bool:
        if not isinstance(path, str):
            return False
        return bool(self._places(path, none=True))

    def find(self, path: str) -> list[tuple[str, Any]]:
        """(the path of the place, its value) for every place `path`
        matches, in document order; none where it matches nothing."""
        engine = self._engine
        found: list[tuple[str, Any]] = _reading(
            path,
            lambda: [
                (paths.show(place), engine.data(place))
                for place in self._places(path, none=True)
            ],
        )
        return found

    def items(self) -> Iterator[tuple[str, Any]]:
        """(path, value) for every line of the document's listing, in
        document order: every scalar, and every empty list or table."""
        found, values = listing.leaves(self.data)
        return zip(found, values, strict=True)

    # Without it, `for x in doc` would read doc[0], doc[1], ... as paths.
    __iter__ = None

    def __repr__(self) -> str:
        size = len(self.text)
        return f"<props_to_tree.Document {self.format}, {size:,} characters>"

    # --- changing ------------------------------------------------------------

    def __setitem__(self, path: str, value: Any) -> None:
        self._set(path, value, None)

    def set(self, path: str, value: Any, *, create: bool | None = None) -> None:
        """Sets `value` at every place `path` matches, written in the
        document's syntax and in the style of the value it replaces (a
        string keeps its quotes).  `value` is Python data: str, int, float,
        bool, None where the format has null, TOML's dates and times (and
        YAML's dates and date-times), and
        lists, tuples and dicts of them.  Where the path's last key is
        missing it is added; `create` makes the tables missing before it."""
        self._set(path, value, create)

    def set_text(self, path: str, text: str, *, create: bool | None = None) -> None:
        """Sets the value given as `text` in the document's own syntax (a
        JSON value, a TOML value, a YAML flow value; other text is a
        string) at every place `path` matches."""
        pattern = _parsed(path)
        origin = f"set_text({path!r}, {text!r})"
        self._make([Change(pattern, text, origin, create=self._creating(create))], path)

    def __delitem__(self, path: str) -> None:
        self._make([Change(_parsed(path), None, f"delete({path!r})")], path)

    def delete(self, path: str) -> None:
        """Removes every place `path` matches: a key with its value, or an
        item of a list."""
        self._make([Change(_parsed(path), None, f"delete({path!r})")], path)

    def apply(
        self,
        listing_text: str,
        *,
        source: str = "listing",
        create: bool | None = None,
    ) -> None:
        """Sets each `path = value` line of a listing (as `items()` and the
        command list them), where it holds another value than the document
        held; blank lines and lines starting with "#" are skipped.  Errors
        name the line of `source`; `create` makes the tables and lists on
        the way, as for set()."""
        creating = self._creating(create)
        changes = [
            Change(path, value, where, listed=True, create=creating)
            for path, value, where in listing.parse(listing_text, source)
        ]
        self._make(changes)

    def convert(self, format: str, *, drop_tags: bool = False) -> str:
        """The document, with every change so far made, written whole in
        `format` by its writer, its comments carried where `format` holds
        them (an EditWarning counts those that had no place); the document
        itself unchanged.  ConvertError names the path of a value `format`
        cannot hold (null in TOML, a custom tag such as `!Ref` in JSON or
        TOML unless `drop_tags`, which writes the tagged value alone)."""
        from props_to_tree._engine import convert

        target = formats.reader(format)
        try:
            written, dropped = convert.convert(
                self._engine, target, drop_tags=drop_tags
            )
        except EditError as exc:
            raise self._worded(exc) from None
        if dropped:
            message = convert.dropped_note(dropped, target)
            warnings.warn(message, EditWarning, stacklevel=2)
        return written

    # --- the engine's side -----------------------------------------------------

    @property
    def _engine(self) -> Engine:
        return self._editor.document

    def _creating(self, create: bool | None) -> bool:
        return self._create if create is None else create

    def _set(self, path: str, value: Any, create: bool | None) -> None:
        pattern = _parsed(path)
        change = self._setting(pattern, path, value, self._creating(create))
        self._make([change], path, 4)

    def _setting(
        self,
        pattern: paths.Pattern,
        shown: str,
        value: Any,
        create: bool = False,
        insert: bool = False,
    ) -> Change:
        """The change that sets `value`, Python data, at `pattern`."""
        value = views.plain(value)
        try:
            made = self._editor.base.value(value)
        except (TypeError, ValueError) as exc:
            kind = TypeError if isinstance(exc, TypeError) else ValueError
            raise kind(f"cannot write {shown!r}: {exc}") from None
        return Change(
            pattern, None, shown, value=made, data=value, create=create, insert=insert
        )

    # --- what views ask -------------------------------------------------------

    def _view(self, path: Path) -> Any:
        """The value at `path`, a place that is there: a view of a table or
        a list, else the value."""
        engine = self._editor.reading(path)
        members = engine.members(path)
        if members is None:
            return engine.data(path)
        return self._viewed(
            self._editor.concrete(path), Array if isinstance(members, int) else Table
        )

    def _viewed(self, path: Path, kind: type[views.View]) -> Any:
        """A view of kind `kind` of `path`, its indexes counted from 0."""
        key = tuple(path)
        place = self._live.get(key)
        if place is None:
            place = self._live[key] = views.Place(path)
        return kind(self, place)

    def _member(self, path: Path, data: Any) -> Any:
        """What a view's iteration gives for `data`, the plain data read at
        `path`: a view of a table or list, else the value itself."""
        if isinstance(data, dict):
            return self._viewed(path, Table)
        if isinstance(data, list):
            return self._viewed(path, Array)
        return data

    def _keys(self, path: Path) -> dict[str, None]:
        """The keys of the table at `path`, as read since the last change."""
        generation, read = self._keys_read
        if generation != self._generation:
            read = {}
            self._keys_read = (self._generation, read)
        found = read.get(tuple(path))
        if found is None:
            members = _reading(paths.show(path), lambda: self._editor.members(path))
            if not isinstance(members, list):
                raise PathError(f"{paths.show(path)!r} is no longer a table")
            found = read[tuple(path)] = dict.fromkeys(members)
        return found

    def _count(self, path: Path) -> int:
        members = _reading(paths.show(path), lambda: self._editor.members(path))
        if not isinstance(members, int):
            raise PathError(f"{paths.show(path)!r} is no longer a list")
        return members

    def _data(self, path: Path) -> Any:
        return _reading(paths.show(path), lambda: self._editor.reading(path).data(path))

    def _set_many(
        self, items: list[tuple[Path, Any]], level: int, insert: bool = False
    ) -> None:
        changes = [
            self._setting(list(path), paths.show(path), value, insert=insert)
            for path, value in items
        ]
        if changes:
            self._make(changes, changes[0].origin if len(items) == 1 else "", level)

    def _delete(self, places: list[Path], level: int) -> None:
        changes = [
            Change(list(path), None, f"delete({paths.show(path)!r})") for path in places
        ]
        if changes:
            self._make(
                changes, paths.show(places[0]) if len(places) == 1 else "", level
            )

    def _follow(self, made: list[Made]) -> None:
        """Moves the places of the views through the changes `made`, in
        order, and gives up those whose value, or one above it, was
        replaced or deleted."""
        live = self._live
        for each in made:
            if not live:
                return
            path, inserted = each.path, each.inserted
            gone = each.before is not None and each.before != each.after
            if not gone and not inserted:
                continue  # a key or an item added: no view moves
            shift = 0
            if isinstance(path[-1], int) if path else False:
                shift = 1 if inserted else -1 if each.after is None else 0
            depth = len(path)
            moved: dict[tuple[Segment, ...], views.Place] = {}
            for key, place in list(live.items()):
                at = place.path
                if at is None:
                    continue
                if gone and not inserted and at[:depth] == path:
                    place.path = None
                    del live[key]
                    continue
                if (
                    shift
                    and len(at) >= depth
                    and at[: depth - 1] == path[:-1]
                    and isinstance(at[depth - 1], int)
                    and at[depth - 1] >= path[-1]  # type: ignore[operator]
                    and (inserted or at[depth - 1] != path[-1])
                ):
                    del live[key]
                    place.move([*at[: depth - 1], at[depth - 1] + shift, *at[depth:]])  # type: ignore[operator]
                    moved[tuple(place.path)] = place  # type: ignore[arg-type]
            live.update(moved)

    def _end(self) -> None:
        """The block of edit() is over: its views change nothing more."""
        self._ended = True
        for place in list(self._live.values()):
            place.path = None
        self._live.clear()

    def _make(self, changes: list[Change], path: str = "", level: int = 3) -> None:
        """Makes the changes, all or none, then says their warnings, as from
        the caller's line `level` frames up.  A PathError names `path`, or
        else the path of the change that failed."""
        if self._ended:
            raise ChangeError(
                "the edit() block has ended and its file is written: a change "
                "now would be lost; edit() it again"
            )
        self._said.clear()
        self._generation += 1
        made = len(self._editor.made)
        try:
            with paused():
                self._editor.make(changes)
            self._follow(self._editor.made[made:])
        except PathError as exc:
            exc.path = path or _failed(changes, exc)
            raise self._worded(exc) from None
        except EditError as exc:
            raise self._worded(exc) from None
        finally:
            said = list(self._said)
            self._said.clear()
        for message in said:
            if self._warn is not None:
                self._warn(message)
            else:
                warnings.warn(message, EditWarning, stacklevel=level)

    def _worded(self, error: EditError) -> EditError:
        """`error` in the words of the API, or of the command that reads
        through it."""
        if self._warn is not None:
            return error
        return error.worded(HINTS)

    def _places(
        self, path: str, *, one: bool = False, none: bool = False
    ) -> list[paths.Path]:
        """The places `path` matches; where `one`, a path that matches
        several is refused, and where `none`, one that matches nothing
        gives none (a malformed path is still refused)."""
        pattern = _parsed(path)
        try:
            paths.check_append(pattern, False)  # [+] reads nothing: malformed
        except PathError as exc:
            exc.path = path
            raise
        engine = self._engine
        try:
            found = matches.expand(engine, pattern)
            if not paths.selects(pattern):
                engine.members(found[0])  # a plain path: is it there?
        except PathError as exc:
            if none:
                return []
            exc.path = path
            raise
        if one and len(found) > 1:
            shown = ", ".join(paths.show(place) for place in found[:3])
            more = ", ..." if len(found) > 3 else ""
            raise PathError(
                f"{path!r} matches {len(found)} places ({shown}{more}): "
                "find() gives each",
                path,
            )
        return found


def _of_kind[View: (Table, Array)](path: str, found: Any, kind: type[View]) -> View:
    if not isinstance(found, kind):
        wanted = "a table" if kind is Table else "a list"
        raise TypeError(f"{path!r} holds {_kind_of(found)}, not {wanted}")
    return found


def _kind_of(value: Any) -> str:
    if value is None:
        return "nothing"
    if isinstance(value, Table | Array):
        return "a table" if isinstance(value, Table) else "a list"
    name = type(value).__name__
    return f"{'an' if name[0] in 'aeiou' else 'a'} {name}"


def _failed(changes: list[Change], error: PathError) -> str:
    """The path of the change that `error` comes from: the line of a
    listing it names, or the one change."""
    for change in changes:
        if str(error).startswith(f"{change.origin}: "):
            return paths.show(change.path)
    return paths.show(changes[-1].path)


# What a caller can do about an error, in the API's terms.
HINTS = {
    "create": "; create=True makes the tables on the way",
    "lists": "; create=True makes a list of its first item alone, [0] or [+]",
    "delete": " (delete() removes a key)",
    "format": ": format= names its format",
    "new": " (new=True makes it)",
    "tags": ": drop_tags=True writes its value alone",
}


def _parsed(path: str) -> paths.Pattern:
    if not isinstance(path, str):
        raise TypeError(f"a path is a str, not {type(path).__name__}")
    try:
        return paths.parse(path)
    except PathError as exc:
        exc.path = path
        raise


def _reading(path: str, read: Callable[[], Any]) -> Any:
    """What `read` gives, its errors said as the API's."""
    try:
        return read()
    except PathError as exc:
        exc.path = path
        raise
    except RecursionError:
        raise DocumentError("the document is nested too deeply") from None


@contextlib.contextmanager
def edit(
    file: str | os.PathLike[str],
    *,
    format: str | None = None,
    create: bool = False,
    wait: float | None = 60.0,
    new: bool = False,
) -> Iterator[Document]:
    """Reads `file` as a Document to change in a `with` block; leaving the
    block without an exception replaces the file, once, if its text changed.

    `format` is one of "json", "jsonc", "toml", "yaml", or, by default, what
    the file's suffix says (JSON for others).  The file is locked for the
    whole block, as the command's -i locks it, so that edits take turns;
    `wait` is how many seconds to wait for another's lock (TimeoutError
    after; None waits as long as it takes).  The file must exist, unless
    `new`: then one that does not is made, empty (mode 0666 less the
    umask, made exclusively: of two programs that race to make it, the
    second edits what the first wrote), and removed again if the block
    raises or changes nothing.  `create` makes the tables missing on the
    way of every change, as `set`'s does.
    The new text goes to a temporary file, which is renamed over the file:
    readers see the old file or the new one, never a part.

    A program that takes no lock may save the file during the block: then
    the changes, recorded as they were made, are made again on what it
    saved, and values read in the block may be stale."""
    from props_to_tree._engine import atomic

    name = os.fspath(file)
    kind, guessed = formats.detect(name, format)
    if format is not None:
        formats.reader(format)  # an unknown format before the file is locked
    made = atomic.create(name, name) if new else None
    written = False
    try:
        try:
            held = atomic.Held(name, math.inf if wait is None else wait)
        except EditError as exc:
            raise exc.worded(HINTS) from None
        try:
            text = formats.read(functools.partial(os.read, held.fd), name)
            document = Document._read(text, kind, name, guessed, create)
            try:
                yield document
            except BaseException:
                document._end()
                raise
            attempts = itertools.count()

            def make() -> bytes | None:
                if next(attempts) == 0:  # the block's own changes, on the text read
                    now, new = text, document.text
                else:  # another program saved the file: the changes made again
                    now = formats.read(functools.partial(os.read, held.fd), name)
                    new = document._editor.replayed(now, name).text
                return None if new == now else formats.encoded(new, name)

            try:
                written = held.commit(make)
            finally:
                document._end()
        finally:
            held.close()
    finally:
        if made is not None and not written:  # made, and failed or left empty
            atomic.uncreate(name, made)


def read(file: str | os.PathLike[str], *, format: str | None = None) -> Document:
    """The Document of `file`, read as `format` or as its suffix says (JSON
    for others), to read by paths and views; nothing locks or writes the
    file, and changes made to it change its text in memory alone."""
    name = os.fspath(file)
    kind, guessed = formats.detect(name, format)
    if format is not None:
        formats.reader(format)
    from props_to_tree._engine.errors import file_error

    try:
        with open(name, "rb") as handle:
            text = formats.read(handle.read, name)
    except OSError as exc:
        raise file_error(exc, f"cannot read {name}: {exc.strerror}") from None
    return Document._read(text, kind, name, guessed)


# Said as the package's own, where they are shown.
for _public in (
    Document,
    Table,
    Array,
    EditWarning,
    ChangeError,
    ConflictError,
    DocumentError,
    EditError,
    PathError,
):
    _public.__module__ = "props_to_tree"
