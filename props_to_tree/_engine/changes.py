"""Changes to a document: set a path, delete one, read one.

A change becomes splices of the document's text; the document is never
written out anew, so what no change covers stays byte for byte.  Splices of
changes that do not meet are applied together; a change that reaches into
what an earlier one changed sees the text re-read first, so the changes act
in the order given (changes that together build one new table or list are
made as one, which needs no re-reading between them).  Every change is made
before anything is written: one that fails leaves the file as it was.  A
value that shows the same as the one in place is not written at all, so a
listing applied back changes nothing.
"""

from __future__ import annotations

from props_to_tree._engine import batch, kinds, matches, paths
from props_to_tree._engine import text as texts
from props_to_tree._engine.collector import paused
from props_to_tree._engine.document import parsed, same
from props_to_tree._engine.errors import (
    ChangeError,
    ConflictError,
    DocumentError,
    EditError,
    PathError,
)
from props_to_tree._engine.kinds import kind

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import Any

    from props_to_tree._engine.document import Document, Value
    from props_to_tree._engine.paths import Path, Pattern, Segment
    from props_to_tree._engine.text import Changed, Span, Splice


NO_DATA: Any = object()  # a change's value was not given as Python data


# Plain classes: dataclasses would import inspect, a tenth of the start-up.
class Change:
    """A value set, or a path deleted: `text` is the value in the format's
    syntax, or `value` one made of Python data; neither deletes.  `origin`
    says where it was asked for.  A `listed` line says what the document
    held where it came from: it changes the document only where the
    document read held otherwise.  `create` makes the tables missing on the
    way; `data` is the Python data that `value` was made of.  An `insert`
    puts a new item before the list's item that its path ends at."""

    __slots__ = (
        "create",
        "data",
        "insert",
        "listed",
        "origin",
        "path",
        "text",
        "value",
    )

    def __init__(
        self,
        path: Pattern,
        text: str | None,
        origin: str,
        listed: bool = False,
        *,
        value: Value | None = None,
        data: Any = NO_DATA,
        create: bool = False,
        insert: bool = False,
    ) -> None:
        self.path, self.text, self.origin, self.listed = path, text, origin, listed
        self.value, self.data, self.create = value, data, create
        self.insert = insert
        paths.check_append(path, not self.deletes)

    @property
    def deletes(self) -> bool:
        return self.text is None and self.value is None


class Made:
    """A change as it was made at one place, kept to be made again on the
    text another program saved meanwhile: the place (its indexes counted
    from 0), what it held before and after (as a listing shows it, None
    where absent), whether it was an append, which goes after the last
    item of the list as it is then, or an insert before an item, and what
    each item on the way to the
    place held (by its depth in the path): the item the change was made in
    must still be there, not another that moved into its place."""

    __slots__ = (
        "after",
        "append",
        "before",
        "change",
        "inserted",
        "items",
        "path",
        "scalar",
        "value",
    )

    def __init__(
        self,
        change: Change,
        path: Path,
        before: str | None,
        after: str | None,
        value: Value | None = None,
        append: bool = False,
    ) -> None:
        self.change, self.path, self.before, self.after = change, path, before, after
        self.value, self.append = value, append
        self.inserted = False
        self.scalar = False  # a scalar set in place of a scalar
        self.items: list[tuple[int, str | None]] = []


def _plain(segment: object) -> bool:
    return isinstance(segment, str | int)


def _meets(path: Path, other: Path) -> bool:
    shorter = min(len(path), len(other))
    return path[:shorter] == other[:shorter]


if TYPE_CHECKING:
    _Paths = list[Path]
else:  # subscripted at run time, it would need the alias
    _Paths = list


class _Touched(_Paths):
    """The paths whose text pending splices change, every prefix of them
    kept in a set: whether a path meets one of them is a lookup, where a
    scan of them all made a thousand changes take seconds."""

    def __init__(self, touched: _Touched | None = None) -> None:
        super().__init__(touched or ())
        # Copied whole: each change saves what it may have to undo.
        self._paths: set[tuple[Segment, ...]] = set()
        self._prefixes: set[tuple[Segment, ...]] = set()
        if touched:
            self._paths.update(touched._paths)
            self._prefixes.update(touched._prefixes)

    def append(self, path: Path) -> None:
        super().append(path)
        key = tuple(path)
        self._paths.add(key)
        self._prefixes.update(key[:depth] for depth in range(len(key) + 1))

    def clear(self) -> None:
        super().clear()
        self._paths.clear()
        self._prefixes.clear()

    def copy(self) -> _Touched:
        return _Touched(self)

    def meets(self, path: Path) -> bool:
        """Whether `path` holds one of them, or one of them holds it."""
        key = tuple(path)
        if key in self._prefixes:
            return True
        return any(key[:depth] in self._paths for depth in range(len(key)))


