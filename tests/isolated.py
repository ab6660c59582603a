"""Cases that can crash the interpreter or need it fresh: each runs in a
process of its own, by name, through _support.run_isolated."""

import gc
import sys
from typing import Any

from _support import chain, in_small_stack_thread, skeleton

from props_to_tree import _props_to_tree as ext


def _refuse(tree: dict[str, Any]) -> None:
    try:
        ext._tree_to_props(tree)
    except RecursionError:
        return
    raise AssertionError("no RecursionError")


def deep_and_cyclic_trees() -> None:
    # A few hundred levels flatten.
    assert ext._tree_to_props(chain(300, "leaf")) == {"k." * 300 + "leaf": 1}
    cyclic: dict[str, Any] = {"a": 1}
    cyclic["self"] = cyclic
    nested: dict[str, Any] = {"x": {"y": {}}}
    nested["x"]["y"]["back"] = nested
    _refuse(cyclic)
    _refuse(nested)
    _refuse(chain(100_000, "leaf"))

    # A worker thread's small stack is no more at risk than the main one.
    deep = chain(100_000, "leaf")
    in_small_stack_thread(lambda: (_refuse(deep), _refuse(cyclic)))

    # The interpreter keeps working, recursion budget intact.
    assert ext._tree_to_props(chain(300, "leaf")) == {"k." * 300 + "leaf": 1}


def node_code_clearing_props() -> None:
    class Hostile(dict):  # type: ignore[type-arg]
        # Empties the props mapping in the middle of an entry, so that the
        # entry's key and value lose their only other reference.
        def __init__(self, props: dict[str, Any]) -> None:
            super().__init__()
            self.props = props

        def __getitem__(self, key: str) -> Any:
            self.props.clear()
            gc.collect()
            return self

        def __setitem__(self, key: str, value: Any) -> None:
            self.props.clear()
            gc.collect()
            super().__setitem__(key, value)

    for round in range(200):
        props: dict[str, Any] = {}
        node = Hostile(props)
        key = ".".join(["first", str(round), "third"])
        props[key] = ["payload", round]
        props["later." + str(round)] = object()
        assert ext._props_to_tree(props, node) is node
        # The first entry was applied; clearing props ended the walk.
        assert dict.__getitem__(node, "third") == ["payload", round]
        assert len(dict(node)) == 1
        assert not props

    refilled = {"k" + str(i): [i] for i in range(50)}

    class Refill(dict):  # type: ignore[type-arg]
        # Changes props behind a positional walk: entries may be skipped or
        # met twice, but each one stored is whole.
        def __setitem__(self, key: str, value: Any) -> None:
            refilled.pop(key, None)
            refilled[key + "x"] = [key]
            gc.collect()
            super().__setitem__(key, value)

    target = Refill()
    ext._props_to_tree(refilled, target)
    for key, value in dict(target).items():
        assert isinstance(value, list), (key, value)
        assert len(value) == 1, (key, value)


def key_of_many_components() -> None:
    depth = 100_000

    def check(root: dict[str, Any]) -> None:
        value = object()
        key = ".".join(["k"] * (depth - 1) + ["leaf"])
        assert ext._props_to_tree({key: value}, root) is root
        node = root
        for _ in range(depth - 1):
            node = node["k"]
        assert node == {"leaf": value}
        assert node["leaf"] is value

    check(chain(depth - 1))
    deep = chain(depth - 1)
    in_small_stack_thread(lambda: check(deep))


def allocation_failures() -> None:
    """Fails every allocation the module makes, one at a time."""
    import _testcapi  # type: ignore[import-not-found]

    def fresh(text: str) -> str:
        return "".join(list(text))  # a new string, with no cached UTF-8 yet

    leaf = object()
    # Deeper than the walk's inline stack, non-ASCII and long keys, and
    # enough leaves to grow the result and the key tables.
    tree: dict[str, Any] = {fresh(f"k{i}"): leaf for i in range(20)}
    node = tree
    for _ in range(36):
        node[fresh("é")] = leaf
        node[fresh("ключ")] = node = {}
    node[fresh("x" * 2000 + "😀")] = leaf
    expected = ext._tree_to_props(tree)
    tree_refs, leaf_refs = sys.getrefcount(tree), sys.getrefcount(leaf)

    def exhaust(make_args: Any, run: Any, check: Any) -> None:
        # Fails the n-th allocation for n = 0, 1, ... until a long run of
        # calls meets no injected failure.
        failed = streak = n = 0
        while streak < 20:
            args = make_args()
            # Take the interpreter's spare dicts and lists, so that even the
            # result and the path list are allocated, and can fail.
            spares = [{} for _ in range(100)], [[] for _ in range(100)]
            _testcapi.set_nomemory(n, n + 1)
            try:
                result = run(*args)
            except MemoryError:
                result = MemoryError
            finally:
                _testcapi.remove_mem_hooks()
                del spares
            if result is MemoryError:
                failed, streak = failed + 1, 0
            else:
                check(result, *args)
                streak += 1
            n += 1
        assert failed > 20, failed

    def flatten_ok(result: Any, tree: Any) -> None:
        assert result == expected
        assert list(result) == list(expected)

    def write_ok(result: Any, props: Any, target: Any) -> None:
        assert result is target
        assert ext._tree_to_props(target) == expected

    exhaust(lambda: (tree,), ext._tree_to_props, flatten_ok)
    exhaust(
        lambda: ({fresh(k): v for k, v in expected.items()}, skeleton(tree)),
        ext._props_to_tree,
        write_ok,
    )
    assert sys.getrefcount(tree) == tree_refs
    assert sys.getrefcount(leaf) == leaf_refs
    assert ext._tree_to_props(tree) == expected
