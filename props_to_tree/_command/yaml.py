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

from props_to_tree._command import document, flow, paths
from props_to_tree._command import text as texts
from props_to_tree._command.document import Value, item_index
from props_to_tree._command.errors import (
    ChangeError,
    DocumentError,
    EditError,
    PathError,
)
from props_to_tree._command.text import Splice

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._command.paths import Path

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
# The patterns kept as text are compiled where first used (the re module
# keeps them): a listing needs none of them, and compiling takes a while.
# What a YAML 1.1 reader (Kubernetes, Ansible) takes for more than a string.
_YAML11 = (
    r"(?:y|Y|yes|Yes|YES|n|N|no|No|NO|on|On|ON|off|Off|OFF)"
    r"|[-+]?(?:0b[01_]+|0x[0-9a-fA-F_]+|0[0-7_]+|[0-9][0-9_]*(?::[0-5]?[0-9])+(?:\.[0-9_]*)?)"
    r"|[-+]?[0-9][0-9_]*(?:\.[0-9_]*)?(?:[eE][-+]?[0-9]+)?|[-+]?\.[0-9_]+"
    r"|=|<<"
    r"|[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}(?:(?:[Tt]|[ \t]+)[0-9]{1,2}:[0-9]{2}:[0-9]{2}"
    r"(?:\.[0-9]*)?(?:[ \t]*(?:Z|[-+][0-9]{1,2}(?::[0-9]{2})?))?)?"
)
# What can start a plain scalar: not an indicator, nor white space.
_INDICATORS = frozenset("-?:,[]{}#&*!|>'\"%@`")