def _meets_any(path: Path, touched: list[Path]) -> bool:
    if isinstance(touched, _Touched):
        return touched.meets(path)
    return any(_meets(path, other) for other in touched)


class _Run:
    """Changes not yet checked by reading the text again: scalars set in
    place of scalars, and appends to one list, each planned on the document
    as read before the first of them (a list of a thousand items read a
    thousand times took seconds).  None of them moves another place, nor
    changes the keys of a table or the length of a list but the one
    appended to; the text is read again, and so checked, when something
    needs it.

    `was` is what the editor held before the first, `changes` each change,
    at its place, to make again one at a time where the text does not read;
    `size` how many splices are pending, all of them these changes'.  The
    appends go to `items` (None: none yet), which had `count` items, at
    `at`, `added` of them."""

    __slots__ = ("added", "at", "changes", "count", "items", "size", "was")

    def __init__(self, was: tuple[Any, ...]) -> None:
        self.was = was
        self.items: Path | None = None
        self.count = self.at = self.added = self.size = 0
        self.changes: list[Change] = []

    def add(self, change: Change, path: Path, appended: bool) -> None:
        again = Change(
            list(path),
            None,
            change.origin,
            value=change.value,
            data=change.data,
            create=change.create,
        )
        self.changes.append(again)
        self.added += appended
        self.size += 1


