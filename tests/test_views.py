"""Views: the tables and lists that doc[path] gives, live over the text."""

import copy
import json
import tomllib
import warnings

import pytest
import yaml

import props_to_tree
from props_to_tree import Array, Document, PathError, Table

DOCUMENTS = {
    "json": (
        "json",
        json.dumps({"a": {"x": 1, "y": [1, 2]}, "l": ["p", "q"]}, indent=2),
    ),
    "json-line": ("json", '{"a": {"x": 1, "y": [1, 2]}, "l": ["p", "q"]}'),
    "toml": ("toml", "[a]\nx = 1  # one\ny = [1, 2]\n\n[[t]]\nn = 1\n\n[[t]]\nn = 2\n"),
    "toml-inline": (
        "toml",
        'a = { x = 1, y = [1, 2] }\nl = [\n  "p",  # first\n  "q",\n]\n',
    ),
    "yaml": ("yaml", "a:\n  x: 1  # one\n  y: [1, 2]\nl:\n  - p\n  # between\n  - q\n"),
    "yaml-flow": ("yaml", "a: {x: 1, y: [1, 2]}\nl:\n- p\n- q\n"),
}

# Every method of the two ABCs, by what it is called on and does; each is
# run on the view and on the plain data, which must end alike.
OPERATIONS = {
    "set-new": ("a", lambda t: t.__setitem__("z", "new")),
    "set": ("a", lambda t: t.__setitem__("x", 5)),
    "del": ("a", lambda t: t.__delitem__("x")),
    "update": ("a", lambda t: t.update({"x": 2}, z=3)),
    "pop": ("a", lambda t: t.pop("x")),
    "popitem": ("a", lambda t: t.popitem()),
    "setdefault": ("a", lambda t: t.setdefault("y", []).append(3)),
    "setdefault-new": ("a", lambda t: t.setdefault("m", {}).__setitem__("k", "v")),
    "clear": ("a", lambda t: t.clear()),
    "append": ("l", lambda a: a.append("r")),
    "insert-0": ("l", lambda a: a.insert(0, "o")),
    "insert-before-last": ("l", lambda a: a.insert(-1, "m")),
    "insert-past-end": ("l", lambda a: a.insert(99, "z")),
    "extend": ("l", lambda a: a.extend(["r", "s"])),
    "+=": ("l", lambda a: a.__iadd__(["r"])),
    "pop-last": ("l", lambda a: a.pop()),
    "pop-0": ("l", lambda a: a.pop(0)),
    "del-item": ("l", lambda a: a.__delitem__(-1)),
    "del-slice": ("l", lambda a: a.__delitem__(slice(0, 1))),
    "set-item": ("l", lambda a: a.__setitem__(0, "P")),
    "set-slice": ("l", lambda a: a.__setitem__(slice(None), ["A", "B"])),
    "reverse": ("l", lambda a: a.reverse()),
    "sort": ("l", lambda a: a.sort(reverse=True)),
    "remove": ("l", lambda a: a.remove("q")),
    "clear-list": ("l", lambda a: a.clear()),
    "inner-insert": ("a.y", lambda a: a.insert(0, 0)),
    "table-item": ("t", lambda a: a.insert(1, {"n": 9})),
}

READERS = {"json": json.loads, "toml": tomllib.loads, "yaml": yaml.safe_load}


def _reach(data, path):
    for key in path.split("."):
        data = data[key]
    return data


def _cases():
    for name, (_fmt, _) in DOCUMENTS.items():
        for operation, (path, _) in OPERATIONS.items():
            on_list = path != "a"
            if name == "toml" and on_list != (path in ("a.y", "t")):
                continue  # its list of tables is `t`; `l` is not there
            if name != "toml" and path == "t":
                continue
            yield pytest.param(name, operation, id=f"{name}-{operation}")


@pytest.mark.parametrize("crlf", [False, True], ids=["lf", "crlf"])
@pytest.mark.parametrize(("name", "operation"), list(_cases()))
def test_every_operation_changes_the_text_as_on_plain_data(name, operation, crlf):
    fmt, text = DOCUMENTS[name]
    if crlf:
        text = text.replace("\n", "\r\n")
    path, make = OPERATIONS[operation]
    doc = Document(text, fmt)
    expected = copy.deepcopy(doc.data)
    make(_reach(expected, path))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # none of these changes a kind
        make(doc[path])
    assert doc.data == expected
    assert READERS[fmt](doc.text) == expected  # and so the format's own reader
    if crlf:
        assert "\n" not in doc.text.replace("\r\n", "")


