"""Conversion between the formats: comments carried to each of their
places, numbers and dates by the target's rules, what a target cannot hold
refused by its path, and random documents through every pair and back."""

import datetime
import json
import tomllib
import warnings
from pathlib import Path

import pytest
import yaml
from hypothesis import given
from hypothesis import strategies as st

from props_to_tree import ConvertError, Document, EditWarning
from props_to_tree import _formats as formats
from props_to_tree._engine.convert import Exported

FORMATS = ("json", "jsonc", "toml", "yaml")

YAML = """\
# head of the file

# above a
a: 1  # after a
b:  # after b's key
  # above c
  c: [1, 2]
  # end of b
list:
  - x  # after x
  # above y
  - y
"""
TOML = """\
# head

# above a
a = 1  # after a

# above t
[t]  # after t's header
k = "v"
# end of t

[[items]]
n = 1
"""
JSONC = """\
// head

{
  // above a
  "a": 1, // after a
  "b": { // after b
    "c": [1, 2] // after c
    // end of b
  },
  /* a block
     of two lines */
  "d": true
}
"""

# (format, text, target, what the target's text is)
CARRIED = [
    (
        "yaml",
        YAML,
        "toml",
        "# head of the file\n\n# above a\na = 1  # after a\nlist = [\n"
        '    "x",  # after x\n    # above y\n    "y",\n]\n\n'
        "[b]  # after b's key\n# above c\nc = [1, 2]\n# end of b\n",
    ),
    (
        "yaml",
        YAML,
        "jsonc",
        '// head of the file\n{\n  // above a\n  "a": 1, // after a\n'
        '  "b": { // after b\'s key\n    // above c\n    "c": [\n      1,\n'
        '      2\n    ]\n    // end of b\n  },\n  "list": [\n    "x", // after x\n'
        '    // above y\n    "y"\n  ]\n}\n',
    ),
    (
        "yaml",
        YAML,
        "yaml",
        "# head of the file\n\n# above a\na: 1  # after a\nb:  # after b's key\n"
        "  # above c\n  c:\n    - 1\n    - 2\n  # end of b\nlist:\n"
        '  - x  # after x\n  # above y\n  - "y"\n',
    ),
    (
        "toml",
        TOML,
        "yaml",
        "# head\n\n# above a\na: 1  # after a\n\n# above t\nt:  # after t's header\n"
        '  k: v\n  # end of t\nitems:\n  - "n": 1\n',
    ),
    (
        "toml",
        TOML,
        "jsonc",
        '// head\n{\n  // above a\n  "a": 1, // after a\n\n  // above t\n'
        '  "t": { // after t\'s header\n    "k": "v"\n    // end of t\n  },\n'
        '  "items": [\n    {\n      "n": 1\n    }\n  ]\n}\n',
    ),
    (
        "jsonc",
        JSONC,
        "yaml",
        "# head\n\n# above a\na: 1  # after a\nb:  # after b\n  c:  # after c\n"
        "    - 1\n    - 2\n  # end of b\n# a block\n# of two lines\nd: true\n",
    ),
    (
        "jsonc",
        JSONC,
        "toml",
        "# head\n\n# above a\na = 1  # after a\n# a block\n# of two lines\n"
        "d = true\n\n[b]  # after b\nc = [1, 2]  # after c\n# end of b\n",
    ),
    # An array with comments is an item a line; in an inline table, a
    # comment goes above its key.
    (
        "yaml",
        "deps:\n  x:\n    - 1  # one\n    # two next\n    - 2\n",
        "toml",
        "[deps]\nx = [\n    1,  # one\n    # two next\n    2,\n]\n",
    ),
    (
        "yaml",
        "a:\n  - 1\n  - k: v  # in a table\n    m: 2\n",
        "toml",
        'a = [\n    1,\n    # in a table\n    { k = "v", m = 2 },\n]\n',
    ),
    # Comments at two indentations are two blocks; a one-key table's line
    # comment is its member's; a comment on a document's marker heads it.
    (
        "yaml",
        "--- # the doc\nc: 0\na:\n  x: 1\n  # end of a\n# above b\nb: 2  # two\n",
        "yaml",
        "# the doc\n\nc: 0\na:\n  x: 1\n  # end of a\n# above b\nb: 2  # two\n",
    ),
    (
        "yaml",
        "steps:\n  - uses: x@abc  # v4\n  - run: |  # shell\n      make\n",
        "yaml",
        "steps:\n  - uses: x@abc  # v4\n  - run: |  # shell\n      make\n",
    ),
    (
        "yaml",
        "run: |  # shell\n  make\n",
        "toml",
        'run = """\nmake\n"""  # shell\n',
    ),
    (
        "yaml",
        "x: 1\na:\n  b: 1\n\n# footer\n",
        "toml",
        "x = 1\n\n[a]\nb = 1\n\n# footer\n",
    ),
    # A comment that ends a table's last line, and one after it that stands
    # apart from the next header, end the table.
    (
        "toml",
        "[a]\nx = 1  # x\n# end of a\n\n[b]\nk = 2\n",
        "yaml",
        "a:\n  x: 1  # x\n  # end of a\n\nb:\n  k: 2\n",
    ),
    # A list dashed at its key's column: a comment at that column ends the
    # table around it.
    (
        "yaml",
        "spec:\n  volumes:\n  - name: v\n  # the end of spec\nnext: 1\n",
        "yaml",
        "spec:\n  volumes:\n    - name: v\n  # the end of spec\nnext: 1\n",
    ),
    # A list of tables' own comments go above its first header; an empty
    # comment stays one.
    (
        "toml",
        "#\n# the items\nitems = [{n = 1}, {n = 2}]  # two\n",
        "toml",
        "#\n# the items\n# two\n[[items]]\nn = 1\n\n[[items]]\nn = 2\n",
    ),
    # A string's line comment after its closing quotes is its own; a comment
    # below a line's comment, at its column, goes on with it.
    (
        "toml",
        'a = """\nl1\nl2"""  # after\nenv = { A = 1 }\n',
        "yaml",
        "a: |-  # after\n  l1\n  l2\nenv:\n  A: 1\n",
    ),
    (
        "yaml",
        "env:\n  A: x  # a file,\n        # e.g. task.json\n  B: z\n",
        "toml",
        '[env]\nA = "x"  # a file,\n# e.g. task.json\nB = "z"\n',
    ),
    # An inline table's comment, once; an empty table's, above it; a file
    # of comments alone.
    (
        "toml",
        'x = [\n  # note\n  { a = 1 },\n  "b",\n]\n[d]\n# in d\n',
        "toml",
        'x = [\n    # note\n    { a = 1 },\n    "b",\n]\n# in d\nd = {}\n',
    ),
    ("yaml", "# only\n# comments\n", "yaml", "# only\n# comments\n"),
    # Into JSON, comments are dropped, silently.
    ("yaml", YAML, "json", '{\n  "a": 1,\n  "b": {\n    "c": [\n      1,\n'),
]