class Editor:
    """Makes changes to a document, one at a time: each is made at every
    place its path matches, or, failing anywhere, nowhere."""

    def __init__(
        self, document: Document, warn: Callable[[str], None], mark: str = ""
    ) -> None:
        self._document = document
        self.mark = mark  # a byte-order mark before the document, kept
        self._warn = warn
        self._read = document  # as read: what a listing's lines are held to
        self._listed: Document | None = None  # as read, its numbers as written
        self._warned: set[object] = set()
        # The kinds of the items of lists appended to, by list: (how many
        # items, [the one kind of them all] or [None]), so that appends one
        # after another do not each read every item again.
        self._kinds: dict[tuple[Segment, ...], tuple[int, list[str | None]]] = {}
        self._run: _Run | None = None  # appends not yet read again
        self._runs = True  # False while a run's appends are made one at a time
        # Splices planned and not yet made, and the paths whose text they
        # change: changes that do not meet are spliced together.
        self._pending = texts.Pending()
        self._touched: list[Path] = _Touched()
        # What differs from the text as read: (start, end) there and in the
        # text now, for a diff.
        self._changed: list[Changed] = []
        self.made: list[Made] = []  # each change at each place, in order

    @property
    def document(self) -> Document:
        """The document with every change so far made."""
        self.flush()
        return self._document

    @property
    def base(self) -> Document:
        """The document as last read, which the changes planned since do not
        show yet: for what does not depend on them."""
        return self._document

    def members(self, path: Path) -> list[str] | int | None:
        """What the document's `members` gives at `path` with every change
        so far made; for the list appended to, without reading it again."""
        run = self._run
        if run is not None and len(self._pending.splices) == run.size:
            if path == run.items:
                return run.count + run.added
            if run.items is None or path[: len(run.items)] != run.items:
                return self._document.members(path)  # as the changes leave it
        return self.document.members(path)

    def reading(self, path: Path) -> Document:
        """The document to read `path` in: as last read, where no change
        not yet read again reaches `path`, else read again."""
        run = self._run
        if (
            run is not None
            and len(self._pending.splices) == run.size
            and not _meets_any(path, self._touched)
        ):
            return self._document
        return self.document

    @property
    def text(self) -> str:
        """The text with every change so far made, its mark too."""
        return self.mark + self.document.text

    @property
    def changed(self) -> list[Changed]:
        """What differs from the text as read: (start, end) there and in
        `text` now, its mark counted."""
        self.flush()
        shift = len(self.mark)
        if not shift:
            return self._changed
        return [
            (a + shift, b + shift, c + shift, d + shift) for a, b, c, d in self._changed
        ]

    def apply(self, changes: Iterable[Change]) -> bool:
        """Makes every change in order; True if any changed the text."""
        made = self.make(list(changes))
        self.flush()
        return made

    def make(self, changes: list[Change]) -> bool:
        """Makes each change in order, at every place its path matches, or,
        where one fails, leaves everything as it was; True if they change
        the text."""
        was = self._saved()
        count = len(self._touched)
        index = 0
        while index < len(changes):
            gathered = self._gathered(changes, index)
            if gathered:
                index += gathered
                continue
            change = changes[index]
            try:
                self._change(change, self._pending, self._touched)
            except EditError as exc:
                self._undo(was)
                said = str(exc)
                if change.listed and not said.startswith(change.origin):
                    # which line of the listing
                    raise exc.prefixed(f"{change.origin}: ") from None
                raise
            index += 1
        try:
            # Read again now: a change that leaves the text unreadable fails
            # as itself, not at whatever reads the document next.  Appends
            # to one list, each one item in the list's own layout, are read
            # once, when the text is next asked for.
            run = self._run
            if run is None or len(self._pending.splices) != run.size:
                self.flush()
        except EditError:
            self._undo(was)
            raise
        return len(self._touched) != count or self._document is not was[0]

    def _gathered(self, changes: list[Change], start: int) -> int:
        """Makes the changes from `start` on that build one new table or
        list as one change, where they can be; how many it made (0 where
        none, or where making them so failed: each is made alone then, and
        fails as itself)."""
        change = changes[start]
        if start + 1 == len(changes) or not batch.candidate(change):
            return 0
        if getattr(self._document, "member", None) is None:
            return 0  # a format that writes no tables in flow syntax
        top = batch.place(self._document, change)
        if top is None:
            return 0  # there already, even before the changes not yet made
        try:
            if self._stale(change.path, self._touched):  # type: ignore[arg-type]
                self.flush()  # as the change alone would
                top = batch.place(self._document, change)
        except EditError:
            return 0  # and the change alone fails as itself
        found = top is not None and batch.gathered(
            self._document,
            changes,
            start,
            top,
            lambda each: each.text == self._as_listed(each.path),  # type: ignore[arg-type]
        )
        if not found:
            return 0
        text, data, count, said = found
        was, warn = self._saved(), self._warn
        held: list[str] = []  # the warnings of the run, said once it is made
        try:
            whole = Change(top, text, change.origin, create=True)  # type: ignore[arg-type]
            self._warn = held.append
            self._change(whole, self._pending, self._touched)
            self.flush()
            if not batch.reads_as(self._document, top, data):  # type: ignore[arg-type]
                raise ChangeError("read otherwise in flow syntax")
        except EditError:
            self._undo(was)
            return 0
        finally:
            self._warn = warn
        for warning in held + said:
            warn(warning)
        return count

    def _saved(self) -> tuple[Any, ...]:
        return (
            self._document,
            self._pending.copy(),
            _Touched(self._touched),  # type: ignore[arg-type]
            list(self._changed),
            set(self._warned),
            len(self.made),
            self._run,
            None if self._run is None else (self._run.size, self._run.added),
        )

    def _undo(self, was: tuple[Any, ...]) -> None:
        self._kinds.clear()
        self._run = run = was[6]
        if run is not None:  # as it was: the changes since undone
            run.size, run.added = was[7]
            del run.changes[run.size :]
            if not run.added:
                run.items = None
        (self._document, self._pending, self._touched) = was[:3]
        self._changed, self._warned = was[3:5]
        del self.made[was[5] :]

    def replayed(self, text: str, source: str) -> Editor:
        """An editor of `text`, what another program saved meanwhile, with
        this one's changes made again there, each at the place it was made
        at; ConflictError, naming `source`, where the other program changed
        such a place too or saved what does not read."""
        mark, body = texts.split_mark(text)
        said = ""
        try:
            with paused():
                document = self._read.format.load(body)
        except EditError as exc:
            said = str(exc)
        except RecursionError:
            said = "it is nested too deeply"
        if said:
            raise ConflictError(
                f"{source}: another program saved it meanwhile, and what it "
                f"saved does not read: {said}; nothing written"
            )
        again = Editor(document, _quiet, mark)
        try:
            again.replay(self.made)
        except ConflictError as exc:
            raise exc.prefixed(f"{source}: ").suffixed(": nothing written") from None
        return again

    def replay(self, made: list[Made]) -> None:
        """Makes again, on this editor's document, the changes `made`
        records of another's: each at the place it reached then, in order.
        A place that no longer holds what it held before the change (an
        equal value of the same kind; still nothing, for a new key) raises
        ConflictError, as does an append to what is no longer a list; one
        that holds what the change made already is left alone."""
        # Where an append went another way than the first time: the items
        # that later changes were made in, by list and index then.
        moved: dict[tuple[Segment, ...], int] = {}
        for each in made:
            path = _moved(each.path, moved)
            if self._stale(path, self._touched):
                self.flush()  # what is compared must show the changes so far
            shown = paths.show(path)
            try:
                for depth, held in each.items:
                    now = self._document.current(path[: depth + 1])
                    if now is None or now.shown != held:
                        raise _conflict(paths.show(path[: depth + 1]))
                if each.append:
                    count = self._document.members(path[:-1])
                    if not isinstance(count, int):
                        raise _conflict(paths.show(path[:-1]))
                    moved[tuple(each.path)] = count
                    path = [*path[:-1], count]
                elif each.inserted:
                    count = self._document.members(path[:-1])
                    if not isinstance(count, int) or count <= path[-1]:  # type: ignore[operator]
                        raise _conflict(paths.show(path[:-1]))
                else:
                    now = self._document.current(path)
                    held = None if now is None else now.shown
                    if held == each.after and (
                        held is not None or not isinstance(path[-1], int)
                    ):
                        continue  # made already; but an item gone may be another
                    if held != each.before:
                        raise _conflict(shown)
                change = each.change
                place: Pattern = list(path)
                again = Change(
                    place,
                    None,
                    change.origin,
                    value=each.value,
                    data=change.data,
                    create=change.create,
                    insert=each.inserted,
                )
                self._change(again, self._pending, self._touched)
            except ConflictError:
                raise
            except EditError:
                raise _conflict(shown) from None
        self.flush()

    def flush(self) -> None:
        self._flush(self._pending, self._touched)

    def _change(
        self, change: Change, pending: texts.Pending, touched: list[Path]
    ) -> None:
        """Makes `change` at every place its path matches."""
        places = self._places(change, pending, touched)
        # Places of one change never hold one another, and are changed
        # last first: a deleted item moves none of those before it.
        before = len(touched)
        added: list[Path] = []  # where a --set through selectors adds its key
        for path, alone in places:
            if len(places) == 1 and self._joined(change, path, pending):
                continue
            if alone or self._stale(
                path, touched if before == len(touched) else touched[:before]
            ):
                self._flush(pending, touched)
                before = 0
            planned = self._plan(change, path)
            if planned[0] and pending.meets(planned[0]):
                self._flush(pending, touched)
                before = 0
                planned = self._plan(change, path)
            splices, mark, warning, made = planned
            if made is not None:
                self.made.append(made)
                if made.before is None and not change.deletes:
                    added.append(path)
            if not splices:
                continue
            if warning:
                self._warn(warning)
            run = self._run
            unchecked = (
                len(places) == 1
                and pending is self._pending
                and len(pending.splices) == (run.size if run else 0)
                and self._unchecked(change, splices, made)
            )
            was = self._saved() if unchecked and run is None else ()
            pending.add(splices)
            touched.append(mark)
            if unchecked and made is not None:
                run = self._run = run or _Run(was)
                appended = made.append
                if appended:  # the appends to this list join it
                    run.items, run.count = path[:-1], made.path[-1]  # type: ignore[assignment]
                    run.at = splices[0].start
                run.add(change, made.path, appended)
            if self._shared(path, whole=not change.deletes):
                # Other paths reach what changed: the changes after this
                # one must see it changed, whichever path they take.
                self._flush(pending, touched)
                before = 0
        if added and len(added) < len(places) and paths.selects(change.path):
            # New at some matches, there at others: a selector that picks more
            # than was meant (a Service named as the Deployment is) adds a key
            # where it has no business, and says so.
            named = ", ".join(repr(paths.show(path)) for path in added[:5])
            more = len(added) - 5
            named += f" and {more:,} more" if more > 0 else ""
            self._warn(
                f"{paths.show(change.path)!r} is new at {len(added):,} of "
                f"{len(places):,} matches: {named}"
            )

    def _unchecked(
        self, change: Change, splices: list[Splice], made: Made | None
    ) -> bool:
        """Whether `change`, as planned, may wait to be read again: given as
        data or as a value, a single splice, and either a scalar set in place
        of a scalar or the first append to a list that has an item, as an
        insertion after its last."""
        if (
            not self._runs
            or made is None
            or change.value is None
            or change.listed
            or change.insert
            or len(splices) != 1
        ):
            return False
        if made.scalar:
            return True
        return (
            made.append
            and (self._run is None or self._run.items is None)
            and isinstance(made.path[-1], int)
            and made.path[-1] > 0
            and splices[0].start == splices[0].end
            and splices[0].gap is None
        )

    def _joined(self, change: Change, path: Path, pending: texts.Pending) -> bool:
        """Whether `change`, an append to the list of the run of appends,
        was made on the document as read before the run; False for any
        other change, and for one planned otherwise than the first was (it
        is then made as any other is, which reads the text again)."""
        run = self._run
        if (
            run is None
            or run.items is None
            or pending is not self._pending
            or len(pending.splices) != run.size
            or change.value is None
            or change.listed
            or change.insert
            or len(path) != len(run.items) + 1
            or path[-1] != run.count + run.added
            or path[:-1] != run.items
        ):
            return False
        value = change.value
        if value.refused:
            return False
        try:
            splices = self._document.append(run.items, value)
        except EditError:
            return False
        if (
            len(splices) != 1
            or splices[0].start != run.at
            or splices[0].end != run.at
            or splices[0].gap is not None
        ):
            return False
        index = run.count + run.added
        warning = None
        if not value.collection:
            warning = self._odd_item(change, [*run.items, run.count], value)
        made = Made(change, list(path), None, value.shown, value, append=True)
        self.made.append(self._made(made))
        if warning:
            self._warn(warning)
        pending.after(splices[0])
        self._touched.append(run.items)
        run.add(change, [*run.items, index], True)
        return True

    def _as_listed(self, path: Path) -> str | None:
        """What a listing of the document as read shows at `path`, a scalar
        or an empty list or table, as written; None where it shows no line."""
        if self._listed is None:
            with paused():
                self._listed = self._read.format.load(self._read.text, True)
        try:
            node = self._listed.lookup(path)
        except EditError:
            return None
        if isinstance(node, dict | list) and node:
            return None
        return self._listed.show_all([node])[0]

    @staticmethod
    def _stale(path: Path, touched: list[Path]) -> bool:
        """Whether the document must show the changes that touched paths
        before a change at `path` is planned: one in the value there, or in
        a list item on the way, which a replay compares as it was then."""
        for depth, segment in enumerate(path[:-1]):
            if isinstance(segment, int) and _meets_any(path[: depth + 1], touched):
                return True
        return _meets_any(path, touched)

    def _places(
        self, change: Change, pending: texts.Pending, touched: list[Path]
    ) -> list[tuple[Path, bool]]:
        """The places `change` is made at, last first for a deletion, each
        with whether the changes before it must be made first."""
        pattern = change.path
        if not paths.selects(pattern):
            return [(pattern, False)]  # type: ignore[list-item]
        fixed = pattern[: next(i for i, s in enumerate(pattern) if not _plain(s))]
        if _meets_any(fixed, touched):  # type: ignore[arg-type]
            self._flush(
                pending, touched
            )  # what is matched must show the changes so far
        try:
            places = matches.expand(self._document, pattern, not change.deletes)
        except EditError as exc:
            verb = "delete" if change.deletes else "write"
            raise exc.prefixed(f"cannot {verb} {paths.show(pattern)!r}: ") from None
        if not change.deletes:
            return [(path, False) for path in places]
        # The last member of a list or table goes with what keeps it one
        # ("[]"): its deletion must see the others gone.
        held: dict[tuple[Segment, ...], int] = {}
        for path in places:
            held[tuple(path[:-1])] = held.get(tuple(path[:-1]), 0) + 1
        emptied = set()
        for parent, count in held.items():
            members = self._document.members(list(parent))
            if count == (members if isinstance(members, int) else len(members or ())):
                emptied.add(parent)
        ordered: list[tuple[Path, bool]] = []
        for path in reversed(places):
            parent = tuple(path[:-1])
            held[parent] -= 1
            last = parent in emptied and held[parent] == 0 and len(places) > 1
            ordered.append((path, last))
        return ordered

    def _plan(
        self, change: Change, path: Path
    ) -> tuple[list[Splice], Path, str | None, Made | None]:
        """The splices of `change` (none where there is nothing to do), the
        path whose text they change, a warning for a change of kind, and
        what was made, for a replay (None for a listing's line that changes
        nothing)."""
        document = self._document
        if change.deletes:
            self._kinds.clear()
            if not path:
                raise ChangeError(
                    f"{change.origin}: the top of a document is not deleted"
                )
            splices = document.delete(path)
            old = document.current(path)
            before = None if old is None else old.shown
            gone = self._made(Made(change, self.concrete(path), before, None))
            return splices, path[:-1], None, gone
        value = change.value
        if value is None:
            try:
                value = parsed(document, str(change.text))
            except EditError as exc:
                raise exc.prefixed(f"{change.origin}: ") from None
        if change.insert:
            return self._inserted(change, path, value)
        old = document.current(path)
        if change.listed and change.text == self._as_listed(path):
            # A listing's line left as it was listed is no change: of the
            # lines that show a value at several paths (through aliases or
            # merge keys), the others would put the old value back.
            return [], path, None, None
        if old is not None and (
            old.shown == value.shown
            or (change.data is not NO_DATA and same(document.data(path), change.data))
        ):
            # Shown alike, or equal as Python data, kind too: a tagged
            # scalar (`!Ref x`) read and set back stays as it is.  But a
            # scalar typed otherwise than it is written (`1.1` for `1.10`, a
            # time to the nanosecond that reads the same to the microsecond)
            # is written as typed.
            splices = []
            if change.data is NO_DATA and not value.collection:
                # Not to be written (a merge key's), it stays, as the same.
                try:  # noqa: SIM105 - contextlib costs the start-up of a --set
                    splices = write(document, path, value, change.create)
                except EditError:
                    pass
            if texts.apply(document.text, splices) == document.text:
                made = Made(change, self.concrete(path), old.shown, old.shown)
                return [], path, None, self._made(made)
        if value.refused:
            raise ChangeError(f"{change.origin}: {value.refused}")
        typed = change.text or ""
        bracketed = typed.startswith(("[", "{"))
        if old and old.collection and bracketed and not value.collection:
            # Meant for a list or table and mistyped: not turned into a string.
            raise ChangeError(
                f"{change.origin}: {paths.show(path)!r} holds {old.collection}"
                f" and {typed!r} is not one; write '{kinds.quoted(typed)}' for a string"
            )
        append = old is None and bool(path) and isinstance(path[-1], int)
        if not append:
            self._kinds.clear()
        warning = None
        if old is not None:
            warning = kinds.changed_kind(change, path, old, value)
        elif bracketed and not value.collection:
            # New, and meant for a list or table: a string, said so.
            warning = (
                f"{typed!r} is not a list or a table, and is written as a string; "
                f"write '{kinds.quoted(typed)}' to say so"
            )
        elif append and not value.collection:
            warning = self._odd_item(change, path, value)
        mark = path if old else self._made_at(path)
        splices = write(document, path, value, change.create)
        made = Made(
            change,
            self.concrete(path),
            None if old is None else old.shown,
            value.shown,
            value,
            append,
        )
        made.scalar = old is not None and not old.collection and not value.collection
        return splices, mark, warning, self._made(made)

    def _inserted(
        self, change: Change, path: Path, value: Value
    ) -> tuple[list[Splice], Path, str | None, Made | None]:
        """The plan of a new item before the item at `path`, which is
        there."""
        if value.refused:
            raise ChangeError(f"{change.origin}: {value.refused}")
        index = path[-1]
        count = self._document.members(path[:-1])
        if not isinstance(count, int) or not isinstance(index, int):
            raise PathError(f"{paths.show(path[:-1])!r} is not a list")
        if not 0 <= index < count:
            raise PathError(paths.missing(path, count))
        try:
            splices = self._document.append(path[:-1], value, before=index)
        except EditError as exc:
            raise exc.prefixed(f"cannot write {paths.show(path)!r}: ") from None
        warning = None if value.collection else self._odd_item(change, path, value)
        made = Made(change, path, None, value.shown, value)
        made.inserted = True
        return splices, path[:-1], warning, self._made(made)

    def _made_at(self, path: Path) -> Path:
        """The place whose text a change that adds `path` changes: the list
        an item goes to, the table a key goes in, or the first of the keys
        (and lists) that --create makes on the way, which the changes after
        it must see made."""
        document = self._document
        if not path:
            return path  # a document that held nothing, made whole
        try:
            depth, _ = document.reach(path)
        except EditError:
            null = _null_on_the_way(document, path)
            return path[:null] if null is not None else path[:-1]
        if depth >= len(path) - 1 or isinstance(path[depth], int):
            return path[:depth]  # the list an item goes to, or the table
        return path[: depth + 1]

    def _made(self, made: Made) -> Made:
        """`made`, with what each item on the way to its place holds now."""
        path = made.path
        for depth, segment in enumerate(path[:-1]):
            if isinstance(segment, int):
                now = self._document.current(path[: depth + 1])
                made.items.append((depth, None if now is None else now.shown))
        return made

    def _odd_item(self, change: Change, path: Path, value: Value) -> str | None:
        """A warning where a scalar added to a list is of another kind than
        every other item, all of one kind: `3.10` among strings is the
        number 3.1."""
        document, items = self._document, path[:-1]
        run = self._run
        try:
            count = document.members(items)
        except EditError:
            return None  # no list there: the change says so
        if run is not None and run.items == items and count == run.count:
            count += run.added  # planned on the list as it was before the run
            path = [*items, count]
        new = value.kind or kind(value.data)
        if not isinstance(count, int) or new is None:
            return None
        known = self._kinds.get(tuple(items))
        if known is not None and known[0] == count:
            held = known[1]
        else:
            item_kinds = getattr(document, "item_kinds", None)
            if item_kinds is not None:  # the format's own, at a fraction of the cost
                held = item_kinds(items)
            else:
                held = []
                for index in range(count):
                    item = document.current([*items, index])
                    collection = item is None or item.collection
                    held.append(None if collection else item.kind or kind(item.data))  # type: ignore[union-attr]
            found = set(held)
            held = [] if not found else list(found) if len(found) == 1 else [None]
        said = kinds.odd_item(change, path, value, held)
        # After this item, on to the next append: one kind, or none.
        self._kinds[tuple(items)] = (
            count + 1,
            [new] if held in ([], [new]) else [None],
        )
        return said

    def concrete(self, path: Path) -> Path:
        """`path` with its indexes counted from 0: `[-1]` is the last item
        now, which another program's append does not make another."""
        if not any(isinstance(s, int) and s < 0 for s in path):
            return path
        out: Path = []
        for segment in path:
            if isinstance(segment, int) and segment < 0:
                count = self._document.members(out)
                if isinstance(count, int) and count + segment >= 0:
                    segment += count
            out.append(segment)
        return out

    def _shared(self, path: Path, whole: bool) -> bool:
        """Whether the change at `path` is made in a node that other paths
        reach too; warns of it once per such node."""
        found = self._document.shared(path, whole)
        if found is not None and found[0] not in self._warned:
            self._warned.add(found[0])
            self._warn(found[1])
        return found is not None

    def _flush(self, pending: texts.Pending, touched: list[Path]) -> None:
        run, self._run = self._run, None
        try:
            self._reload(pending, touched)
            if run is not None and run.items is not None:
                count = self._document.members(run.items)
                if count != run.count + run.added:
                    raise ChangeError("the appends read otherwise")
        except EditError:
            if run is None or not run.size:
                raise
            self._one_at_a_time(run, pending, touched)

    def _one_at_a_time(
        self, run: _Run, pending: texts.Pending, touched: list[Path]
    ) -> None:
        """Makes the appends of `run` again, each alone and read again
        after it, from where the editor was before the first: so a run that
        did not read as it should ends as the appends one at a time would
        have made it, or fails at the one that breaks the document."""
        self._document, self._changed, self._warned = run.was[0], *run.was[3:5]
        del self.made[run.was[5] :]
        pending.clear()
        touched.clear()
        warn, self._warn, self._runs = self._warn, _quiet, False
        try:
            for number, change in enumerate(run.changes, 1):
                try:
                    self._change(change, pending, touched)
                    self._reload(pending, touched)
                except EditError as exc:
                    shown = paths.show(change.path)
                    raise exc.prefixed(
                        f"cannot write {shown!r} (the changes before it are made, "
                        f"{len(run.changes) - number + 1:,} from it on are not): "
                    ) from None
        finally:
            self._warn, self._runs = warn, True

    def _reload(self, pending: texts.Pending, touched: list[Path]) -> None:
        if pending:
            made: list[Span] = []
            text = texts.apply(self._document.text, pending, made)
            self._changed = texts.track(self._changed, made)
            try:
                with paused():
                    self._document = self._document.reload(text)
            except DocumentError as exc:  # an alias left without its anchor
                where = ""
                if exc.line is not None:  # said where it is in the text as read
                    at = texts.offset(text, exc.line, exc.column or 1)
                    read = texts.as_read(self._changed, at)
                    line = self._read.text.count("\n", 0, read) + 1
                    where = f" (line {line} as read)"
                raise ChangeError(
                    f"the changes would break the document: {exc.problem}{where}"
                ) from None
            except EditError as exc:
                raise ChangeError(
                    f"the changes would break the document: {exc}"
                ) from None
        pending.clear()
        touched.clear()


