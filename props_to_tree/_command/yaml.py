"""YAML, read through libyaml (PyYAML's C parser).

The parser gives every node with its place in the text; aliases share their
anchor's node and are never copied.  Plain scalars are read by YAML 1.2's
rules (``on``, ``yes`` and ``no`` are strings), tags are shown as written and
never construct anything.  An edit is a splice of the text, so folded
scalars, flow collections, quoting and comments elsewhere stay as they were.
"""

from __future__ import annotations

import datetime
import json
import math
import re

import yaml as pyyaml

from props_to_tree._command import flow
from props_to_tree._command import text as texts
from props_to_tree._command.edit import Value
from props_to_tree._command.errors import UserError
from props_to_tree._command.text import Splice
from props_to_tree._explain import missing, not_a_table

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

Node = pyyaml.Node
Mapping, Sequence, Scalar = pyyaml.MappingNode, pyyaml.SequenceNode, pyyaml.ScalarNode


class _Loader(pyyaml.CBaseLoader):
    def resolve(self, kind: Any, value: Any, implicit: Any) -> str:
        # Left to the reader: an empty tag is an implicit one.
        return ""


# YAML 1.2's core schema, and timestamps, which YAML 1.1 readers also take.
_NULL = re.compile(r"~|null|Null|NULL|")
_BOOL = {"true": True, "True": True, "TRUE": True}
_BOOL |= {"false": False, "False": False, "FALSE": False}
_INT = re.compile(r"[-+]?[0-9]+|0o[0-7]+|0x[0-9a-fA-F]+")
_FLOAT = re.compile(r"[-+]?(?:\.[0-9]+|[0-9]+(?:\.[0-9]*)?)(?:[eE][-+]?[0-9]+)?")
_SPECIAL = {".inf": math.inf, "-.inf": -math.inf, "+.inf": math.inf, ".nan": math.nan}
_STAMP = re.compile(r"[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}(?:[Tt ][0-9:. +\-Zz]*)?")
# What a YAML 1.1 reader (Kubernetes, Ansible) takes for more than a string.
_YAML11 = re.compile(
    r"(?:y|Y|yes|Yes|YES|n|N|no|No|NO|on|On|ON|off|Off|OFF)"
    r"|[-+]?(?:0b[01_]+|0[0-7_]+|[0-9][0-9_]*(?::[0-5]?[0-9])+(?:\.[0-9_]*)?)"
    r"|[-+]?[0-9][0-9_]*(?:\.[0-9_]*)?(?:[eE][-+]?[0-9]+)?|[-+]?\.[0-9_]+"
    r"|=|<<"
)
# Flow indicators, comment and mapping markers, and leading indicators rule
# a string out of plain style; resolution rules out the rest.
_PLAIN = re.compile(
    r"(?![-?:,\[\]{}#&*!|>'\"%@`\s])"
    r"(?:[^\x00-\x1f\x7f-\x9f\u2028\u2029\ufeff\ud800-\udfff,\[\]{}:#]"
    r"|:(?=[^\s,\[\]{}])|(?<!\s)#)+(?<!\s)"
)


def _plain_value(text: str) -> Any:
    """What a plain scalar reads as."""
    if _NULL.fullmatch(text):
        return None
    if text in _BOOL:
        return _BOOL[text]
    if _INT.fullmatch(text):
        base = {"0o": 8, "0x": 16}.get(text[:2], 10)
        return int(text[2:] if base != 10 else text, base)
    if _FLOAT.fullmatch(text):
        return float(text)
    if text.lower() in _SPECIAL:
        return _SPECIAL[text.lower()]
    if _STAMP.fullmatch(text):
        for parse in (datetime.date.fromisoformat, datetime.datetime.fromisoformat):
            try:
                return parse(text)
            except ValueError:
                pass
    return text


def _show_str(text: str) -> str:
    # Plain where it reads back as this very string, else double-quoted,
    # which JSON's string syntax is a subset of.
    if _PLAIN.fullmatch(text) and type(_plain_value(text)) is str:
        return text
    return json.dumps(text, ensure_ascii=False)


def _show_data(data: Any) -> str:
    if data is None:
        return "null"
    if isinstance(data, bool):
        return "true" if data else "false"
    if isinstance(data, int):
        return int.__repr__(data)
    if isinstance(data, float):
        if math.isnan(data):
            return ".nan"
        return (".inf" if data > 0 else "-.inf") if math.isinf(data) else repr(data)
    if isinstance(data, str):
        return _show_str(data)
    return str(data.isoformat())


def _scalar(node: Any) -> Any:
    """What a scalar node reads as, its tag aside."""
    return _plain_value(node.value) if node.style in ("", None) else node.value


