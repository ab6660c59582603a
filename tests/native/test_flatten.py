import collections
import types

import pytest
from _support import Dict, Str, assert_no_leaks, ext, run_isolated

flatten = ext._tree_to_props


@pytest.mark.parametrize(
    ("tree", "props"),
    [
        ({}, {}),
        ({"a": {}}, {}),
        ({"a": {"b": {}, "c": {}}}, {}),
        ({"a": {"b": {"c": 1}}}, {"a.b.c": 1}),
        ({"a.b": 1}, {"a.b": 1}),
        ({"a": {"b": 1}}, {"a.b": 1}),
        ({"a": {"": 1}}, {"a.": 1}),
        ({"": 1}, {"": 1}),
        ({"": {"": {"": 1}}}, {"..": 1}),
        ({"ключ": {"😀": 1}}, {"ключ.😀": 1}),
        ({"a\0": {"\0b": 1}}, {"a\0.\0b": 1}),
        ({1: {}}, {}),
        ({1: {2: {}}, "a": 1}, {"a": 1}),
        ({"a": Dict(b=1, c=Dict(d=2))}, {"a.b": 1, "a.c.d": 2}),
        (Dict(x={"y": 3}), {"x.y": 3}),
    ],
)
def test_flatten(impl, tree, props):
    result = impl.flatten(tree)
    assert result == props
    assert list(result) == list(props)
    assert type(result) is dict


def test_leaves_are_shared_and_in_preorder(impl):
    leaves = [[1, 2], None, (3,), {1, 2}, "s", 4.5, object()]
    tree = {
        "a": leaves[0],
        "b": {"c": leaves[1], "d": {"e": leaves[2]}, "f": leaves[3]},
        "g": leaves[4],
        "h": {"i": {"j": leaves[5]}},
        "k": leaves[6],
    }
    result = impl.flatten(tree)
    assert list(result) == ["a", "b.c", "b.d.e", "b.f", "g", "h.i.j", "k"]
    assert all(got is want for got, want in zip(result.values(), leaves, strict=True))


def test_duplicate_path_key_keeps_first_position_and_last_value(impl):
    result = impl.flatten({"a.b": 1, "x": 0, "a": {"b": 2}})
    assert list(result.items()) == [("a.b", 2), ("x", 0)]


def test_string_subclass_keys_give_plain_string_paths(impl):
    result = impl.flatten({Str("a"): 1, Str("b"): {Str("c"): 2}})
    assert result == {"a": 1, "b.c": 2}
    assert all(type(key) is str for key in result)


@pytest.mark.parametrize(
    "mapping",
    [
        types.MappingProxyType({"x": 1}),
        collections.UserDict(x=1),
        collections.ChainMap({"x": 1}),
    ],
)
def test_mappings_that_are_not_dicts_are_leaves(impl, mapping):
    result = impl.flatten({"m": mapping})
    assert result == {"m": mapping}
    assert result["m"] is mapping


@pytest.mark.parametrize(
    "tree", [{1: 2}, {"a": {None: 1}}, {"a": {"b": 1, (1,): {"c": 2}}}]
)
def test_non_string_key_above_a_leaf_fails(impl, tree):
    with pytest.raises(TypeError, match="expected str instance"):
        impl.flatten(tree)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        (({}, {}), {}),
        (([],), {}),
        (((),), {}),
        ((None,), {}),
        ((types.MappingProxyType({}),), {}),
        ((), {"tree": {}}),
    ],
)
def test_argument_errors(impl, args, kwargs):
    with pytest.raises(TypeError):
        impl.flatten(*args, **kwargs)


def _runtime(text):
    # Built at runtime so that it is mortal and its reference count observable.
    return "".join(text)


def test_no_reference_leaks():
    leaf = object()
    keys = [_runtime(k) for k in ("alpha", "beta", "gamma", "delta")]
    tree = {keys[0]: {keys[1]: leaf, keys[2]: {keys[3]: [leaf]}}, keys[3]: {}}
    assert_no_leaks(lambda: flatten(tree), tree, leaf, *keys)

    bad = {keys[0]: {keys[1]: leaf, 12345678901: leaf}}
    assert_no_leaks(lambda: flatten(bad), bad, leaf, *keys, raises=TypeError)

    cyclic = {keys[0]: leaf}
    cyclic[keys[1]] = cyclic
    assert_no_leaks(
        lambda: flatten(cyclic), cyclic, leaf, *keys, raises=RecursionError, calls=50
    )


def test_deep_and_cyclic_trees_raise_recursion_error():
    run_isolated("isolated.deep_and_cyclic_trees")
