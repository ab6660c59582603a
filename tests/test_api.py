"""The editing API: documents read and changed in process, files edited in
place; each format's exact text after a change is in tests/formats/."""

import contextlib
import datetime
import errno
import fcntl
import math
import os
import re
import stat
import subprocess
import sys
import warnings

import pytest
from _support import (
    IMPORT_ROOT,
    PYPROJECT,
)

import props_to_tree
from props_to_tree import Document, DocumentError, EditWarning, PathError
from props_to_tree._command import cli as _cli
from props_to_tree._engine import atomic, paths

UTC = datetime.UTC
_HOURS = datetime.timedelta(hours=1)

# (format, document, path, Python value, the document after): exactly.
VALUES = [
    # A string keeps the quotes and escapes of the one it replaces.
    ("json", '{"a": "caf\\u00e9"}', "a", "thé", '{"a": "th\\u00e9"}'),
    ("json", '{"a": "x"}', "a", 'y"z', '{"a": "y\\"z"}'),
    ("toml", "a = 'x'  # c\n", "a", "y", "a = 'y'  # c\n"),
    ("toml", 'a = "x"\n', "a", 'it\'s "q"', 'a = "it\'s \\"q\\""\n'),
    ("yaml", 'a: "x"  # c\n', "a", "y", 'a: "y"  # c\n'),
    ("yaml", "a: x\n", "a", "true", 'a: "true"\n'),  # not a boolean
    ("yaml", "a: x\n", "a", "yes", 'a: "yes"\n'),  # nor to YAML 1.1
    ("yaml", "l:\n  - a\n", "l[1]", "b # c", 'l:\n  - a\n  - "b # c"\n'),
    # A block scalar that ends a file with no line break gains its own.
    ("yaml", "b: 0\na: |\n  x", "a", "p\nq\n", "b: 0\na: |\n  p\n  q\n"),
    ("yaml", "a: |\n  x", "a", "x\n\n\n", "a: |+\n  x\n\n\n"),
    # Numbers, booleans, null.
    ("json", '{"a": 1}', "a", 10**20, '{"a": 100000000000000000000}'),
    ("json", '{"a": 1}', "a", None, '{"a": null}'),
    ("json", '{"a": 1}', "a", False, '{"a": false}'),
    ("toml", "a = 1\n", "a", 1.5, "a = 1.5\n"),
    ("toml", "a = 1\n", "a", -math.inf, "a = -inf\n"),
    ("yaml", "a: x\n", "a", None, "a: null\n"),
    ("yaml", "a: 1\n", "a", math.nan, "a: .nan\n"),
    ("yaml", "a: 1  # n\n", "a", 2, "a: 2  # n\n"),
    # TOML's dates and times.
    ("toml", "d = 2024-01-01\n", "d", datetime.date(2025, 2, 3), "d = 2025-02-03\n"),
    (
        "toml",
        "d = 2024-01-01T00:00:00Z\n",
        "d",
        datetime.datetime(2025, 1, 2, 3, 4, 5, tzinfo=UTC),
        "d = 2025-01-02T03:04:05+00:00\n",
    ),
    ("toml", "t = 07:00:00\n", "t", datetime.time(8, 30), "t = 08:30:00\n"),
    # YAML's dates and date-times, written plain in ISO form.
    ("yaml", "d: 2024-01-01\n", "d", datetime.date(2025, 2, 3), "d: 2025-02-03\n"),
    (
        "yaml",
        "d: x\n",
        "e",
        datetime.datetime(2025, 1, 2, 3, 4, 5, 60, tzinfo=UTC),
        "d: x\ne: 2025-01-02T03:04:05.000060+00:00\n",
    ),
    (
        "yaml",
        "d: [1]\n",
        "d[1]",
        datetime.datetime(2025, 1, 2),
        "d: [1, 2025-01-02T00:00:00]\n",
    ),
    # A string of a date's form is quoted, as YAML 1.1's readers take it for one.
    ("yaml", "d: x\n", "d", "2024-01-01", 'd: "2024-01-01"\n'),
    ("yaml", "d: x\n", "d", "2024-13-01", 'd: "2024-13-01"\n'),
    # Lists and dicts, into block and flow places.
    (
        "json",
        '{\n  "a": [\n    1\n  ]\n}\n',
        "a",
        [1, "two"],
        '{\n  "a": [\n    1,\n    "two"\n  ]\n}\n',
    ),
    ("json", '{"a": 1}', "b", {"c": (1, 2)}, '{"a": 1, "b": {"c": [1, 2]}}'),
    # A lone surrogate, which JSON alone can hold, as an escape: no file could
    # hold it as it is.
    (
        "json",
        '{"a": 1}',
        "a",
        {"k\udcff": ["\ud800"]},
        '{"a": {"k\\udcff": ["\\ud800"]}}',
    ),
    ("toml", "a = [1]\n", "a", ["x", 2], 'a = ["x", 2]\n'),
    (
        "toml",
        "[t]\nx = 1\n",
        "t.u",
        {"k": "v", "n": [1.5]},
        '[t]\nx = 1\n\n[t.u]\nk = "v"\nn = [1.5]\n',
    ),
    (
        "yaml",
        "a:\n  - 1\n  - 2\nb: 3\n",
        "a",
        ["x", {"k": 1}],
        "a:\n  - x\n  - k: 1\nb: 3\n",
    ),
    (
        "yaml",
        "a: {x: 1}\n",
        "a",
        {"two words": "on", "": "x\ny"},
        'a: {two words: "on", "": "x\\ny"}\n',
    ),
    (
        "yaml",
        "a: 1\n",
        "b",
        {"c": [1, "x: y"]},
        'a: 1\nb:\n  c:\n    - 1\n    - "x: y"\n',
    ),
    ("yaml", "a: [1]\n", "a[1]", {"c": [1]}, "a: [1, {c: [1]}]\n"),  # in flow
]


