"""Changes to a document: set a path, delete one, read one.

A change becomes splices of the document's text; the document is never
written out anew, so what no change covers stays byte for byte.  Splices of
changes that do not meet are applied together; a change that reaches into
what an earlier one changed sees the text re-read first, so the changes act
in the order given.  Every change is made before anything is written: one that
fails leaves the file as it was.  A value that shows the same as the one in
place is not written at all, so a listing applied back changes nothing.
"""

from __future__ import annotations

import json

from props_to_tree._command import matches, paths
from props_to_tree._command import text as texts
from props_to_tree._command.errors import UserError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import Any, Protocol

    from props_to_tree._command.paths import Path, Pattern, Segment
    from props_to_tree._command.text import Changed, Span, Splice

    class Document(Protocol):
        """A parsed document of one format, over its text."""

        text: str

        def parse(self, text: str) -> Value: ...
        def current(self, path: Path) -> Value | None: ...
        def set(self, path: Path, value: Value, create: bool) -> list[Splice]: ...
        def delete(self, path: Path) -> list[Splice]: ...
        def lookup(self, path: Path) -> Any: ...
        def shared(self, path: Path, whole: bool) -> tuple[object, str] | None: ...
        def members(self, path: Path) -> list[str] | int | None: ...
        def place(self, path: Path) -> object: ...
        @property
        def streamed(self) -> int | None: ...


# Plain classes: dataclasses would import inspect, a tenth of the start-up.
class Change:
    """--set, --delete or a listing's line: `text` is the value in the
    format's syntax, None to delete; `origin` says where it was asked for.
    A `listed` line says what the document held where it came from: it
    changes the document only where the document read held otherwise."""

    __slots__ = ("listed", "origin", "path", "text")

    def __init__(
        self, path: Pattern, text: str | None, origin: str, listed: bool = False
    ) -> None:
        self.path, self.text, self.origin, self.listed = path, text, origin, listed


class Value:
    """A value in the document or given for it: what it reads as, how it
    shows in a listing, and the text it was given as ("" for text that is
    no value, hence a string).  `collection` is "a list" or "a table" where
    it is one; `kind` the kind of scalar where `data` does not say it (a
    tag does); `refused` says why it cannot be written, where it cannot."""

    __slots__ = ("collection", "data", "kind", "refused", "shown", "text")

    def __init__(
        self,
        data: Any,
        shown: str,
        text: str = "",
        *,
        collection: str = "",
        kind: str | None = None,
        refused: str | None = None,
    ) -> None:
        self.data, self.shown, self.text = data, shown, text
        self.collection, self.kind, self.refused = collection, kind, refused


def kind(data: object) -> str | None:
    """The kind of scalar whose change the user is warned of."""
    if data is None or isinstance(data, dict | list):
        return None
    found = paths.kind(data)
    return None if found == "a value" else found.replace("a time", "a date")


def _plain(segment: object) -> bool:
    return isinstance(segment, str | int)


def _meets(path: Path, other: Path) -> bool:
    shorter = min(len(path), len(other))
    return path[:shorter] == other[:shorter]


