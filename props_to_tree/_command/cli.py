"""props-to-tree: list a JSON, TOML or YAML document as ``path = value`` lines,
or change it by path, keeping its comments and layout."""

from __future__ import annotations

import atexit
import gc
import os
import stat
import sys

from props_to_tree import __version__
from props_to_tree import _formats as formats
from props_to_tree._engine import paths
from props_to_tree._engine.errors import (
    ConflictError,
    DocumentError,
    EditError,
    LockTimeout,
    PathError,
    WriteError,
)
from props_to_tree._engine.listing import (
    get,
    json_lines,
    lines,
    parse,
    toml_lines,
    yaml_lines,
)
from props_to_tree._formats import MAX_SIZE

# Types only: importing typing would slow every start of the command.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable, Iterator, Sequence
    from typing import Any, NoReturn

    from props_to_tree._engine.changes import Change, Editor

PROG = "props-to-tree"
BOM = "\ufeff"

EPILOG = """\
PATH is keys joined by ".", a list's item as [N] after its key ([-1] the last),
a key that cannot stand bare as a JSON string in brackets: spec.ports[0].port,
labels["app.kubernetes.io/name"]; a stream of YAML documents is a list of them.
A PATH may select: [SUB=VALUE] the items of a list, or members of a table,
holding VALUE at SUB ([name=web], [.=--fix] the item itself), [SUB^=VALUE] a
string starting with VALUE, [A=1&B=2] both, [*] every item, * every key;
changes and --get then act at every match.  [+] ending a --set's PATH appends
an item: --set 'deps[+]=x'.
VALUE and the values of a listing are in the document's own syntax: JSON for
JSON, TOML values for TOML, YAML flow values for YAML; text that is not a value
is a string.  Changes apply in the order given, all or none: if one fails,
nothing is written, in any FILE.  With several FILEs each line printed starts
with FILE:, and changes need -i or --diff.  Exit status: 0 on success, 2 for a
usage or input error, 1 when the output cannot be written or another program
changed a FILE where a change was being made.

examples:
  props-to-tree config.toml                       list every value
  props-to-tree config.yaml --get db.port         print one value
  props-to-tree config.toml -i --set db.port=5433 --delete db.debug
  props-to-tree k8s.yaml -i --set '[kind=Pod].spec.containers[name=web].image=web:2'
  props-to-tree ci.yml -i --set 'jobs[runs-on=ubuntu-latest].timeout-minutes=30'
  props-to-tree compose.yaml -i --set 'services.*.restart=always'
  props-to-tree Cargo.toml -i --create --set profile.release.lto=true
  props-to-tree a.json | sed s/5432/5433/ | props-to-tree a.json -i --apply -
  props-to-tree -i --set version=2.0.0 packages/*/package.json
  props-to-tree values.yaml --diff --set image.tag=1.27
  props-to-tree values.yaml --to toml > values.toml   comments carried
"""


class UserError(Exception):
    """A mistake in the command line: exit status 2."""


# What a user can do about an error, in the command's terms.
HINTS = {
    "create": "; --create makes the tables on the way",
    "lists": "; --create makes a list of its first item alone, [0] or [+]",
    "delete": " (--delete removes a key)",
    "format": ": --format names its format",
    "new": " (-i --new makes it)",
    "tags": ": --drop-tags writes its value alone",
}


def _said_error(exc: Exception) -> str:
    return str(exc.worded(HINTS) if isinstance(exc, EditError) else exc)


class OutputError(Exception):
    """The output cannot be written: exit status 1."""


def _tagged(kind: str) -> Any:
    # One list keeps --set, --delete and --apply in the order they were given.
    return lambda text: (kind, text)


def _seconds(text: str) -> float:
    import argparse

    try:
        seconds = float(text)
    except ValueError:
        seconds = float("nan")
    if not seconds >= 0:  # NaN too
        raise argparse.ArgumentTypeError(f"must be 0 or more seconds, got {text!r}")
    return seconds


def _bytes(text: str) -> int:
    import argparse

    try:
        size = int(text)
    except ValueError:
        size = -1
    if size < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more bytes, got {text!r}")
    return size