@pytest.mark.parametrize(("fmt", "document", "path", "value", "after"), VALUES)
def test_python_values_are_written_in_the_documents_syntax(
    fmt, document, path, value, after
):
    doc = Document(document, fmt)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", EditWarning)  # a change of kind, say
        doc[path] = value
    assert doc.text == after
    read = doc[path]
    if isinstance(value, float) and math.isnan(value):
        assert math.isnan(read)
    else:
        assert read == _lists(value)


def _lists(value):
    """`value` as it reads back: its tuples lists."""
    if isinstance(value, dict):
        return {key: _lists(item) for key, item in value.items()}
    return list(map(_lists, value)) if isinstance(value, tuple | list) else value


@pytest.mark.parametrize(
    ("fmt", "value", "error", "message"),
    [
        ("toml", None, TypeError, "TOML has no null (delete removes a key)"),
        ("toml", [1, None], TypeError, "TOML has no null"),
        ("json", {1}, TypeError, "JSON holds no set"),
        ("yaml", object(), TypeError, "YAML holds no object"),
        ("json", {1: 2}, TypeError, "a key must be a str, not int"),
        ("yaml", datetime.time(1), TypeError, "YAML has no times of day: pass a str"),
        ("json", datetime.date(2024, 1, 1), TypeError, "JSON has no dates or times"),
        (
            "yaml",
            datetime.datetime(
                2024, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(seconds=1))
            ),
            ValueError,
            "YAML cannot hold datetime.datetime(2024",
        ),
        ("json", math.nan, ValueError, "JSON has no NaN or infinity"),
        ("json", [math.inf], ValueError, "JSON has no NaN or infinity"),
        ("toml", 2**64, ValueError, "TOML's integers are 64-bit"),
        ("toml", datetime.time(1, tzinfo=UTC), ValueError, "TOML cannot hold"),
        ("toml", "x\udcff", ValueError, "TOML cannot hold a lone surrogate: 'x\\ud"),
        ("yaml", {"k\ud800": 1}, ValueError, "YAML cannot hold a lone surrogate"),
        ("yaml", ["\udfff"], ValueError, "YAML cannot hold a lone surrogate"),
    ],
)
def test_a_value_the_format_cannot_hold_is_refused_naming_the_path(
    fmt, value, error, message
):
    document = {"json": '{"a": 1}', "toml": "a = 1\n", "yaml": "a: 1\n"}[fmt]
    doc = Document(document, fmt)
    with pytest.raises(
        error, match=f"^cannot write 'a': {re.escape(message)}"
    ) as raised:
        doc["a"] = value
    assert type(raised.value) is error  # no engine class leaks out
    assert doc.text == document


DEPLOY = """\
kind: Deployment
spec:
  replicas: 1  # scaled by the bot
  containers:
    - name: web
      image: "nginx:1.25"
    - name: log
      image: busybox
---
kind: Service
spec:
  ports: [80, 443]
"""


def test_reading_by_path_and_selector():
    doc = Document(DEPLOY, "yaml")
    assert doc["[kind=Deployment].spec.containers[name=web].image"] == "nginx:1.25"
    assert doc["[1].spec.ports"] == [80, 443]
    assert doc.get("[0].spec.missing", 7) == 7
    assert "[kind=Service]" in doc
    assert "[kind=Job]" not in doc
    assert doc.find("[*].spec.containers[*].name") == [
        ("[0].spec.containers[0].name", "web"),
        ("[0].spec.containers[1].name", "log"),
    ]
    assert doc.find("[kind=Job]") == []
    assert list(doc.items())[:3] == [
        ("[0].kind", "Deployment"),
        ("[0].spec.replicas", 1),
        ("[0].spec.containers[0].name", "web"),
    ]
    assert doc.data[1] == {"kind": "Service", "spec": {"ports": [80, 443]}}
    doc.data[1]["kind"] = "x"  # a copy: the document is not changed
    assert doc["[1].kind"] == "Service"
    with pytest.raises(TypeError, match="not iterable"):
        list(doc)  # not doc[0], doc[1], ...


