"""YAML, read through libyaml (PyYAML's C parser).

The parser gives every node with its place in the text; aliases share their
anchor's node and are never copied.  Plain scalars are read by YAML 1.2's
rules (``on``, ``yes`` and ``no`` are strings), tags are shown as written and
never construct anything.  An edit is a splice of the text, so folded
scalars, flow collections, quoting and comments elsewhere stay as they were.
"""

from __future__ import annotations

from props_to_tree._engine.document import Format

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.convert import Exported
    from props_to_tree._formats.yaml.document import YamlDocument


def _load(text: str, written: bool = False) -> YamlDocument:
    from props_to_tree._formats.yaml import document  # and with it PyYAML

    return document.load(FORMAT, text, written)


def _emit(data: Any) -> str:
    from props_to_tree._formats.yaml import write

    return write.emit(data)


def _write(made: Exported) -> str:
    from props_to_tree._formats.yaml import convert

    return convert.write(made)


FORMAT = Format(
    "yaml",
    "YAML",
    load=_load,
    suffixes=(".yaml", ".yml"),
    names=(".clang-format", ".clang-tidy", ".yamllint"),
    comment=("#",),
    emit=_emit,
    write=_write,
    carries=True,
)
