"""The formats: which one a file is in, its reader, and the reading of text
within the bounds a document is held to."""

from __future__ import annotations

import importlib
import os

from props_to_tree._engine.errors import ChangeError, DocumentError, MissingLibrary

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

    from props_to_tree._engine.document import Document, Format

CHUNK = 1 << 20
MAX_SIZE = 1 << 30  # bytes of input: 1 GiB
BOM = "\ufeff"

# Each format's module is imported only when a file needs it: a listing of
# JSON never imports PyYAML.
FORMATS = {
    "json": ("json", "Json"),
    "jsonc": ("json", "Jsonc"),
    "toml": ("toml", "Toml"),
    "yaml": ("yaml", "Yaml"),
}
SUFFIXES = {
    ".json": "json",
    ".jsonc": "jsonc",
    ".toml": "toml",
    ".yaml": "yaml",
    ".yml": "yaml",
}


def detect(file: str, chosen: str | None = None) -> tuple[str, bool]:
    """The format to read `file` in, `chosen` or by its suffix (JSON for
    others), and whether it was guessed."""
    suffix = os.path.splitext(file)[1].lower()
    if chosen is not None:
        return chosen, False
    return SUFFIXES.get(suffix, "json"), suffix not in SUFFIXES


def reader(name: str) -> Format:
    """The reader of the format `name`, one of FORMATS."""
    if name not in FORMATS:
        choices = ", ".join(map(repr, FORMATS))
        raise ValueError(f"unknown format {name!r}: one of {choices}")
    module, kind = FORMATS[name]
    try:
        loaded = importlib.import_module(f"props_to_tree._formats.{module}")
    except ImportError as exc:  # PyYAML, which YAML needs, is missing
        needed = exc.name or "PyYAML"
        package = "PyYAML" if needed == "yaml" else needed
        raise MissingLibrary(
            f"reading this format needs {package}: pip install {package}"
        ) from None
    found: Format = getattr(loaded, kind)()
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
    try:
        return reader(name).load(text, written)
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


def split_mark(text: str) -> tuple[str, str]:
    """A byte-order mark, which is no part of the document and is kept, and
    the text after it."""
    mark = BOM if text.startswith(BOM) else ""
    return mark, text[len(mark) :]


def read(
    read: Callable[[int], bytes], name: str, limit: int = MAX_SIZE, bound: str = ""
) -> str:
    """Text read `CHUNK` at a time, refused as soon as it shows a NUL byte
    (binary data, or /dev/zero) or passes `limit` bytes, which `bound`
    says how to raise."""
    return decoded(read_bytes(read, name, limit, bound), name)


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
