"""Node code that attacks a write-back from inside the call.

Each case pairs a hook, a place where the module's item lookup or assignment
(or the listing's call back) runs Python code, with a mutation that the hook
performs there.  A case runs
in a process of its own (tests/test_hostile.py) or, all together, under
valgrind (tests/valgrind_driver.py).
"""

import gc
import sys
import weakref
from typing import Any

from props_to_tree import _props_to_tree as ext

HOOKS = ("getitem", "setitem", "missing", "eq", "del")
MUTATIONS = (
    "clear_props",
    "delete_entry",
    "replace_entry",
    "grow_props",
    "clear_tree",
    "raise",
    "non_mapping",
)


class Leaf:
    pass


class Key(str):
    """A props key that can be watched with a weak reference."""


class Mapping(dict):  # type: ignore[type-arg]
    """A plain dict in behaviour that can be watched with a weak reference."""


class Attack:
    def __init__(self, mutation: str, props: dict[Any, Any], tree: dict[Any, Any]):
        self.mutation = mutation
        self.props = props
        self.tree = tree
        self.current: str = ""
        self.error = LookupError("raised by the node")
        self.armed = False

    def __call__(self) -> bool:
        """Mutates once; True where the hook should answer with a non-mapping."""
        if not self.armed:
            return False
        self.armed = False
        props, mutation = self.props, self.mutation
        if mutation == "clear_props":
            props.clear()
        elif mutation == "delete_entry":
            props.pop(self.current, None)
        elif mutation == "replace_entry":
            props[self.current] = Leaf()
        elif mutation == "grow_props":
            props.update((Key(f"n{i}"), Leaf()) for i in range(1000))
        elif mutation == "clear_tree":
            self.tree.clear()
        elif mutation == "raise":
            raise self.error
        gc.collect()
        return mutation == "non_mapping"


def build(hook: str, mutation: str) -> tuple[dict[Any, Any], dict[Any, Any], Attack]:
    props: dict[Any, Any] = Mapping()
    tree: dict[Any, Any] = Mapping()
    attack = Attack(mutation, props, tree)

    class Node(dict):  # type: ignore[type-arg]
        def __getitem__(self, key: str) -> Any:
            if hook == "getitem" and attack():
                return 42
            return super().__getitem__(key)

        def __setitem__(self, key: str, value: Any) -> None:
            attack() if hook == "setitem" else None
            super().__setitem__(key, value)

        def __missing__(self, key: str) -> Any:
            if hook == "missing" and attack():
                return 42
            return {}

    class Colliding:
        """Shares the hash of the component "b", so looking "b" up compares
        with it first and runs its __eq__."""

        def __hash__(self) -> int:
            return hash("b")

        def __eq__(self, other: object) -> bool:
            return bool(attack() and [42])

    class Temporary:
        """A node that only the module holds: released when it moves on."""

        def __setitem__(self, key: str, value: Any) -> None:
            sink[key] = value

        def __del__(self) -> None:
            attack()

    class Factory:
        def __getitem__(self, key: str) -> Any:
            return Temporary()

    sink: dict[str, Any] = {}
    if hook == "eq":
        middle: Any = {Colliding(): Leaf()}
        middle["b"] = Node()
    elif hook == "del":
        middle = Factory()
    elif hook == "missing":
        middle = Node()
    else:
        middle = Node(b=Node())
    tree["a"] = middle
    tree["sink"] = sink
    # Keys of three components built at runtime: the cutting is mid-key when
    # the node code runs, and nothing else holds the key's text alive.
    first = Key(".".join(["a", "b", "c"]))
    props[first] = Leaf()
    props[Key(".".join(["a", "b", "d"]))] = Leaf()
    props[Key("top")] = Leaf()
    attack.current = first
    attack.armed = True
    return props, tree, attack


def leaves(tree: Any) -> list[Any]:
    found, todo = [], [tree]
    while todo:
        node = todo.pop()
        for value in dict.values(node) if isinstance(node, dict) else ():
            (todo if isinstance(value, dict) else found).append(value)
    return found


def run_case(hook: str, mutation: str) -> None:
    unraisable: list[Any] = []
    sys.unraisablehook = unraisable.append
    props, tree, attack = build(hook, mutation)
    watched = [weakref.ref(o) for o in (*props, *props.values(), props, tree)]
    try:
        result = ext._props_to_tree(props, tree)
    except BaseException as exc:
        if mutation == "raise":
            assert exc is attack.error, exc
        else:
            assert isinstance(exc, KeyError | TypeError), exc
        del exc
    else:
        assert result is tree
        del result
        # An exception in __del__ cannot propagate; it must be the node's.
        assert all(u.exc_value is attack.error for u in unraisable)
    # Whatever was stored is whole: a freed object would show as another type.
    kinds = {type(leaf).__name__ for leaf in leaves(tree)}
    assert kinds <= {"Leaf", "Factory"}, kinds
    sys.unraisablehook = sys.__unraisablehook__
    del props, tree, attack, unraisable
    gc.collect()
    alive = [ref() for ref in watched if ref() is not None]
    assert not alive, f"still referenced: {alive!r}"


