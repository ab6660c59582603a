"""A YAML document over its text: libyaml's nodes, where each is written,
the view a listing walks, and the changes."""

from __future__ import annotations

import yaml as pyyaml

from props_to_tree._engine.errors import ChangeError, DocumentError
from props_to_tree._formats.yaml.spans import _Slot
from props_to_tree._formats.yaml.values import (
    Mapping,
    Sequence,
    _empty,
    _is_merge,
    _Loader,
    _problem,
)
from props_to_tree._formats.yaml.write import Writer

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.document import Format


def load(format: Format, text: str, written: bool = False) -> YamlDocument:
    """The document in `text`; its numbers always show as written."""
    try:
        documents = list(pyyaml.compose_all(text, Loader=_Loader))
    except pyyaml.YAMLError as exc:
        mark = getattr(exc, "problem_mark", None)
        line, column = (mark.line + 1, mark.column + 1) if mark else (None, None)
        problem = _problem(exc, text)
        raise DocumentError(
            f"not valid {format.title}: {problem}",
            line,
            column,
            problem.rpartition(" (line ")[0] if mark else problem,
        ) from None
    # Nothing, or comments alone, between two "---" is no document.
    documents = [d for d in documents if not _empty(d)]
    root = documents[0] if len(documents) == 1 else documents or None
    return YamlDocument(format, text, root)


class YamlDocument(Writer):
    """A YAML document over its text: its spans, its view, its changes."""

    def __init__(self, format: Format, text: str, root: Any) -> None:
        self.format = format
        self.text = text
        self.root = root  # a node, a list of documents' nodes, or None
        self._tree: Any = None
        # By id: the nodes live as long as this document.
        self._keys: dict[int, dict[str, int]] = {}
        self._slots: dict[int, list[_Slot]] = {}
        self._sizes: dict[int, int] = {}
        self._open: set[int] = set()

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
                    if _is_merge(key) and not all(
                        isinstance(item, Mapping) for item in items
                    ):
                        bad += 1
                    todo.append(value)
            elif isinstance(node, Sequence):
                todo += node.value
        return bad