@pytest.mark.parametrize(
    ("fmt", "document", "data"),
    [
        # By YAML 1.2's core schema, with merges, a tag aside.
        (
            "yaml",
            "on: 2024-01-01\nb: &b {x: 0x10, y: !!str 3}\nc: {<<: *b, z: !Ref q}\n",
            {
                "on": datetime.date(2024, 1, 1),
                "b": {"x": 16, "y": "3"},
                "c": {"z": "q", "x": 16, "y": "3"},
            },
        ),
        ("yaml", "a: !!float 1\nb: 'x'\nc: ~\n", {"a": 1.0, "b": "x", "c": None}),
        # YAML 1.1's timestamps, where they are real dates; else strings.
        (
            "yaml",
            "a: 2001-12-14t21:59:43.1234567-05:00\nb: 2001-12-14 21:59:43.10 -5\n"
            "c: 2024-1-1 1:02:03Z\nd: !!timestamp 2024-01-01\n"
            "e: 2024-01-01T10\nf: 2024-02-30\ng: 2024-1-1\nh: '2024-01-01'\n"
            "i: 2024-01-01 24:00:00\n",
            {
                "a": datetime.datetime(
                    2001,
                    12,
                    14,
                    21,
                    59,
                    43,
                    123456,
                    tzinfo=datetime.timezone(-_HOURS * 5),
                ),
                "b": datetime.datetime(
                    2001,
                    12,
                    14,
                    21,
                    59,
                    43,
                    100000,
                    tzinfo=datetime.timezone(-_HOURS * 5),
                ),
                "c": datetime.datetime(2024, 1, 1, 1, 2, 3, tzinfo=UTC),
                "d": datetime.date(2024, 1, 1),
                "e": "2024-01-01T10",
                "f": "2024-02-30",
                "g": "2024-1-1",
                "h": "2024-01-01",
                "i": "2024-01-01 24:00:00",
            },
        ),
        (
            "yaml",
            "f: {d: 2024-01-01, t: 2024-01-01T10:00:00.5Z}\n"
            "l: [2024-1-01, !!str 2024-01-01]\n",
            {
                "f": {
                    "d": datetime.date(2024, 1, 1),
                    "t": datetime.datetime(2024, 1, 1, 10, 0, 0, 500000, tzinfo=UTC),
                },
                "l": ["2024-1-01", "2024-01-01"],
            },
        ),
        ("yaml", "", {}),
        ("yaml", "- 1\n---\n- 2\n", [[1], [2]]),
        ("toml", "d = 2024-01-01\n", {"d": datetime.date(2024, 1, 1)}),
        ("jsonc", '{"a": [1,], // c\n}', {"a": [1]}),
        ("json", "3", 3),
    ],
)
def test_data_is_plain_python(fmt, document, data):
    assert Document(document, fmt).data == data


def test_changes_by_selector_and_every_match():
    doc = Document(DEPLOY, "yaml")
    doc["[kind=Deployment].spec.replicas"] = 3
    doc.set("[kind=Deployment].metadata.labels.tier", "web", create=True)
    doc["[*].spec.containers[*].image"] = "nginx:1.27"
    del doc["[kind=Service].spec.ports[1]"]
    assert doc.text == (
        "kind: Deployment\n"
        "spec:\n"
        "  replicas: 3  # scaled by the bot\n"
        "  containers:\n"
        "    - name: web\n"
        '      image: "nginx:1.27"\n'
        "    - name: log\n"
        "      image: nginx:1.27\n"
        "metadata:\n"
        "  labels:\n"
        "    tier: web\n"
        "---\n"
        "kind: Service\n"
        "spec:\n"
        "  ports: [80]\n"
    )
    doc.set_text("[1].spec.ports", "[80, 8080]")
    assert doc["[1].spec.ports"] == [80, 8080]
    doc.apply("[0].spec.replicas = 4\n[0].kind = Deployment\n")
    assert doc["[0].spec.replicas"] == 4


