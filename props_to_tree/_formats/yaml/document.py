"""A YAML document over its text: libyaml's nodes, where each is written,
the view a listing walks, and the changes."""

from __future__ import annotations

from props_to_tree import _yaml
from props_to_tree._engine.errors import ChangeError, DocumentError
from props_to_tree._formats.yaml.spans import Spans
from props_to_tree._formats.yaml.values import (
    Mapping,
    Sequence,
    deepest,
    is_empty,
    is_merge,
    place_of,
    problem_of,
)
from props_to_tree._formats.yaml.view import View

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Anchor
    from props_to_tree._engine.document import Format, Value
    from props_to_tree._engine.paths import Path
    from props_to_tree._engine.text import Splice


def load(format: Format, text: str, written: bool = False) -> YamlDocument:
    """The document in `text`; its numbers always show as written."""
    try:
        documents = _yaml.compose_all(text, 0, 0, deepest())
    except _yaml.Error as exc:
        place = place_of(exc, text)
        line, column = place if place else (None, None)
        problem = problem_of(exc, text)
        raise DocumentError(
            f"not valid {format.title}: {problem}",
            line,
            column,
            problem.rpartition(" (line ")[0] if place else problem,
        ) from None
    # Nothing, or comments alone, between two "---" is no document.
    documents = [d for d in documents if not is_empty(d)]
    root = documents[0] if len(documents) == 1 else documents or None
    return YamlDocument(format, text, root)


class YamlDocument:
    """A YAML document over its text: libyaml's nodes and where each is
    written (its spans), read through its view, changed by the write
    module's functions over the spans."""

    show = staticmethod(View.show)
    show_all = staticmethod(View.show_all)

    def __init__(self, format: Format, text: str, root: Any) -> None:
        self.format, self.text = format, text
        self.root = root  # a node, a list of documents' nodes, or None
        self.spans = Spans(text, root)
        self.view = View(self.spans)

    # --- reading: the view's ---------------------------------------------------

    @property
    def tree(self) -> Any:
        return self.view.tree

    @property
    def streamed(self) -> int | None:
        return self.view.streamed

    def lookup(self, path: Path) -> Any:
        return self.view.lookup(path)

    def data(self, path: Path) -> Any:
        return self.view.data(path)

    def members(self, path: Path) -> list[str] | int | None:
        return self.view.members(path)

    def current(self, path: Path) -> Value | None:
        return self.view.current(path)

    def item_kinds(self, path: Path) -> list[str | None]:
        return self.view.item_kinds(path)

    def place(self, path: Path) -> object:
        return self.view.place(path)

    def shared(self, path: Path, whole: bool) -> tuple[object, str] | None:
        return self.view.shared(path, whole)

    def export(self, tags: bool) -> Any:
        return self.view.export(tags)

    def comments(self) -> list[tuple[int, int]]:
        return self.view.comments()

    def anchors(self) -> list[Anchor]:
        return self.view.anchors()

    # --- changing: splices worked out from the spans ----------------------------

    def parse(self, text: str) -> Value:
        from props_to_tree._formats.yaml import write  # a --get needs none

        return write.parse(self.text, text)

    def value(self, data: Any) -> Value:
        from props_to_tree._formats.yaml import write  # a --get needs none

        return write.value(self.text, data)

    def member(self, key: str, text: str) -> str:
        from props_to_tree._formats.yaml import write  # a --get needs none

        return write.member(key, text)

    def reach(self, path: Path) -> tuple[int, int | None]:
        from props_to_tree._formats.yaml import write  # a --get needs none

        return write.reach(self.text, self.spans, path)

    def replace(self, path: Path, value: Value) -> list[Splice]:
        from props_to_tree._formats.yaml import write  # a --get needs none

        return write.replace(self.text, self.spans, path, value)

    def append(
        self, path: Path, value: Value, before: int | None = None
    ) -> list[Splice]:
        from props_to_tree._formats.yaml import write  # a --get needs none

        return write.append(self.text, self.spans, path, value, before)

    def insert(self, path: Path, keys: list[str], value: Value) -> list[Splice]:
        from props_to_tree._formats.yaml import write  # a --get needs none

        return write.insert(self.text, self.spans, path, keys, value)

    def delete(self, path: Path) -> list[Splice]:
        from props_to_tree._formats.yaml import write  # a --get needs none

        return write.delete(self.text, self.spans, path, self._reread)

    def _reread(self, text: str) -> Spans:
        return self.reload(text).spans

    def reload(self, text: str) -> YamlDocument:
        new = load(self.format, text)
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
                    if is_merge(key) and not all(
                        isinstance(item, Mapping) for item in items
                    ):
                        bad += 1
                    todo.append(value)
            elif isinstance(node, Sequence):
                todo += node.value
        return bad
