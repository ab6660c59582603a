"""Flatten a nested dict into dot-joined path keys, and write them back.

The work is done by the extension module :mod:`props_to_tree._props_to_tree`::

    from props_to_tree import _props_to_tree

    props = _props_to_tree._tree_to_props(tree)
    props["db.port"] = 5433
    _props_to_tree._props_to_tree(props, tree)

The package deliberately binds nothing else: the extension module and its
write-back function share the name ``_props_to_tree``.
"""

__version__ = "0.1.0"