def write(document: Document, path: Path, value: Value, create: bool) -> list[Splice]:
    """The splices that set `value` at `path`: the value there replaced, an
    item one past a list's last appended, or a missing key added (`create`
    makes the tables missing before it).  Every format decides so, over its
    own ways to find a place and write there."""
    try:
        if not path:
            return document.replace(path, value)
        try:
            depth, count = document.reach(path)
        except PathError as exc:
            null = _null_on_the_way(document, path)
            if null is None:
                raise
            # A null on the way (YAML's `key:`, JSON's null) becomes a table,
            # or a list where an item of it follows.
            rest = path[null:]
            if not create:
                exc.hint = "create"
                raise
            if isinstance(rest[0], int):
                made = _made(document, rest, value, path[:null])
                return document.replace(path[:null], made)
            keys, tail = _keys_before_list(rest)
            if tail:
                value = _made(document, tail, value, path[: null + len(keys)])
            return document.insert(path[:null], keys, value)
        if depth == len(path):
            return document.replace(path, value)
        segment, rest = path[depth], path[depth + 1 :]
        missing = paths.missing(path[: depth + 1], count)
        if isinstance(segment, int):
            if segment != count:
                raise PathError(missing)
            if rest and not create:
                raise PathError(missing, hint="create")
            if rest:  # a new item, the tables (and lists) of the rest in it
                value = _made(document, rest, value, path[: depth + 1])
            return document.append(path[:depth], value)
        if rest and not create:
            raise PathError(missing, hint="create")
        keys, tail = _keys_before_list([segment, *rest])
        if tail:  # --create makes a list of its first item
            value = _made(document, tail, value, path[: depth + len(keys)])
        return document.insert(path[:depth], keys, value)
    except EditError as exc:
        raise exc.prefixed(f"cannot write {paths.show(path)!r}: ") from None


