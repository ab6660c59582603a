import collections
import types

import model
import pytest
from _support import (
    Str,
    assert_no_leaks,
    ext,
    run_isolated,
    skeleton,
    tree_strategy,
)
from hypothesis import given
from hypothesis import strategies as st

import props_to_tree

write_back = ext._props_to_tree
flatten = ext._tree_to_props


class Recorder:
    """A node that answers every lookup with itself and logs what it is asked."""

    def __init__(self):
        self.log = []

    def __getitem__(self, key):
        self.log.append(("get", type(key), key))
        return self

    def __setitem__(self, key, value):
        self.log.append(("set", type(key), key, value))


@pytest.mark.parametrize(
    ("key", "components"),
    [
        ("", [""]),
        ("a", ["a"]),
        ("a.b.c", ["a", "b", "c"]),
        ("a..b", ["a", "", "b"]),
        (".a", ["", "a"]),
        ("a.", ["a", ""]),
        (".", ["", ""]),
        ("...", ["", "", "", ""]),
        ("ключ.值.😀x", ["ключ", "值", "😀x"]),
        ("a\0b.c\0", ["a\0b", "c\0"]),
        ("\0", ["\0"]),
    ],
)
def test_key_is_cut_at_every_dot(impl, key, components):
    node = Recorder()
    value = object()
    assert impl.write_back({key: value}, node) is node
    *lookups, last = components
    assert node.log == [("get", str, c) for c in lookups] + [("set", str, last, value)]


def test_string_subclass_key_gives_plain_components(impl):
    node = Recorder()
    impl.write_back({Str("a.b"): 1}, node)
    assert [entry[1] for entry in node.log] == [str, str]


@pytest.mark.parametrize(
    ("props", "tree", "after"),
    [
        ({"a": 1}, {}, {"a": 1}),
        ({"a.b": 1}, {"a": {}}, {"a": {"b": 1}}),
        ({"a.b": 1, "a.c": 2}, {"a": {"b": 0}}, {"a": {"b": 1, "c": 2}}),
        ({"a": 1}, {"a": {"b": 2}}, {"a": 1}),
        ({".a": 1}, {"": {}}, {"": {"a": 1}}),
        ({"a\0b": 1}, {}, {"a\0b": 1}),
        # Entries apply in order, each walked from the root.
        ({"a.b": 1, "a": 2}, {"a": {}}, {"a": 2}),
        ({"a": {"x": 0}, "a.b": 1}, {"a": 9}, {"a": {"x": 0, "b": 1}}),
    ],
)
def test_write_back(impl, props, tree, after):
    tree = model.copy_branches(tree)  # each implementation writes its own
    assert impl.write_back(props, tree) is tree
    assert tree == after


def test_values_are_assigned_not_copied(impl):
    value = [1, 2]
    tree = {"a": {"b": None}}
    impl.write_back({"a.b": value}, tree)
    assert tree["a"]["b"] is value


@pytest.mark.parametrize("tree", [{}, object(), None, 5, [1]])
def test_empty_props_returns_tree_untouched(impl, tree):
    assert impl.write_back({}, tree) is tree


class ReadOnly(dict):
    def __setitem__(self, key, value):
        raise PermissionError("read-only")


TOP = "at the top level"


@pytest.mark.parametrize(
    ("props", "tree", "error", "after", "note"),
    [
        ({"a.b": 1}, {}, KeyError, {}, f"'a.b': no 'a' {TOP}"),
        ({"x": 1, "a.b": 2}, {}, KeyError, {"x": 1}, f"'a.b': no 'a' {TOP}"),
        ({"d.p.n": 1}, {"d": {}}, KeyError, None, "'d.p.n': no 'p' under 'd'"),
        ({"a.b": 5}, {"a": [0]}, TypeError, {"a": [0]}, "'a' holds a value (list)"),
        ({"a.b": 5}, {"a": None}, TypeError, None, "'a' holds a value (NoneType)"),
        ({"a.b.c": 5}, {"a": {"b": 3}}, TypeError, None, "'a.b' holds a value (int)"),
        ({"a": 1}, None, TypeError, None, "'a': the tree holds a value (NoneType)"),
        ({"x": 1, 7: 2}, {}, TypeError, {"x": 1}, "7: path keys must be strings"),
        ({"x": 1, "\udc80": 2}, {}, UnicodeEncodeError, {"x": 1}, "not encodable"),
        ({"a.b": 1}, {"a": types.MappingProxyType({})}, TypeError, None, "proxy)"),
        ({"a.b": 1}, {"a": ReadOnly()}, PermissionError, None, "refused 'b': read-o"),
        ({"a.b": 1}, {"a.b": 1}, KeyError, {"a.b": 1}, f"'a.b': no 'a' {TOP}"),
        # Applied entries that later ones broke are not the failing one.
        ({"a.b": 1, "a": 2, "z.q": 3}, {"a": {}}, KeyError, {"a": 2}, "'z.q': no"),
    ],
)
def test_failure_leaves_earlier_entries_applied(props, tree, error, after, note):
    copied = model.copy_branches(tree) if isinstance(tree, dict) else tree
    with pytest.raises(error) as raw:
        write_back(props, copied)
    assert not hasattr(raw.value, "__notes__")

    # The package's write_back: the same exception, with a note that names
    # the failing entry.
    with pytest.raises(error) as explained:
        props_to_tree.write_back(props, tree)
    assert explained.value.args == raw.value.args
    (said,) = explained.value.__notes__
    assert said.startswith("cannot write ")
    assert note in said
    if after is not None:
        assert tree == copied == after