def test_warnings_go_through_the_warnings_module():
    doc = Document('version = "2.0"\n', "toml")
    with pytest.warns(EditWarning) as said:
        doc["version"] = 2.1
    assert [str(w.message) for w in said] == [
        "'version' was a string and is now a number; pass a str to keep a string"
    ]
    assert said[0].filename == __file__  # said where the change was asked for
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Document("a: &x 1\nb: *x\n", "yaml")["c"] = 2  # no warning
        # What a tagged scalar reads as, set back: nothing changes.
        tagged = Document("a: !Ref x\nb: !!int 5\nc: {d: !Sub y}\n", "yaml")
        for path in ("a", "b", "c"):
            tagged[path] = tagged[path]
        assert tagged.text == "a: !Ref x\nb: !!int 5\nc: {d: !Sub y}\n"
    # The command's warnings, without the command's hints.
    doc = Document("a: !Ref x\nl: [a, b]\n", "yaml")
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        doc["a"] = "z"
        doc["l[2]"] = 3
    assert {w.category for w in said} == {EditWarning}
    assert [str(w.message) for w in said] == [
        "'a' had the tag !Ref and is now a string",
        "'l[2]' is a number among strings",
    ]
    assert doc.text == "a: z\nl: [a, b, 3]\n"
    # New at some matches alone: said, as the command says it.
    doc = Document("s:\n  a: {x: 1}\n  b: {y: 1}\n", "yaml")
    with pytest.warns(
        EditWarning, match=r"'s\.\*\.x' is new at 1 of 2 matches: 's\.b\.x'"
    ):
        doc["s.*.x"] = 2


@pytest.mark.parametrize(
    ("fmt", "document", "change", "error", "message", "path"),
    [
        (
            "yaml",
            DEPLOY,
            "[kind=Job].spec",
            PathError,
            "no document with kind=Job (2 documents)",
            "[kind=Job].spec",
        ),
        (
            "yaml",
            DEPLOY,
            "[*].kind",
            PathError,
            "'[*].kind' matches 2 places",
            "[*].kind",
        ),
        (
            "json",
            '{"a": 1}',
            "a..b",
            PathError,
            "bad path 'a..b': a key is empty",
            "a..b",
        ),
        (
            "json",
            '{"a": [1]}',
            "a[+]",
            PathError,
            "bad path 'a[+]': [+] stands for a new item",
            "a[+]",
        ),
        ("json", '{"a": 1}', "b.c", PathError, "no 'b'", "b.c"),
        ("toml", "[t]\nx = 1\n", "t", PathError, None, None),
    ],
)
def test_path_errors_say_what_the_command_says(
    fmt, document, change, error, message, path
):
    doc = Document(document, fmt)
    if message is None:  # a table read whole is no error
        assert doc[change] == {"x": 1}
        return
    with pytest.raises(error) as raised:
        doc[change]
    assert isinstance(raised.value, KeyError)
    assert str(raised.value).startswith(message)
    assert raised.value.path == path
    if message.startswith("bad path"):  # malformed: no reading takes it
        for read in (doc.get, doc.find, doc.__contains__):
            with pytest.raises(PathError, match=re.escape(message)):
                read(change)


@pytest.mark.parametrize(
    ("fmt", "document", "line", "column"),
    [
        ("json", '{\n  "a": 1,\n  "b" 2\n}', 3, 7),
        ("toml", "a = 1\nb = = 2\n", 2, 5),
        ("yaml", "a: [1\nb: 2\n", 2, 2),
        ("yaml", "a: &a [*a]\n", 1, 4),
    ],
)
def test_document_errors_say_where(fmt, document, line, column):
    with pytest.raises(DocumentError) as raised:
        _ = Document(document, fmt).data
    assert isinstance(raised.value, ValueError)
    assert (raised.value.line, raised.value.column) == (line, column)
    assert f"line {line}" in str(raised.value)


def test_aliases_that_stand_for_too_much_are_a_document_error():
    bomb = "a: &a [x, x, x, x, x, x, x, x, x, x]\n" + "".join(
        f"{c}: &{c} [*{p}, *{p}, *{p}, *{p}, *{p}, *{p}, *{p}, *{p}, *{p}, *{p}]\n"
        for p, c in zip("abcdef", "bcdefg", strict=True)
    )
    doc = Document(bomb, "yaml")
    with pytest.raises(DocumentError, match="its aliases stand for"):
        _ = doc.data
    assert doc["a[0]"] == "x"  # what stands for little still reads