_PROPERTIES = re.compile(r"(?:[&!][^\s,\[\]{}]*\s+)*")
_TAG = re.compile(r"(?:&\S+\s+)?(![^\s,\[\]{}]*)")
_GAP = re.compile(r"(?P<gap>[ \t]+)#")
_COMMENT = ("#",)


class Yaml:
    name = "YAML"

    def load(self, text: str) -> YamlDocument:
        try:
            root = pyyaml.compose(text, Loader=_Loader)
        except pyyaml.YAMLError as exc:
            raise UserError(f"not valid {self.name}: {_problem(exc)}") from None
        return YamlDocument(text, root)


def _problem(error: Exception) -> str:
    problem = getattr(error, "problem", None)
    mark = getattr(error, "problem_mark", None)
    if problem is None or mark is None:
        return " ".join(str(error).split())
    context = getattr(error, "context", None)
    said = f"{context} {problem}" if context else problem
    return f"{said} (line {mark.line + 1}, column {mark.column + 1})"


def _merged(node: Any) -> list[Any]:
    """The mappings that a mapping merges (`<<: *base`), nearest first."""
    found: list[Any] = []
    for key, value in node.value:
        if isinstance(key, Scalar) and key.value == "<<" and key.style in ("", None):
            found += value.value if isinstance(value, Sequence) else [value]
    return [m for m in found if isinstance(m, Mapping)]


def _key(text: str, node: Any) -> str:
    """A key as its path component: a string as it is, others as shown."""
    if isinstance(node, Scalar) and not node.tag:
        data = _scalar(node)
        if isinstance(data, str):
            return data
    return _show(text, node)


def _show(text: str, node: Any) -> str:
    """A node as one line of YAML flow syntax."""
    if isinstance(node, Mapping):
        pairs = (f"{_show(text, k)}: {_show(text, v)}" for k, v in node.value)
        shown = "{" + ", ".join(pairs) + "}"
    elif isinstance(node, Sequence):
        shown = "[" + ", ".join(_show(text, v) for v in node.value) + "]"
    elif node.tag:
        return f"{_tag(text, node)} {_show_str(node.value)}"
    else:
        return _show_data(_scalar(node))
    return f"{_tag(text, node)} {shown}" if node.tag else shown


def _tag(text: str, node: Any) -> str:
    """A node's tag as written."""
    found = _TAG.match(text, node.start_mark.index)
    return found.group(1) if found else f"!<{node.tag}>"