@pytest.mark.parametrize(("format", "text", "target", "expected"), CARRIED)
def test_comments_go_with_what_they_describe(format, text, target, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # none is dropped
        written = Document(text, format).convert(target)
    if target == "json":
        assert written.startswith(expected)
        assert "head" not in written
    else:
        assert written == expected
    assert Document(written, target).data == Document(text, format).data


def test_a_comment_with_no_place_is_counted_and_the_document_unchanged():
    doc = Document('{"a": /* one */ 1 /* two */}', "jsonc")
    with pytest.warns(EditWarning, match="^a comment had no place in YAML and was"):
        assert doc.convert("yaml") == "a: 1  # one\n"
    assert doc.text == '{"a": /* one */ 1 /* two */}'


# (format, text, target, what the target's text is)
VALUES = [
    # Numbers as written where the target reads them as the same number.
    ("yaml", "a: 0x1F\nb: 1.10\nc: 1e3\n", "toml", "a = 0x1F\nb = 1.10\nc = 1e3\n"),
    ("yaml", "a: 0x1F\nb: 1.10\n", "json", '{\n  "a": 31,\n  "b": 1.10\n}\n'),
    ("toml", "a = 1_000\nb = 0o755\n", "yaml", "a: 1000\nb: 493\n"),
    ("toml", "a = 1.5e3\nb = 1.5e+3\n", "yaml", "a: 1500.0\nb: 1.5e+3\n"),
    ("yaml", "a: .inf\nb: .nan\n", "toml", "a = inf\nb = nan\n"),
    # Dates as dates where the target has them, as ISO strings in JSON.
    (
        "toml",
        "d = 2024-01-02\nt = 07:30:00\n",
        "yaml",
        'd: 2024-01-02\nt: "07:30:00"\n',
    ),
    (
        "yaml",
        "d: 2024-01-02\nw: 2024-01-02 10:00:00Z\n",
        "json",
        '{\n  "d": "2024-01-02",\n  "w": "2024-01-02T10:00:00+00:00"\n}\n',
    ),
    ("yaml", "d: 2024-01-02\n", "toml", "d = 2024-01-02\n"),
    # Integer and boolean keys are their text; strings that read otherwise
    # in YAML are quoted there.
    ("yaml", "200: ok\ntrue: x\n", "json", '{\n  "200": "ok",\n  "true": "x"\n}\n'),
    ("json", '{"200": "on", "k": "1.5"}', "yaml", '"200": "on"\nk: "1.5"\n'),
    # A stream is a list of its documents; a list at the top is one document.
    (
        "yaml",
        "a: 1\n---\nb: 2\n",
        "json",
        '[\n  {\n    "a": 1\n  },\n  {\n    "b": 2\n  }\n]\n',
    ),
    ("json", '[{"a": 1}, 2]', "yaml", "- a: 1\n- 2\n"),
    # Aliases are written out in full; a merge's keys are the table's.
    (
        "yaml",
        "x: &a {k: 1}\ny: *a\nz:\n  <<: *a\n  m: 2\n",
        "toml",
        "[x]\nk = 1\n\n[y]\nk = 1\n\n[z]\nm = 2\nk = 1\n",
    ),
    # Several lines: a block scalar in YAML (quoted where it ends in blank
    # lines, which a blank line after it would join), a multi-line string
    # in TOML.
    ("json", '{"s": "a\\n\\n"}', "yaml", 's: "a\\n\\n"\n'),
    ("json", '{"s": "one\\ntwo\\n"}', "yaml", "s: |\n  one\n  two\n"),
    ("json", '{"s": "one\\ntwo"}', "toml", 's = """\none\ntwo"""\n'),
    # Lists of tables are TOML's [[...]], tables in a list YAML's compact ones.
    ("json", '{"a": [{"n": 1}, {"n": 2}]}', "toml", "[[a]]\nn = 1\n\n[[a]]\nn = 2\n"),
    (
        "json",
        '{"a": [{"n": 1, "m": [1]}]}',
        "yaml",
        'a:\n  - "n": 1\n    m:\n      - 1\n',
    ),
    (
        "json",
        '{"a": {}, "b": [], "c": [1, {"d": 2}]}',
        "toml",
        "a = {}\nb = []\nc = [1, { d = 2 }]\n",
    ),
    # Tags stay in YAML.
    ("yaml", "a: !Ref x\nb: !Sub\n  k: v\n", "yaml", "a: !Ref x\nb: !Sub\n  k: v\n"),
]


@pytest.mark.parametrize(("format", "text", "target", "expected"), VALUES)
def test_values_are_written_by_the_targets_rules(format, text, target, expected):
    assert Document(text, format).convert(target) == expected


# (format, text, target, what the error says)
REFUSED = [
    ("yaml", "a:\n  b: null\n", "toml", "'a.b' is null, which TOML cannot hold"),
    ("yaml", "a: [1, ~]\n", "toml", "'a[1]' is null, which TOML cannot hold"),
    ("json", "[1]", "toml", "the top is a list, and a TOML document is a table"),
    ("json", "1", "toml", "the top is a scalar, and a TOML document is a table"),
    (
        "yaml",
        "a: !Ref x\n",
        "json",
        "'a' is tagged !Ref, which JSON cannot hold: "
        "drop_tags=True writes its value alone",
    ),
    ("yaml", "a: [!Ref x]\n", "toml", "'a[0]' is tagged !Ref, which TOML cannot"),
    ("yaml", "a: .inf\n", "json", "'a' is inf, which JSON cannot hold"),
    ("yaml", "a: [.inf]\n", "jsonc", "'a[0]' is inf, which JSON cannot hold"),
    ("yaml", "a: 99999999999999999999\n", "toml", "'a' is an integer past 64 bits"),
    ("json", '{"a": ["\\udc80"]}', "toml", "'a[0]' is a string with a lone surrogate"),
    ("json", '{"\\udc80": {"b": 1}}', "toml", "'[\"\\\\udc80\"]' is a key with a lone"),
]


@pytest.mark.parametrize(("format", "text", "target", "message"), REFUSED)
def test_what_a_target_cannot_hold_is_refused_by_its_path(
    format, text, target, message
):
    doc = Document(text, format)
    with pytest.raises(ConvertError) as refusal:
        doc.convert(target)
    assert str(refusal.value).startswith(message)
    assert doc.text == text


@pytest.mark.parametrize("target", FORMATS)
def test_a_file_of_windows_line_breaks_converts_to_one(target):
    text = "# c\r\na:\r\n  s: |\r\n    x\r\n    y\r\n  n: [1, 2]  # two\r\n"
    doc = Document(text, "yaml")
    written = doc.convert(target)
    assert written.count("\r\n") == written.count("\n") > 1
    assert (
        Document(written, target).data
        == doc.data
        == {"a": {"s": "x\ny\n", "n": [1, 2]}}
    )
    assert "\r" not in Document(text.replace("\r\n", "\n"), "yaml").convert(target)


@pytest.mark.parametrize("name", ["service.json", "service.toml", "service.yaml"])
def test_the_examples_convert_to_each_format_as_the_same_data(name):
    path = Path(__file__).resolve().parents[2] / "examples" / name
    doc = Document(path.read_text(), path.suffix[1:])
    for target in FORMATS:
        assert Document(doc.convert(target), target).data == doc.data


def test_drop_tags_writes_a_tagged_values_value_alone():
    doc = Document("a: !Ref x\nb: !GetAtt [y, z]\n", "yaml")
    assert doc.convert("json", drop_tags=True) == (
        '{\n  "a": "x",\n  "b": [\n    "y",\n    "z"\n  ]\n}\n'
    )


scalars = st.one_of(
    st.integers(-(2**63), 2**63 - 1),
    st.booleans(),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(st.characters(codec="utf-8", exclude_categories=["Cs"]), max_size=8),
    st.dates(),
)
names = st.text(st.characters(codec="utf-8", exclude_categories=["Cs"]), max_size=5)
trees = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.dictionaries(names, inner, max_size=3)
    ),
    max_leaves=15,
)


def _as_in(data, target):
    """`data` as `target` holds it: JSON's dates are ISO strings."""
    if isinstance(data, dict):
        return {key: _as_in(value, target) for key, value in data.items()}
    if isinstance(data, list):
        return [_as_in(value, target) for value in data]
    if isinstance(data, datetime.date) and target.startswith("json"):
        return data.isoformat()
    return data


@given(st.dictionaries(names, trees, max_size=4), st.sampled_from(FORMATS))
def test_random_documents_go_through_every_pair_and_back(tree, first):
    doc = Document(formats.reader("yaml").write(Exported(tree, {}, [], 0)), "yaml")
    source = doc.data
    assert source == tree
    for target in (first, *FORMATS):
        written = doc.convert(target)
        back = Document(written, target)
        assert back.data == _as_in(source, target)
        again = back.convert("yaml")
        assert Document(again, "yaml").data == _as_in(source, target)
    # And each target's own reader agrees.
    assert json.loads(doc.convert("json")) == _as_in(source, "json")
    assert tomllib.loads(doc.convert("toml")) == source
    assert yaml.safe_load(doc.convert("yaml")) == source
