"""The formats: which one a file is in, its reader, and the reading of text
within the bounds a document is held to."""

from __future__ import annotations

import os

from props_to_tree._engine.errors import ChangeError, DocumentError, MissingLibrary

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

    from props_to_tree._engine.document import Document, Format

CHUNK = 1 << 20
# A file that holds at least one aligned huge page (2 MiB) and more.
HUGE_FILE = 1 << 22
MAX_SIZE = 1 << 30  # bytes of input: 1 GiB

# The formats, a line each: the package whose FORMAT declares it (another
# name after ":" where a package declares two).  Each package's __init__ is
# imported when a file is first matched to a format, and is light: the rest
# of the package is imported by its load, when a file needs it, so that a
# listing of JSON never imports PyYAML.
PACKAGES = [
    "props_to_tree._formats.json",
    "props_to_tree._formats.json:JSONC",
    "props_to_tree._formats.toml",
    "props_to_tree._formats.yaml",
]
_registered: dict[str, Format] = {}


def registered() -> dict[str, Format]:
    """Every format, by name, in the order of PACKAGES."""
    if len(_registered) < len(PACKAGES):
        for line in PACKAGES:
            module, _, name = line.partition(":")
            # __import__, not importlib, whose import every start would pay.
            found = __import__(module, fromlist=["_"])
            register(getattr(found, name or "FORMAT"))
    return _registered


def register(format: Format) -> None:
    """Adds `format` to those files are read in (another of its name
    replaces it)."""
    _registered[format.name] = format


def names() -> list[str]:
    """The formats' names, as --format and the API take them."""
    return list(registered())


def detect(file: str, chosen: str | None = None) -> tuple[str, bool]:
    """The format to read `file` in, `chosen` or by its name or suffix (JSON
    for others), and whether it was guessed."""
    if chosen is not None:
        return chosen, False
    base = os.path.basename(file)
    suffix = os.path.splitext(base)[1].lower()
    for format in registered().values():
        if base in format.names or suffix in format.suffixes:
            return format.name, False
    return "json", True


def reader(name: str) -> Format:
    """The format `name`, one of names()."""
    found = registered().get(name)
    if found is None:
        choices = ", ".join(map(repr, registered()))
        raise ValueError(f"unknown format {name!r}: one of {choices}")
    return found


def load(
    name: str,
    text: str,
    source: str = "",
    guessed: bool = False,
    written: bool = False,
) -> Document:
    """The document of format `name` in `text`, which holds no byte-order
    mark; errors name `source` where given, and, where the format was
    `guessed`, hint at naming one.  Where `written`, its numbers show as
    written, for a listing."""
    from props_to_tree._engine.collector import paused

    format = reader(name)
    try:
        with paused():
            return format.load(text, written)
    except ImportError as exc:  # PyYAML, which YAML needs, is missing
        needed = exc.name or "PyYAML"
        package = "PyYAML" if needed == "yaml" else needed
        raise MissingLibrary(
            f"reading this format needs {package}: pip install {package}"
        ) from None
    except DocumentError as exc:
        why = ""
        if guessed and str(exc).startswith("not valid"):
            why = "" if source == "standard input" else ", for want of a known suffix"
            why = f"; it was read as JSON{why}"
        if not source and not why:
            raise
        error = exc.prefixed(f"{source}: " if source else "").suffixed(why)
        error.hint = "format" if why else error.hint
        raise error from None
    except RecursionError:
        where = f"{source} is" if source else "the document is"
        raise DocumentError(f"{where} nested too deeply") from None


def read(
    read: Callable[[int], bytes], name: str, limit: int = MAX_SIZE, bound: str = ""
) -> str:
    """Text read `CHUNK` at a time, refused as soon as it shows a NUL byte
    (binary data, or /dev/zero) or passes `limit` bytes, which `bound`
    says how to raise."""
    return decoded(read_bytes(read, name, limit, bound), name)


def file_reader(fd: int, size: int) -> Callable[[int], bytes]:
    """os.read of `fd`, a file of `size` bytes; a large one's bytes are read
    into pages the kernel fills at a fraction of the cost (huge ones)."""
    if size < HUGE_FILE:
        return lambda count: os.read(fd, count)
    from props_to_tree import _listing  # native: a large file's read alone

    return lambda count: _listing.read(fd, count)


def read_bytes(
    read: Callable[[int], bytes],
    name: str,
    limit: int = MAX_SIZE,
    bound: str = "",
    expected: int = 0,
) -> bytes:
    """`read`'s bytes as `read` reads them, text's bounds held to; a file of
    `expected` bytes is read at once, with no copy to join the chunks."""
    chunks, size = [], 0
    want = expected + 1 if 0 < expected < limit else CHUNK
    while chunk := read(want):
        want = CHUNK
        if b"\0" in chunk:
            at = size + chunk.index(b"\0")
            raise DocumentError(f"{name} is not text: a NUL byte at byte {at}")
        size += len(chunk)
        if size > limit:
            raise DocumentError(f"{name} is larger than {limit:,} bytes{bound}")
        chunks.append(chunk)
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


def decoded(data: bytes, name: str) -> str:
    """The text of `data`, which must be UTF-8."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise DocumentError(f"{name} is not UTF-8 text (byte {exc.start})") from None


def encoded(text: str, name: str) -> bytes:
    """`text` as the UTF-8 a file holds; a lone surrogate, which a key or
    value given by a JSON escape can make, is refused."""
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError as exc:
        where = text.count("\n", 0, exc.start) + 1
        raise ChangeError(
            f"the changes would write a lone surrogate ({text[exc.start]!a}) "
            f"at line {where}, which {name} cannot hold as UTF-8"
        ) from None