def _formatter(prog: str) -> argparse.HelpFormatter:
    import argparse

    # argparse would import shutil, for the width, on every start.
    try:
        width = int(os.environ.get("COLUMNS", "")) or os.get_terminal_size(2).columns
    except (ValueError, OSError):
        width = 80
    return argparse.RawDescriptionHelpFormatter(prog, width=width - 2)


def _parser() -> argparse.ArgumentParser:
    import argparse

    class _Parser(argparse.ArgumentParser):
        def error(self, message: str) -> NoReturn:
            raise UserError(message)

    parser = _Parser(
        prog=PROG,
        description=__doc__,
        epilog=EPILOG,
        formatter_class=_formatter,
    )
    parser.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help="the documents; - or none: standard input",
    )
    parser.add_argument(
        "--format",
        choices=sorted(formats.names()),
        help="the document's format (default: by file name or suffix; JSON for "
        "others and stdin)",
    )
    parser.add_argument(
        "--get",
        metavar="PATH",
        action="append",
        help="print the value at PATH, a string as its text ('.' the whole "
        "document; repeatable)",
    )
    changes = (
        ("--set", "PATH=VALUE", "set the value at PATH (repeatable)"),
        ("--delete", "PATH", "delete the key or item at PATH (repeatable)"),
        ("--apply", "LISTING", "set each 'PATH = VALUE' line of a file (- for stdin)"),
    )
    for flag, metavar, text in changes:
        parser.add_argument(
            flag,
            metavar=metavar,
            help=text,
            type=_tagged(flag.removeprefix("--")),
            dest="edits",
            action="append",
            default=[],
        )
    parser.add_argument(
        "--to",
        metavar="FORMAT",
        choices=sorted(formats.names()),
        help="print the document, after any changes, converted to FORMAT "
        "(its comments carried where FORMAT holds them)",
    )
    parser.add_argument(
        "--drop-tags",
        action="store_true",
        help="with --to, write a tagged value's value alone (!Ref x as x)",
    )
    parser.add_argument(
        "--create",
        action="store_true",
        help="make the tables missing on the way of --set and --apply",
    )
    parser.add_argument(
        "--new",
        action="store_true",
        help="take a FILE that does not exist as empty; with -i, make it "
        "(removed again if the changes fail)",
    )
    parser.add_argument(
        "-i",
        "--in-place",
        action="store_true",
        help="replace each FILE instead of printing the changed document",
    )
    parser.add_argument(
        "--diff",
        action="store_true",
        help="print a unified diff of each change instead of the document "
        "(with -i, as well as replacing FILE)",
    )
    parser.add_argument(
        "--color",
        metavar="WHEN",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour the listing, --get and --diff: auto (on a terminal, "
        "unless NO_COLOR is set), always or never",
    )
    parser.add_argument(
        "--wait",
        metavar="SECONDS",
        type=_seconds,
        default=60.0,
        help="how long -i waits for another run's edit of FILE (default: 60)",
    )
    parser.add_argument(
        "--max-size",
        metavar="BYTES",
        type=_bytes,
        default=MAX_SIZE,
        help="refuse input larger than this (default: 1 GiB)",
    )
    parser.add_argument(
        "--version", action="version", version=f"%(prog)s {__version__}"
    )
    return parser


def _read(file: str, limit: int = MAX_SIZE) -> tuple[str, str]:
    """The text of `file` and the name to call it by."""
    data, name = _read_bytes(file, limit)
    return formats.decoded(data, name), name


def _read_bytes(file: str, limit: int = MAX_SIZE) -> tuple[bytes, str]:
    """The bytes of `file`, held to text's bounds, and the name to call it by."""
    name = "standard input" if file == "-" else file
    try:
        if file == "-":
            if sys.stdin is None:
                raise UserError("no standard input to read")
            read = sys.stdin.buffer.read
            return formats.read_bytes(read, name, limit, " (--max-size)"), name
        with open(file, "rb", buffering=0) as stream:
            status = os.fstat(stream.fileno())
            size = status.st_size if stat.S_ISREG(status.st_mode) else 0
            read = formats.file_reader(stream.fileno(), size)
            data = formats.read_bytes(read, name, limit, " (--max-size)", size)
            return data, name
    except OSError as exc:
        raise UserError(f"cannot read {name}: {exc.strerror or exc}") from None


def _read_all(read: Callable[[int], bytes], name: str, limit: int) -> str:
    return formats.read(read, name, limit, " (--max-size)")


def _changes(
    edits: list[tuple[str, str]], limit: int, create: bool
) -> Iterator[Change]:
    from props_to_tree._engine.changes import Change

    for kind, text in edits:
        _utf8(text, f"--{kind}")
        if kind == "delete":
            yield Change(paths.parse(text), None, f"--delete {text}")
        elif kind == "set":
            path, value = paths.split_assignment(text)
            yield Change(path, value, f"--set {text}", create=create)
        else:
            listing, name = _read(text, limit)
            for path, value, where in parse(listing, name):
                yield Change(path, value, where, listed=True, create=create)


def _utf8(text: str, what: str) -> None:
    """Refuses an argument that held bytes that are not UTF-8: Python keeps
    them as lone surrogates, which no file could be written with."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        at = exc.start
        raise UserError(f"{what} {text[:at]!r}...: not UTF-8 text") from None


def _emit(text: str | bytes) -> None:
    # Lone surrogates, which JSON's escapes can make, are shown escaped.
    encoded = (
        text.encode("utf-8", "backslashreplace") if isinstance(text, str) else text
    )
    data = memoryview(encoded)
    try:
        sys.stdout.flush()
        # Straight to the descriptor: a buffered write that a closing pipe
        # cuts short can end without an error, the rest lost unnoticed.
        while data:
            data = data[os.write(sys.stdout.fileno(), data) :]
    except BrokenPipeError:
        raise
    except OSError as exc:
        _drop_stdout()
        raise OutputError(f"cannot write standard output: {exc.strerror}") from None


def _drop_stdout() -> None:
    # What could not be written stays buffered: without this, the
    # interpreter's last flush would fail again, with a traceback.
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _run(args: argparse.Namespace) -> int:
    files = args.files or ["-"]
    args.paint = None
    # A printed document is never coloured: it is the file's text.
    printing = args.edits and not args.in_place and not args.diff
    if not printing and _coloured(args.color):
        from props_to_tree._command import colour

        args.paint = colour
    if args.to is not None:
        return _converted(args, files)
    if args.drop_tags:
        raise UserError("--drop-tags goes with --to")
    if args.get is not None and (args.edits or args.in_place or args.diff):
        raise UserError("--get does not go with changes, --in-place or --diff")
    if args.in_place and "-" in files:
        raise UserError("--in-place needs a FILE: standard input is not replaced")
    if args.in_place and not args.edits:
        raise UserError("--in-place needs a change to make")
    if args.diff and not args.edits:
        raise UserError("--diff needs a change to make")
    if args.new and not args.edits:
        raise UserError("--new needs a change to make")
    if args.new and "-" in files:
        raise UserError("--new needs a FILE: standard input is there already")
    if files.count("-") > 1:
        raise UserError("standard input can be read once: - is named twice")
    if ("apply", "-") in args.edits and "-" in files:
        raise UserError("standard input cannot be both the document and a listing")
    several = len(files) > 1
    if several and args.edits and not (args.in_place or args.diff):
        raise UserError("changes to two or more files need -i or --diff")
    if args.get is not None or not args.edits:
        return _show(args, files)

    from props_to_tree._command import diff

    # Listings are read first: standard input is not read under the lock.
    changes = list(_changes(args.edits, args.max_size, args.create))
    # Said once every file's changes are made: a run that fails says why alone.
    warnings: list[str] = []
    if not args.in_place:
        files = _distinct(files)  # a file named twice has one diff
        # All worked out before anything is printed.
        found = []
        absent = set()
        for file in files:
            if args.new and not os.path.lexists(file):
                text, name = "", file  # --new: as it would be made
                absent.add(file)
            else:
                text, name = _read(file, args.max_size)
            found.append(_edited(args, file, text, name, changes, warnings))
        _said(warnings)
        if not args.diff:
            ((text, document),) = found
            _emit(document.text)
            return 0
        for file, (text, document) in zip(files, found, strict=True):
            if document.text != text:
                shown = diff.unified(
                    text, document.text, document.changed, file, file in absent
                )
                _emit(_painted(args, shown))
        return 0

    import signal

    from props_to_tree._engine import atomic

    # Stopped, the run removes its temporary files on the way out.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _stop)
    diffs: dict[str, str] = {}
    documents: dict[str, Editor] = {}  # each file's as first made

    def change(fd: int, file: str) -> bytes | None:
        try:
            text = _read_all(lambda size: os.read(fd, size), file, args.max_size)
        except OSError as exc:  # a directory opens, and only then fails
            raise UserError(f"cannot read {file}: {exc.strerror}") from None
        except EditError as exc:
            raise UserError(_said_error(exc)) from None
        first = documents.get(file)
        if first is None:
            document = documents[file] = _edited(
                args, file, text, file, changes, warnings
            )[1]
        else:  # another program saved it: each change made again where it was
            document = first.replayed(text, file)
        output = document.text
        if output == text:
            return None
        if args.diff:
            new = file in made and not text
            diffs[file] = diff.unified(text, output, document.changed, file, new)
        return formats.encoded(output, file)

    # --new: each file that is not there made, empty, to be locked and edited
    # as any other; removed again if the run fails.
    made: dict[str, tuple[int, int]] = {}
    try:
        for file in dict.fromkeys(files) if args.new else ():
            try:
                created = atomic.create(file, file)
            except EditError as exc:
                raise UserError(str(exc)) from None
            if created is not None:
                made[file] = created
        if several:
            atomic.edit_many(files, change, args.wait)
        else:
            atomic.edit_in_place(files[0], lambda fd: change(fd, files[0]), args.wait)
    except BaseException as exc:
        for file, identity in made.items():
            atomic.uncreate(file, identity)
        if isinstance(exc, LockTimeout | WriteError):
            raise OutputError(_said_error(exc)) from None
        if isinstance(exc, OSError) and not isinstance(exc, EditError):
            raise OutputError(
                f"cannot write {exc.filename or files[0]}: {exc.strerror}"
            ) from None
        raise
    _said(warnings)
    for file in dict.fromkeys(files):
        if file in diffs:
            _emit(_painted(args, diffs.pop(file)))
    return 0


def _converted(args: argparse.Namespace, files: list[str]) -> int:
    """Prints the one FILE, its changes made, written whole in --to's format."""
    from props_to_tree._engine import convert

    if args.diff or args.get is not None:
        option = "--diff" if args.diff else "--get"
        raise UserError(f"--to does not go with {option}")
    if args.in_place:
        raise UserError("--to prints the converted document: redirect it, not -i")
    if len(files) > 1:
        raise UserError("--to converts one FILE")
    if ("apply", "-") in args.edits and "-" in files:
        raise UserError("standard input cannot be both the document and a listing")
    if args.new and not args.edits:
        raise UserError("--new needs a change to make")
    if args.new and args.edits and files[0] != "-" and not os.path.lexists(files[0]):
        text, name = "", files[0]
    else:
        text, name = _read(files[0], args.max_size)
    warnings: list[str] = []
    if args.edits:
        changes = list(_changes(args.edits, args.max_size, args.create))
        document: Any = _edited(args, files[0], text, name, changes, warnings)[1]
        document = document.document
    else:
        kind, guessed = formats.detect(files[0], args.format)
        document = formats.load(kind, text.removeprefix(BOM), name, guessed)
    target = formats.reader(args.to)
    try:
        written, dropped = convert.convert(document, target, drop_tags=args.drop_tags)
    except EditError as exc:
        raise exc.prefixed(f"{name}: ") from None
    if dropped:
        warnings.append(convert.dropped_note(dropped, target))
    _said(warnings)
    _emit(written)
    return 0


def _said(warnings: list[str]) -> None:
    for warning in warnings:
        _warn(warning)


def _distinct(files: list[str]) -> list[str]:
    """`files` but those that name a file named before, by another name or
    through a link."""
    seen: set[tuple[int, int]] = set()
    out = []
    for file in files:
        try:
            status = os.stat(file) if file != "-" else None
        except OSError:
            status = None  # said when it is read
        if status is not None:
            if (status.st_dev, status.st_ino) in seen:
                continue
            seen.add((status.st_dev, status.st_ino))
        out.append(file)
    return out


def _coloured(when: str) -> bool:
    """Whether to colour: "always", "never", or for "auto" where standard
    output is a terminal, NO_COLOR is unset or empty and TERM is not dumb."""
    if when != "auto":
        return when == "always"
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    try:
        return os.isatty(sys.stdout.fileno())
    except (AttributeError, ValueError, OSError):  # no standard output
        return False


def _show(args: argparse.Namespace, files: list[str]) -> int:
    """The listing or the --get of each file; one that cannot be read is an
    error said in its turn, the others still shown."""
    for path in args.get or []:
        _utf8(path, "--get")
    wanted = [paths.parse(path) for path in args.get or []]
    several, status = len(files) > 1, 0
    for file in files:
        prefix = f"{file}:" if several else ""
        if prefix and args.paint:
            prefix = args.paint.prefix(file)
        try:
            for chunk in _shown(args, file, wanted):
                if prefix and chunk:
                    chunk = _prefixed(chunk, prefix)
                _emit(chunk)
        except RecursionError:  # deeper than the walk goes, a chunk at a time
            name = "standard input" if file == "-" else file
            error = DocumentError(f"{name} is nested too deeply")
            if not several:
                raise error from None
            print(f"{PROG}: error: {error}", file=sys.stderr)
            status = 2
        except (UserError, EditError) as exc:
            if not several:
                raise
            print(f"{PROG}: error: {_said_error(exc)}", file=sys.stderr)
            status = 2
    return status


def _prefixed(chunk: str | bytes, prefix: str) -> str | bytes:
    """Each line of `chunk` led by `prefix`."""
    if isinstance(chunk, str):
        return prefix + chunk[:-1].replace("\n", "\n" + prefix) + "\n"
    lead = prefix.encode("utf-8", "backslashreplace")
    return lead + chunk[:-1].replace(b"\n", b"\n" + lead) + b"\n"


# How the listing is made straight from a file's bytes, by how the format
# spells its values (or, where the native walk does not, its name).
_NATIVE_LINES = {"json": json_lines, "toml": toml_lines, "yaml": yaml_lines}


def _shown(
    args: argparse.Namespace, file: str, wanted: list[paths.Pattern]
) -> Iterator[str] | Iterator[bytes]:
    """What is printed of `file`: its listing, or what --get finds, all found
    before any is printed (one missing prints nothing)."""
    kind, guessed = formats.detect(file, args.format)
    data, name = _read_bytes(file, args.max_size)
    spelled = formats.reader(kind).native
    native_lines = _NATIVE_LINES.get(kind if spelled is None else spelled)
    if not wanted and args.paint is None and native_lines is not None:
        # Straight from the bytes, where it can.
        native = native_lines(data)
        if native is not None:
            return native
    text = formats.decoded(data, name)
    try:
        body = text.removeprefix(BOM)  # a byte-order mark is no part of it
        document = formats.load(kind, body, name, guessed, written=True)
        found = [get(document, path, args.paint) for path in wanted]
        if not wanted:
            document.tree  # noqa: B018 - read here, where its errors name the file
    except (PathError, DocumentError) as exc:  # YAML's aliases, say
        if str(exc).startswith(name):
            raise
        raise exc.prefixed(f"{name}: ") from None
    if wanted:
        return iter(found)
    return lines(document, args.paint)


def _painted(args: argparse.Namespace, text: str) -> str:
    return text if args.paint is None or not text else str(args.paint.diff(text))


def _edited(
    args: argparse.Namespace,
    file: str,
    text: str,
    name: str,
    changes: list[Change],
    warnings: list[str],
) -> tuple[str, Editor]:
    """`text` as read, and the editor of the document the changes make of
    it; their warnings go to `warnings`, for the run to say once it has not
    failed."""
    from props_to_tree._engine import text as texts
    from props_to_tree._engine.changes import Editor

    kind, guessed = formats.detect(file, args.format)
    several = len(args.files) > 1
    said: list[str] = []
    try:
        mark, body = texts.split_mark(text)
        document = Editor(formats.load(kind, body, name, guessed), said.append, mark)
        document.make(changes)
        if document.text != text:
            formats.encoded(document.text, name)
    except EditError as exc:
        if several and not str(exc).startswith(file):
            raise exc.prefixed(f"{file}: ") from None
        raise
    warnings += (f"{file}: {warning}" if several else warning for warning in said)
    return text, document


class _Stopped(BaseException):
    """A signal that ends the run, raised so that what the run was doing is
    undone on the way out: a temporary file is removed."""


def _stop(signum: int, _: object) -> None:
    raise _Stopped(signum)


# Options whose argument may start with "-" (`--set -x=1`, `--get -i`): the
# word after them is always theirs, as grep's -e takes its pattern.
_ARGUMENT_FIRST = frozenset(("--set", "--get", "--delete", "--apply"))


def _arguments(argv: Sequence[str] | None) -> list[str]:
    """The command line with each of those options joined to its word by
    "=", which argparse would otherwise read as an option."""
    words = iter(sys.argv[1:] if argv is None else argv)
    out: list[str] = []
    for word in words:
        if word == "--":
            out += [word, *words]
        elif word in _ARGUMENT_FIRST:
            following = next(words, None)
            out.append(word if following is None else f"{word}={following}")
        else:
            out.append(word)
    return out


# The flags a simple command line may hold, and the options of a change.
_FLAGS = {
    "-i": "in_place",
    "--in-place": "in_place",
    "--create": "create",
    "--diff": "diff",
    "--new": "new",
    "--drop-tags": "drop_tags",
}
_CHANGES = ("--set=", "--delete=", "--apply=")


class _Simple:
    """The options of a command line of FILEs and the common options alone
    (--get, --set, --delete, --apply, -i, --create, --diff, --new,
    --drop-tags), as argparse would give them, without the time its import
    takes; None for any other, which argparse reads."""

    def __init__(self, files: list[str]) -> None:
        self.files, self.format = files, None
        self.get: list[str] | None = None
        self.edits: list[tuple[str, str]] = []
        self.create = self.in_place = self.diff = self.new = False
        self.to, self.drop_tags = None, False
        self.color, self.wait, self.max_size = "auto", 60.0, MAX_SIZE

    @classmethod
    def read(cls, words: list[str]) -> _Simple | None:
        found = cls([])
        for number, word in enumerate(words):
            if word == "--":
                found.files += words[number + 1 :]
                break
            if word == "-" or not word.startswith("-"):
                found.files.append(word)
            elif word in _FLAGS:
                setattr(found, _FLAGS[word], True)
            elif word.startswith("--get="):
                found.get = [*(found.get or []), word[6:]]
            elif word.startswith(_CHANGES):
                flag, _, text = word.partition("=")
                found.edits.append((flag[2:], text))
            else:
                return None
        return found


def _options(words: list[str]) -> argparse.Namespace:
    """The options of the command line `words`."""
    simple = _Simple.read(words)
    if simple is not None:
        return simple  # type: ignore[return-value]
    return _parser().parse_intermixed_args(words)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    # A run is short and makes no garbage cycles worth finding, while a
    # large document makes the collector scan every parsed object, again
    # and again, as it grows.
    collecting = gc.isenabled()  # as a caller of main() had it, after
    gc.disable()
    try:
        status = _run(_options(_arguments(argv)))
    except (UserError, EditError) as exc:
        # Each is one line: failing to write, or waiting too long, is 1.
        print(f"{PROG}: error: {_said_error(exc)}", file=sys.stderr)
        failed = LockTimeout | WriteError | ConflictError
        return 1 if isinstance(exc, failed) else 2
    except RecursionError:
        print(f"{PROG}: error: the document is nested too deeply", file=sys.stderr)
        return 2
    except OutputError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader has gone (`| head`): end quietly, as a pipe's writer does.
        _drop_stdout()
        return 141
    except KeyboardInterrupt:
        return 130
    except _Stopped as exc:
        return 128 + int(exc.args[0])
    except Exception as exc:  # a fault of this program's: still one line
        print(f"{PROG}: error: unexpected {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    finally:
        if collecting:
            gc.enable()
    return status


def run() -> NoReturn:
    """The command's entry point: main(), then an exit that skips the
    interpreter's teardown, which would free every object of a large
    document one at a time, for nothing."""
    status = main()
    # Where something registered exit work (coverage.py does), it must run.
    if getattr(atexit, "_ncallbacks", lambda: 1)():
        sys.exit(status)
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except OSError:
        pass  # what could not be written was said already
    os._exit(status)