class Editor:
    def __init__(
        self,
        document: Document,
        reload: Callable[[str], Document],
        warn: Callable[[str], None],
        create: bool = False,
    ) -> None:
        self.document = document
        self._reload = reload
        self._warn = warn
        self._create = create  # make missing tables on the way
        self._read = document  # as read: what a listing's lines are held to
        self._warned: set[object] = set()
        self._changed = False
        # What differs from the text as read: (start, end) there and in the
        # text now, for a diff.
        self.changed: list[Changed] = []

    def apply(self, changes: Iterable[Change]) -> bool:
        """Makes every change in order, at every place its path matches;
        True if the text changed."""
        pending: list[Splice] = []
        touched: list[Path] = []
        self._changed = False
        for change in changes:
            try:
                self._change(change, pending, touched)
            except UserError as exc:
                said = str(exc)
                if change.listed and not said.startswith(change.origin):
                    said = f"{change.origin}: {said}"  # which line of the listing
                raise UserError(said) from None
        self._flush(pending, touched)
        return self._changed

    def _change(
        self, change: Change, pending: list[Splice], touched: list[Path]
    ) -> None:
        """Makes `change` at every place its path matches."""
        places = self._places(change, pending, touched)
        # Places of one change never hold one another, and are changed
        # last first: a deleted item moves none of those before it.
        before = len(touched)
        for path, alone in places:
            if alone or any(_meets(path, other) for other in touched[:before]):
                self._flush(pending, touched)
                before = 0
            planned = self._plan(change, path)
            if planned is None:
                continue
            if texts.overlap(pending, planned[0]):
                self._flush(pending, touched)
                before = 0
                planned = self._plan(change, path)
                if planned is None:  # pragma: no cover - the text is as it was
                    continue
            splices, mark, warning = planned
            if warning:
                self._warn(warning)
            pending += splices
            touched.append(mark)
            self._changed = True
            if self._shared(path, whole=change.text is not None):
                # Other paths reach what changed: the changes after this
                # one must see it changed, whichever path they take.
                self._flush(pending, touched)
                before = 0

    def _places(
        self, change: Change, pending: list[Splice], touched: list[Path]
    ) -> list[tuple[Path, bool]]:
        """The places `change` is made at, last first for a deletion, each
        with whether the changes before it must be made first."""
        pattern = change.path
        if not paths.selects(pattern):
            return [(pattern, False)]  # type: ignore[list-item]
        fixed = pattern[: next(i for i, s in enumerate(pattern) if not _plain(s))]
        if any(_meets(fixed, other) for other in touched):  # type: ignore[arg-type]
            self._flush(
                pending, touched
            )  # what is matched must show the changes so far
        try:
            places = matches.expand(self.document, pattern, change.text is not None)
        except UserError as exc:
            verb = "delete" if change.text is None else "write"
            raise UserError(f"cannot {verb} {paths.show(pattern)!r}: {exc}") from None
        if change.text is not None:
            return [(path, False) for path in places]
        # The last member of a list or table goes with what keeps it one
        # ("[]"): its deletion must see the others gone.
        held: dict[tuple[Segment, ...], int] = {}
        for path in places:
            held[tuple(path[:-1])] = held.get(tuple(path[:-1]), 0) + 1
        emptied = set()
        for parent, count in held.items():
            members = self.document.members(list(parent))
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
    ) -> tuple[list[Splice], Path, str | None] | None:
        """The splices of `change`, the path whose text they change, and a
        warning for a change of kind; None when there is nothing to do."""
        document = self.document
        if change.text is None:
            if not path:
                raise UserError(
                    f"{change.origin}: the top of a document is not deleted"
                )
            return document.delete(path), path[:-1], None
        try:
            value = document.parse(change.text)
        except UserError as exc:
            raise UserError(f"{change.origin}: {exc}") from None
        old = document.current(path)
        if change.listed:
            # The line of a value that a listing shows at several paths
            # (through aliases or merge keys) changes it only if edited: the
            # lines of its other paths, left as they were, are no changes.
            read = self._read.current(path) if self._read is not document else old
            if read is not None and read.shown == value.shown:
                return None
        if old is not None and old.shown == value.shown:
            return None
        if value.refused:
            raise UserError(f"{change.origin}: {value.refused}")
        typed = change.text
        bracketed = typed.startswith(("[", "{"))
        if old and old.collection and bracketed and not value.collection:
            # Meant for a list or table and mistyped: not turned into a string.
            raise UserError(
                f"{change.origin}: {paths.show(path)!r} holds {old.collection}"
                f" and {typed!r} is not one; write '{_quoted(typed)}' for a string"
            )
        warning = None
        if old is not None:
            # A change of kind may be a typo: a list or table gone for a
            # value, a string turned into a number or a list.
            was = old.collection or old.kind or kind(old.data)
            now = value.collection or value.kind
            now = now or (
                paths.kind(value.data) if old.collection else kind(value.data)
            )
            if was and now and was != now:
                warning = f"{paths.show(path)!r} was {was} and is now {now}"
                if was == "a string" and value.kind is None:  # not a tag's doing
                    warning += f"; write '{_quoted(typed)}' to keep a string"
        splices = document.set(path, value, self._create)
        return splices, path if old else path[:-1], warning

    def _shared(self, path: Path, whole: bool) -> bool:
        """Whether the change at `path` is made in a node that other paths
        reach too; warns of it once per such node."""
        found = self.document.shared(path, whole)
        if found is not None and found[0] not in self._warned:
            self._warned.add(found[0])
            self._warn(found[1])
        return found is not None

    def _flush(self, pending: list[Splice], touched: list[Path]) -> None:
        if pending:
            made: list[Span] = []
            text = texts.apply(self.document.text, pending, made)
            self.changed = texts.track(self.changed, made)
            try:
                self.document = self._reload(text)
            except UserError as exc:  # a fault of this program's: write nothing
                raise UserError(
                    f"the changes would break the document: {exc}"
                ) from None
        pending.clear()
        touched.clear()


def _quoted(shown: str) -> str:
    return json.dumps(shown, ensure_ascii=False)
