"""A YAML document as its listing and its readers see it: mappings with
their merged keys, aliases followed (up to a bound), and scalars shown as
written or read as Python data."""

from __future__ import annotations

import bisect
import re

from props_to_tree._engine import paths
from props_to_tree._engine import text as texts
from props_to_tree._engine.document import Value, WrittenFloat, WrittenInt
from props_to_tree._engine.errors import (
    DocumentError,
    EditError,
    PathError,
)
from props_to_tree._formats.yaml.values import (
    NULL_TAG,
    STR_TAG,
    TAGGED_KINDS,
    Mapping,
    Node,
    Scalar,
    Sequence,
    collection_of,
    core_data,
    is_merge,
    merged_mappings,
    node_key,
    scalar_data,
    show_node,
    tag_of,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Anchor
    from props_to_tree._engine.paths import Path
    from props_to_tree._formats.yaml.spans import Spans


# How many values reached through aliases a listing shows at most.
ALIASED = 1_000_000
_ANCHOR = r"(?:![^\s]*\s+)?&([^\s,\[\]{}]+)"


class View:
    """What a document holds, read through its spans."""

    def __init__(self, spans: Spans) -> None:
        self.spans, self.text, self.root = spans, spans.text, spans.root
        self._tree: Any = None
        # By id, as the spans are: sizes found, and the nodes being sized.
        self._sizes: dict[int, int] = {}
        self._open: set[int] = set()

    # The listing's tree holds values as shown already.
    @staticmethod
    def show(shown: Any) -> str:
        if isinstance(shown, str):
            return shown
        return "{}" if isinstance(shown, dict) else "[]"

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
                return core_data(node)
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

    def export(self, tags: bool) -> Any:
        """The whole document as Python data, as `data` gives it, but that
        plain numbers stay as written (`1.10`, `0x1F`) and, where `tags`, a
        value under a custom tag is `Tagged`; a stream of two or more
        documents is a list of them."""
        from props_to_tree._engine.convert import Tagged

        node = self._bounded([])
        if node is None:
            return {}
        text = self.text
        made: dict[int, Any] = {}  # an alias's value is its anchor's

        def data(node: Any) -> Any:
            found = made.get(id(node))
            if found is not None:
                return found
            value: Any
            if isinstance(node, Scalar):
                value = core_data(node)
                kind = type(value)
                if (kind is int or kind is float) and not node.style and not node.tag:
                    written = node.value
                    if (float.__repr__ if kind is float else int.__repr__)(
                        value
                    ) != written:
                        value = (
                            WrittenFloat(value) if kind is float else WrittenInt(value)
                        )
                        value.text = written
            elif isinstance(node, Sequence):
                made[id(node)] = items = []
                items += [data(item) for item in node.value]
                value = items
            else:
                pairs: dict[str, Any] = {}
                made[id(node)] = pairs
                pairs.update((key, data(item)) for key, item in self._pairs(node))
                value = pairs
            if (
                tags
                and node.tag not in ("", "!", None)
                and not node.tag.startswith("tag:yaml.org,2002:")
            ):
                return Tagged(tag_of(text, node), value)
            return value

        if isinstance(node, list):
            return [data(each) for each in node]
        return data(node)

    def comments(self) -> list[tuple[int, int]]:
        """Where each comment is: a "#" that starts a line or follows white
        space, outside every scalar."""
        text = self.text
        if "#" not in text:
            return []
        scalars: list[tuple[int, int]] = []
        seen: set[int] = set()

        def walk(node: Any) -> None:
            if id(node) in seen:
                return
            seen.add(id(node))
            if isinstance(node, Scalar):
                start = node.start_mark.index
                if node.style in ("|", ">"):  # its header's line may end in one
                    start = texts.line_end(text, start)
                scalars.append((start, self.spans.end(node)))
            elif isinstance(node, Sequence):
                for item in node.value:
                    walk(item)
            else:
                for key, item in node.value:
                    walk(key)
                    walk(item)

        for root in self.root if isinstance(self.root, list) else [self.root]:
            if root is not None:
                walk(root)
        scalars.sort()
        starts = [start for start, _ in scalars]
        found = []
        for match in re.finditer(r"(?:^|(?<=[ \t]))#[^\n]*", text, re.MULTILINE):
            at = match.start()
            before = bisect.bisect_right(starts, at) - 1
            if before >= 0 and at < scalars[before][1]:
                continue
            found.append((at, match.end() - (text[match.end() - 1] == "\r")))
        return found

    def anchors(self) -> list[Anchor]:
        """Where each member is written, aliases aside (their anchors' are)."""
        from props_to_tree._engine.convert import Anchor

        text, spans = self.text, self.spans
        found: list[Anchor] = []
        seen: set[int] = set()

        def walk(node: Any, path: tuple[Any, ...], start: int, end: int) -> None:
            if not isinstance(node, Mapping | Sequence):
                found.append(Anchor(path, start, end))
                return
            if id(node) in seen:
                return
            seen.add(id(node))
            slots = spans.members(node)
            if node.flow_style:
                anchor = Anchor(path, start, end, close=end - 1)
            else:
                column = (
                    slots[0].start - texts.line_start(text, slots[0].start)
                    if slots
                    else 0
                )
                anchor = Anchor(path, start, end, column=column)
            found.append(anchor)
            for number, slot in enumerate(slots):
                if slot.key is not None and is_merge(slot.key):
                    continue
                key = number if slot.key is None else node_key(text, slot.key)
                if not slot.alias:
                    walk(slot.node, (*path, key), slot.start, slot.end)
                else:
                    found.append(Anchor((*path, key), slot.start, slot.end))

        root = self.root
        if isinstance(root, list):
            found.append(Anchor((), 0, len(text), column=0))
            for number, each in enumerate(root):
                walk(each, (number,), each.start_mark.index, spans.end(each))
        elif root is not None:
            walk(root, (), 0, spans.end(root))
        return found

    def _bounded(self, path: Path) -> Any:
        """The node at `path`, where its aliases stand for no more than
        ALIASED values: a few hundred bytes of nested aliases can stand for
        billions of values."""
        node = self.root if not path else self.spans.get(path)
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
        node = self.root if not path else self.spans.get(path)
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
            node, index, depth = self.spans.find(path) if path else (None, None, 0)
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
            return show_node(self.text, node, written=True)
        view: dict[str, Any] = {}
        text, merges = self.text, False
        for key, value in node.value:
            if is_merge(key):
                merges = True
            else:
                view[node_key(text, key)] = self._view(value)
        for merged in merged_mappings(node) if merges else ():
            for key, shown in self._view(merged).items():
                view.setdefault(key, shown)
        return view

    def _pairs(self, node: Any) -> list[tuple[str, Any]]:
        """A mapping's keys and values as a reader sees them: its own, then
        those it merges that it does not hold itself."""
        own = {node_key(self.text, k): v for k, v in node.value if not is_merge(k)}
        pairs = list(own.items())
        for merged in merged_mappings(node):
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
        try:
            node, index, depth = self.spans.find(path, chain)
        except PathError:
            # A null on the way, made a table (--create): the null is what
            # changes, replaced whole, and an alias of it shows the change.
            return self.shared(path[:-1], whole=True)
        suffix = path[len(chain) - 1 :]
        if whole and index is not None and depth == len(path) - 1:
            slot = self.spans.members(node)[index]
            if not slot.alias:
                chain.append(slot.node)
                suffix = []
        anchor = re.compile(_ANCHOR)
        anchored = any(
            isinstance(each, Node) and anchor.match(self.text, each.start_mark.index)
            for each in chain
        )
        merged = any(  # a key found through a merge, the merged node unseen
            isinstance(node, Mapping) and self.spans.pair(node, str(segment)) is None
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
                children += [(None, m) for m in merged_mappings(node) if m is target]
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

    def item_kinds(self, path: Path) -> list[str | None]:
        from props_to_tree._engine.kinds import kind

        node = self.root if not path else self.spans.get(path)
        held: list[str | None] = []
        for item in node.value:  # as current() reads each
            if not isinstance(item, Scalar):
                held.append(None)
                continue
            data = scalar_data(item) if not item.tag else item
            if item.tag == STR_TAG:
                data = item.value
            elif item.tag == NULL_TAG:
                data = None
            held.append(TAGGED_KINDS.get(item.tag) or kind(data))
        return held

    def current(self, path: Path) -> Value | None:
        try:
            node = self.root if not path else self.spans.get(path)
            if node is None or isinstance(node, list):
                return None
            if self._size(node) > ALIASED:  # too large to show: never the same
                return Value(node, f"<{id(node)}>", collection=collection_of(node))
        except EditError:
            return None
        data = scalar_data(node) if isinstance(node, Scalar) and not node.tag else node
        if isinstance(node, Scalar) and node.tag == STR_TAG:
            data = node.value  # a string still, to a selector's "^="
        elif isinstance(node, Scalar) and node.tag == NULL_TAG:
            data = None
        return Value(
            data,
            show_node(self.text, node),
            collection=collection_of(node),
            kind=TAGGED_KINDS.get(node.tag),
            tag=tag_of(self.text, node) if node.tag else "",
        )
