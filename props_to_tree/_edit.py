"""Changes to a document in memory: set a path, delete one, read one.

Every change is checked and applied before anything is written, so that a
failing one leaves the file as it was.  A value that shows the same as the one
in place is not written at all: a listing applied to its own document changes
nothing, and the file is left alone.
"""

from dataclasses import dataclass
from typing import Any

from props_to_tree import flatten, write_back
from props_to_tree._errors import UserError
from props_to_tree._explain import missing, not_a_table, walk
from props_to_tree._formats import Format
from props_to_tree._listing import render


@dataclass(frozen=True)
class Change:
    path: str
    text: str | None  # the value in the format's syntax; None deletes
    origin: str  # where it was asked for, for messages


def _assign(document: Any, props: dict[str, Any]) -> None:
    try:
        write_back(props, document)
    except Exception as exc:
        notes = getattr(exc, "__notes__", None)
        problem = notes[-1] if notes else f"{type(exc).__name__}: {exc}"
        raise UserError(problem) from None


def _touches(path: str, batch: dict[str, Any]) -> bool:
    """Whether `path` or a table above it waits in `batch`."""
    if path in batch:
        return True
    dot = path.find(".")
    while dot >= 0:
        if path[:dot] in batch:
            return True
        dot = path.find(".", dot + 1)
    return False


def _delete(document: Any, path: str) -> None:
    components = path.split(".")
    node, problem = walk(document, components[:-1])
    if problem is not None:
        raise UserError(f"cannot delete {path!r}: {problem}")
    try:
        del node[components[-1]]
    except KeyError:
        raise UserError(f"cannot delete {path!r}: {missing(components)}") from None
    except TypeError:
        problem = not_a_table(components[:-1], node)
        raise UserError(f"cannot delete {path!r}: {problem}") from None
    except Exception as exc:
        raise UserError(f"cannot delete {path!r}: {exc}") from None


class Editor:
    def __init__(self, fmt: Format, document: Any) -> None:
        self.fmt = fmt
        self.document = document
        self._current: dict[str, Any] | None = None

    @property
    def current(self) -> dict[str, Any]:
        """Every leaf by path, as it stands now."""
        if self._current is None:
            self._current = flatten(self.fmt.tree(self.document))
        return self._current

    def get(self, path: str) -> str:
        """The value at `path`, or the listing of the table there."""
        current = self.current
        if path in current:
            return self.fmt.show(current[path]) + "\n"
        prefix = path + "."
        below = {p: v for p, v in current.items() if p.startswith(prefix)}
        if below:
            return "".join(render(below, self.fmt.show_all))
        node, problem = walk(self.fmt.tree(self.document), path.split("."))
        if problem is None:
            problem = f"{path!r} holds no values" if isinstance(node, dict) else ""
        raise UserError(problem or f"nothing at {path!r}")

    def apply(self, changes: list[Change]) -> bool:
        """Makes every change in order; True if the document changed."""
        fmt, changed = self.fmt, False
        batch: dict[str, Any] = {}
        for change in changes:
            if batch and (change.text is None or _touches(change.path, batch)):
                # What waits changes this place: write it, so that the value
                # in place is known again and the order of changes is kept.
                self._write(batch)
            if change.text is None:
                _delete(self.document, change.path)
                self._current, changed = None, True
                continue
            try:
                value = fmt.parse(change.text)
            except UserError as exc:
                raise UserError(f"{change.origin}: {exc}") from None
            old = self.current.get(change.path, _ABSENT)
            if old is not _ABSENT and fmt.show(value) == fmt.show(old):
                continue
            batch[change.path] = fmt.adapt(value, old)
            changed = True
        if batch:
            self._write(batch)
        return changed

    def _write(self, batch: dict[str, Any]) -> None:
        _assign(self.document, batch)
        batch.clear()
        self._current = None


_ABSENT = object()


def split_assignment(text: str) -> tuple[str, str]:
    """PATH=VALUE, or a listing line PATH = VALUE."""
    path, found, value = text.partition("=")
    if not found:
        raise UserError(f"--set needs PATH=VALUE, got {text!r}")
    if path.endswith(" ") and value.startswith(" "):
        return path[:-1], value[1:]
    return path, value