@pytest.mark.parametrize(
    ("fmt", "document", "make", "error", "message"),
    [
        (
            "json",
            '{"a": [1, 2]}',
            lambda d: d.set("a[5]", 1),
            PathError,
            "cannot write 'a[5]': no [5] in 'a' (2 items)",
        ),
        (
            "toml",
            "[t]\nx = 1\n",
            lambda d: d.set("t", 1),
            ValueError,
            "cannot write 't': 't' is a table: delete it first",
        ),
        (
            "toml",
            "a = 1\n",
            lambda d: d.set_text("a", "null"),
            ValueError,
            "set_text('a', 'null'): TOML has no null (delete() removes a key)",
        ),
        (
            "yaml",
            "a: 1\n",
            lambda d: d.delete("."),
            ValueError,
            "delete('.'): the top of a document is not deleted",
        ),
        (
            "yaml",
            "a: [1]\n",
            lambda d: d.set_text("a", "[1"),
            ValueError,
            "set_text('a', '[1'): 'a' holds a list",
        ),
        (
            "json",
            '{"a": 1}',
            lambda d: d.apply("a = 2\nb.c = 3\n"),
            PathError,
            "listing, line 2: cannot write 'b.c'",
        ),
        # Lines that build one new table fail as each would alone.
        (
            "yaml",
            "z: 0\n",
            lambda d: d.apply("a.b = 1\na.c = !!int x\n", create=True),
            ValueError,
            "listing, line 2: '!!int x' is not what its tag says",
        ),
        (
            "yaml",
            "z: 0\n",
            lambda d: d.apply("a.b = 1\na.b.c = 2\n", create=True),
            PathError,
            "listing, line 2: cannot write 'a.b.c': 'a.b' holds a number",
        ),
        (
            "json",
            '{"l": [1]}',
            lambda d: d.apply("l[2].x = 1\nl[2].y = 2\n", create=True),
            PathError,
            "listing, line 1: cannot write 'l[2].x': no [2] in 'l' (1 item)",
        ),
        (
            "toml",
            "[[f]]\nn = 1\n",
            lambda d: d.set("f", 1),
            ValueError,
            "cannot write 'f': 'f' is an array of tables ([[...]]): delete it first",
        ),
        # What the caller can do about it, in the API's terms.
        (
            "yaml",
            "a:\n",
            lambda d: d.set("a.b", 1),
            PathError,
            "cannot write 'a.b': 'a' holds null, not a table; create=True makes "
            "the tables on the way",
        ),
        (
            "json",
            '{"a": {}}',
            lambda d: d.set("a.b[1]", 1, create=True),
            PathError,
            "cannot write 'a.b[1]': no [1] in 'a.b' (0 items); create=True makes a "
            "list of its first item alone, [0] or [+]",
        ),
        # A change that would leave the text unreadable fails as itself.
        (
            "yaml",
            "a: &x 1\nb: *x\n",
            lambda d: d.delete("a"),
            ValueError,
            "the changes would break the document: the alias *x has no anchor "
            "(line 2 as read)",
        ),
        (
            "toml",
            "a = 1\n",
            lambda d: d.set_text("a", "[1, 99999999999999999999]"),
            ValueError,
            "set_text('a', '[1, 99999999999999999999]'): [1, 99999999999999999999] "
            "holds an integer past TOML's 64 bits",
        ),
        # Deletions at every match, of which the last made fails: none is.
        (
            "yaml",
            "x: &b {a: 1}\nl:\n  - {<<: *b}\n  - {a: 2}\n",
            lambda d: d.delete("l[*].a"),
            ValueError,
            "cannot delete 'l[0].a': 'a' comes from a merge",
        ),
    ],
)
def test_a_failed_change_leaves_the_document_as_it_was(
    fmt, document, make, error, message
):
    doc = Document(document, fmt)
    doc.set_text("new", "1")  # made before: it stays
    before = doc.text
    with pytest.raises(error) as raised:
        make(doc)
    assert str(raised.value).startswith(message)
    assert doc.text == before
    # One base for all; a bad change is a ChangeError, whatever else it is.
    assert isinstance(raised.value, props_to_tree.EditError)
    if error is ValueError:
        assert isinstance(raised.value, props_to_tree.ChangeError)
        assert raised.value.kind == "change"


# --- edit: a file in place --------------------------------------------------------


def _renames(monkeypatch):
    """The renames of a new file over the old, counted."""
    made = []
    replace = atomic._replace

    def counted(target, data, read):
        made.append(data)
        return replace(target, data, read)

    monkeypatch.setattr(atomic, "_replace", counted)
    return made


def test_edit_writes_once_on_success_and_nothing_otherwise(tmp_path, monkeypatch):
    path = tmp_path / "pyproject.toml"
    path.write_text(PYPROJECT)
    made = _renames(monkeypatch)
    with props_to_tree.edit(path) as doc:
        doc["project.version"] = "2.0.0"
        doc["project.version"] = "2.0.1"
    assert len(made) == 1
    assert path.read_text() == PYPROJECT + 'version = "2.0.1"\n'
    inode = path.stat().st_ino
    with pytest.raises(RuntimeError), props_to_tree.edit(path) as doc:  # noqa: PT012
        doc["project.version"] = "3"
        raise RuntimeError
    with props_to_tree.edit(path, format="toml") as doc:
        doc["project.version"] = "2.0.1"  # as it is: no change
    assert (len(made), path.stat().st_ino) == (1, inode)
    assert not [p for p in tmp_path.iterdir() if p.name != "pyproject.toml"]