def _quiet(message: str) -> None:
    pass  # a replay's warnings were said when the changes were first made


def _moved(path: Path, moved: dict[tuple[Segment, ...], int]) -> Path:
    """`path` through the items that appends made again put elsewhere."""
    if not moved:
        return path
    out: Path = []
    for depth, segment in enumerate(path):
        if isinstance(segment, int):
            segment = moved.get((*path[:depth], segment), segment)
        out.append(segment)
    return out


def _conflict(shown: str) -> ConflictError:
    return ConflictError(f"another program changed {shown!r} meanwhile", shown)


def _keys_before_list(path: Path) -> tuple[list[str], Path]:
    """The keys of `path` up to its first item, and the rest from there."""
    first = next((i for i, s in enumerate(path) if isinstance(s, int)), len(path))
    return [str(s) for s in path[:first]], path[first:]


def _made(document: Document, tail: Path, value: Value, at: Path) -> Value:
    """`value` in the new lists and tables that `tail` says, from `at`: a
    list for each item, which must be its first ([0]), a table for each key.
    The value is as typed (`1.10`, `{a: 1}`) where it reads the same within
    them (in a YAML list, `x, y` is two items), else made of its data."""
    for depth, segment in enumerate(tail):
        if isinstance(segment, int) and segment != 0:
            place = [*at, *tail[: depth + 1]]
            raise PathError(paths.missing(place, 0), hint="lists")
    text = value.text
    for segment in reversed(tail):
        if isinstance(segment, int):
            text = "[" + text + "]"
        else:
            text = "{" + document.member(str(segment), text) + "}"
    if value.collection and value.text:
        return parsed(document, text)  # a flow collection: whole within any
    if value.tag:
        raise PathError(
            f"{paths.show([*at, *tail])!r} is new, and a list made for it takes "
            "no tagged value alone: set the list whole"
        )
    data = value.data
    if value.collection:
        data = [] if value.shown == "[]" else {}  # empty: the same in any syntax
    for segment in reversed(tail):
        data = [data] if isinstance(segment, int) else {str(segment): data}
    made = document.value(data)
    if value.text and not value.collection:
        typed = parsed(document, text)
        if typed.shown == made.shown:
            return typed
    return made


def _null_on_the_way(document: Document, path: Path) -> int | None:
    """How many segments of `path` lead to a null that stands where it needs
    a table, if one does."""
    for depth in range(len(path)):
        found = document.current(path[:depth])
        if found is None and depth == 0:
            continue  # a stream of documents, or none: no value at the top
        if found is None:
            return None
        if found.data is None and not found.collection:
            return depth
    return None
