"""Where each node of a YAML document is written: the members of its
mappings, lists and streams, where each starts and ends, and the walk along
a path to the member it names."""

from __future__ import annotations

import re

from props_to_tree._engine import flow, paths
from props_to_tree._engine import text as texts
from props_to_tree._engine.document import item_index
from props_to_tree._engine.errors import (
    PathError,
)
from props_to_tree._formats.yaml.values import (
    PROPERTIES,
    Mapping,
    Scalar,
    Sequence,
    merged_mappings,
    node_key,
    plain_value,
    scalar_data,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.paths import Path


# Between an item's or value's indicator and an alias, only these.
_ALIAS = r"(?:[\s:,\-]|#[^\n]*)*(\*[^\s,\[\]{}]+)"


_TO_DASH = r"(?:\s|#[^\n]*)*-"


_TO_ITEM = r"(?:[\s,]|#[^\n]*)*"


class Slot:
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


def mapping_indent(text: str) -> int:
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


def last_string(nodes: list[Any]) -> Any:
    """The last of `nodes` that is a string written plain or in quotes."""
    for node in reversed(nodes):
        if not isinstance(node, Scalar) or node.tag:
            continue
        if node.style in ("'", '"') or (
            node.style in ("", None) and type(plain_value(node.value)) is str
        ):
            return node
    return None


def key_start(text: str, key: Any) -> int:
    """Where a mapping's member starts: its key, or the "?" before it."""
    at = int(key.start_mark.index)
    line = texts.line_start(text, at)
    before = text[line:at].rstrip()
    if before.endswith("?") and (len(before) == 1 or before[-2] in " \t-"):
        return line + len(before) - 1
    return at


class Spans:
    """The places in the text of a document's nodes, found once each: the
    parts of a YAML document that its view and its changes work from."""

    def __init__(self, text: str, root: Any) -> None:
        self.text = text
        self.root = root  # a node, a list of documents' nodes, or None
        # By id: the nodes live as long as the document.
        self._keys: dict[int, dict[str, int]] = {}
        self._slots: dict[int, list[Slot]] = {}

    def pair(self, mapping: Any, key: str) -> int | None:
        """The index of `key` among the mapping's own pairs (the last)."""
        keys = self._keys.get(id(mapping))
        if keys is None:
            pairs = enumerate(mapping.value)
            keys = self._keys[id(mapping)] = {
                node_key(self.text, k): i for i, (k, _) in pairs
            }
        return keys.get(key)

    def members(self, node: Any) -> list[Slot]:
        """The members of a mapping, list or stream, with their places."""
        found = self._slots.get(id(node))
        if found is not None:
            return found
        text, slots = self.text, []
        if isinstance(node, list):  # a stream's documents
            slots = [
                Slot(
                    None, d, d.start_mark.index, d.start_mark.index, self.end(d), False
                )
                for d in node
            ]
        elif isinstance(node, Mapping):
            for key, value in node.value:
                start, end, alias = self._value_span(key, value)
                member = key_start(text, key)
                slots.append(
                    Slot(key, value, member, start, end, alias, bool(node.flow_style))
                )
        else:
            at = re.compile(PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
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
                    start, end = item.start_mark.index, self.end(item)
                slots.append(
                    Slot(None, item, begin, start, end, alias, node.flow_style)
                )
                at = end
        self._slots[id(node)] = slots
        return slots

    def end(self, node: Any) -> int:
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
            return self.end(last)
        found = re.compile(_ALIAS).match(self.text, dash + 1)
        assert found is not None, "an alias is where its item is"
        return found.end(1)

    def _block_end(self, node: Any) -> int:
        """Where a block scalar's text ends: its last content, or where it
        keeps its line breaks (`|+`), the start of its last blank line."""
        text, limit = self.text, int(node.end_mark.index)
        end = len(text[:limit].rstrip())
        header = re.compile(PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
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
        start, end = value.start_mark.index, self.end(value)
        if start == end and ":" not in self.text[at:start]:
            return at, at, False  # "? key" with no ":": no value is written
        return start, end, False

    def _last_dash(self, node: Any) -> int:
        """The dash of a block list's last item: the last "-" at the column
        of its first, which is the first thing on its line."""
        text = self.text
        first = re.compile(PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
        column = first - texts.line_start(text, first)
        end = node.end_mark.index
        while (found := text.rfind("\n" + " " * column + "-", first, end)) >= 0:
            dash = found + 1 + column
            if text[dash + 1 : dash + 2] in ("", " ", "\t", "\n", "\r"):
                return dash
            end = found
        return first

    def find(
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
                index = self.pair(node, segment)
                if index is None and depth < len(path) - 1:
                    merged = self.from_merge(node, segment)
                    if merged is not None:
                        node = merged
                        continue
            if depth == len(path) - 1 or index is None:
                return node, index, depth
            node = self.members(node)[index].node
        raise AssertionError("an empty path")  # pragma: no cover

    def from_merge(self, node: Any, key: str) -> Any:
        """The value of `key` that `node` merges from another mapping."""
        for merged in merged_mappings(node):
            found = self.pair(merged, key)
            if found is not None:
                return merged.value[found][1]
            deeper = self.from_merge(merged, key)
            if deeper is not None:
                return deeper
        return None

    def _blocked(self, node: Any, path: Path, depth: int) -> str:
        if isinstance(node, Mapping):
            data: Any = {}  # stands for a table: only its kind is said
        elif isinstance(node, list | Sequence):
            data = node if isinstance(node, list) else node.value
        else:
            data = scalar_data(node)
        return paths.blocked(data, path, depth)

    def get(self, path: Path) -> Any:
        node, index, depth = self.find(path)
        if index is not None and depth == len(path) - 1:
            return self.members(node)[index].node
        last = path[-1]
        if depth == len(path) - 1 and isinstance(last, str) and node is not None:
            merged = self.from_merge(node, last) if isinstance(node, Mapping) else None
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

    def holding(self, path: Path, node: Any) -> Slot:
        """The member that holds `node`, which `path` leads to: its own, or,
        where `path` reaches it through an alias or a merge, the anchor's."""
        parent, index, depth = self.find(path)
        if index is not None and depth == len(path) - 1:
            slot = self.members(parent)[index]
            if slot.node is node and not slot.alias:
                return slot
        todo: list[Any] = [self.root]
        while todo:  # where the anchor is, then: the first place it stands
            container = todo.pop()
            for slot in self.members(container):
                if slot.node is node and not slot.alias:
                    return slot
                if isinstance(slot.node, Mapping | Sequence) and not slot.alias:
                    todo.append(slot.node)
        raise AssertionError("a node stands somewhere")  # pragma: no cover

    def flow_of(self, node: Any) -> flow.Flow:
        """A flow collection as members and commas."""
        text = self.text
        opening = re.compile(PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
        comma = re.compile(r"\s*(?:#[^\n]*\s*)*,")
        members = []
        for slot in self.members(node):
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