# The exact text where layout decides: items put before others, in each
# list's own style, the comments around them kept.
TEXTS = [
    ("json", "insert-0", '  "l": [\n    "o",\n    "p",\n    "q"\n  ]\n'),
    ("json-line", "insert-before-last", '"l": ["p", "m", "q"]}'),
    ("toml", "table-item", "[[t]]\nn = 1\n\n[[t]]\nn = 9\n\n[[t]]\nn = 2\n"),
    ("toml", "setdefault-new", 'y = [1, 2]\nm = {k = "v"}\n'),
    ("toml-inline", "insert-0", 'l = [\n  "o",\n  "p",  # first\n  "q",\n]\n'),
    ("toml-inline", "update", "a = { x = 2, y = [1, 2], z = 3 }\n"),
    ("yaml", "insert-before-last", "l:\n  - p\n  # between\n  - m\n  - q\n"),
    ("yaml", "inner-insert", "  x: 1  # one\n  y: [0, 1, 2]\n"),
    ("yaml", "setdefault-new", "  y: [1, 2]\n  m:\n    k: v\nl:\n"),
    ("yaml", "clear", "a: {}\nl:\n"),
    ("yaml-flow", "insert-0", "l:\n- o\n- p\n- q\n"),
]


@pytest.mark.parametrize(("name", "operation", "shown"), TEXTS)
def test_new_items_are_written_in_the_lists_style(name, operation, shown):
    fmt, text = DOCUMENTS[name]
    path, make = OPERATIONS[operation]
    doc = Document(text, fmt)
    make(doc[path])
    assert shown in doc.text


APPENDED = [
    ("json", '{"a": [\n  1,\n  2\n]}\n'),
    ("jsonc", '{"a": [\n  1,  // c\n  2,\n]}\n'),
    ("json", '{"a": [1]}'),
    ("json", '{"a": []}'),
    ("toml", "a = [\n  1,\n  2\n]\n"),
    ("toml", 'a = [\n  "x",  # c\n  "y",  # d\n]\n'),
    ("toml", "[[a]]\nn = 1\n# end\n\n[b]\nc = 1\n"),
    ("yaml", "a:\n- 1\n- 2  # c\n# own\nb: 1\n"),
    ("yaml", "a:\n  - x: 1\n  - |\n    text\n"),
    ("yaml", "a:\n  - |\n    t"),
    ("yaml", "a: &x\n  - 1\nb: *x\n"),
    ("yaml", "a:\r\n  - 1\r\n  - 2\r\n"),
]


@pytest.mark.parametrize(("fmt", "text"), APPENDED)
def test_appends_one_after_another_write_what_each_alone_writes(fmt, text):
    """Appends in a row are made on one reading of the text; they must
    write what appends each read after the one before write."""
    values = [3, "s", [5, 6], "multi\nline\n", 2.5, "with: colon"]
    if text.startswith("[[a]]"):
        values = [{"n": n} for n in range(2, 6)]
    run, alone = Document(text, fmt), Document(text, fmt)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a string among numbers
        for value in values:
            run["a"].append(value)
            alone["a"].append(value)
            assert alone.text  # read again after each
        # Then scalars set in place of scalars, read as they go.
        for index, value in enumerate(run["a"]):
            if not isinstance(value, Table | Array) and index % 2:
                run["a"][index] = f"set {value}"
                alone["a"][index] = f"set {value}"
                assert alone.text
    assert run.text == alone.text
    assert run.data == alone.data


def test_changes_not_read_again_are_made_one_at_a_time_where_they_read_otherwise():
    """The text, read again once the changes are made, must hold what they
    made; where it does not, they are made again one at a time."""
    text = "a:\n  - 1\n  - 2\nb: x\n"
    doc = Document(text, "yaml")
    doc["a"].append(3)
    doc["b"] = "z"
    doc["a"].append(4)
    doc._editor._run.count += 1  # as if the appends had read otherwise
    assert doc.text == "a:\n  - 1\n  - 2\n  - 3\n  - 4\nb: z\n"
    assert doc["a"] == [1, 2, 3, 4]


@pytest.mark.parametrize(
    ("fmt", "text"),
    [
        (
            "json",
            '{"l": [1, "a", null, true, 1.5, [1], {"a": 1}, 10000000000000000000000]}',
        ),
        ("toml", "l = [1, 'a', true, 1.5, 2024-01-01, 07:00:00, [1], {a = 1}]\n"),
        (
            "yaml",
            "l: [1, a, ~, !!str 1, !!int '2', !Ref x, 2024-01-01, yes, [1], {a: 1}]\n",
        ),
        ("yaml", "x: &s 1\nl:\n  - *s\n  - !!null ''\n  - !!float 1\n  - .inf\n"),
    ],
)
def test_the_kinds_of_a_lists_items_are_read_as_each_item_alone(fmt, text):
    """What a number added among strings is warned of reads every item's
    kind at once: as each read alone would say it."""
    from props_to_tree._engine.kinds import kind

    engine = Document(text, fmt)._engine
    count = engine.members(["l"])
    alone = []
    for index in range(count):
        item = engine.current(["l", index])
        alone.append(None if item.collection else item.kind or kind(item.data))
    assert engine.item_kinds(["l"]) == alone
    assert len(set(alone)) > 1  # kinds to tell apart