def test_edit_replays_the_changes_on_what_another_program_saved(tmp_path):
    path = tmp_path / "package.json"
    path.write_text('{\n  "version": "1.0.0",\n  "name": "a"\n}\n')
    with props_to_tree.edit(path) as doc:
        doc["version"] = "1.1.0"
        # Another program, which takes no lock, saves the file meanwhile.
        saved = tmp_path / "saved"
        saved.write_text('{\n  "name": "b",\n  "version": "1.0.0"\n}\n')
        os.replace(saved, path)
    assert path.read_text() == '{\n  "name": "b",\n  "version": "1.1.0"\n}\n'
    # What the other program saved does not read: its text stays.
    with (  # noqa: PT012
        pytest.raises(props_to_tree.ConflictError, match="what it saved does not"),
        props_to_tree.edit(path) as doc,
    ):
        doc["version"] = "1.2.0"
        saved.write_text('{"name": ')
        os.replace(saved, path)
    assert path.read_text() == '{"name": '


# (file, its text, what another program saves between the read and the
# rename, the changes, the file after them or the path of the conflict).
CONFLICT = "a conflict at "
REPLAYS = [
    # An append goes after the other program's item, not over it.
    (
        "p.json",
        '{"plugins": ["a", "b"]}',
        '{"plugins": ["a", "b", "theirs"]}',
        ["--set", "plugins[2]=mine"],
        '{"plugins": ["a", "b", "theirs", "mine"]}',
    ),
    (
        "p.json",
        '{"p": ["a", "b"]}',
        '{"p": ["x", "a", "b"]}',
        ["--delete", "p[0]"],
        CONFLICT + "p[0]",
    ),
    # A listing's line that changed nothing is not made again.
    (
        "c.json",
        '{"a": 1, "b": 2}',
        '{"a": 5, "b": 2}',
        ["--apply", "a = 1\nb = 3\n"],
        '{"a": 5, "b": 3}',
    ),
    # [-1] was the last item, not whatever is last now.
    ("l.yaml", "l: [1, 2]\n", "l: [1, 2, 3]\n", ["--set", "l[-1]=9"], "l: [1, 9, 3]\n"),
    (
        "l.yaml",
        "l: [1, 2]\nx: 1\n",
        "l: 7\nx: 1\n",
        ["--set", "l[2]=9"],
        CONFLICT + "l",
    ),
    # The same kind and an equal value, or a conflict: 1 is not 1.0.
    ("a.toml", "a = 1\nb = 1\n", "a = 1.0\nb = 1\n", ["--set", "a=2"], CONFLICT + "a"),
    ("a.toml", "a = 1\nb = 1\n", "a = 1\nb = 2\n", ["--set", "a=2"], "a = 2\nb = 2\n"),
    # Made already by the other program: left alone.
    ("a.toml", "a = 1\n", "a = 2 # theirs\n", ["--set", "a=2"], "a = 2 # theirs\n"),
    ("d.yaml", "a: 1\nb: 2\n", "b: 2\n", ["--delete", "a"], "b: 2\n"),
    # A selector is not expanded again: the other program's service stays.
    (
        "s.yaml",
        "s:\n  a: {x: 1}\n  b: {x: 1}\n",
        "s:\n  a: {x: 1}\n  b: {x: 1}\n  c: {x: 1}\n",
        ["--set", "s.*.x=2"],
        "s:\n  a: {x: 2}\n  b: {x: 2}\n  c: {x: 1}\n",
    ),
    # A new key the other program added too, to another value; and a change
    # that did nothing the first time, where the other program changed it.
    ("k.json", '{"a": 1}', '{"a": 1, "b": 3}', ["--set", "b=2"], CONFLICT + "b"),
    (
        "k.json",
        '{"a": 1, "b": 2}',
        '{"a": 1, "b": 3}',
        ["--set", "c=2", "--set", "b=2"],
        CONFLICT + "b",
    ),
    # An item gone: which one cannot be told.
    ("i.json", '{"l": [1, 2]}', '{"l": [1]}', ["--delete", "l[1]"], CONFLICT + "l[1]"),
    # A null is a value like any other.
    ("z.yaml", "a:\nb: 1\n", "a:\nb: 2\n", ["--set", "a=ours"], "a: ours\nb: 2\n"),
    # A change in an item appended follows it; one in an item that another
    # program moved is made in no other item.
    (
        "c.json",
        '{"a": [{"n": 1}]}',
        '{"a": [{"n": 1}, {"n": 9}]}',
        ["--set", 'a[1]={"n": 2}', "--set", "a[-1].m=3"],
        '{"a": [{"n": 1}, {"n": 9}, {"n": 2, "m": 3}]}',
    ),
    # Two changes in one item, the other program's save aside from them.
    (
        "m.yaml",
        "a:\n- {n: 1, k: 1}\n---\nkind: B\n",
        "a:\n- {n: 1, k: 1}\n---\nkind: C\n",
        ["--set", "[0].a[0].k=4", "--set", "[0].a[0].n=5", "--set", "[0].a[*].m=6"],
        "a:\n- {n: 5, k: 4, m: 6}\n---\nkind: C\n",
    ),
    # A number written another way is the same number.
    (
        "y.yaml",
        "l:\n- n: 1\n  v: p\n",
        "l:\n- n: +1\n  v: p\n",
        ["--set", "l[0].v=q"],
        "l:\n- n: +1\n  v: q\n",
    ),
    (
        "k.yaml",
        "c:\n  - name: web\n    image: nginx\n",
        "c:\n  - name: side\n    image: nginx\n  - name: web\n    image: nginx\n",
        ["--set", "c[name=web].cpu=1", "--set", "c[0].image=nginx"],
        CONFLICT + "c[0]",
    ),
]