def run_all() -> None:
    for hook in HOOKS:
        for mutation in MUTATIONS:
            run_case(hook, mutation)


# --- The native listing ---------------------------------------------------------
#
# The listing calls back into Python for a value it does not show itself
# (show) and a key it does not write itself (key_text).  Each case arms the
# callback to change the tree under the walk, fail, or walk the listing it is
# called from; the walk must go on or fail cleanly, and let go of everything.

LISTING_HOOKS = ("show", "key_text")
LISTING_MUTATIONS = (
    "clear_dict",
    "grow_dict",
    "swap_key",
    "clear_list",
    "append_list",
    "drop_tree",
    "raise",
    "non_str",
    "next",
    "collect",
)
# Those that change the list the walk is in act at the second call back,
# made inside it; the others at the first, made in the dict "a".
IN_LIST = ("clear_list", "append_list")


class ListingAttack:
    """The callbacks of one case and the tree they attack: a tree that only
    the listing and this hold."""

    def __init__(self, hook: str, mutation: str) -> None:
        self.hook, self.mutation = hook, mutation
        self.leaves = [Leaf(), Leaf(), Leaf()]
        # Keys that are not ASCII and values that are not JSON's types are
        # the ones the walk calls back for.
        inner = {"ü" + "".join(["x"]): self.leaves[1]}
        self.branch = {"p": 1, "é" + "".join(["x"]): self.leaves[0], "q": [3, inner]}
        self.branch["r"] = 2
        self.holder = [{"a": self.branch, "z": self.leaves[2]}]
        self.error = LookupError("raised by the callback")
        self.calls = 0
        self.refused: list[BaseException] = []
        self.chunks: Any = None

    def attack(self) -> Any:
        """Mutates once; what the callback returns instead, if anything."""
        self.calls += 1
        if self.calls != (2 if self.mutation in IN_LIST else 1):
            return None
        mutation, branch = self.mutation, self.branch
        if mutation == "clear_dict":
            branch.clear()
        elif mutation == "grow_dict":
            branch.update((f"n{i}", i) for i in range(1000))
        elif mutation == "swap_key":
            del branch["p"]
            branch["new"] = Leaf()
        elif mutation == "clear_list":
            branch["q"].clear()
        elif mutation == "append_list":
            branch["q"].extend([5, 6])
        elif mutation == "drop_tree":
            self.holder.pop().clear()
            branch.clear()
        elif mutation == "raise":
            raise self.error
        elif mutation == "non_str":
            return 42
        elif mutation == "next":
            try:
                next(self.chunks)
            except ValueError as exc:
                self.refused.append(exc)
        gc.collect()
        return None

    def show(self, value: Any) -> Any:
        # A value freed under the walk would be of no type of these.
        assert type(value) is Leaf, type(value)
        instead = self.attack() if self.hook == "show" else None
        return "leaf" if instead is None else instead

    def key_text(self, key: str) -> Any:
        from props_to_tree._engine import paths

        assert type(key) is str, type(key)
        instead = self.attack() if self.hook == "key_text" else None
        return paths.key_text(key) if instead is None else instead


def run_listing_case(hook: str, mutation: str) -> None:
    from props_to_tree import _listing

    unraisable: list[Any] = []
    sys.unraisablehook = unraisable.append
    case = ListingAttack(hook, mutation)
    watched = [weakref.ref(leaf) for leaf in case.leaves]
    case.leaves = []
    chunks = _listing.Chunks(
        case.holder[0], case.show, case.key_text, {}, _listing.JSON, 1
    )
    case.chunks = chunks
    listed: list[str] = []
    try:
        listed.extend(chunks)
    except AssertionError:
        raise
    except BaseException as exc:
        if mutation == "raise":
            assert exc is case.error, exc
        elif mutation == "non_str":
            assert isinstance(exc, TypeError), exc
        else:
            assert isinstance(exc, RuntimeError), exc
            assert mutation in ("clear_dict", "grow_dict", "drop_tree"), exc
        del exc
    else:
        assert mutation not in ("raise", "non_str", "clear_dict", "grow_dict")
        # Every line whole: a freed value would show as garbage or crash.
        for line in "".join(listed).splitlines():
            assert " = " in line, line
        assert len(case.refused) == (mutation == "next")
        if mutation == "append_list":
            assert "a.q[3] = 6\n" in listed, listed
    assert list(chunks) == []  # over, whatever ended it
    assert case.calls >= (2 if mutation in IN_LIST else 1)
    sys.unraisablehook = sys.__unraisablehook__
    assert not unraisable, unraisable
    del chunks, case, listed
    gc.collect()
    alive = [ref() for ref in watched if ref() is not None]
    assert not alive, f"still referenced: {alive!r}"


def run_all_listing() -> None:
    for hook in LISTING_HOOKS:
        for mutation in LISTING_MUTATIONS:
            run_listing_case(hook, mutation)


if __name__ == "__main__":
    run_all()
    run_all_listing()