def test_a_view_follows_its_item_and_refuses_once_it_is_gone():
    doc = Document("l:\n  - {n: 1}\n  - {n: 2}\n  - {n: 3}\nt: {a: {b: 1}}\n", "yaml")
    items = doc["l"]
    second, third = items[1], items[2]
    items.insert(0, {"n": 0})
    assert (second["n"], second.path) == (2, "l[2]")
    del items[0]
    del doc["l[0]"]  # by path too
    assert (second["n"], third["n"], second.path) == (2, 3, "l[0]")
    items.remove({"n": 2})
    assert third == {"n": 3}
    with pytest.raises(
        PathError, match=r"^'l\[0\]' is no longer there: it was replaced or deleted"
    ):
        second["n"]
    inner = doc["t.a"]
    doc["t"] = {"a": {"b": 1}}  # the same data: nothing replaced
    assert inner["b"] == 1
    doc["t"] = {"a": {"b": 2}}  # a place above it replaced
    for use in (lambda: inner["b"], lambda: len(inner), lambda: inner.copy()):
        with pytest.raises(PathError, match="no longer there"):
            use()
    assert repr(inner) == "Table(<gone>)"
    assert doc["t.a"] == {"b": 2}  # read again, it is the new one


def test_views_end_with_the_edit_block(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text("[x]\ny = 1\n")
    with props_to_tree.edit(path) as doc:
        table = doc["x"]
        table["y"] = 2
        table.setdefault("z", []).append("a")
    assert path.read_text() == '[x]\ny = 2\nz = ["a"]\n'
    with pytest.raises(PathError, match=r"^'x' is no longer there: the edit\(\) block"):
        table["y"] = 3
    with pytest.raises(props_to_tree.ChangeError, match="would be lost"):
        doc["x.y"] = 3  # the document too: not lost without a word
    assert doc["x.y"] == 2  # read still

    def read_a_missing_key():
        with props_to_tree.edit(path) as doc:
            kept.append(doc["x"])
            kept[0]["q"]  # a KeyError ends the block, and the view with it

    kept = []
    with pytest.raises(KeyError):
        read_a_missing_key()
    with pytest.raises(PathError):
        len(kept[0])
    assert path.read_text() == '[x]\ny = 2\nz = ["a"]\n'


def test_views_compare_copy_and_show_as_plain_data():
    doc = Document('{"db": {"host": "h", "port": 1}, "l": [1, [2]]}', "json")
    db, items = doc["db"], doc["l"]
    assert isinstance(db, Table)
    assert not isinstance(db, dict)
    assert db == {"host": "h", "port": 1}
    assert {"host": "h", "port": 1} == db  # noqa: SIM300 (the other side's __eq__)
    assert db != {"host": "h"}
    assert items == [1, [2]]
    assert items != (1, [2])  # as a list is no tuple
    assert items != "12"
    assert db != items
    assert type(db.copy()) is dict
    assert type(items.copy()) is list
    assert type(items[1:]) is list
    assert items[1:] == [[2]]
    assert isinstance(items[1], Array)
    assert items[-1] == [2]
    assert dict(db) == {"host": "h", "port": 1}
    assert list(items) == [1, [2]]
    assert repr(db) == "Table({'host': 'h', 'port': 1})"
    assert sorted(db.items()) == [("host", "h"), ("port", 1)]
    assert "host" in db
    assert "h" not in db
    assert 1 in items
    assert len(db) == 2
    assert copy.copy(db) == db
    assert type(copy.copy(db)) is dict  # detached, as copy() is
    assert type(copy.deepcopy(items)) is list
    assert items + [3] == [1, [2], 3]  # noqa: RUF005 (a list of the items)
    doc["copy"] = db  # a view written elsewhere is its data
    doc["more"] = {"of": items}
    assert doc.data["copy"] == {"host": "h", "port": 1}
    assert doc.data["more"] == {"of": [1, [2]]}


def test_iteration_goes_over_the_keys_as_they_were():
    doc = Document("a = 1\nb = 2\n", "toml")
    root = doc.root
    for key in root:
        root[key + "2"] = 0
    assert list(root) == ["a", "b", "a2", "b2"]
    seen = []
    for key, value in root.items():  # values as they are when reached
        seen.append(value)
        if key == "a":
            root["b"] = 20
            del root["a2"]
    assert seen == [1, 20, 0]
    items = Document("[1, 2, 3]", "json").root
    seen = []
    for item in items:
        seen.append(item)
        if item == 1:
            items[1] = 5
            del items[2]
    assert seen == [1, 5]


def test_the_root_and_typed_access():
    assert isinstance(Document("[1, 2]", "json").root, Array)
    stream = Document("---\na: 1\n---\nb: [1]\n", "yaml")
    assert isinstance(stream.root, Array)
    assert len(stream.root) == 2
    stream.root[1]["b"].append(2)
    assert stream.text == "---\na: 1\n---\nb: [1, 2]\n"
    with pytest.raises(TypeError, match="holds an int, not a table"):
        _ = Document("1", "json").root
    doc = Document("a: {b: 1}\nl: []\n", "yaml")
    assert isinstance(doc.table("a"), Table)
    assert isinstance(doc.array("l"), Array)
    with pytest.raises(TypeError, match=r"^'a\.b' holds an int, not a table$"):
        doc.table("a.b")
    with pytest.raises(TypeError, match=r"^'a' holds a table, not a list$"):
        doc.array("a")
    assert doc.get("a") == {"b": 1}
    assert doc.get("nothing", 5) == 5
    assert doc.find("a") == [("a", {"b": 1})]  # plain, as before
    assert type(doc.find("a")[0][1]) is dict


# Bad input through a view: one line, and the document as it was.
REFUSED = [
    (
        "yaml",
        "a: 1\n---\nb: 2\n",
        lambda d: d.root.append({"z": 0}),
        ValueError,
        "cannot write '[2]': a document is not added to a stream",
    ),
    (
        "json",
        '{"a": [1]}',
        lambda d: d["a"]["x"],
        TypeError,
        "a list's items are read by int, not str: 'a'",
    ),
    (
        "toml",
        "a = [1]\n",
        lambda d: d["a"].append(None),
        TypeError,
        "cannot write 'a[1]': TOML has no null",
    ),
    (
        "json",
        '{"a": {}}',
        lambda d: d["a"].__setitem__(1, 2),
        TypeError,
        "a table's keys are str, not int",
    ),
    (
        "json",
        '{"a": {}}',
        lambda d: d["a"].__setitem__("k", object()),
        TypeError,
        "cannot write 'a.k': JSON holds no object",
    ),
    ("json", '{"a": [1]}', lambda d: d["a"][3], IndexError, "list index out of range"),
    (
        "json",
        '{"a": [1]}',
        lambda d: d["a"].remove(2),
        ValueError,
        "the value is not in the list",
    ),
    ("json", '{"a": {}}', lambda d: d["a"]["k"], KeyError, "'k'"),
    (
        "json",
        '{"a": [1, 2]}',
        lambda d: d["a"].__setitem__(slice(0, 2), [1]),
        ValueError,
        "a slice of 2 items",
    ),
    (
        "yaml",
        "a:\n- - 1\n  - 2\n",
        lambda d: d["a"][0].insert(0, 0),
        ValueError,
        "cannot write 'a[0][0]': a new item goes before an item that starts its line",
    ),
    (
        "json",
        '{"a": [1, 2]}',
        lambda d: d["a"].extend([3, {1}]),
        TypeError,
        "cannot write 'a[3]'",
    ),
]


@pytest.mark.parametrize(("fmt", "text", "make", "error", "message"), REFUSED)
def test_bad_input_through_a_view_is_refused_and_changes_nothing(
    fmt, text, make, error, message
):
    doc = Document(text, fmt)
    with pytest.raises(error) as raised:
        make(doc)
    assert str(raised.value).startswith(message) or str(raised.value) == message
    assert "\n" not in str(raised.value)
    assert doc.text == text


def test_a_views_warnings_name_the_callers_line():
    doc = Document("l: [a, b]\nm: [c]\n", "yaml")
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        doc["l"].append(3.10)
        doc["m"].insert(0, 1)
    assert [str(w.message) for w in said] == [
        "'l[2]' is a number among strings",
        "'m[0]' is a number among strings",
    ]
    assert {w.filename for w in said} == {__file__}


def test_read_locks_nothing_and_writes_nothing(tmp_path):
    path = tmp_path / "values.yml"
    path.write_text("env:\n  - name: A\n")
    doc = props_to_tree.read(path)
    doc["env"].append({"name": "B"})
    assert doc.text == "env:\n  - name: A\n  - name: B\n"
    assert path.read_text() == "env:\n  - name: A\n"
    with props_to_tree.edit(path, wait=0):  # no lock held by read()
        pass
    with pytest.raises(
        props_to_tree.DocumentError, match=r"values\.yml: not valid JSON"
    ):
        props_to_tree.read(path, format="json")  # as asked, not by its suffix
    with pytest.raises(FileNotFoundError, match=r"^cannot read .*none\.json: No such"):
        props_to_tree.read(tmp_path / "none.json")
