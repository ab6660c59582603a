"""The command's parts in process: paths, splices, and every edit checked
against what the format's own reader makes of the result."""

import gc
import json
import tomllib
import warnings
import weakref

import pytest
import tomli_w
import yaml
from _support import assert_no_leaks, native_listing, run_isolated
from hypothesis import given
from hypothesis import strategies as st

import props_to_tree
from props_to_tree import Document, _listing
from props_to_tree._command import diff
from props_to_tree._engine import paths
from props_to_tree._engine import text as texts
from props_to_tree._engine.listing import leaves, parse, render
from props_to_tree._formats import json as json_format

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
    st.sampled_from([paths.Selector("keys"), paths.Selector("items")]),
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


@pytest.mark.parametrize(
    ("listing", "changes"),
    [
        ("\ufeffa = 1\r\n  # note\n\t b = x \n", [(["a"], "1"), (["b"], "x")]),
        ('a = "x\u2028y"\nb = 2', [(["a"], '"x\u2028y"'), (["b"], "2")]),
        ("a = x\ry\n", [(["a"], "x\ry")]),
    ],
)
def test_a_listing_is_read_a_line_at_a_time(listing, changes):
    # Lines end at "\n" and "\r\n" alone; spaces around a line and a
    # byte-order mark are no part of it.
    assert [(p, v) for p, v, _ in parse(listing, "l")] == changes


GAP = texts.re.compile(r"(?P<gap>[ \t]+)#")


@pytest.mark.parametrize(
    ("line", "start", "end", "new", "after"),
    [
        ("a = 1    # c", 4, 5, "100", "a = 100  # c"),  # the comment keeps its column
        ("a = 1  # c", 4, 5, "10000", "a = 10000 # c"),  # one space at least
        ("a = 100  # c", 4, 7, "1", "a = 1    # c"),
        ("a = 1\t# c", 4, 5, "100", "a = 100\t# c"),  # tabs are left as they are
        ("a = 1    # c", 4, 5, "[\n1]", "a = [\n1]    # c"),
    ],
)
def test_a_splice_keeps_the_column_of_a_trailing_comment(line, start, end, new, after):
    gap = texts.comment_gap(line, end, GAP)
    assert texts.apply(line, [texts.Splice(start, end, new, gap)]) == after


def test_splices_that_meet_are_told_apart():
    first = [texts.Splice(2, 5, "x")]
    assert texts.overlap(first, [texts.Splice(4, 6, "y")])
    assert texts.overlap(first, [texts.Splice(0, 3, "")])
    assert not texts.overlap(first, [texts.Splice(5, 5, "z")])
    assert texts.overlap([texts.Splice(5, 5, "a")], [texts.Splice(5, 5, "b")])


# --- every edit against the format's own reader ----------------------------

scalars = st.one_of(
    st.integers(-(10**6), 10**6),
    st.booleans(),
    st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"]), max_size=6),
)
names = st.text("abcxyz_-. ", min_size=1, max_size=4)
trees = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, min_size=1, max_size=3),
        st.dictionaries(names, inner, min_size=1, max_size=3),
    ),
    max_leaves=12,
)
documents = st.dictionaries(names, trees, min_size=1, max_size=4)

# Each format in its layouts: several lines, one line, and mixed; and with
# Windows line breaks, which every line written must take.
WRITERS = {
    "json": lambda tree: json.dumps(tree, indent=2, ensure_ascii=False) + "\n",
    "json, one line": lambda tree: json.dumps(tree, ensure_ascii=False),
    "yaml": lambda tree: yaml.safe_dump(tree, sort_keys=False, allow_unicode=True),
    "yaml, flow": lambda tree: yaml.safe_dump(tree, default_flow_style=None, width=30),
    "toml": tomli_w.dumps,
}
WRITERS |= {
    f"{layout}, crlf": lambda tree, write=write: write(tree).replace("\n", "\r\n")
    for layout, write in list(WRITERS.items())
    if "one line" not in layout
}
# Text that is never one value: it ends in white space, and holds what a
# reader could take for syntax.
awkward = st.builds(
    "{}{} ".format,
    st.sampled_from(["", " ", "\t", "\n", "- ", "? ", "# "]),
    st.text(" #:,'\"[]{}|>&*!-\nab1", max_size=8),
)
READERS = {"json": json.loads, "yaml": yaml.safe_load, "toml": tomllib.loads}