def _plain(text: str, flow: bool = True) -> bool:
    """Whether `text` can be written as a plain scalar, its reading aside:
    it prints (no line break, control character, byte-order mark or lone
    surrogate), holds no ": " or " #" (nor, inside a flow collection, a flow
    indicator: `${{ x }}` is plain in a block), and neither starts with an
    indicator nor starts or ends with white space."""
    # "-x" is plain anywhere, "?x" and ":x" in a block: an indicator is one
    # only before a space.
    lead = text[:1] == "-" or (not flow and text[:1] in "?:")
    return (
        text != ""
        and text.isprintable()
        and (text[0] not in _INDICATORS or (lead and text[1:2] not in ("", " ")))
        and not text.startswith(("---", "..."))  # a document's marker
        and text[0] != " "
        and text[-1] not in (" ", ":")
        and not (flow and any(c in text for c in ",[]{}"))
        and ": " not in text
        and " #" not in text
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
    # Plain where it reads back as this very string, else double-quoted.
    if _plain(text) and type(_plain_value(text)) is str:
        return text
    return _quoted(text)


# What JSON leaves raw in a string and YAML may not hold so: DEL, C1 controls
# (U+0085 a line break among them), line and paragraph separators, lone
# surrogates and the two non-characters.
_UNPRINTABLE = "[\x7f-\x9f\u2028\u2029\ud800-\udfff\ufffe\uffff]"


def _quoted(text: str, escapes: bool = False) -> str:
    """A double-quoted scalar: JSON's string syntax is a subset of it, and
    what YAML would read otherwise is escaped."""
    written = json.dumps(text, ensure_ascii=escapes)
    if escapes:  # YAML writes a character beyond the BMP as one escape
        return re.sub(
            r"\\ud([89ab][0-9a-f]{2})\\ud([c-f][0-9a-f]{2})",
            lambda m: f"\\U{_astral(int(m[1], 16), int(m[2], 16)):08x}",
            written,
        )
    return re.sub(_UNPRINTABLE, lambda m: f"\\u{ord(m[0]):04x}", written)


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


def _flow(data: Any) -> str:
    """Python data as one YAML flow value; a string plain where every reader
    takes it for a string (`on` is quoted, for YAML 1.1's)."""
    if isinstance(data, list):
        return "[" + ", ".join(map(_flow, data)) + "]"
    if isinstance(data, dict):
        pairs = (f"{_flow(key)}: {_flow(value)}" for key, value in data.items())
        return "{" + ", ".join(pairs) + "}"
    if isinstance(data, str):
        return _string(data, "", "", None)
    return _show_data(data)


def _core(node: Any) -> Any:
    """What a scalar reads as by the core schema, its tag aside but for the
    standard tags of scalars, which say how to read it."""
    text = node.value
    standard = node.tag.startswith("tag:yaml.org,2002:") if node.tag else False
    if standard and node.tag != _STR:
        found = _plain_value(text)
        kind = node.tag.rpartition(":")[2]
        wanted: dict[str, Any] = {"int": int, "float": (int, float), "bool": bool}
        wanted["null"] = type(None)
        if isinstance(found, wanted.get(kind, ())) and (
            kind == "bool" or not isinstance(found, bool)
        ):
            return float(found) if kind == "float" else found
        return text
    if node.style not in ("", None) or standard or node.tag == "!":
        return text
    found = _plain_value(text)
    return text if isinstance(found, datetime.date) else found


def _scalar(node: Any) -> Any:
    """What a scalar node reads as, its tag aside."""
    return _plain_value(node.value) if node.style in ("", None) else node.value


# A node's anchor and tag; a verbatim tag (!<...>) may hold commas.
_PROPERTIES = r"(?:(?:!<[^>\s]*>|[&!][^\s,\[\]{}]*)\s+)*"
_TAG = r"(?:&\S+\s+)?(!<[^>\s]*>|![^\s,\[\]{}]*)"
# The spaces before the line's comment, past no string: see json.py.
_GAP = r"[^\"'#\n]*?(?P<gap>[ \t]+)#"
_COMMENT = ("#",)


class Yaml:
    name = "YAML"

    def load(self, text: str) -> YamlDocument:
        try:
            documents = list(pyyaml.compose_all(text, Loader=_Loader))
        except pyyaml.YAMLError as exc:
            mark = getattr(exc, "problem_mark", None)
            line, column = (mark.line + 1, mark.column + 1) if mark else (None, None)
            raise DocumentError(
                f"not valid {self.name}: {_problem(exc)}", line, column
            ) from None
        # Nothing, or comments alone, between two "---" is no document.
        documents = [d for d in documents if not _empty(d)]
        root = documents[0] if len(documents) == 1 else documents or None
        return YamlDocument(text, root)


def _empty(node: Any) -> bool:
    return (
        isinstance(node, Scalar)
        and not node.tag
        and node.style in ("", None)
        and not node.value
        and node.start_mark.index == node.end_mark.index
    )


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
        if _is_merge(key):
            found += value.value if isinstance(value, Sequence) else [value]
    return [m for m in found if isinstance(m, Mapping)]


def _key(text: str, node: Any) -> str:
    """A key as its path component: a string as it is, a plain number or
    boolean as written (`0x10`, `yes`), others as shown."""
    if isinstance(node, Scalar) and (not node.tag or node.tag == _STR):
        return str(node.value) or ("" if node.style else "null")  # "? : x"
    return _show(text, node)


def _show(text: str, node: Any) -> str:
    """A node as one line of YAML flow syntax."""
    if isinstance(node, Mapping):
        pairs = (f"{_show(text, k)}: {_show(text, v)}" for k, v in node.value)
        shown = "{" + ", ".join(pairs) + "}"
    elif isinstance(node, Sequence):
        shown = "[" + ", ".join(_show(text, v) for v in node.value) + "]"
    elif node.tag:  # the tag says what it is: plain wherever it can be
        value = node.value
        shown = value if _plain(value) else _quoted(value)
        return f"{_tag(text, node)} {shown}"
    else:
        return _show_data(_scalar(node))
    return f"{_tag(text, node)} {shown}" if node.tag else shown


def _tag(text: str, node: Any) -> str:
    """A node's tag as written."""
    found = re.compile(_TAG).match(text, node.start_mark.index)
    return found.group(1) if found else f"!<{node.tag}>"


# How many values reached through aliases a listing shows at most.
ALIASED = 1_000_000
_ANCHOR = r"(?:![^\s]*\s+)?&([^\s,\[\]{}]+)"
# Between an item's or value's indicator and an alias, only these.
_ALIAS = r"(?:[\s:,\-]|#[^\n]*)*(\*[^\s,\[\]{}]+)"
_TO_DASH = r"(?:\s|#[^\n]*)*-"
_TO_ITEM = r"(?:[\s,]|#[^\n]*)*"


class _Slot:
    """A member of a mapping, list or stream: its key node (None for an
    item), its value node, where the member starts (its key, or its item's
    dash), and where its value is written: an alias's own text for an alias,
    and to the end of its last content, not of what follows it."""

    __slots__ = ("alias", "end", "flow", "key", "node", "start", "value")

    def __init__(
        self,
        key: Any,
        node: Any,
        start: int,
        value: int,
        end: int,
        alias: bool,
        flow: bool = False,
    ) -> None:
        self.flow = flow  # in a flow collection
        self.key = key
        self.node = node
        self.start = start
        self.value = value
        self.end = end
        self.alias = alias


class YamlDocument:
    def __init__(self, text: str, root: Any) -> None:
        self.text = text
        self.root = root  # a node, a list of documents' nodes, or None
        self._tree: Any = None
        # By id: the nodes live as long as this document.
        self._keys: dict[int, dict[str, int]] = {}
        self._slots: dict[int, list[_Slot]] = {}
        self._sizes: dict[int, int] = {}
        self._open: set[int] = set()

    def reload(self, text: str) -> YamlDocument:
        new = Yaml().load(text)
        if new._bad_merges() > self._bad_merges():
            raise ChangeError("a merge key ('<<') would merge what is no mapping")
        return new

    def _bad_merges(self) -> int:
        """How many merge keys merge what is no mapping, which readers refuse
        though libyaml's parser takes it: `<<: *b` where b became 3."""
        if "<<" not in self.text:
            return 0
        bad, seen = 0, set()
        todo = list(self.root) if isinstance(self.root, list) else [self.root]
        while todo:
            node = todo.pop()
            if id(node) in seen:
                continue
            seen.add(id(node))
            if isinstance(node, Mapping):
                for key, value in node.value:
                    items = value.value if isinstance(value, Sequence) else [value]
                    if _is_merge(key) and not all(
                        isinstance(item, Mapping) for item in items
                    ):
                        bad += 1
                    todo.append(value)
            elif isinstance(node, Sequence):
                todo += node.value
        return bad

    # The listing's tree holds values as shown already.
    @staticmethod
    def show_all(shown: list[Any]) -> list[str]:
        return [
            v if isinstance(v, str) else "{}" if isinstance(v, dict) else "[]"
            for v in shown
        ]

    @property
    def tree(self) -> Any:
        """What the listing walks: mappings as dicts, sequences and streams
        as lists, scalars as shown.  Merged keys come after a mapping's own."""
        if self._tree is None:
            self._tree = self.lookup([])
        return self._tree

    def lookup(self, path: Path) -> Any:
        """The value at `path` as the listing walks it.  One whose aliases
        would show more than ALIASED values is refused: a few hundred bytes
        of nested aliases can stand for billions of values."""
        node = self._bounded(path)
        if node is None:
            return {}
        if isinstance(node, list):
            return [self._view(d) for d in node]
        return self._view(node)

    def data(self, path: Path) -> Any:
        """The value at `path` as Python data, by YAML 1.2's core schema (a
        timestamp is a string), a tag aside: the value of `!Ref x` is "x"."""
        node = self._bounded(path)
        if node is None:
            return {}
        made: dict[int, Any] = {}  # an alias's value is its anchor's

        def data(node: Any) -> Any:
            found = made.get(id(node))
            if found is not None:
                return found
            if isinstance(node, Scalar):
                return _core(node)
            if isinstance(node, Sequence):
                made[id(node)] = items = []
                items += [data(item) for item in node.value]
                return items
            pairs: dict[str, Any] = {}
            made[id(node)] = pairs
            pairs.update((key, data(value)) for key, value in self._pairs(node))
            return pairs

        if isinstance(node, list):
            return [data(each) for each in node]
        return data(node)

    def _bounded(self, path: Path) -> Any:
        """The node at `path`, where its aliases stand for no more than
        ALIASED values: a few hundred bytes of nested aliases can stand for
        billions of values."""
        node = self.root if not path else self._get(path)
        if node is None:
            return None
        aliased: dict[int, int] = {}
        sizes: dict[int, int] = {}
        for each in node if isinstance(node, list) else [node]:
            self._size(each, aliased, sizes)
        total = sum(aliased.values())
        if total > ALIASED:
            worst = max(aliased, key=aliased.__getitem__)
            name = re.compile(_ANCHOR).match(self.text, worst)
            anchor = f"&{name[1]}" if name else "an anchor"
            line = self.text.count("\n", 0, worst) + 1
            raise DocumentError(
                f"its aliases stand for {total:,} values, more than {ALIASED:,}: "
                f"{anchor} (line {line}) is referred to most",
                line,
            )
        return node

    @property
    def streamed(self) -> int | None:
        """How many documents a selector at the start of a path chooses
        among: a stream's, or the one document, unless its top is a list."""
        root = self.root
        if isinstance(root, list):
            return len(root)
        return 0 if root is None else None if isinstance(root, Sequence) else 1

    def members(self, path: Path) -> list[str] | int | None:
        """The keys of the mapping at `path` as a reader sees them, the
        length of the list or stream there, or None for a scalar."""
        node = self.root if not path else self._get(path)
        if node is None:
            return []
        if isinstance(node, list | Sequence):
            return len(node if isinstance(node, list) else node.value)
        if isinstance(node, Mapping):
            return [key for key, _ in self._pairs(node)]
        return None

    def place(self, path: Path) -> object:
        """What tells the place at `path` from the others: the same member
        of the same node, whichever alias leads there."""
        try:
            node, index, depth = self._find(path) if path else (None, None, 0)
        except EditError:  # blocked: the change there will say so
            return tuple(path)
        if node is not None and depth == len(path) - 1:
            return id(node), path[-1] if index is None else index
        return tuple(path)

    def _size(
        self,
        node: Any,
        aliased: dict[int, int] | None = None,
        sizes: dict[int, int] | None = None,
    ) -> int:
        """How many values a listing of `node` shows, aliases followed; in
        `aliased`, by anchor's offset, those reached through an alias: a
        node met again was met first where its anchor is."""
        sizes = self._sizes if sizes is None else sizes
        found = sizes.get(id(node))
        if found is not None:
            if aliased is not None:
                at = node.start_mark.index
                aliased[at] = aliased.get(at, 0) + found
            return found
        if id(node) in self._open:
            raise DocumentError(
                f"an alias at line {node.start_mark.line + 1} holds itself",
                node.start_mark.line + 1,
                node.start_mark.column + 1,
            )
        self._open.add(id(node))
        if isinstance(node, Mapping):
            size = sum(self._size(v, aliased, sizes) for _, v in node.value)
        elif isinstance(node, Sequence):
            size = sum(self._size(item, aliased, sizes) for item in node.value)
        else:
            size = 1
        self._open.discard(id(node))
        sizes[id(node)] = size = max(size, 1)
        return size

    def _view(self, node: Any) -> Any:
        """Tagged collections too: their tags stay in the file."""
        if isinstance(node, Sequence):
            return [self._view(item) for item in node.value]
        if not isinstance(node, Mapping):
            return _show(self.text, node)
        view: dict[str, Any] = {}
        text, merges = self.text, False
        for key, value in node.value:
            if _is_merge(key):
                merges = True
            else:
                view[_key(text, key)] = self._view(value)
        for merged in _merged(node) if merges else ():
            for key, shown in self._view(merged).items():
                view.setdefault(key, shown)
        return view

    def _pairs(self, node: Any) -> list[tuple[str, Any]]:
        """A mapping's keys and values as a reader sees them: its own, then
        those it merges that it does not hold itself."""
        own = {_key(self.text, k): v for k, v in node.value if not _is_merge(k)}
        pairs = list(own.items())
        for merged in _merged(node):
            for key, value in self._pairs(merged):
                if key not in own:
                    own[key] = value
                    pairs.append((key, value))
        return pairs

    def shared(self, path: Path, whole: bool) -> tuple[object, str] | None:
        """A warning for a change at `path` that shows at other paths too,
        and what tells the node it is made in among the run's: the value at
        `path` where it is replaced `whole` (but an alias, which stands
        alone), else the mapping or list that holds it, reached by more than
        one path through aliases or merge keys."""
        if "*" not in self.text or not path:
            return None  # no alias, no merge: nothing is shared
        chain: list[Any] = []
        node, index, depth = self._find(path, chain)
        suffix = path[len(chain) - 1 :]
        if whole and index is not None and depth == len(path) - 1:
            slot = self._members(node)[index]
            if not slot.alias:
                chain.append(slot.node)
                suffix = []
        anchor = re.compile(_ANCHOR)
        anchored = any(
            isinstance(each, Node) and anchor.match(self.text, each.start_mark.index)
            for each in chain
        )
        merged = any(  # a key found through a merge, the merged node unseen
            isinstance(node, Mapping) and self._pair(node, str(segment)) is None
            for node, segment in zip(chain[:-1], path, strict=False)
        )
        if not anchored and not merged:
            return None  # only an anchored node, or one within it, is shared
        counts = [self._ways(each) for each in chain]
        total, found = counts[-1]
        if total < 2:
            return None
        outer = next(i for i, (count, _) in enumerate(counts) if count > 1)
        mine = paths.show(path)
        others = [s for p in found if (s := paths.show([*p, *suffix])) != mine]
        named = ", ".join(repr(p) for p in others[:5])
        more = total - 1 - min(len(others), 5)
        named += f" and {more:,} more" if more > 0 else ""
        key = frozenset(paths.show(p) for p in counts[outer][1])
        return (
            key,
            f"{mine!r} is shared through an alias or a merge key: "
            f"the same change shows at {named}",
        )

    def _ways(self, target: Any) -> tuple[int, list[Path]]:
        """How many paths lead from the top to `target`, and the first six
        of them: the change's own and five others."""
        memo: dict[int, tuple[int, list[Path]]] = {}

        def ways(node: Any) -> tuple[int, list[Path]]:
            found: list[Path]
            if node is target:
                return 1, [[]]
            known = memo.get(id(node))
            if known is not None:
                return known
            memo[id(node)] = (0, [])  # an alias that holds itself leads nowhere
            children: list[tuple[Any, Any]] = []
            if isinstance(node, Mapping):
                # What a mapping merges shows at its own path: a key added
                # to the merged one shows there too.
                children = [*self._pairs(node)]
                children += [(None, m) for m in _merged(node) if m is target]
            elif isinstance(node, Sequence | list):  # a list, or a stream
                children = list(
                    enumerate(node.value if isinstance(node, Node) else node)
                )
            count, found = 0, []
            for segment, child in children:
                more, below = ways(child)
                count += more
                head = [] if segment is None else [segment]
                found += [[*head, *p] for p in below[: 6 - len(found)]]
            memo[id(node)] = count, found
            return count, found

        return ways(self.root)

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

    def _members(self, node: Any) -> list[_Slot]:
        """The members of a mapping, list or stream, with their places."""
        found = self._slots.get(id(node))
        if found is not None:
            return found
        text, slots = self.text, []
        if isinstance(node, list):  # a stream's documents
            slots = [
                _Slot(
                    None, d, d.start_mark.index, d.start_mark.index, self._end(d), False
                )
                for d in node
            ]
        elif isinstance(node, Mapping):
            for key, value in node.value:
                start, end, alias = self._value_span(key, value)
                member = _key_start(text, key)
                slots.append(
                    _Slot(key, value, member, start, end, alias, node.flow_style)
                )
        else:
            at = re.compile(_PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
            at += 1 if node.flow_style else 0
            for item in node.value:
                if node.flow_style:
                    begin = re.compile(_TO_ITEM).match(text, at).end()  # type: ignore[union-attr]
                else:
                    begin = re.compile(_TO_DASH).match(text, at).end() - 1  # type: ignore[union-attr]
                alias = item.start_mark.index < at or (
                    not node.flow_style and item.start_mark.index <= begin
                )
                if alias:
                    found_alias = re.compile(_ALIAS).match(
                        text, begin + (not node.flow_style)
                    )
                    assert found_alias is not None, "an alias is where its item is"
                    start, end = found_alias.span(1)
                else:
                    start, end = item.start_mark.index, self._end(item)
                slots.append(
                    _Slot(None, item, begin, start, end, alias, node.flow_style)
                )
                at = end
        self._slots[id(node)] = slots
        return slots

    def _end(self, node: Any) -> int:
        if isinstance(node, Scalar):
            if node.style in ("|", ">"):
                return self._block_end(node)
            return int(node.end_mark.index)
        if node.flow_style or not node.value:
            return int(node.end_mark.index)
        # The last member's end, without the others': a list may hold
        # millions of aliases.
        if isinstance(node, Mapping):
            return self._value_span(*node.value[-1])[1]
        last, dash = node.value[-1], self._last_dash(node)
        if last.start_mark.index > dash:
            return self._end(last)
        found = re.compile(_ALIAS).match(self.text, dash + 1)
        assert found is not None, "an alias is where its item is"
        return found.end(1)

    def _block_end(self, node: Any) -> int:
        """Where a block scalar's text ends: its last content, or where it
        keeps its line breaks (`|+`), the start of its last blank line."""
        text, limit = self.text, int(node.end_mark.index)
        end = len(text[:limit].rstrip())
        header = re.compile(_PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
        if "+" in re.compile(r"[|>][-+0-9]*").match(text, header)[0]:  # type: ignore[index]
            last = text.rfind("\n", end, limit)
            before = text.rfind("\n", end, last)
            if before >= 0:
                return before + 1
        return end

    def _value_span(self, key: Any, value: Any) -> tuple[int, int, bool]:
        """Where a mapping's value is written, and whether it is an alias."""
        at = key.end_mark.index
        if value.start_mark.index < at:  # met before: an alias of it is here
            found = re.compile(_ALIAS).match(self.text, at)
            assert found is not None, "an alias follows its key"
            return found.start(1), found.end(1), True
        start, end = value.start_mark.index, self._end(value)
        if start == end and ":" not in self.text[at:start]:
            return at, at, False  # "? key" with no ":": no value is written
        return start, end, False

    def _last_dash(self, node: Any) -> int:
        """The dash of a block list's last item: the last "-" at the column
        of its first, which is the first thing on its line."""
        text = self.text
        first = re.compile(_PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
        column = first - texts.line_start(text, first)
        end = node.end_mark.index
        while (found := text.rfind("\n" + " " * column + "-", first, end)) >= 0:
            dash = found + 1 + column
            if text[dash + 1 : dash + 2] in ("", " ", "\t", "\n", "\r"):
                return dash
            end = found
        return first

    def _find(
        self, path: Path, chain: list[Any] | None = None
    ) -> tuple[Any, int | None, int]:
        """The container that holds the last segment of `path`, the index of
        its member there (None where there is none), and how deep the walk
        got: short of the end where a table on the way is missing.  `chain`
        gets the container of each segment."""
        node = self.root
        for depth, segment in enumerate(path):
            if chain is not None:
                chain.append(node)
            if node is None:  # an empty document
                return None, None, depth
            if isinstance(segment, int):
                if not isinstance(node, list | Sequence):
                    raise PathError(self._blocked(node, path, depth))
                items = node if isinstance(node, list) else node.value
                index = item_index(segment, len(items))
            else:
                if not isinstance(node, Mapping):
                    raise PathError(self._blocked(node, path, depth))
                index = self._pair(node, segment)
                if index is None and depth < len(path) - 1:
                    merged = self._from_merge(node, segment)
                    if merged is not None:
                        node = merged
                        continue
            if depth == len(path) - 1 or index is None:
                return node, index, depth
            node = self._members(node)[index].node
        raise AssertionError("an empty path")  # pragma: no cover

    def _from_merge(self, node: Any, key: str) -> Any:
        """The value of `key` that `node` merges from another mapping."""
        for merged in _merged(node):
            found = self._pair(merged, key)
            if found is not None:
                return merged.value[found][1]
            deeper = self._from_merge(merged, key)
            if deeper is not None:
                return deeper
        return None

    def _blocked(self, node: Any, path: Path, depth: int) -> str:
        if isinstance(node, Mapping):
            data: Any = {}  # stands for a table: only its kind is said
        elif isinstance(node, list | Sequence):
            data = node if isinstance(node, list) else node.value
        else:
            data = _scalar(node)
        return paths.blocked(data, path, depth)

    def _get(self, path: Path) -> Any:
        node, index, depth = self._find(path)
        if index is not None and depth == len(path) - 1:
            return self._members(node)[index].node
        last = path[-1]
        if depth == len(path) - 1 and isinstance(last, str) and node is not None:
            merged = self._from_merge(node, last) if isinstance(node, Mapping) else None
            if merged is not None:
                return merged
        raise PathError(self._missing(node, path[: depth + 1]))

    def _missing(self, node: Any, path: Path) -> str:
        count = (
            len(node if isinstance(node, list) else node.value)
            if node is not None
            else 0
        )
        return paths.missing(path, count)

    # --- changing -----------------------------------------------------------

    def parse(self, text: str) -> Value:
        """A VALUE: exactly one YAML flow value, nothing around it; other
        text is a string."""
        node = _one_value(text)
        if node is None:
            return Value(text, _show_str(text))
        data = _scalar(node) if isinstance(node, Scalar) and not node.tag else node
        refused = None
        if not _readable(text, node):
            refused = f"{text!r} is not what its tag says, to a YAML reader"
        return Value(
            data,
            _show(text, node),
            text,
            collection=_collection(node),
            kind=_TAGGED_KINDS.get(node.tag),
            refused=refused,
        )

    def value(self, data: Any) -> Value:
        """A VALUE made of Python data, in flow style."""
        data = document.plain(data, "YAML", nulls=True, dates=False)
        if isinstance(data, str):
            return Value(data, _show_str(data))
        return self.parse(_flow(data))

    def current(self, path: Path) -> Value | None:
        try:
            node = self.root if not path else self._get(path)
            if node is None or isinstance(node, list):
                return None
            if self._size(node) > ALIASED:  # too large to show: never the same
                return Value(node, f"<{id(node)}>", collection=_collection(node))
        except EditError:
            return None
        data = _scalar(node) if isinstance(node, Scalar) and not node.tag else node
        if isinstance(node, Scalar) and node.tag == _STR:
            data = node.value  # a string still, to a selector's "^="
        return Value(
            data,
            _show(self.text, node),
            collection=_collection(node),
            kind=_TAGGED_KINDS.get(node.tag),
        )

    def reach(self, path: Path) -> tuple[int, int | None]:
        """How many segments of `path` are there, and how many items the
        list or stream holding the first missing one has."""
        node, index, depth = self._find(path)
        count = None
        if isinstance(node, list | Sequence):
            count = len(node if isinstance(node, list) else node.value)
        elif node is None:
            count = 0  # an empty document
        if index is not None and depth == len(path) - 1:
            return len(path), count
        return depth, count

    def replace(self, path: Path, value: Value) -> list[Splice]:
        if not path:
            return self._set_top(value)
        node, index, _ = self._find(path)
        assert index is not None, "replaced where it is"
        slot = self._members(node)[index]
        if slot.key is not None and _is_merge(slot.key):
            raise ChangeError("'<<' merges mappings: set their keys instead")
        return self._replace(slot, value)

    def append(self, path: Path, value: Value) -> list[Splice]:
        node = self.root if not path else self._get(path)
        if not isinstance(node, Sequence):  # a stream, or an empty document
            count = len(node) if isinstance(node, list) else 0
            raise PathError(paths.missing([*path, count], count))
        return self._append(node, value)

    def insert(self, path: Path, keys: list[str], value: Value) -> list[Splice]:
        return self._insert(self.root if not path else self._get(path), keys, value)

    def _set_top(self, value: Value) -> list[Splice]:
        root = self.root
        if isinstance(root, list):
            raise ChangeError("a stream's documents are set one by one: [N]")
        if root is None:
            return self._into_empty(self._render(value, None))
        at = root.start_mark.index  # no key, no dash: where it starts
        return self._replace(_Slot(None, root, at, at, self._end(root), False), value)

    def delete(self, path: Path) -> list[Splice]:
        try:
            node, index, depth = self._find(path)
            if index is None or depth < len(path) - 1:
                self._get(path)  # a missing key, or one from a merge
                raise ChangeError(f"{path[-1]!r} comes from a merge ('<<')")
            if isinstance(node, list):
                raise ChangeError("a document of a stream is not removed")
        except EditError as exc:
            raise exc.prefixed(f"cannot delete {paths.show(path)!r}: ") from None
        text = self.text
        if isinstance(node, Mapping):
            twice = sum(_key(text, k) == path[-1] for k, _ in node.value) > 1
            if twice:  # readers take the last, and then the one before: all go
                rest = self.reload(texts.apply(text, self._delete(node, index, path)))
                after = texts.apply(rest.text, rest.delete(path))
                return [texts.difference(text, after)]
        return self._delete(node, index, path)

    def _delete(self, node: Any, index: int, path: Path) -> list[Splice]:
        text, slots = self.text, self._members(node)
        slot = slots[index]
        if len(slots) == 1 and not node.flow_style:
            # The last member of a block collection: it becomes empty, at the
            # top of a document too, which would otherwise read as null.
            empty = "{}" if isinstance(node, Mapping) else "[]"
            value = Value({} if empty == "{}" else [], empty, empty)
            if node is self.root:
                return self._set_top(value)
            return self._replace(self._holding(path[:-1], node), value)
        if node.flow_style:
            return flow.remove(text, self._flow(node), index, _COMMENT)
        if texts.first_on_line(text, slot.start):
            return [Splice(*texts.own_lines(text, slot.start, slot.end), "")]
        if index + 1 < len(slots):  # the first key after "- "
            return [Splice(slot.start, slots[index + 1].start, "")]
        return [
            Splice(
                slot.value if slot.key is None else slot.start,
                slot.end,
                "{}" if slot.key is not None else "[]",
            )
        ]

    def _holding(self, path: Path, node: Any) -> _Slot:
        """The member that holds `node`, which `path` leads to: its own, or,
        where `path` reaches it through an alias or a merge, the anchor's."""
        parent, index, depth = self._find(path)
        if index is not None and depth == len(path) - 1:
            slot = self._members(parent)[index]
            if slot.node is node and not slot.alias:
                return slot
        todo: list[Any] = [self.root]
        while todo:  # where the anchor is, then: the first place it stands
            container = todo.pop()
            for slot in self._members(container):
                if slot.node is node and not slot.alias:
                    return slot
                if isinstance(slot.node, Mapping | Sequence) and not slot.alias:
                    todo.append(slot.node)
        raise AssertionError("a node stands somewhere")  # pragma: no cover

    def _flow(self, node: Any) -> flow.Flow:
        """A flow collection as members and commas."""
        text = self.text
        opening = re.compile(_PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
        comma = re.compile(r"\s*(?:#[^\n]*\s*)*,")
        members = []
        for slot in self._members(node):
            found = comma.match(text, slot.end)
            members.append(
                flow.Member(
                    None,
                    slot.start if slot.key else slot.value,
                    slot.end,
                    found and found.end() - 1,
                    slot.node,
                )
            )
        return flow.Flow(opening, node.end_mark.index - 1, members)

    def _replace(self, slot: _Slot, value: Value) -> list[Splice]:
        text, old = self.text, slot.node
        start, end = slot.value, slot.end
        gap = texts.comment_gap(text, end, re.compile(_GAP))
        if slot.alias:  # an alias: its own value, not its anchor's
            return [Splice(start, end, self._render(value, None, flow=slot.flow), gap)]
        after = re.compile(_PROPERTIES).match(text, start).end()  # type: ignore[union-attr]
        properties = text[start : min(after, end)]
        # A tag given stands where the old one stood; a null's goes with it.
        retag = _tagged(value) or getattr(old, "tag", "") == _NULL_TAG
        kept = re.sub(_TAG_TOKEN, "", properties) if retag else properties
        start += len(properties)
        if isinstance(old, Scalar) or old.flow_style:
            scalar = old if isinstance(old, Scalar) else None
            new = self._render(value, scalar, flow=slot.flow)
            if isinstance(old, Scalar) and old.style in ("|", ">"):
                new = _with_header_comment(text, start, new)
                if new[1:2] == "+":  # it keeps its line breaks: the blank
                    # lines after the old one would be added to them
                    blank = re.compile(r"(?:[ \t\r]*\n)*")
                    after = blank.match(text, texts.next_line(text, end)).end()  # type: ignore[union-attr]
                    end = texts.line_end(text, max(after - 1, end))
            if start == end == slot.value:  # no value yet
                explicit = slot.key is not None and start == slot.key.end_mark.index
                indent = " " * (slot.start - texts.line_start(text, slot.start))
                new = f"\n{indent}: {new}" if explicit else " " + new  # "? key"
            elif kept and not kept[-1].isspace():
                kept += " "  # a tag or anchor alone: "key: !!str"
            return [Splice(slot.value, end, kept + new, gap)]
        # A block collection: its members go, and the comment on the last.
        if texts.rest_is_comment(text, end, _COMMENT):
            end = texts.line_end(text, end)
        data, tagged = value.data, _tagged(value)
        column = start - texts.line_start(text, start)
        inline = not texts.first_on_line(text, start)  # "- a: 1", "- - x"
        if isinstance(data, Mapping | Sequence) and data.value and not tagged:
            width = column
            if not inline and isinstance(data, Mapping) and slot.key is not None:
                # A mapping's members stand right of its key, as a list's
                # items need not.
                key = slot.start - texts.line_start(text, slot.start)
                width = max(width, key + _mapping_indent(text))
            lead = "" if inline else " " * (width - column)
            return [
                Splice(start, end, self._block(data, value.text, " " * width, lead))
            ]
        new = self._render(value, None, flow=slot.flow)
        if inline or (slot.key is None and slot.start == slot.value):
            return [Splice(slot.value, end, kept + new)]  # in place, as a whole
        # A block collection below its key or dash gives way to a value on
        # that line, after its anchor and tag and before its comment.
        at = slot.start
        if slot.key is not None:
            at = text.rfind(":", slot.key.end_mark.index, slot.value)
            at = slot.key.end_mark.index if at < 0 else at
        head = re.compile(r"[ \t]*[:\-]?").match(text, at).end()  # type: ignore[union-attr]
        comment = re.search(r"[ \t]+#.*", text[head : texts.line_end(text, head)])
        words = " ".join(kept.split())
        new = " " + (words + " " if words else "") + new
        return [Splice(head, end, new + (comment.group() if comment else ""))]

    def _render(
        self, value: Value, old: Any, like: Any = None, flow: bool = False
    ) -> str:
        """A new value: a string in the style of the one it replaces, where
        that style can hold it, or failing that in the quotes of `like`, a
        string beside it; anything else as it was written."""
        if not isinstance(value.data, str):
            return value.text
        style = old.style if isinstance(old, Scalar) else like.style if like else ""
        return _string(value.data, style or "", self.text, old, flow)

    def _append(self, node: Any, value: Value) -> list[Splice]:
        """A new last item, after the last one and before the blank lines and
        comments that end the list, with its dash and indentation."""
        text = self.text
        like = _last_string(node.value)
        if node.flow_style:
            return flow.insert(
                text,
                self._flow(node),
                self._render(value, None, like, flow=True),
                "  ",
                _COMMENT,
            )
        last = self._members(node)[-1]
        indent = (
            texts.indentation(text, last.start)
            if texts.first_on_line(text, last.start)
            else " " * (last.start - texts.line_start(text, last.start))
        )
        dash = (
            text[last.start : last.value]
            if texts.one_line(text, last.start, last.value)
            else "- "
        )
        dash = dash if dash.strip() == "-" else "- "
        item = value.data
        if (
            isinstance(item, Mapping | Sequence)
            and item.value
            and not _tagged(value)
            and isinstance(last.node, Mapping | Sequence)
            and not last.node.flow_style
        ):
            new = self._block(item, value.text, indent + " " * len(dash), "")
        else:
            new = self._render(value, None, like)  # in a block list
        where = texts.line_end(text, last.end)
        splices = [Splice(where, where, "\n" + indent + dash + new)]
        return self._stripped_at_end(where) + splices

    def _insert(self, mapping: Any, keys: list[str], value: Value) -> list[Splice]:
        """`keys` in `mapping`, the tables of all but the last made new: in
        flow style inside a flow mapping, else in block style."""
        text = self.text
        in_flow = isinstance(mapping, Mapping) and bool(mapping.flow_style)
        names = [_string(key, "", text, None, in_flow) for key in keys]
        if mapping is None:  # an empty document
            return self._into_empty(self._nested(names, value, "", "  "))
        if not isinstance(mapping, Mapping):
            raise ChangeError("a stream's documents are not added to")
        like = _last_string([v for _, v in mapping.value]) if len(keys) == 1 else None
        if mapping.flow_style:
            new = self._render(value, None, like, flow=True)
            for name in reversed(names[1:]):
                new = f"{{{name}: {new}}}"
            member = f"{names[0]}: {new}"
            return flow.insert(text, self._flow(mapping), member, "  ", _COMMENT)
        first = _key_start(text, mapping.value[0][0])
        indent = " " * (first - texts.line_start(text, first))
        unit = " " * _mapping_indent(text)
        after = texts.line_end(text, self._members(mapping)[-1].end)
        nested = self._nested(names, value, indent, unit, like)
        splices = [Splice(after, after, "\n" + indent + nested)]
        return self._stripped_at_end(after) + splices

    def _into_empty(self, new: str) -> list[Splice]:
        """`new` as the content of an empty document: at the end, or before
        the `...` that ends it."""
        text = self.text
        end = re.search(r"^\.\.\.(?:[ \t]+#[^\n]*)?\s*\Z", text, re.MULTILINE)
        at = end.start() if end else len(text)
        lead = "" if not text[:at] or text[:at].endswith("\n") else "\n"
        return [Splice(at, at, lead + new + "\n")]

    def _stripped_at_end(self, where: int) -> list[Splice]:
        """Where text goes at the very end of a file with no final line
        break, after a block scalar: that scalar, which had no line break to
        end it, must not gain one, so it strips its breaks (`|-`)."""
        text, node = self.text, self.root
        if where < len(text) or text.endswith("\n") or isinstance(node, list):
            return []
        while isinstance(node, Mapping | Sequence) and node.value:
            last = self._members(node)[-1]
            if last.alias:
                return []
            node = last.node
        if not isinstance(node, Scalar) or node.style not in ("|", ">"):
            return []
        header = re.compile(_PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
        indicators = re.compile(r"[|>]([-+0-9]*)").match(text, header)
        assert indicators is not None, "a block scalar's header"
        chomp = indicators[1].replace("+", "").replace("-", "") + "-"
        return [Splice(indicators.start(1), indicators.end(1), chomp)]

    def _nested(
        self, names: list[str], value: Value, indent: str, unit: str, like: Any = None
    ) -> str:
        lines = []
        for depth, name in enumerate(names[:-1]):
            lines.append(indent + unit * depth + name + ":")
        inner = indent + unit * (len(names) - 1)
        item = value.data
        if (
            isinstance(item, Mapping | Sequence)
            and item.value
            and len(names) > 1
            and not _tagged(value)
        ):
            block = self._block(item, value.text, inner + unit, inner + unit)
            lines.append(inner + names[-1] + ":\n" + block)
        else:
            lines.append(inner + names[-1] + ": " + self._render(value, None, like))
        return "\n".join(lines)[len(indent) :]

    def _block(self, node: Any, source: str, indent: str, lead: str) -> str:
        """A collection given in flow syntax, written in block style: its
        first line after `lead`, the others at `indent`; its scalars as they
        were written."""
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

        write(node, indent, lead)
        return "\n".join(lines)


def _is_merge(key: Any) -> bool:
    return isinstance(key, Scalar) and key.value == "<<" and not key.style


def _string(data: str, style: str, text: str, old: Any, flow: bool = True) -> str:
    """A string in `style` (the old value's), where that style can hold it,
    else double-quoted; `flow` if it stands in a flow collection.  A plain
    string that a YAML 1.1 reader takes for something else is quoted too."""
    if style in ("|", ">") and _blockable(data):
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
    plain = _plain(data, flow) and type(_plain_value(data)) is str
    if not style and plain and not re.compile(_YAML11).fullmatch(data):
        return data
    escapes = (
        old is not None and "\\u" in text[old.start_mark.index : old.end_mark.index]
    )
    return _quoted(data, escapes)


def _astral(high: int, low: int) -> int:
    return 0x10000 + ((high & 0x3FF) << 10) + (low & 0x3FF)


def _blockable(data: str) -> bool:
    """Whether a block scalar can hold `data`: text that prints, in lines,
    not starting with white space."""
    return (
        bool(data.strip())
        and not data[0].isspace()
        and all(line.replace("\t", " ").isprintable() for line in data.split("\n"))
    )


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


# What a YAML reader takes for a line break, and folds in a scalar.
_BREAKS = "[\r\n\x85\u2028\u2029]"
_STR = "tag:yaml.org,2002:str"
# What a scalar tagged with a standard tag is, for the warning of a change.
_TAGGED_KINDS = {
    f"tag:yaml.org,2002:{tag}": kind
    for tag, kind in (
        ("str", "a string"),
        ("int", "a number"),
        ("float", "a number"),
        ("bool", "a boolean"),
        ("timestamp", "a date"),
    )
}
_NULL_TAG = "tag:yaml.org,2002:null"
# A tag among a node's properties, with the space after it.
_TAG_TOKEN = r"(?:!<[^>\s]*>|![^\s,\[\]{}]*)(?:\s+|$)"


def _one_value(text: str) -> Any:
    """The node of `text` where it is exactly one YAML flow value: nothing
    around it (white space, a comment, a document marker or directive), no
    anchor or alias, no block collection or block scalar, and no line break
    folded inside a scalar.  None for any other text, which is a string."""
    if not text or text[0] in " \t\r\n" or text[-1] in " \t\r\n":
        return None
    try:
        events: list[Any] = list(pyyaml.parse(text, Loader=_Loader))
        node = pyyaml.compose(text, Loader=_Loader)
    except pyyaml.YAMLError:
        return None
    content = events[2:-2]
    if len(events) < 5 or not isinstance(events[1], pyyaml.DocumentStartEvent):
        return None
    if events[1].explicit or events[-2].explicit or events[1].version:
        return None
    if (
        events[1].tags
        or content[0].start_mark.index
        or content[-1].end_mark.index != len(text)
    ):
        return None
    if (
        isinstance(content[0], pyyaml.CollectionStartEvent)
        and not content[0].flow_style
    ):
        return None
    for event in content:
        if isinstance(event, pyyaml.AliasEvent) or getattr(event, "anchor", None):
            return None
        start, end = event.start_mark.index, event.end_mark.index
        if isinstance(event, pyyaml.ScalarEvent) and (
            event.style in ("|", ">")
            or re.search(_BREAKS, text[start:end])
            or (event.tag and not event.value and not event.style)  # "!" alone
        ):
            return None
    return node


def _readable(text: str, node: Any) -> bool:
    """Whether readers can make what the standard tags in a VALUE say of
    it (`!!int abc` they cannot).  Other tags are the reader's own affair."""
    tags, todo = set(), [node]
    while todo:
        each = todo.pop()
        tags.add(each.tag)
        if isinstance(each, Mapping):
            todo += [part for pair in each.value for part in pair]
        elif isinstance(each, Sequence):
            todo += each.value
    tags.discard("")
    if not tags or not all(tag.startswith("tag:yaml.org,2002:") for tag in tags):
        return True
    try:
        pyyaml.load(text, Loader=getattr(pyyaml, "CSafeLoader", pyyaml.SafeLoader))
    except Exception:  # whatever the reader objects to
        return False
    return True


def _collection(node: Any) -> str:
    if isinstance(node, Mapping):
        return "a table"
    return "a list" if isinstance(node, Sequence) else ""


def _tagged(value: Value) -> bool:
    """Whether a VALUE was given with a tag of its own."""
    return isinstance(value.data, Node) and bool(value.data.tag)


def _with_header_comment(text: str, start: int, new: str) -> str:
    """`new` in place of the block scalar at `start`, keeping the comment on
    its header line (`| # note`)."""
    header = text[start : texts.line_end(text, start)]
    found = re.match(r"[|>][-+0-9]*([ \t]+#.*)", header)
    if found is None:
        return new
    if new[:1] in ("|", ">"):
        end = texts.line_end(new, 0)
        return new[:end] + found[1] + new[end:]
    return new + found[1]


def _last_string(nodes: list[Any]) -> Any:
    """The last of `nodes` that is a string written plain or in quotes."""
    for node in reversed(nodes):
        if not isinstance(node, Scalar) or node.tag:
            continue
        if node.style in ("'", '"') or (
            node.style in ("", None) and type(_plain_value(node.value)) is str
        ):
            return node
    return None


def _key_start(text: str, key: Any) -> int:
    """Where a mapping's member starts: its key, or the "?" before it."""
    at = int(key.start_mark.index)
    line = texts.line_start(text, at)
    before = text[line:at].rstrip()
    if before.endswith("?") and (len(before) == 1 or before[-2] in " \t-"):
        return line + len(before) - 1
    return at