def _saved_by_another_program(monkeypatch, path, saved):
    """`saved` put at `path`, as another program saves it, as the edit is
    about to rename its new file over the one it read."""
    written, pending = atomic._written, [saved]

    def then_written(target, data):
        if pending:
            other = path.with_name("other")
            other.write_bytes(pending.pop().encode())
            os.replace(other, path)
        return written(target, data)

    monkeypatch.setattr(atomic, "_written", then_written)


def _changed_as(document, args):
    """`document` changed as the command's arguments say."""
    flags = iter(args)
    for flag in flags:
        if flag == "--apply":
            document.apply(next(flags))
        elif flag == "--set":
            where, value = paths.split_assignment(next(flags))
            document.set_text(paths.show(where), value)
        else:
            document.delete(next(flags))
    return document


@pytest.mark.parametrize("crlf", [False, True], ids=["lf", "crlf"])
@pytest.mark.parametrize("via", ["api", "command", "files"])
@pytest.mark.parametrize(("name", "text", "saved", "args", "after"), REPLAYS)
def test_a_replay_makes_each_change_where_it_was_made_or_fails(
    tmp_path, monkeypatch, capfd, via, crlf, name, text, saved, args, after
):
    if crlf:
        text, saved, after = (t.replace("\n", "\r\n") for t in (text, saved, after))
    conflict = after.startswith(CONFLICT)
    after = after.removeprefix(CONFLICT)
    path, other = tmp_path / name, tmp_path / f"other-{name}"
    for each in (path, other):
        each.write_bytes(text.encode())
    _saved_by_another_program(monkeypatch, path, saved)
    if via == "api":
        edited = props_to_tree.edit(path)
        _changed_as(edited.__enter__(), args)
        if conflict:
            with pytest.raises(props_to_tree.ConflictError) as raised:
                edited.__exit__(None, None, None)
            assert raised.value.path == after
            assert isinstance(raised.value, RuntimeError)
        else:
            edited.__exit__(None, None, None)
    else:
        typed = list(args)
        if "--apply" in typed:
            listing = tmp_path / "listing"
            listing.write_text(typed[-1])
            typed[-1] = str(listing)
        files = [path, other] if via == "files" else [path]
        status = _cli.main([*map(str, files), "-i", *typed])
        err = capfd.readouterr().err
        if conflict:
            assert (status, err) == (
                1,
                f"props-to-tree: error: {path}: another program changed {after!r} "
                "meanwhile: nothing written\n",
            )
        else:
            assert (status, err) == (0, "")
    assert path.read_bytes().decode() == (saved if conflict else after)
    # The other file, which no program changed meanwhile: all or nothing.
    made = _changed_as(Document(text, name.rpartition(".")[2]), args).text
    plain = via == "files" and not conflict
    assert other.read_bytes().decode() == (made if plain else text)


def test_edit_and_the_command_take_turns_on_a_file(tmp_path):
    path = tmp_path / "c.yaml"
    path.write_text("a: 1\nb: 2\n")
    command = [sys.executable, "-m", "props_to_tree", str(path), "-i"]
    env = dict(os.environ, PYTHONPATH=IMPORT_ROOT)
    with props_to_tree.edit(path) as doc:
        doc["a"] = 10
        held = subprocess.run(
            [*command, "--wait", "0", "--set", "b=20"],
            capture_output=True,
            text=True,
            env=env,
            cwd="/",
        )
        assert held.returncode == 1
        assert "is being edited by another run" in held.stderr
    subprocess.run([*command, "--set", "b=20"], check=True, env=env, cwd="/")
    assert path.read_text() == "a: 10\nb: 20\n"
    with open(path) as other:
        fcntl.flock(other, fcntl.LOCK_EX)  # as a run of the command holds it
        with pytest.raises(TimeoutError, match=r"waited 0\.05 s"):
            props_to_tree.edit(path, wait=0.05).__enter__()
    # A second edit of the file in this process would wait for the first.
    with props_to_tree.edit(path), pytest.raises(RuntimeError, match="already"):
        props_to_tree.edit(path).__enter__()