def _edited(fmt, text, changes):
    """A document of `text` with each (path, value in the format's syntax,
    None to delete) made through the API."""
    document = Document(text, fmt)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", props_to_tree.EditWarning)
        for where, value in changes:
            if value is None:
                document.delete(paths.show(where))
            else:
                document.set_text(paths.show(where), value)
    return document


def _expect(tree, path, value):
    node = tree
    for segment in path[:-1]:
        node = node[segment]
    if value is None:
        del node[path[-1]]
    elif isinstance(node, list) and path[-1] == len(node):
        node.append(value)
    else:
        node[path[-1]] = value


@pytest.mark.parametrize("layout", WRITERS)
@given(data=st.data())
def test_an_edit_reads_back_as_the_tree_changed_so(layout, data):
    """Set, append, add a key or delete, anywhere in a random document."""
    fmt = layout.split(",")[0]
    tree = data.draw(documents)
    text = WRITERS[layout](tree)
    found, _ = leaves(tree)
    where = paths.parse(data.draw(st.sampled_from(found)))
    value = data.draw(st.one_of(st.integers(-99, 99), awkward))
    parent = tree
    for segment in where[:-1]:
        parent = parent[segment]
    delete = data.draw(st.booleans()) and len(parent) > 1
    if not delete and data.draw(st.booleans()):
        # One past the last item, or a key that is not there.
        where[-1] = len(parent) if isinstance(parent, list) else "new"
    changed = _edited(fmt, text, [(where, None if delete else str(value))]).text
    _expect(tree, where, None if delete else value)
    assert READERS[fmt](changed) == tree
    if "crlf" in layout:
        assert "\n" not in changed.replace("\r\n", "")


@given(documents)
def test_a_listing_applied_back_changes_nothing(tree):
    for layout, write in WRITERS.items():
        fmt = layout.split(",")[0]
        text = write(tree)
        document = Document(text, fmt)
        engine = document._engine
        listing = "".join(render(*leaves(engine.tree), engine.show_all))
        document.apply(listing)
        assert document.text == text


@given(st.dictionaries(st.sampled_from(["a", "b", "c.d", "e f"]), scalars, min_size=1))
def test_toml_keys_added_read_back(values):
    text = "[t]\nx = 1  # one\n\n# about u\n[u]\n"
    document = Document(text, "toml")
    for key, value in values.items():
        document[paths.show(["t", key])] = value
    result = tomllib.loads(document.text)
    assert result == {"t": {"x": 1, **values}, "u": {}}


