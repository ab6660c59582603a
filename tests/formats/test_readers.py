"""Every edit of random documents, in each layout of each format, against what
the format's own reader makes of the result; and a diff of it applied."""

import json
import tomllib
import warnings
from unittest import mock

import pytest
import tomli_w
import yaml
from hypothesis import given
from hypothesis import strategies as st

import props_to_tree
from props_to_tree import Document
from props_to_tree import _formats as formats
from props_to_tree._command import diff
from props_to_tree._engine import batch, paths
from props_to_tree._engine.listing import leaves, render

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
        listed = formats.load(fmt, text, written=True)  # as the command lists
        listing = "".join(render(*leaves(listed.tree), listed.show_all))
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
    assert _patched(text, diff.unified(text, new, document._editor.changed, "f")) == new


@pytest.mark.parametrize("layout", WRITERS)
@given(tree=documents, kept=st.integers(0, 3))
def test_a_listing_applied_with_create_makes_its_tree(layout, tree, kept):
    """The listing of a tree applied with --create to a document that holds
    its first `kept` keys (none: an empty file) reads back as the tree,
    whether the tables and lists it makes are written whole or a line at a
    time."""
    fmt = layout.split(",")[0]
    held = dict(list(tree.items())[:kept])
    text = WRITERS[layout](held) if held else ""
    listed = formats.load(fmt, WRITERS[layout](tree), written=True)
    listing = "".join(render(*leaves(listed.tree), listed.show_all))

    def made():
        document = Document(text, fmt, create=True)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", props_to_tree.EditWarning)
            document.apply(listing)
        return READERS[fmt](document.text)

    if fmt == "toml" and _tables_among_others(tree):
        return  # an array of tables, made by its first item, takes no other
    assert made() == tree
    with mock.patch.object(batch, "candidate", return_value=False):
        assert made() == tree


def _tables_among_others(tree):
    if isinstance(tree, dict):
        return any(map(_tables_among_others, tree.values()))
    if isinstance(tree, list):
        tables = {isinstance(item, dict) for item in tree}
        return len(tables) > 1 or any(map(_tables_among_others, tree))
    return False


# --- the native listing's failure paths ------------------------------------


@given(
    st.one_of(
        trees,
        st.just({}),
        st.just([]),
        st.lists(st.floats(allow_nan=False, allow_infinity=False)),
    )
)
def test_json_writes_a_whole_value_as_json_stringify_lays_it_out(tree):
    # JSON.stringify(value, null, 2) and json.dumps(value, indent=2) agree.
    written = formats.reader("json").emit(tree)
    assert written == json.dumps(tree, indent=2, ensure_ascii=False)


@given(st.one_of(trees, st.just({}), st.just([]), documents))
def test_each_format_writes_a_whole_value_that_reads_back(tree):
    written = formats.reader("yaml").emit(tree)
    assert yaml.safe_load(written) == tree  # as YAML 1.1 reads it too
    assert written.endswith("\n")
    if isinstance(tree, dict):
        assert tomllib.loads(formats.reader("toml").emit(tree)) == tree
    else:
        with pytest.raises(ValueError, match="the top of a TOML document"):
            formats.reader("toml").emit(tree)
