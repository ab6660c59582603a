"""The document formats of the command: JSON, TOML and YAML.

A format parses a document, gives the tree that the listing flattens, shows a
leaf value as one line of its own value syntax and reads such a line back,
and prints the document again.  TOML and YAML keep comments, order, quoting
and layout, through tomlkit and ruamel.yaml, which are imported only when a
file needs them.
"""

from __future__ import annotations

import importlib
import itertools
import json
import operator
import re

from props_to_tree._errors import UserError

# Types only: importing typing would slow every start of the command.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from types import ModuleType
    from typing import Any, ClassVar


def _require(module: str, package: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise UserError(
            f"reading this format needs {package}: pip install {package}"
        ) from None


class Format:
    name: ClassVar[str]

    def load(self, text: str) -> Any:
        """The document in `text`, which must hold a mapping at the top."""
        raise NotImplementedError

    def dump(self, document: Any) -> str:
        raise NotImplementedError

    def tree(self, document: Any) -> dict[Any, Any]:
        """What the listing flattens: dicts for branches, leaves as shown."""
        return document  # type: ignore[no-any-return]

    def show(self, value: Any) -> str:
        """`value` as one line of the format's own value syntax."""
        raise NotImplementedError

    def show_all(self, values: list[Any]) -> list[str]:
        return list(map(self.show, values))

    def parse(self, text: str) -> Any:
        """A value from one line of value syntax; text that is none is a
        plain string."""
        raise NotImplementedError

    def adapt(self, value: Any, current: Any) -> Any:
        """`value` as it replaces `current`: in the style of the old one."""
        return value


# --- JSON ---------------------------------------------------------------------

_ENCODER = json.JSONEncoder(ensure_ascii=False)
_ENCODE_STR = json.encoder.encode_basestring
# The C encoder that json.dumps builds afresh on every call, built once: a
# listing calls it for each list among the leaves.
_C_ENCODER = getattr(json.encoder, "c_make_encoder", None)
if _C_ENCODER is not None:
    _C_ENCODER = _C_ENCODER(
        None, _ENCODER.default, _ENCODE_STR, None, ": ", ", ", False, False, True
    )


def _encode(value: Any) -> str:
    if _C_ENCODER is None:
        return _ENCODER.encode(value)
    return "".join(_C_ENCODER(value, 0))


_SIMPLE: dict[type, Callable[[Any], str]] = {
    # The listing shows every leaf: the common types skip the encoder.
    str: _ENCODE_STR,
    int: int.__repr__,
    bool: {True: "true", False: "false"}.__getitem__,
    type(None): lambda _: "null",
}


class Json(Format):
    name = "JSON"

    def __init__(self) -> None:
        self._layout: dict[str, Any] = {}
        self._newline = True

    def load(self, text: str) -> Any:
        try:
            document = json.loads(text)
        except ValueError as exc:
            raise UserError(f"not valid {self.name}: {exc}") from None
        self._layout = _json_layout(text)
        self._newline = text.endswith("\n")
        return document

    def dump(self, document: Any) -> str:
        text = json.dumps(document, ensure_ascii=False, **self._layout)
        return text + "\n" if self._newline else text

    def show(self, value: Any) -> str:
        return _SIMPLE.get(type(value), _encode)(value)

    def show_all(self, values: list[Any]) -> list[str]:
        # A listing shows every leaf: keep the loop in C.
        shows = map(_SIMPLE.get, map(type, values), itertools.repeat(_encode))
        return list(map(operator.call, shows, values))

    def parse(self, text: str) -> Any:
        try:
            return json.loads(text)
        except ValueError:
            return text


def _json_layout(text: str) -> dict[str, Any]:
    """The indentation and separators that `text` was written with."""
    colon = re.search(r'"\s*:( ?)', text)
    key_separator = ":" + (colon.group(1) if colon else " ")
    indent = re.search(r"^[\[{]?\s*\n([ \t]+)\S", text)
    if indent is None:
        comma = re.search(r'[\d"el\]}],( ?)\s*["\d\[{tfn-]', text)
        item_separator = "," + (comma.group(1) if comma else " ")
        return {"separators": (item_separator, key_separator)}
    return {"indent": indent.group(1), "separators": (",", key_separator)}


# --- TOML ---------------------------------------------------------------------


class Toml(Format):
    name = "TOML"

    def __init__(self) -> None:
        self._tomlkit = _require("tomlkit", "tomlkit")

    def load(self, text: str) -> Any:
        try:
            return self._tomlkit.parse(text)
        except self._tomlkit.exceptions.TOMLKitError as exc:
            raise UserError(f"not valid {self.name}: {exc}") from None

    def dump(self, document: Any) -> str:
        return document.as_string()  # type: ignore[no-any-return]

    def tree(self, document: Any) -> dict[Any, Any]:
        # A table split around an array of tables ([x], [[y]], [x.z]) keeps
        # only its last part in the document's dict storage, which is what
        # the flattening reads; the unwrapped copy holds every part.
        return document.unwrap()  # type: ignore[no-any-return]

    def show(self, value: Any) -> str:
        items = self._tomlkit.items
        if isinstance(value, items.Item):
            value = value.unwrap()
        if isinstance(value, dict):
            key = self._tomlkit.key
            pairs = (f"{key(k).as_string()} = {self.show(v)}" for k, v in value.items())
            return "{" + ", ".join(pairs) + "}"
        if isinstance(value, list | tuple):
            return "[" + ", ".join(map(self.show, value)) + "]"
        return self._tomlkit.item(value).as_string()  # type: ignore[no-any-return]

    def parse(self, text: str) -> Any:
        if text.strip() == "null":
            raise UserError("TOML has no null (--delete removes a key)")
        try:
            value = self._tomlkit.value(text.strip())
        except Exception:  # whatever tomlkit cannot read is a string
            return text
        # A plain string lets tomlkit keep the replaced string's quoting.
        return (
            value.unwrap() if isinstance(value, self._tomlkit.items.String) else value
        )


# --- YAML ---------------------------------------------------------------------


class Yaml(Format):
    name = "YAML"

    def __init__(self) -> None:
        ruamel = _require("ruamel.yaml", "ruamel.yaml")
        # The round-trip loader keeps comments, quoting and anchors, and makes
        # no Python objects from tags: an unknown tag stays a tagged node.
        self._yaml = ruamel.YAML(typ="rt")
        self._yaml.preserve_quotes = True
        self._yaml.Emitter = _block_scalar_emitter(ruamel.emitter.RoundTripEmitter)
        self._errors = (ruamel.YAMLError, ValueError)
        self._resolver = ruamel.resolver.VersionedResolver()
        self._scalar_node = importlib.import_module("ruamel.yaml.nodes").ScalarNode
        self._bool = importlib.import_module("ruamel.yaml.scalarbool").ScalarBoolean
        self._tagged = importlib.import_module("ruamel.yaml.comments").TaggedScalar
        self._scalars = importlib.import_module("ruamel.yaml.scalarstring")

    def load(self, text: str) -> Any:
        util = importlib.import_module("ruamel.yaml.util")
        try:
            document, sequence, offset = util.load_yaml_guess_indent(
                text, yaml=self._yaml
            )
        except self._errors as exc:
            raise UserError(f"not valid {self.name}: {_yaml_problem(exc)}") from None
        # ruamel.yaml guesses how sequences are indented; mappings may differ.
        mapping = _mapping_indent(text)
        self._yaml.indent(
            mapping=mapping, sequence=sequence or mapping, offset=offset or 0
        )
        _keep_anchors(document)
        block = (self._scalars.LiteralScalarString, self._scalars.FoldedScalarString)
        self._yaml.Emitter.columns = _block_columns(document, text.splitlines(), block)
        self._yaml.explicit_start = _EXPLICIT_START.search(text) is not None
        # Text too long for a line stays as it is rather than folded.
        self._yaml.width = 4096
        # [a, {b: 1}] as written, not as [a, b: 1].
        self._yaml.brace_single_entry_mapping_in_flow_sequence = True
        return document

    def dump(self, document: Any) -> str:
        import io

        out = io.StringIO()
        self._yaml.dump(document, out)
        return out.getvalue()

    def tree(self, document: Any) -> dict[Any, Any]:
        # Keys other than strings (200:, true:) are listed as written; the
        # path of such a line names a string, and a change to it fails.
        def view(node: dict[Any, Any]) -> dict[Any, Any]:
            return {
                k if isinstance(k, str) else self.show(k): view(v)
                if isinstance(v, dict)
                else v
                for k, v in node.items()
            }

        return view(document)

    def show(self, value: Any) -> str:
        tag = getattr(value, "tag", None)
        if tag is not None and tag.value is not None:
            # Tags show as written; shown, they read back as the same node.
            shorthand = tag.handle + tag.suffix if tag.handle else f"!<{tag.value}>"
            inner = value.value if isinstance(value, self._tagged) else _untagged(value)
            return f"{shorthand} {self.show(inner)}"
        if isinstance(value, dict):
            pairs = (f"{self.show(k)}: {self.show(v)}" for k, v in value.items())
            return "{" + ", ".join(pairs) + "}"
        if isinstance(value, list | tuple):
            return "[" + ", ".join(map(self.show, value)) + "]"
        if value is None:
            return "null"
        if isinstance(value, bool | self._bool):
            return "true" if value else "false"
        if isinstance(value, int):
            return int.__repr__(value)
        if isinstance(value, float):
            return _yaml_float(value)
        if isinstance(value, str):
            return self._show_str(value)
        if hasattr(value, "isoformat"):
            return str(value.isoformat())
        return self._show_str(str(value))

    def _show_str(self, text: str) -> str:
        # Plain where it reads back as this very string, else double-quoted,
        # which JSON's string syntax is a subset of.
        if _PLAIN.fullmatch(text):
            tag = self._resolver.resolve(self._scalar_node, text, (True, False))
            if tag == "tag:yaml.org,2002:str":
                return text
        return json.dumps(text, ensure_ascii=False)

    def parse(self, text: str) -> Any:
        if not text.strip():
            return text  # an empty VALUE is an empty string, not null
        try:
            value = self._yaml.load(text)
        except Exception:  # whatever ruamel.yaml cannot read is a string
            return text
        container = isinstance(value, dict | list)
        if container and not value.fa.flow_style():
            return text  # block syntax is not a value of one line
        return value

    def adapt(self, value: Any, current: Any) -> Any:
        # A new plain string takes the quoting of the string it replaces.
        scalars = self._scalars
        if type(value) is str and isinstance(current, scalars.ScalarString):
            return type(current)(value)
        return value


# Flow indicators, comment and mapping markers, and leading indicators rule
# a string out of plain style; the resolver rules out the rest.
_PLAIN = re.compile(
    r"(?![-?:,\[\]{}#&*!|>'\"%@`\s])"
    r"(?:[^\x00-\x1f\x7f-\x9f\u2028\u2029\ufeff\ud800-\udfff,\[\]{}:#]"
    r"|:(?=[^\s,\[\]{}])|(?<!\s)#)+(?<!\s)"
)


def _block_scalar_emitter(base: type) -> Any:
    class Emitter(base):  # type: ignore[misc]
        """Writes the text of each block scalar (| and >) at the column it
        had in the file: files indent them each their own way, often deeper
        than the mapping that holds them."""

        columns: ClassVar[dict[str, int]] = {}

        def write_literal(self, text: str, comment: Any = None) -> None:
            self._at_column(super().write_literal, text, comment)

        def write_folded(self, text: str, comment: Any = None) -> None:
            self._at_column(super().write_folded, text, comment)

        def _at_column(self, write: Any, text: str, comment: Any) -> None:
            indent = self.indent  # type: ignore[has-type]
            self.indent = self.columns.get(text, indent)
            try:
                write(text, comment)
            finally:
                self.indent = indent

    return Emitter


# "---" before the document, after comments only.
_EXPLICIT_START = re.compile(r"\A(?:\s*#.*\n|\s*\n)*---(?:\s|$)")


def _containers(document: Any) -> Iterator[Any]:
    """Every mapping and sequence of a YAML document, each once."""
    todo, seen = [document], set()
    while todo:
        node = todo.pop()
        if id(node) in seen:
            continue  # aliases share nodes, and may nest them in themselves
        seen.add(id(node))
        if isinstance(node, dict | list):
            yield node
            todo.extend(node.values() if isinstance(node, dict) else node)


def _keep_anchors(document: Any) -> None:
    """Marks every anchored mapping and sequence to keep its anchor:
    ruamel.yaml writes those of containers only where an alias refers to
    them, and would drop the others from the file."""
    for node in _containers(document):
        anchor = node.yaml_anchor()
        if anchor is not None:
            anchor.always_dump = True


def _block_columns(
    document: Any, lines: list[str], block: tuple[type, ...]
) -> dict[str, int]:
    """The column of each block scalar's text in the file, by that text."""
    columns: dict[str, int] = {}
    for node in _containers(document):
        lines_of = node.lc  # where each key's or item's value starts
        keys = node.keys() if isinstance(node, dict) else range(len(node))
        where = lines_of.value if isinstance(node, dict) else lines_of.item
        for key in keys:
            if isinstance(node[key], block):
                line = where(key)[0]
                text = next((t for t in lines[line + 1 :] if t.strip()), "")
                column = len(text) - len(text.lstrip(" "))
                columns.setdefault(str(node[key]), column)
    return columns


def _mapping_indent(text: str) -> int:
    """How far the first nested mapping is indented under its key."""
    above: int | None = None
    for line in text.splitlines():
        content = line.lstrip(" ")
        if not content or content.startswith("#"):
            continue
        depth = len(line) - len(content)
        if above is not None and depth > above and not content.startswith("- "):
            return depth - above
        key_only = content.rstrip().endswith(":") and not content.startswith("- ")
        above = depth if key_only else None
    return 2


def _yaml_problem(error: Exception) -> str:
    problem, mark = (
        getattr(error, "problem", None),
        getattr(error, "problem_mark", None),
    )
    if problem is None or mark is None:
        return " ".join(str(error).split())
    context = getattr(error, "context", None)
    said = f"{context} {problem}" if context else problem
    return f"{said} (line {mark.line + 1}, column {mark.column + 1})"


def _untagged(node: Any) -> Any:
    """A plain copy of a tagged mapping or sequence, to show its items."""
    return dict(node) if isinstance(node, dict) else list(node)


def _yaml_float(value: float) -> str:
    if value != value:
        return ".nan"
    if value in (float("inf"), float("-inf")):
        return ".inf" if value > 0 else "-.inf"
    return float.__repr__(value)


FORMATS: dict[str, type[Format]] = {"json": Json, "toml": Toml, "yaml": Yaml}
SUFFIXES = {".json": "json", ".toml": "toml", ".yaml": "yaml", ".yml": "yaml"}
