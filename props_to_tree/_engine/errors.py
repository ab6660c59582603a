"""What the engine raises: each error's message is one line, the same that
the command prints, and its class says what went wrong, so that a Python
caller can catch what it expects and the command can map each to its exit
status."""

from __future__ import annotations

# What a caller can do about an error, where the engine knows: each names
# an option of the command's and an argument of the API's, which each of
# them words its own way.
HINTS = frozenset(
    {
        "create",  # tables missing on the way: --create, create=True
        "lists",  # what --create and create=True make: a list of its first item
        "delete",  # no null to write: --delete, delete()
        "format",  # a format guessed wrong: --format, format=
        "new",  # a file to edit that is not there: --new, new=True
        "tags",  # a custom tag that JSON and TOML cannot hold: --drop-tags
    }
)


class EditError(Exception):
    """A failure the engine foresees; `str()` is its message.  As data:
    `kind`, what went wrong, by class ("path", "document", ...); `hint`,
    one of HINTS or None; `line` and `column`, from 1, where known: in the
    document, or in the listing that a change came from."""

    kind = "edit"

    def __init__(
        self,
        message: str = "",
        *,
        hint: str | None = None,
        line: int | None = None,
        column: int | None = None,
    ) -> None:
        super().__init__(message)
        assert hint is None or hint in HINTS, hint
        self.hint, self.line, self.column = hint, line, column
        self.said = False  # whether the message says the hint yet

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""

    def prefixed(self, prefix: str) -> EditError:
        """The same error, its message led by `prefix`, for a caller that
        knows more of where it happened."""
        copy = self.__class__.__new__(self.__class__)
        copy.__dict__.update(self.__dict__)
        copy.args = (prefix + str(self), *self.args[1:])
        if isinstance(self, OSError):  # what the system said, kept
            copy.errno, copy.strerror = self.errno, self.strerror  # type: ignore[attr-defined]
            copy.filename = self.filename  # type: ignore[attr-defined]
        return copy

    def suffixed(self, suffix: str) -> EditError:
        """The same error, `suffix` after its message."""
        copy = self.prefixed("")
        copy.args = (str(self) + suffix, *self.args[1:])
        return copy

    def worded(self, words: dict[str, str]) -> EditError:
        """The same error, its message ending in what `words` says of its
        hint: the caller's own terms for it, once."""
        if self.hint is None or self.said:
            return self
        copy = self.suffixed(words[self.hint])
        copy.said = True
        return copy


class PathError(EditError, KeyError):
    """A path that is malformed, matches nothing, or matches several places
    where one is needed.  `path` is the path as given."""

    kind = "path"

    def __init__(
        self, message: str, path: str | None = None, *, hint: str | None = None
    ) -> None:
        super().__init__(message, hint=hint)
        self.path = path


class DocumentError(EditError, ValueError):
    """Text that does not read as its format, or that the engine refuses to
    read: aliases that stand for too much, nesting too deep, input past its
    bounds.  `line` and `column` count from 1, None where unknown; `problem`
    is what is wrong there, without the place."""

    kind = "document"

    def __init__(
        self,
        message: str,
        line: int | None = None,
        column: int | None = None,
        problem: str | None = None,
    ) -> None:
        super().__init__(message, line=line, column=column)
        self.problem = message if problem is None else problem


class ChangeError(EditError, ValueError):
    """A change that cannot be made as asked, at a place that exists: a value
    the place cannot hold, a table that must be deleted first."""

    kind = "change"


class ConvertError(EditError, ValueError):
    """The document holds what the format it is converted to cannot hold,
    at `path` (a tuple of keys and indices; () for the top)."""

    kind = "convert"

    def __init__(
        self, message: str, path: tuple[object, ...] = (), *, hint: str | None = None
    ) -> None:
        super().__init__(message, hint=hint)
        self.path = path


class ConflictError(EditError, RuntimeError):
    """Another program changed the file, between its read and its rename, at
    a place that a change was made at: made again there, the change would
    undo the other program's.  `path` is that place."""

    kind = "conflict"

    def __init__(self, message: str, path: str | None = None) -> None:
        super().__init__(message)
        self.path = path


class LockTimeout(EditError, TimeoutError):
    """Another edit held the file for longer than was waited."""

    kind = "lock"


class FileError(EditError, OSError):
    """A file that cannot be read."""

    kind = "file"


_KINDS: dict[type[OSError], type[FileError]] = {}


def file_error(cause: OSError, message: str) -> FileError:
    """A FileError that is also what the system said (a FileNotFoundError,
    say), so that a caller catches it as it would the system's own."""
    kind = _KINDS.get(type(cause))
    if kind is None:
        kind = FileError
        if type(cause) is not OSError:
            kind = type("FileError", (FileError, type(cause)), {})
        _KINDS[type(cause)] = kind
    error = kind(message)
    error.errno, error.strerror = cause.errno, cause.strerror
    error.filename = cause.filename
    return error


class WriteError(EditError, OSError):
    """A file that could not be written, or files of which some were written
    and some not: the message says which."""

    kind = "write"


class MissingLibrary(EditError, ImportError):
    """A format whose reader needs a library that is not installed."""

    kind = "library"
