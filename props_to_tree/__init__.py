"""Flatten a nested dict into dot-joined path keys, and write them back; and
read and change JSON, JSONC, TOML and YAML files by path, keeping every byte
that no change touches.

    >>> import props_to_tree
    >>> tree = {"db": {"host": "h", "port": 1}}
    >>> props = props_to_tree.flatten(tree)
    >>> props
    {'db.host': 'h', 'db.port': 1}
    >>> props["db.port"] = 2
    >>> props_to_tree.write_back(props, tree) is tree
    True
    >>> tree
    {'db': {'host': 'h', 'port': 2}}

Both are the extension module :mod:`props_to_tree._props_to_tree` under
readable names; a failed write-back also says, in a note, which entry failed
and what is missing there.

    >>> doc = props_to_tree.Document('a = 1  # one\\n', "toml")
    >>> doc["a"] = 2
    >>> doc.text
    'a = 2  # one\\n'

:func:`edit` changes a file in place, and :class:`Document` a text in memory.
"""

from __future__ import annotations

from props_to_tree import _props_to_tree as _ext

# Types only: importing typing would slow every start of the command.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._api import Array, Document, EditWarning, Table, edit, read
    from props_to_tree._engine.errors import (
        ChangeError,
        ConflictError,
        ConvertError,
        DocumentError,
        EditError,
        PathError,
    )

__version__ = "0.1.0"
__all__ = [
    "Array",
    "ChangeError",
    "ConflictError",
    "ConvertError",
    "Document",
    "DocumentError",
    "EditError",
    "EditWarning",
    "PathError",
    "Table",
    "edit",
    "flatten",
    "read",
    "write_back",
]

# The editing API is imported when first used: a caller of flatten alone,
# and the command's listing, import none of it.
_LAZY = {
    "Document": "props_to_tree._api",
    "EditWarning": "props_to_tree._api",
    "edit": "props_to_tree._api",
    "read": "props_to_tree._api",
    "Table": "props_to_tree._api",
    "Array": "props_to_tree._api",
    "ChangeError": "props_to_tree._engine.errors",
    "ConflictError": "props_to_tree._engine.errors",
    "ConvertError": "props_to_tree._engine.errors",
    "DocumentError": "props_to_tree._engine.errors",
    "EditError": "props_to_tree._engine.errors",
    "PathError": "props_to_tree._engine.errors",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'props_to_tree' has no attribute {name!r}")
    import importlib

    found = getattr(importlib.import_module(module), name)
    globals()[name] = found
    return found


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})


def flatten(tree: dict[Any, Any], /) -> dict[str, Any]:
    """Return a new dict with one entry per leaf of `tree`, in the order the
    leaves are met, keyed by the leaf's keys from the root joined with ".".

    A value is a branch when it is a dict (subclasses included, read from
    their storage); anything else is a leaf, shared with the result, never
    copied.  Empty branches vanish.  A key that holds "." reads as two levels.

    Raises TypeError when `tree` is not a dict or a key above a leaf is not a
    string, and RecursionError for a tree that contains itself or is nested
    deeper than the interpreter's recursion limit.
    """
    return _ext._tree_to_props(tree)


def write_back[Tree](props: dict[str, Any], tree: Tree, /) -> Tree:
    """Assign every entry of `props` into `tree`, in place, and return `tree`.

    Each key is cut at every "."; all but the last component are looked up
    with ``node[component]`` through branches that must already exist, and the
    value is assigned with ``node[last] = value``, so any objects with
    ``__getitem__`` and ``__setitem__`` (tomlkit and ruamel.yaml documents
    among them) can be written into.  Nothing is ever created but the last key.

    On failure the exception of the failing operation comes through unchanged
    (KeyError for a missing branch of a dict, TypeError for a value that is
    not a table), with a note naming the entry and what is missing there.
    Entries before it stay applied.
    """
    try:
        return _ext._props_to_tree(props, tree)
    except Exception as exc:
        # The success path stays one native call: only a failure pays for
        # finding out which entry failed, and for importing what does it.
        from props_to_tree._explain import explain_failure

        note = explain_failure(props, tree, exc)
        if note is not None:
            exc.add_note(note)
        raise