class YamlDocument:
    def __init__(self, text: str, root: Any) -> None:
        self.text = text
        self.root = root
        self._tree: dict[str, Any] | None = None
        self._keys: dict[int, dict[str, int]] = {}  # by id: nodes live as long

    def reload(self, text: str) -> YamlDocument:
        return Yaml().load(text)

    # The listing's tree holds values as shown already.
    @staticmethod
    def show(shown: str) -> str:
        return shown

    @staticmethod
    def show_all(shown: list[str]) -> list[str]:
        return shown

    @property
    def tree(self) -> Any:
        """What the listing flattens: mappings as dicts, anything else as
        shown.  Merged keys come after a mapping's own."""
        if self._tree is None:
            root = self.root
            self._tree = self._view(root) if isinstance(root, Mapping) else None
        return self._tree

    def _view(self, node: Any) -> dict[str, Any]:
        view: dict[str, Any] = {}
        for key, value in node.value:
            if isinstance(key, Scalar) and key.value == "<<" and not key.style:
                continue
            view[_key(self.text, key)] = (
                self._view(value)
                if isinstance(value, Mapping)
                else _show(self.text, value)
            )
        for merged in _merged(node):
            for key, value in self._view(merged).items():
                view.setdefault(key, value)
        return view

    # --- finding ------------------------------------------------------------

    def _pair(self, mapping: Any, key: str) -> int | None:
        """The index of `key` among the mapping's own pairs (the last)."""
        keys = self._keys.get(id(mapping))
        if keys is None:
            pairs = enumerate(mapping.value)
            keys = self._keys[id(mapping)] = {
                _key(self.text, k): i for i, (k, _) in pairs
            }
        return keys.get(key)

    def _find(self, path: list[str]) -> tuple[Any, int | None]:
        """The mapping that holds the last key of `path`, and the index of
        that key's pair in it, if it has one of its own."""
        node = self.root
        for depth, key in enumerate(path):
            if not isinstance(node, Mapping):
                data = _scalar(node) if isinstance(node, Scalar) else []
                raise UserError(not_a_table(path[:depth], data))
            index = self._pair(node, key)
            if depth == len(path) - 1:
                return node, index
            if index is not None:
                node = node.value[index][1]
                continue
            node = next(
                (
                    m.value[i][1]
                    for m in _merged(node)
                    if (i := self._pair(m, key)) is not None
                ),
                None,
            )
            if node is None:
                raise UserError(missing(path[: depth + 1]))
        raise AssertionError("an empty path")  # pragma: no cover

    def _get(self, path: list[str]) -> Any:
        mapping, index = self._find(path)
        if index is not None:
            return mapping.value[index][1]
        for merged in _merged(mapping):
            found = self._pair(merged, path[-1])
            if found is not None:
                return merged.value[found][1]
        raise UserError(missing(path))

    def _place(self, mapping: Any, index: int) -> tuple[int, int]:
        """Where the value of pair `index` is written: an alias where it is
        one, and the end of its last content, not of what follows it."""
        key, value = mapping.value[index]
        if value.start_mark.index < key.end_mark.index:
            alias = re.compile(r"[\s:]*(?:#[^\n]*\s*)*(\*[^\s,\[\]{}]+)")
            found = alias.match(self.text, key.end_mark.index)
            if found:
                return found.start(1), found.end(1)
        return value.start_mark.index, self._end(value)

    def _end(self, node: Any) -> int:
        text = self.text
        if isinstance(node, Scalar):
            if node.style in ("|", ">"):
                return len(text[: node.end_mark.index].rstrip())
            return int(node.end_mark.index)
        if node.flow_style or not node.value:
            return int(node.end_mark.index)
        if isinstance(node, Mapping):
            return self._place(node, len(node.value) - 1)[1]
        last = node.value[-1]
        if last.start_mark.index < node.start_mark.index:  # an alias
            before = (
                self._end(node.value[-2])
                if len(node.value) > 1
                else node.start_mark.index
            )
            found = re.compile(r"[\s\-]*(?:#[^\n]*\s*)*(\*[^\s,\[\]{}]+)").match(
                text, before
            )
            return found.end(1) if found else int(node.end_mark.index)
        return self._end(last)

    # --- changing -----------------------------------------------------------

    def parse(self, text: str) -> Value:
        stripped = text.strip()
        if stripped:
            try:
                node = pyyaml.compose(stripped, Loader=_Loader)
            except pyyaml.YAMLError:
                node = None
            block = isinstance(node, Mapping | Sequence) and not node.flow_style
            if node is not None and not block:
                data = (
                    _scalar(node) if isinstance(node, Scalar) and not node.tag else node
                )
                return Value(data, _show(stripped, node), stripped)
        return Value(text, _show_str(text))

    def current(self, path: list[str]) -> Value | None:
        try:
            node = self._get(path)
        except UserError:
            return None
        data = _scalar(node) if isinstance(node, Scalar) and not node.tag else node
        return Value(data, _show(self.text, node))

    def set(self, path: list[str], value: Value) -> list[Splice]:
        try:
            mapping, index = self._find(path)
        except UserError as exc:
            raise UserError(f"cannot write {'.'.join(path)!r}: {exc}") from None
        if index is not None:
            return self._replace(mapping, index, value)
        return self._insert(mapping, path[-1], value)

    def delete(self, path: list[str]) -> list[Splice]:
        try:
            mapping, index = self._find(path)
            if index is None:
                self._get(path)  # a missing key, or one from a merge
                raise UserError(f"{path[-1]!r} comes from a merge ('<<')")
        except UserError as exc:
            raise UserError(f"cannot delete {'.'.join(path)!r}: {exc}") from None
        text, key = self.text, mapping.value[index][0]
        if mapping.flow_style:
            return flow.remove(text, self._flow(mapping), index, _COMMENT)
        end = self._place(mapping, index)[1]
        start = key.start_mark.index
        if texts.first_on_line(text, start):
            return [
                Splice(texts.line_start(text, start), texts.line_end(text, end) + 1, "")
            ]
        if index + 1 < len(mapping.value):  # the first key after "- "
            return [Splice(start, mapping.value[index + 1][0].start_mark.index, "")]
        return [Splice(start, end, "{}")]

    def _flow(self, node: Any) -> flow.Flow:
        """A flow collection as members and commas."""
        text = self.text
        opening = _PROPERTIES.match(text, node.start_mark.index).end()  # type: ignore[union-attr]
        close = node.end_mark.index - 1
        members = []
        comma = re.compile(r"\s*(?:#[^\n]*\s*)*,")
        pairs = (
            node.value if isinstance(node, Mapping) else [(v, v) for v in node.value]
        )
        for index, (key, _) in enumerate(pairs):
            if isinstance(node, Mapping):
                end = self._place(node, index)[1]
            else:
                end = self._end(key)
            found = comma.match(text, end)
            members.append(
                flow.Member(
                    None, key.start_mark.index, end, found and found.end() - 1, key
                )
            )
        return flow.Flow(opening, close, members)

    def _replace(self, mapping: Any, index: int, value: Value) -> list[Splice]:
        text = self.text
        key, old = mapping.value[index]
        start, end = self._place(mapping, index)
        gap = texts.comment_gap(text, end, _GAP)
        if old.start_mark.index < key.end_mark.index:  # an alias: its own value
            return [Splice(start, end, self._render(value, None), gap)]
        start = _PROPERTIES.match(text, start).end()  # type: ignore[union-attr]
        if isinstance(old, Scalar) or old.flow_style:
            new = self._render(value, old if isinstance(old, Scalar) else None)
            if start == end:  # an empty value: "key:"
                new = " " + new
            return [Splice(start, end, new, gap)]
        if isinstance(value.data, Mapping | Sequence) and value.data.value:
            indent = texts.indentation(text, start)
            return [Splice(start, end, self._block(value.data, value.text, indent))]
        # A block collection gives way to a value on the key's line.
        line = text[key.end_mark.index : texts.line_end(text, key.end_mark.index)]
        kept = re.match(r"[ \t]*:?[^#]*?(?=[ \t]*(?:#|$))", line)
        after = key.end_mark.index + (kept.end() if kept else 0)
        return [Splice(after, end, " " + self._render(value, None))]

    def _render(self, value: Value, old: Any) -> str:
        """A new value: a string in the style of the one it replaces, where
        that style can hold it; anything else as it was written."""
        if not isinstance(value.data, str):
            return value.text
        style = old.style if isinstance(old, Scalar) else ""
        return _string(value.data, style or "", self.text, old)

    def _insert(self, mapping: Any, key: str, value: Value) -> list[Splice]:
        text = self.text
        name = _string(key, "", text, None)
        if mapping.flow_style:
            member = f"{name}: {self._render(value, None)}"
            return flow.insert(text, self._flow(mapping), member, "  ", _COMMENT)
        first = mapping.value[0][0]
        indent = " " * first.start_mark.column
        after = texts.line_end(text, self._place(mapping, len(mapping.value) - 1)[1])
        return [Splice(after, after, f"\n{indent}{name}: {self._render(value, None)}")]

    def _block(self, node: Any, source: str, indent: str) -> str:
        """A collection given in flow syntax, written in block style at
        `indent`; its scalars as they were written."""
        unit = " " * _mapping_indent(self.text)
        lines = []

        def write(node: Any, depth: str, lead: str) -> None:
            pairs = (
                node.value
                if isinstance(node, Mapping)
                else [(None, v) for v in node.value]
            )
            for number, (key, item) in enumerate(pairs):
                head = lead if number == 0 else depth
                if key is not None:
                    head += source[key.start_mark.index : key.end_mark.index] + ":"
                else:
                    head += "- "
                if isinstance(item, Mapping | Sequence) and item.value:
                    if key is None:
                        write(item, depth + "  ", head)
                        continue
                    lines.append(head)
                    write(item, depth + unit, depth + unit)
                else:
                    written = source[item.start_mark.index : item.end_mark.index]
                    lines.append(head + (" " if key is not None else "") + written)

        write(node, indent, "")
        return "\n".join(lines)