@pytest.mark.parametrize(
    ("name", "content", "error", "message"),
    [
        ("missing.json", None, FileNotFoundError, r"No such file .*\(new=True makes"),
        ("a.json", "{", DocumentError, "a.json: not valid JSON"),
        ("a.conf", "a = 1\n", DocumentError, "read as JSON.*: format= names its"),
        ("a.bin", "\0", DocumentError, "is not text: a NUL byte at byte 0"),
        ("fifo.json", os.mkfifo, OSError, "cannot edit .* in place: not a regular"),
        ("null.json", os.devnull, OSError, "cannot edit .* in place: not a regular"),
    ],
)
def test_edit_of_what_does_not_read_raises_and_writes_nothing(
    tmp_path, name, content, error, message
):
    path = tmp_path / name
    if content is os.mkfifo:
        os.mkfifo(path)
    elif content == os.devnull:
        path.symlink_to(os.devnull)
    elif content is not None:
        path.write_text(content)
    with pytest.raises(error, match=message) as raised:
        props_to_tree.edit(path, create=True).__enter__()
    if content is None:
        assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(path))
    if content in (os.mkfifo, os.devnull):
        assert not stat.S_ISREG(os.stat(path).st_mode)
    else:
        assert (path.read_text() if content is not None else None) == content
    with pytest.raises(ValueError, match="unknown format 'ini'"):
        props_to_tree.edit(path, format="ini").__enter__()


def test_the_api_is_imported_when_first_used():
    code = (
        "import sys, props_to_tree; props_to_tree.flatten({}); "
        "assert 'props_to_tree._api' not in sys.modules; "
        "assert props_to_tree.Document.__module__ == 'props_to_tree'; "
        "assert 'props_to_tree._api' in sys.modules; "
        "assert props_to_tree.PathError.__mro__[2] is KeyError; "
        "assert repr(props_to_tree.PathError('x')) == 'PathError(' + repr('x') + ')'; "
        "assert props_to_tree.DocumentError.__module__ == 'props_to_tree'"
    )
    subprocess.run(
        [sys.executable, "-c", code],
        check=True,
        cwd="/",
        env=dict(os.environ, PYTHONPATH=IMPORT_ROOT),
    )


# --- each format's exact text, changed through the API -----------------------------


def test_edit_new_makes_a_missing_file_and_removes_it_if_the_block_fails(tmp_path):
    path = tmp_path / "n.toml"
    with pytest.raises(FileNotFoundError), props_to_tree.edit(path):
        pass
    with props_to_tree.edit(path, new=True, create=True) as doc:
        doc["tool.ruff"] = {"line-length": 100}
    assert path.read_text() == "[tool.ruff]\nline-length = 100\n"
    with (
        pytest.raises(TypeError),
        props_to_tree.edit(tmp_path / "x.toml", new=True) as doc,
    ):
        doc["a"] = None  # TOML has no null
    assert not (tmp_path / "x.toml").exists()
    with props_to_tree.edit(tmp_path / "y.json", new=True):
        pass  # nothing written: nothing made
    assert not (tmp_path / "y.json").exists()


def test_apply_takes_create_as_set_does():
    doc = Document("a = 1\n", "toml")
    with pytest.raises(PathError, match="create=True makes the tables"):
        doc.apply("t.x = 1\n")
    doc.apply("t.x = 1\nt.y = 2\n", create=True)
    assert doc.text == "a = 1\n\n[t]\nx = 1\ny = 2\n"


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize(
    "work",
    [
        lambda: props_to_tree.Document("a: [1, 2]\n", "yaml").data,
        lambda: props_to_tree.Document("a = 1\n", "toml").set("a", 2),
        lambda: props_to_tree.Document("a: [1]\n", "yaml").set("a[5]", 2),  # fails
        lambda: props_to_tree.Document("a: [\n", "yaml"),  # does not read
    ],
)
def test_the_collector_is_left_as_it_was(work, enabled):
    # Paused while a document is read or changed, it is on again after, or
    # off where the program had turned it off, whether the work fails or not.
    import gc

    (gc.enable if enabled else gc.disable)()
    try:
        with contextlib.suppress(props_to_tree.EditError):
            work()
        assert gc.isenabled() is enabled
    finally:
        gc.enable()
