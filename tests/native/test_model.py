"""Both functions against the model, on random trees and props."""

import types

import model
from _support import (
    Dict,
    Str,
    ext,
    outcome,
    tree_strategy,
)
from hypothesis import event, given
from hypothesis import strategies as st

text_keys = st.one_of(
    st.text(st.characters(codec="utf-8"), max_size=6),
    st.text(st.sampled_from(".\0aé😀"), max_size=6),
    st.sampled_from(["", ".", "..", "a.b", "\0", "\udc80", "x\ud800y"]),
    st.builds(Str, st.text(st.sampled_from(".ab"), max_size=3)),
)
tree_keys = st.one_of(text_keys, st.integers(-3, 3), st.none(), st.tuples())
leaves = st.one_of(
    st.none(),
    st.integers(),
    st.text(max_size=3),
    st.lists(st.integers(), max_size=2),
    st.builds(types.MappingProxyType, st.dictionaries(st.text(max_size=2), st.none())),
)


trees = tree_strategy(tree_keys, leaves, (dict, Dict))


@given(trees)
def test_flatten_matches_model(tree):
    got, want = outcome(ext._tree_to_props, tree), outcome(model.tree_to_props, tree)
    assert got == want
    if got[0] == "ok":
        assert list(got[1]) == list(want[1])
        assert all(type(k) is str for k in got[1])
        assert all(
            a is b for a, b in zip(got[1].values(), want[1].values(), strict=True)
        )


def paths(tree, prefix=""):
    # Path keys into the tree's own branches, valid or not where keys are odd.
    for key, value in dict.items(tree):
        if isinstance(key, str):
            path = prefix + key
            yield path
            if isinstance(value, dict):
                yield from paths(value, path + ".")


@st.composite
def writes(draw):
    tree = draw(trees)
    known = sorted(set(paths(tree)))
    names = st.sampled_from(known) | text_keys if known else text_keys
    keys = st.one_of(names, st.integers(0, 2))
    props = draw(st.dictionaries(keys, leaves | trees, max_size=6))
    return props, tree


@given(writes())
def test_write_back_matches_model(case):
    props, tree = case
    mine, theirs = model.copy_branches(tree), model.copy_branches(tree)
    got = outcome(ext._props_to_tree, model.copy_branches(props), mine)
    event(got[0] if got[0] == "ok" else got[1].__name__)
    want = outcome(model.props_to_tree, model.copy_branches(props), theirs)
    assert got[0] == want[0]
    if got[0] == "ok":
        assert got[1] is mine
    else:
        assert got[1] is want[1]
    # The same partial state after a failure, the same whole one otherwise.
    assert mine == theirs


# --- The listing: the native walk against the Python one ------------------------
#
# One table of listings, run against both walks (as CPython's test_bisect runs
# its tables against the C module and the Python one), and random documents
# listed both ways.