def _string(data: str, style: str, text: str, old: Any) -> str:
    """A string in `style` (the old value's), where that style can hold it,
    else double-quoted.  A plain string that a YAML 1.1 reader takes for
    something else is quoted too."""
    if style in ("|", ">") and data.strip() and not data[0].isspace():
        body = _content_indent(text, old)
        chomp = "-" if not data.endswith("\n") else "+" if data.endswith("\n\n") else ""
        lines = (data[:-1] if data.endswith("\n") else data).split("\n")
        if style == ">" and len(lines) > 1:
            style = "|"  # folding would join the lines
        return (
            style
            + chomp
            + "".join("\n" + (body + line if line else "") for line in lines)
        )
    if style == "'" and "\n" not in data and data.isprintable():
        return "'" + data.replace("'", "''") + "'"
    plain = _PLAIN.fullmatch(data) and type(_plain_value(data)) is str
    if not style and plain and not _YAML11.fullmatch(data):
        return data
    escapes = (
        old is not None and "\\u" in text[old.start_mark.index : old.end_mark.index]
    )
    return json.dumps(data, ensure_ascii=escapes)


def _content_indent(text: str, old: Any) -> str:
    """The indentation of a block scalar's first line of text."""
    first = texts.line_end(text, old.start_mark.index) + 1
    for line in text[first : old.end_mark.index].split("\n"):
        if line.strip():
            return line[: len(line) - len(line.lstrip(" "))]
    return "  "


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