def test_package_functions_are_the_extensions():
    tree = {"a": {"b": [1]}, "c": 2}
    props = props_to_tree.flatten(tree)
    assert props == ext._tree_to_props(tree)
    props["c"] = 3
    assert props_to_tree.write_back(props, tree) is tree
    assert tree == {"a": {"b": [1]}, "c": 3}


def test_missing_branch_names_the_component(impl):
    with pytest.raises(KeyError) as info:
        impl.write_back({"db.port": 1}, {"web": {}})
    assert info.value.args == ("db",)


def test_node_exception_passes_through_unchanged(impl):
    error = LookupError("from the node")

    class Raising:
        def __getitem__(self, key):
            raise error

    with pytest.raises(LookupError) as info:
        impl.write_back({"a.b.c": 1}, {"a": Raising()})
    assert info.value is error


def test_lookup_answers_are_used_as_given(impl):
    tree = collections.defaultdict(dict)
    impl.write_back({"a.b": 1, "a.c": 2}, tree)
    assert tree == {"a": {"b": 1, "c": 2}}

    shared = {}

    class Fallback(dict):
        def __missing__(self, key):
            return shared

    impl.write_back({"x.y": 3}, Fallback())
    assert shared == {"y": 3}


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((), {}), (({},), {}), (({}, {}, {}), {}), (([], {}), {}), (({}, {}), {"x": 1})],
)
def test_argument_errors(impl, args, kwargs):
    with pytest.raises(TypeError):
        impl.write_back(*args, **kwargs)


def test_no_reference_leaks():
    def key(*parts):
        return ".".join(parts)  # mortal, and not cached by the iterator

    class Raising:
        def __getitem__(self, key):
            raise LookupError(key)

    leaf = object()
    tree = {"alpha": {"beta": {"gamma": None}}, "x": None, "r": Raising()}
    props = {key("alpha", "beta", "gamma"): leaf, key("x"): leaf}
    assert_no_leaks(lambda: write_back(props, tree), tree, props, leaf, *props)

    cases = [
        ({key("alpha", "missing", "z"): leaf}, KeyError),
        ({key("x", "y"): leaf}, TypeError),  # None is not subscriptable
        ({key("x"): leaf, 12345678901: leaf}, TypeError),
        ({key("x"): leaf, "\udc80" + key("y"): leaf}, UnicodeEncodeError),
        ({key("alpha", "beta", "gamma", "delta"): leaf}, TypeError),
        ({key("r", "y", "z"): leaf}, LookupError),
    ]
    for bad, error in cases:
        assert_no_leaks(
            lambda bad=bad: write_back(bad, tree), tree, bad, leaf, *bad, raises=error
        )


# Keys without dots, and leaves that are never dicts, so that every path of the
# flattened tree leads back to its own leaf.
keys = st.text(st.characters(blacklist_characters=".", codec="utf-8"), max_size=4)
leaves = st.one_of(st.none(), st.integers(), st.text(), st.lists(st.integers()))
trees = tree_strategy(keys, leaves)


def leaf_items(tree, path=()):
    for key, value in tree.items():
        if isinstance(value, dict):
            yield from leaf_items(value, (*path, key))
        else:
            yield (*path, key), value


def assert_same_leaves(tree, leaves):
    found = list(leaf_items(tree))
    assert len(found) == len(leaves)
    assert all(value is leaves[path] for path, value in found)


@given(trees)
def test_round_trip(tree):
    leaves = dict(leaf_items(tree))
    props = flatten(tree)
    assert write_back(props, tree) is tree
    assert_same_leaves(tree, leaves)

    rebuilt = skeleton(tree)
    write_back(props, rebuilt)
    assert rebuilt == tree
    assert_same_leaves(rebuilt, leaves)


def test_node_code_that_clears_props_cannot_free_the_entry():
    run_isolated("isolated.node_code_clearing_props")


def test_key_of_many_components_into_a_deep_tree():
    run_isolated("isolated.key_of_many_components")
