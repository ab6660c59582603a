"""Every allocation the module makes, failed one at a time."""

import pytest
from _support import run_python

pytest.importorskip("_testcapi")

SCRIPT = """
import sys, _testcapi
from props_to_tree import _props_to_tree as ext

def fresh(text):
    return "".join(list(text))  # a new string, with no cached UTF-8 yet

leaf = object()

def make_tree():
    # Deeper than the walk's inline stack, non-ASCII and long keys, and
    # enough leaves to grow the result and the key tables.
    tree = node = {fresh(f"k{i}"): leaf for i in range(20)}
    for depth in range(36):
        node[fresh("é")] = leaf
        node[fresh("ключ")] = node = {}
    node[fresh("x" * 2000 + "😀")] = leaf
    return tree

def skeleton(tree):
    return {k: skeleton(v) for k, v in tree.items() if isinstance(v, dict)}

def exhaust(run, check):
    # Fails the n-th allocation for n = 0, 1, ... until a long run of calls
    # meets no injected failure.
    failed = streak = n = 0
    while streak < 20:
        args = run.args()
        _testcapi.set_nomemory(n, n + 1)
        try:
            result = run(*args)
        except MemoryError:
            result = MemoryError
        finally:
            _testcapi.remove_mem_hooks()
        if result is MemoryError:
            failed += 1
            streak = 0
        else:
            check(result, *args)
            streak += 1
        n += 1
    assert failed > 20, failed
    return n

tree = make_tree()
expected = ext._tree_to_props(tree)
leaf_refs = sys.getrefcount(leaf)

def flatten(tree):
    return ext._tree_to_props(tree)
flatten.args = lambda: (tree,)
def flatten_ok(result, tree):
    assert result == expected
    assert list(result) == list(expected)

def write(props, target):
    return ext._props_to_tree(props, target)
write.args = lambda: ({fresh(k): v for k, v in expected.items()}, skeleton(tree))
def write_ok(result, props, target):
    assert result is target
    assert ext._tree_to_props(target) == expected

tree_refs = sys.getrefcount(tree)
print(exhaust(flatten, flatten_ok), exhaust(write, write_ok))
assert sys.getrefcount(tree) == tree_refs
assert sys.getrefcount(leaf) == leaf_refs
assert ext._tree_to_props(tree) == expected
print("ok")
"""


def test_allocation_failures_raise_memory_error_and_leak_nothing():
    result = run_python(SCRIPT, timeout=600)
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith("ok\n")
