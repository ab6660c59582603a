"""Paths: the syntax, read back as the segments it was written from, and what
a bad one says."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import props_to_tree
from props_to_tree._engine import paths

keys = st.text(min_size=0, max_size=8)
plain = st.lists(st.one_of(keys, st.integers(-3, 30)), max_size=3)
conditions = st.one_of(
    st.builds(
        paths.Condition, plain, st.sampled_from(["=", "^="]), keys, st.just(True)
    ),
    st.builds(  # bare text: any but "]" and "&", and no quote first
        paths.Condition,
        plain,
        st.sampled_from(["=", "^="]),
        keys.filter(lambda t: not {"]", "&"} & set(t) and not t.startswith('"')),
    ),
)
selectors = st.one_of(
    st.sampled_from(
        [paths.Selector("keys"), paths.Selector("items"), paths.Selector("append")]
    ),
    st.builds(
        lambda found: paths.Selector("where", conditions=found),
        st.lists(conditions, min_size=1, max_size=3),
    ),
)
segments = st.lists(
    st.one_of(keys, st.integers(-3, 30), selectors), min_size=1, max_size=6
)


@given(st.one_of(segments, st.just([])))
def test_every_path_reads_back_as_its_segments(path):
    shown = paths.show(path)  # "." for the top
    assert paths.parse(shown) == path
    assert paths.split_assignment(f"{shown} = v") == (path, "v")
    assert paths.split_assignment(f"{shown}=v") == (path, "v")

    # What a selector compares is kept as written.
    def compared(path):
        return [
            (c.sub, c.op, c.value)
            for s in path
            if isinstance(s, paths.Selector) and s.kind == "where"
            for c in s.conditions
        ]

    assert compared(paths.parse(shown)) == compared(path)


@pytest.mark.parametrize(
    ("text", "problem"),
    [
        ("a[x]", "an item is [N]"),
        ("a..b", "a key is empty"),
        ("a.", "a key is empty"),
        (".a", "a key is empty"),
        ("a.=", "a key is empty"),
        ("a[0]b", "unexpected 'b'"),
        ('a["b]', "an item is [N]"),
        ("", "it is empty (the top is '.')"),
        ("a=b", "a key with '=' is written"),
    ],
)
def test_bad_paths_say_what_is_wrong(text, problem):
    with pytest.raises(props_to_tree.PathError) as raised:
        paths.parse(text)
    assert str(raised.value).startswith(f"bad path {text!r}: ")
    assert problem in str(raised.value)


@given(
    st.text(alphabet='ab1_-. =[]*é"', max_size=12),
    st.integers(0, 3),
)
def test_plain_paths_read_as_the_full_syntax_reads_them(text, at):
    # Keys of letters, digits, "_" and "-" are read without the regular
    # expressions: every text reads as the full reading reads it, or fails
    # alike.
    def outcome(read):
        try:
            return read(text, at)
        except paths.PathError as exc:
            return str(exc)

    fast = outcome(paths.read)
    saved = paths._plain
    paths._plain = lambda text, at: None
    try:
        assert fast == outcome(paths.read)
    finally:
        paths._plain = saved