def _patched(old, patch):
    """`old` with a unified diff applied, its context and removed lines
    checked against `old`."""
    lines = old.split("\n")
    before = [line + "\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])
    out, at = [], 0
    body = patch.split("\n")[2:-1]
    for number, line in enumerate(body):
        if line.startswith("@@"):
            start, _, count = line.split()[1].lstrip("-").partition(",")
            start, count = int(start), int(count or 1)
            first = start - 1 if count else start
            out += before[at:first]
            at = first
            continue
        if line.startswith("\\"):
            continue
        text = line[1:] + (
            ""
            if body[number + 1 : number + 2] == ["\\ No newline at end of file"]
            else "\n"
        )
        if line[0] in " -":
            assert before[at] == text, (at, before[at], text)
            at += 1
        if line[0] in " +":
            out.append(text)
    return "".join(out + before[at:])


@pytest.mark.parametrize("layout", WRITERS)
@given(data=st.data())
def test_a_diff_applied_gives_the_changed_text(layout, data):
    """Several changes anywhere in a random document: the diff made of the
    stretches they changed, applied to the text, gives the text they made."""
    fmt = layout.split(",")[0]
    tree = data.draw(documents)
    text = WRITERS[layout](tree)
    found, _ = leaves(tree)
    changes = []
    for where in data.draw(st.lists(st.sampled_from(found), min_size=1, max_size=4)):
        value = data.draw(st.one_of(st.integers(-99, 99), awkward, st.none()))
        if value is None and where.endswith("]"):
            continue  # an index moves as items go: a set, not a delete
        changes.append((paths.parse(where), None if value is None else str(value)))
    try:
        document = _edited(fmt, text, changes)
    except props_to_tree.PathError:
        return  # a deleted key set again below it
    new = document.text
    assert _patched(text, diff.unified(text, new, document._changed, "f")) == new


# --- the native listing's failure paths ------------------------------------


class Shown:
    """A value only the format's show() writes."""


def _fails(error):
    def show(value):
        raise error

    return show


def _chunks(tree, show=json_format.show, key_text=paths.key_text, size=1 << 16):
    return _listing.Chunks(tree, show, key_text, {}, False, size)


@pytest.mark.parametrize(
    ("args", "kwargs", "error"),
    [
        ((), {}, TypeError),
        (({}, str, str, {}, False), {}, TypeError),
        (({}, str, str, {}, False, 10, 1), {}, TypeError),
        (({}, None, str, {}, False, 10), {}, TypeError),
        (({}, str, 1, {}, False, 10), {}, TypeError),
        (({}, str, str, [], False, 10), {}, TypeError),
        (({}, str, str, {}, False, "10"), {}, TypeError),
        (({}, str, str, {}, False, 0), {}, ValueError),
        (({}, str, str, {}, False, 10), {"size": 10}, TypeError),
    ],
)
def test_chunks_argument_errors(args, kwargs, error):
    with pytest.raises(error):
        _listing.Chunks(*args, **kwargs)


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((), TypeError),
        (("[]", str, {}, 10), TypeError),  # bytes, not text
        ((bytearray(b"[]"), str, {}, 10), TypeError),
        ((b"[]", None, {}, 10), TypeError),
        ((b"[]", str, [], 10), TypeError),
        ((b"[]", str, {}, 0), ValueError),
        ((b"[]", str, {}, 10, 1), TypeError),
    ],
)
def test_json_chunks_argument_errors(args, error):
    with pytest.raises(error):
        _listing.json_chunks(*args)


@pytest.mark.parametrize(
    ("key_text", "error"),
    [
        (_fails(LookupError("key")), LookupError),
        (lambda key: b".x", TypeError),
        (lambda key: ".\udc80", UnicodeEncodeError),
    ],
)
def test_a_failed_key_ends_the_listing_from_the_bytes(key_text, error):
    chunks = _listing.json_chunks(b'{"a": [1], "\xc3\xa9": 2}', key_text, {}, 1)
    assert next(chunks) == b"a[0] = 1\n"
    with pytest.raises(error):
        next(chunks)
    assert list(chunks) == []


def test_a_key_callback_cannot_walk_the_listing_from_the_bytes():
    raised = []

    def key_text(key):
        with pytest.raises(ValueError, match="being made") as caught:
            next(chunks)
        raised.append(caught.value)
        return "." + key

    chunks = _listing.json_chunks('{"é": 1, "b": 2}'.encode(), key_text, {}, 1)
    assert b"".join(chunks) == "é = 1\nb = 2\n".encode()
    assert len(raised) == 1


@pytest.mark.parametrize(
    ("tree", "show", "key_text", "error"),
    [
        ({"a": [1, Shown()]}, _fails(LookupError("show")), paths.key_text, LookupError),
        ({"a": {"b": Shown()}}, lambda value: 42, paths.key_text, TypeError),
        ({"a": {"é": 1}}, str, _fails(LookupError("key")), LookupError),
        ({"a": {"é": 1}}, str, lambda key: b".x", TypeError),
        ({"a": {1: 2}}, str, paths.key_text, AttributeError),
        ({"a": [{}, Shown()]}, json_format.show, paths.key_text, TypeError),
    ],
)
def test_a_failed_value_or_key_ends_the_listing(tree, show, key_text, error):
    chunks = _chunks(tree, show, key_text, size=1)
    with pytest.raises(error):
        list(chunks)
    assert list(chunks) == []


