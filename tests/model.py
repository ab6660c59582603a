"""The exact semantics of both functions, in plain Python: the reference that
differential tests and the fuzz target check the extension against."""

from typing import Any


def is_branch(value: object) -> bool:
    # The module's test reads the type's flags: isinstance() would also
    # consult an overridden __class__.
    return issubclass(type(value), dict)


def tree_to_props(tree: dict[Any, Any], /) -> dict[str, Any]:
    if not is_branch(tree):
        raise TypeError("argument must be a dict")
    props: dict[str, Any] = {}

    def walk(node: dict[Any, Any], path: list[Any]) -> None:
        # dict.items reads the storage, as the module does, bypassing any
        # iteration methods that a subclass overrides.
        for key, value in dict.items(node):
            path.append(key)
            if is_branch(value):
                walk(value, path)
            else:
                props[".".join(path)] = value
            path.pop()

    walk(tree, [])
    return props


def props_to_tree(props: dict[Any, Any], tree: Any, /) -> Any:
    if not is_branch(props):
        raise TypeError("argument must be a dict")
    for name, value in list(dict.items(props)):
        if not isinstance(name, str):
            raise TypeError("key must be a string")
        name.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError
        *branches, last = str(name).split(".")
        node = tree
        for component in branches:
            node = node[component]
        node[last] = value
    return tree


def copy_branches(tree: dict[Any, Any]) -> dict[Any, Any]:
    """A copy of every branch, of the same types, sharing the leaves.

    Differential runs each take their own copy of the tree and of the props:
    a branch that one run assigns from the props is changed by its later
    entries, and must not reach the other run changed.
    """
    copied = type(tree)()
    for key, value in dict.items(tree):
        branch = copy_branches(value) if is_branch(value) else value
        dict.__setitem__(copied, key, branch)
    return copied