def test_a_dict_that_changes_size_while_listed_raises_runtime_error():
    tree = {"a": {"x": Shown(), "y": 1}, "b": 2}
    chunks = _chunks(tree, lambda v: str(tree["a"].pop("y")), size=1)
    with pytest.raises(RuntimeError, match="changed size"):
        list(chunks)

    # A list is read by index, as its own iterator reads it.
    items = [Shown(), 1, 2]
    listed = list(_chunks({"l": items}, lambda v: str(items.pop()), size=1))
    assert listed == ["l[0] = 2\n", "l[1] = 1\n"]


def test_a_callback_cannot_walk_the_listing_it_is_called_from():
    raised = []

    def show(value):
        with pytest.raises(ValueError, match="being made") as caught:
            next(chunks)
        raised.append(caught.value)
        return "shown"

    chunks = _chunks({"a": Shown(), "b": 1}, show, size=1)
    assert list(chunks) == ["a = shown\n", "b = 1\n"]
    assert len(raised) == 1


def _runtime(text):
    return "".join(text)  # mortal, its reference count observable


def test_native_listing_leaks_no_references():
    leaf, key, value = Shown(), _runtime("ключ"), _runtime("a value" * 3)
    cache = {}
    tree = {
        "a": [leaf, value, {key: [[], {}]}],
        key: {"x": 10**30, "y": 1.5, "z": leaf},
    }

    def show(v):
        return _runtime("shown")  # a new one each time: one kept would add up

    def listed():
        return "".join(_listing.Chunks(tree, show, paths.key_text, cache, False, 8))

    assert_no_leaks(listed, tree, leaf, key, value, show, cache)

    def fails(v):
        raise LookupError

    assert_no_leaks(
        lambda: list(_listing.Chunks(tree, fails, paths.key_text, cache, False, 8)),
        tree,
        leaf,
        key,
        value,
        fails,
        raises=LookupError,
    )

    def stop_early():  # a reader that stops reading: `| head`
        chunks = _listing.Chunks(tree, show, paths.key_text, cache, False, 1)
        next(chunks)

    assert_no_leaks(stop_early, tree, leaf, key, value, show)

    data = '{"ключ": [1, "x"], "a": {"é": [], "b\\u00e9": "\\ud800"}}'.encode()

    def from_bytes():
        chunks = _listing.json_chunks(data, paths.key_text, cache, 8)
        return b"".join(chunks)

    assert_no_leaks(from_bytes, data, cache)

    def stop_early_from_bytes():
        next(_listing.json_chunks(data, paths.key_text, cache, 1))

    assert_no_leaks(stop_early_from_bytes, data, cache)
    assert_no_leaks(
        lambda: list(_listing.json_chunks(data, fails, {}, 8)),
        data,
        fails,
        raises=LookupError,
    )
    refused = b'{"a": 1, "a": 2}'
    assert_no_leaks(lambda: _listing.json_chunks(refused, str, cache, 8), refused)

    cyclic = {"a": [value]}
    cyclic["a"].append(cyclic)
    assert_no_leaks(
        lambda: native_listing(cyclic, "json"),
        cyclic,
        value,
        raises=RecursionError,
        calls=50,
    )


def test_a_listing_in_a_cycle_with_its_tree_is_collected():
    leaf = Shown()
    watched = weakref.ref(leaf)
    tree = {"a": [leaf, 1], "b": 2}
    chunks = _chunks(tree, lambda value: "shown", size=1)
    tree["chunks"] = chunks  # the tree holds the walk that holds the tree
    tree["a"].append(chunks)
    next(chunks)
    del tree, chunks, leaf
    gc.collect()
    assert watched() is None


def test_a_listing_older_than_the_cycle_it_closes_is_cleared():
    # The collector clears the oldest object of a cycle first: here the
    # listing, which a dict it holds, tracked only once it holds a list,
    # closes a cycle with.
    leaf, keys = Shown(), {}
    watched = weakref.ref(leaf)
    chunks = _listing.Chunks([leaf], lambda value: "shown", str, keys, False, 1)
    gc.collect()
    keys["cycle"] = [chunks]
    del chunks, keys, leaf
    gc.collect()
    assert watched() is None


def test_deep_and_cyclic_trees_are_refused_by_the_native_listing():
    run_isolated("isolated.listing_deep_and_cyclic_trees")
