"""The command, end to end in a subprocess, on the examples' three formats;
the long tables in process."""

import difflib
import fcntl
import io
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest
from _support import CARGO, COMPOSE, IMPORT_ROOT, MANIFESTS, PEOPLE

from props_to_tree._command import cli as _cli
from props_to_tree._formats.yaml import view as yaml_view

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
FORMATS = ("toml", "yaml", "json")

# The examples hold the same data; TOML and JSON show strings alike.
QUOTED = [
    'service.name = "inventory"',
    "service.replicas = 3",
    'service.tags[0] = "api"',
    'service.tags[1] = "internal"',
    'db.host = "db.internal"',
    "db.port = 5432",
    "db.pool.min = 2",
    "db.pool.max = 20",
    'logging.level = "info"',
]
LISTINGS = {
    "toml": QUOTED,
    "json": QUOTED,
    "yaml": [line.replace('"', "") for line in QUOTED],
}


def run(*args, stdin=None, cwd="/", stdout=subprocess.PIPE):
    # Not from the source tree, whose package has no built module.
    return subprocess.run(
        [sys.executable, "-m", "props_to_tree", *map(str, args)],
        input=stdin,
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
        cwd=cwd,
        env=dict(os.environ, PYTHONPATH=IMPORT_ROOT),
    )


def ok(*args, **kwargs):
    result = run(*args, **kwargs)
    assert (result.returncode, result.stderr) == (0, "")
    return result.stdout


@pytest.fixture
def command(capfd, monkeypatch):
    """`run` in this process: a table of many rows would spend its time
    starting interpreters."""

    def call(*args, stdin=None, cwd="/"):
        monkeypatch.chdir(cwd)
        if stdin is not None:
            data = io.BytesIO(stdin.encode("utf-8", "surrogatepass"))
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(data))
        capfd.readouterr()
        status = _cli.main(list(map(str, args)))
        out, err = capfd.readouterr()
        return subprocess.CompletedProcess(args, status, out, err)

    return call


def succeeded(result):
    assert (result.returncode, result.stderr) == (0, "")
    return result.stdout


def changed(before, after):
    """The lines that differ, as (old, new) runs."""
    return [
        line
        for line in difflib.unified_diff(before.splitlines(), after.splitlines(), n=0)
        if line[:1] in "+-" and line[:3] not in ("+++", "---")
    ]


@pytest.fixture(params=FORMATS)
def example(request, tmp_path):
    path = tmp_path / f"service.{request.param}"
    shutil.copyfile(EXAMPLES / path.name, path)
    return path


def listing(path):
    return ok(path).splitlines()


def expected(fmt, **changes):
    lines = {line.partition(" = ")[0]: line for line in LISTINGS[fmt]}
    for path, value in changes.items():
        if value is None:
            del lines[path.replace("_", ".")]
        else:
            lines[path.replace("_", ".")] = f"{path.replace('_', '.')} = {value}"
    return list(lines.values())


def test_lists_one_line_per_leaf_in_document_order(example):
    assert listing(example) == LISTINGS[example.suffix[1:]]


@pytest.mark.parametrize(
    ("path", "toml", "yaml"),
    [
        ("db.port", "5432\n", "5432\n"),
        ("service.name", "inventory\n", None),  # a string's text, unquoted
        ("db.pool", "db.pool.min = 2\ndb.pool.max = 20\n", None),
    ],
)
def test_get(example, path, toml, yaml):
    want = {"toml": toml, "json": toml, "yaml": yaml or toml}[example.suffix[1:]]
    assert ok(example, "--get", path) == want


EDITS = [
    # (arguments, changes to the listing by path, lines of the file that change)
    (["--set", "db.port=5433"], {"db_port": "5433"}, 1),
    (["--set", "db.port=5432"], {}, 0),  # unchanged: the file is left alone
    (["--delete", "service.replicas"], {"service_replicas": None}, None),
    (
        ["--set", "db.pool.max=30", "--delete", "db.pool.min", "--set", "db.port=1"],
        {"db_pool_max": "30", "db_pool_min": None, "db_port": "1"},
        None,
    ),
]


@pytest.mark.parametrize(("args", "changes", "lines"), EDITS)
def test_edits_print_or_replace_the_document(example, args, changes, lines):
    before = example.read_text()
    printed = ok(example, *args)
    assert example.read_text() == before

    assert ok(example, "-i", *args) == ""
    after = example.read_text()
    assert after == printed
    assert listing(example) == expected(example.suffix[1:], **changes)
    if lines is not None and example.suffix != ".json":
        assert len(changed(before, after)) == 2 * lines, changed(before, after)


def test_apply_takes_listing_lines(example, tmp_path):
    edits = tmp_path / "edits.txt"
    port = "db.port = 5433"
    edits.write_text(f"# a comment\n\n{port}\n")
    assert ok(example, "--apply", edits) == ok(example, "--set", port)
    assert ok(example, "--apply", "-", stdin=port) == ok(example, "--set=db.port=5433")


def test_listing_applied_back_gives_the_file_byte_for_byte(example):
    assert ok(example, "--apply", "-", stdin=ok(example)) == example.read_text()


WARNINGS = [
    # (format, document, arguments, the one line of warning, output)
    (
        "json",
        '{"a": 1}',
        ["--set", 'b={"x": 1'],
        "'{\"x\": 1' is not a list or a table, and is written as a string; "
        'write \'"{\\"x\\": 1"\' to say so',
        '{"a": 1, "b": "{\\"x\\": 1"}',
    ),
    (
        "toml",
        'version = "2.0"\n',
        ["--set", "version=2.1"],
        "'version' was a string and is now a number; write '\"2.1\"' to keep a string",
        "version = 2.1\n",
    ),
    (
        "json",
        '{"version": "1.0.0"}',
        ["--set", "version=1.10"],
        "'version' was a string and is now a number; write '\"1.10\"' to keep a string",
        '{"version": 1.10}',
    ),
    (
        "yaml",
        "python-version: 3.10\n",
        ["--set", "python-version=3.11.2"],
        "'python-version' was a number and is now a string",
        "python-version: 3.11.2\n",
    ),
    (
        "json",
        '{"version": true}',
        ["--set", "version=1"],
        "'version' was a boolean and is now a number",
        '{"version": 1}',
    ),
    # A change to a node that aliases or merge keys share, once per node.
    (
        "yaml",
        "a: &x {k: 1, j: 1}\nb: *x\n",
        ["--set", "b.k=2", "--set", "b.j=2"],
        "'b.k' is shared through an alias or a merge key: "
        "the same change shows at 'a.k'",
        "a: &x {k: 2, j: 2}\nb: *x\n",
    ),
    (
        "yaml",
        "base: &b\n  x: {y: 1}\np:\n  <<: *b\nq:\n  <<: *b\n",
        ["--set", "p.x.y=2", "--set", "p.z=1"],
        "'p.x.y' is shared through an alias or a merge key: "
        "the same change shows at 'base.x.y', 'q.x.y'",
        "base: &b\n  x: {y: 2}\np:\n  <<: *b\n  z: 1\nq:\n  <<: *b\n",
    ),
    (
        "yaml",
        "d: &d {a: 1}\ne: &e {t: 1}\nx: {<<: [*d, *e]}\ny: {<<: *d, a: 2}\n",
        ["--set", "d.a=3"],
        "'d.a' is shared through an alias or a merge key: "
        "the same change shows at 'x.a'",
        "d: &d {a: 3}\ne: &e {t: 1}\nx: {<<: [*d, *e]}\ny: {<<: *d, a: 2}\n",
    ),
    (
        "yaml",
        "on:\n  push: [main]\n",
        ["--set", "on.push[0]=[skip ci]"],
        "'on.push[0]' was a string and is now a list; "
        "write '\"[skip ci]\"' to keep a string",
        "on:\n  push: [[skip ci]]\n",
    ),
    (
        "yaml",
        'b: "x"\n',
        ["--set", "b=!!int 5"],
        "'b' was a string and is now a number",
        "b: !!int 5\n",
    ),
    (
        "json",
        '{"m": {"a": 1}}',
        ["--set", "m=web"],
        "'m' was a table and is now a string",
        '{"m": "web"}',
    ),
    (
        "yaml",
        "k: &v x\nl: *v\n",
        ["--set", "k=y1", "--set", "l=z1"],
        "'k' is shared through an alias or a merge key: the same change shows at 'l'",
        "k: &v y1\nl: z1\n",
    ),
    # A null that an alias shares, made a table: the alias shows it too.
    (
        "yaml",
        "a: &x\n  b:\nc: *x\n",
        ["--create", "--set", "a.b.x=1"],
        "'a.b' is shared through an alias or a merge key: "
        "the same change shows at 'c.b'",
        "a: &x\n  b:\n    x: 1\nc: *x\n",
    ),
    # A --set through selectors that adds its key at some matches alone.
    (
        "yaml",
        "- kind: Service\n  spec: {ports: [80]}\n- kind: Deployment\n  spec:\n"
        "    replicas: 3\n",
        ["--set", "[*].spec.replicas=5"],
        "'[*].spec.replicas' is new at 1 of 2 matches: '[0].spec.replicas'",
        "- kind: Service\n  spec: {ports: [80], replicas: 5}\n- kind: Deployment\n"
        "  spec:\n    replicas: 5\n",
    ),
    # A VALUE is what is written: a tag it does not repeat is dropped.
    (
        "yaml",
        "KeyName: !Ref 'KeyName'\n",
        ["--set", "KeyName=mykey"],
        "'KeyName' had the tag !Ref and is now a string; write '!Ref mykey' to keep it",
        "KeyName: 'mykey'\n",
    ),
    (
        "yaml",
        "c: !!str 5\n",
        ["--set", "c=6"],
        "'c' had the tag !!str and is now a number; write '!!str 6' to keep it",
        "c: 6\n",
    ),
    # A plain scalar of YAML 1.1's timestamp form that is a real date is one.
    (
        "yaml",
        'built: "x"\n',
        ["--set", "built=2024-01-01"],
        "'built' was a string and is now a date; "
        "write '\"2024-01-01\"' to keep a string",
        "built: 2024-01-01\n",
    ),
    (
        "yaml",
        "d: 2024-01-01\n",
        ["--set", "d=2024-02-30"],
        "'d' was a date and is now a string",
        'd: "2024-02-30"\n',
    ),
    # An item of another kind than all of its siblings.
    (
        "yaml",
        'python-version: ["3.9", "3.10"]\n',
        ["--set", "python-version[2]=3.10"],
        "'python-version[2]' is a number among strings; "
        "write '\"3.10\"' to keep a string",
        'python-version: ["3.9", "3.10", 3.10]\n',
    ),
    (
        "json",
        '{"ports": [80, 443]}',
        ["--set", "ports[2]=8080a"],
        "'ports[2]' is a string among numbers",
        '{"ports": [80, 443, "8080a"]}',
    ),
    (
        "toml",
        "d = [2024-01-01]\n",
        ["--set", "d[1]=true"],
        "'d[1]' is a boolean among dates",
        "d = [2024-01-01, true]\n",
    ),
    # Warned of in a list made by several changes too.
    (
        "yaml",
        "a: 1\n",
        ["--create", "--set", "l[0]=x", "--set", "l[1]=1.10"],
        "'l[1]' is a number among strings; write '\"1.10\"' to keep a string",
        "a: 1\nl:\n  - x\n  - 1.10\n",
    ),
]


@pytest.mark.parametrize(("fmt", "document", "args", "warning", "out"), WARNINGS)
def test_changes_that_show_more_than_asked_are_warned_of(
    command, fmt, document, args, warning, out
):
    result = command("--format", fmt, *args, stdin=document)
    assert result.returncode == 0
    assert result.stderr == f"props-to-tree: warning: {warning}\n"
    assert result.stdout == out


@pytest.mark.parametrize(
    ("fmt", "document", "lines"),
    [
        (
            "yaml",
            "200: OK\nx: {true: 1, null: [a]}\n",
            "200 = OK\nx.true = 1\nx.null[0] = a\n",
        ),
        (
            "yaml",
            "base: &b {a: 1}\nuse:\n  <<: *b\n  c: 2\n",
            "base.a = 1\nuse.c = 2\nuse.a = 1\n",
        ),
        ("yaml", "t: |\n  x\n  y\n", 't = "x\\ny\\n"\n'),
        ("toml", 'a = """\nx\ny"""\n', 'a = "x\\ny"\n'),
        ("json", '{"a": {}, "b": [{}]}', "a = {}\nb[0] = {}\n"),
        (
            "json",
            '[{"x.y": [], "": 1}, "a\\ud800"]',
            '[0]["x.y"] = []\n[0][""] = 1\n[1] = "a\\ud800"\n',
        ),
        (
            "yaml",
            "- a\n---\n# only a comment\n---\nk: [1, [2]]\n",
            "[0][0] = a\n[1].k[0] = 1\n[1].k[1][0] = 2\n",
        ),
        ("yaml", "", ""),
        ("json", '{"a\\ud800": {"b": 1}}', '["a\\ud800"].b = 1\n'),
        ("toml", "[[a]]\nb = [{c = 1}]\n[[a]]\n", "a[0].b[0].c = 1\na[1] = {}\n"),
        # Tagged collections by their members; a document that is a value.
        ("yaml", "--- !!omap\n- a: 1\n- b: 2\n", "[0].a = 1\n[1].b = 2\n"),
        ("yaml", "--- !!set\n? a\n", "a = null\n"),
        ("yaml", "? !!str a\n: !!int 47\n", "a = !!int 47\n"),
        ("yaml", "~\n", ". = null\n"),
        ("yaml", "hello\n", ". = hello\n"),
        ("yaml", "0x10: b\n+1: c\n~: d\n", "0x10 = b\n+1 = c\n~ = d\n"),
        ("yaml", '? \n: 1\n"": 2\n', 'null = 1\n[""] = 2\n'),
        ("json", '"ab"', '. = "ab"\n'),
        ("json", "42", ". = 42\n"),
        ("json", "", ""),
        ("jsonc", "// nothing\n", ""),
        # Lines end at "\n" alone: other breaks stay in the value.
        (
            "json",
            '{"a": "x\u2028y\u0085z", "b": NaN}',
            'a = "x\u2028y\u0085z"\nb = NaN\n',
        ),
        ("yaml", 'a: "x\u2028y"\n', 'a = "x\\u2028y"\n'),  # YAML folds it raw
        # Numbers as written, in every format; dates too, in YAML.
        (
            "json",
            '{"a": [1E400, 1e5, -0, 1.10, -0.0, 1.5, 12345678901234567890, -1e-7]}',
            "a[0] = 1E400\na[1] = 1e5\na[2] = -0\na[3] = 1.10\na[4] = -0.0\n"
            "a[5] = 1.5\na[6] = 12345678901234567890\na[7] = -1e-7\n",
        ),
        (
            "jsonc",
            '{"a": 1.50, // c\n "b": [-0, 2E1,],}',
            "a = 1.50\nb[0] = -0\nb[1] = 2E1\n",
        ),
        (
            "toml",
            "a = 0o755\nb = [1_000, +5, 0xdead_BEEF, 0b1]\nc = {d.e = 1e5, f = +inf}\n"
            "g = 1.10\nh = -0\n[[t]]\ni = -0.0\n",
            "a = 0o755\nb[0] = 1_000\nb[1] = +5\nb[2] = 0xdead_BEEF\nb[3] = 0b1\n"
            "c.d.e = 1e5\nc.f = +inf\ng = 1.10\nh = -0\nt[0].i = -0.0\n",
        ),
        # Dates and times as written, not as Python's ISO form shows them.
        (
            "toml",
            "i = 1979-05-27T07:32:00Z\nm = 1979-05-27 07:32:00\nd = 1979-05-27\n"
            "t = [07:32:00.5, {x = 1979-05-27t07:32:00.123456789-07:00}]\n",
            "i = 1979-05-27T07:32:00Z\nm = 1979-05-27 07:32:00\nd = 1979-05-27\n"
            "t[0] = 07:32:00.5\nt[1].x = 1979-05-27t07:32:00.123456789-07:00\n",
        ),
        (
            "yaml",
            "a: 0x1F\nb: [1.10, 1e3, +1, .Inf, 0o17]\nc: 2024-01-01\n"
            "d: 2001-12-14 21:59:43.10 -5\ne: 2024-02-30\nf: '2024-01-01'\n"
            "g: 2024-01-01T10\n",
            "a = 0x1F\nb[0] = 1.10\nb[1] = 1e3\nb[2] = +1\nb[3] = .Inf\nb[4] = 0o17\n"
            "c = 2024-01-01\nd = 2001-12-14 21:59:43.10 -5\ne = 2024-02-30\n"
            'f = "2024-01-01"\ng = 2024-01-01T10\n',
        ),
    ],
)
def test_odd_documents_list_one_line_per_leaf(tmp_path, command, fmt, document, lines):
    path = tmp_path / f"odd.{fmt}"
    path.write_text(document)
    assert succeeded(command(path)) == lines
    # Every line reads back as the value in place.
    assert succeeded(command(path, "--apply", "-", stdin=lines)) == document


def test_an_edited_listing_changes_a_shared_value_once(tmp_path, command):
    # The listing shows a shared value at every path to it: the line edited
    # changes it, the lines left as they were are no changes back.
    path = tmp_path / "shared.yaml"
    path.write_text("base: &b\n  m: {k: 1}\nprod:\n  <<: *b\nalias: *b\n")
    listed = succeeded(command(path))
    assert listed == "base.m.k = 1\nprod.m.k = 1\nalias.m.k = 1\n"
    for edited in ("base.m.k = 5", "prod.m.k = 5", "alias.m.k = 5"):
        lines = tmp_path / "edited.txt"
        lines.write_text(listed.replace(edited.replace("5", "1"), edited))
        result = command(path, "--apply", lines)
        assert result.returncode == 0
        assert result.stdout == ("base: &b\n  m: {k: 5}\nprod:\n  <<: *b\nalias: *b\n")


def test_split_table_lists_and_edits_every_part(tmp_path):
    # Only the last part of a table split around an array of tables is in
    # the document's dict storage.
    path = tmp_path / "split.toml"
    path.write_text("[x]\na = 1\n[[y]]\nn = 1\n[x.z]\nb = 2\n")
    assert listing(path) == ["x.a = 1", "x.z.b = 2", "y[0].n = 1"]
    ok(path, "-i", "--set", "x.a=3", "--set", "x.z.b=4")
    assert path.read_text() == "[x]\na = 3\n[[y]]\nn = 1\n[x.z]\nb = 4\n"


def test_yaml_tags_construct_nothing(tmp_path):
    marker = tmp_path / "ran"
    path = tmp_path / "tags.yaml"
    path.write_text(f'a: !!python/object/apply:os.system ["touch {marker}"]\nb: 1\n')
    assert listing(path)[0] == f"a[0] = touch {marker}"
    ok(path, "-i", "--set", "b=2")
    assert path.read_text().startswith("a: !!python/object/apply:os.system")
    assert not marker.exists()


GETS = [
    (
        "yaml",
        "a: 1\n---\nb: {c: [1, 2]}\n",
        "[1].b",
        "[1].b.c[0] = 1\n[1].b.c[1] = 2\n",
    ),
    ("yaml", "- x\n- y\n", "[-1]", "y\n"),
    ("toml", "[[a]]\nb = 1\n", "a[0]", "a[0].b = 1\n"),
    ("json", '{"a": {"b.c": []}}', 'a["b.c"]', "[]\n"),
    ("json", '"ab"', ".", "ab\n"),
    # A string prints as its text: escapes read, line breaks its own.
    ("json", '{"a": "x\\"y\\\\ \\u00e9\\n z"}', "a", 'x"y\\ \u00e9\n z\n'),
    ("toml", "a = '''\nx\n  y'''\nb = 1979-05-27\n", "a", "x\n  y\n"),
    ("toml", "b = 1979-05-27\n", "b", "1979-05-27\n"),
    ("yaml", "a: |\n  x\n  y\nb: !!str 80\nc: '80'\n", "a", "x\ny\n\n"),
    ("yaml", "b: !!str 80\nc: '80'\nd: ~\n", "b", "80\n"),
    ("yaml", "b: !!str 80\nc: '80'\nd: ~\n", "d", "null\n"),
    ("json", '{"a": {"b": 1e5, "c": [1.10]}}', "a", "a.b = 1e5\na.c[0] = 1.10\n"),
    ("toml", "mode = 0o755\n", "mode", "0o755\n"),
    (
        "toml",
        "r = 1979-05-27 07:32:00.123456789Z\n",
        "r",
        "1979-05-27 07:32:00.123456789Z\n",
    ),
    ("yaml", "built: 2024-01-01 10:00:00\n", "built", "2024-01-01 10:00:00\n"),
    # Conditions joined by "&" all hold; quoted VALUEs and keys may hold "&".
    (
        "yaml",
        "- {kind: Service, metadata: {name: f}}\n"
        "- {kind: Deployment, metadata: {name: f}}\n",
        "[kind=Deployment&metadata.name=f].kind",
        "Deployment\n",
    ),
    (
        "json",
        '[{"a": 1, "b": "x&y", "R&D": true}, {"a": 1, "b": "z"}]',
        '[a=1&b="x&y"&["R&D"]=true].a',
        "1\n",
    ),
    (
        "toml",
        "[[c]]\nn = 'web'\ni = 'nginx:1'\n[[c]]\nn = 'web2'\ni = 'x'\n",
        "c[n^=web&i^=nginx].n",
        "web\n",
    ),
    # On a table: its members whose value holds the condition, or is it.
    (
        "yaml",
        "jobs:\n  a: {runs-on: ubuntu-latest}\n  b:\n    runs-on: macos\n",
        "jobs[runs-on=macos].runs-on",
        "macos\n",
    ),
    (
        "json",
        '{"deps": {"a": "^1.2", "b": "~2", "c": "^1.0"}}',
        'deps[.^="^1."]',
        "^1.2\n^1.0\n",
    ),
    ("toml", "[s.a]\np = 1\n[s.b]\np = 2\n", "s[p=2].p", "2\n"),
    ("json", '{"a": {"k": 1}, "b": {"k": 2}}', "[k=2].k", "2\n"),  # at the top
    ("toml", "a = {k = 1}\nb = {k = 2}\n", "[k=1].k", "1\n"),
    # At the start of a YAML path, the documents, in a stream of one too.
    ("yaml", "kind: A\nspec: {k: 1}\n", "[kind=A].spec.k", "1\n"),
    ("yaml", "a: {k: 1}\n---\na: {k: 2}\n", "[*].a[.=2]", "2\n"),
    # Selectors compare dates as dates.
    (
        "yaml",
        "- {d: 2024-01-01 00:00:00 +00:00, n: 1}\n"
        "- {d: '2024-01-01T00:00:00Z', n: 2}\n",
        "[d=2024-01-01T00:00:00Z].n",
        "1\n",
    ),
    # Every match in document order: a value a line, a table as its lines.
    ("yaml", COMPOSE, "services.*.image", "nginx:1.25\npostgres:16\n"),
    ("yaml", COMPOSE, 'services["*"]', "odd\n"),
    ("yaml", COMPOSE, "services.*.ports[*]", "80:80\n"),
    ("json", PEOPLE, "[age=30].name", "Ann\n"),
    ("json", PEOPLE, "[*]", '[0].name = "Ann"\n[0].age = 30\n[1].name = "Bo"\n7\n'),
    ("json", PEOPLE, "[name^=B]", '[1].name = "Bo"\n'),
    ("json", PEOPLE, '[age="30"].name', None),  # the string "30" is no number
    ("yaml", "a: &x {n: 1}\nb: [*x, *x, {n: 2}]\n", "b[*].n", "1\n2\n"),
    ("yaml", MANIFESTS, "[kind=Service].metadata.name", "web\n"),
    ("yaml", MANIFESTS.split("---")[0], "[kind=Deployment].spec.replicas", "2\n"),
    ("yaml", "- kind: a\n- kind: b\n", "[kind=b]", "[1].kind = b\n"),
    ("toml", CARGO, "bin[name=cli].path", "src/cli.rs\n"),
    ("toml", "a = [1, 1.0, true, '1']\n", "a[.=1]", "1\n1.0\n"),
    ("json", '{"a": {"x": {}, "y": [], "z": 1}}', "a.*", "a.x = {}\na.y = []\n1\n"),
    ("json", '[{"k^": 1, "k": 2}]', '[["k^"]=1].k', "2\n"),
    ("json", '[{"k^": 1, "k": 2}]', '["k^"=1].k', "2\n"),
    ("toml", "a = 1\nb = [2]\n", ".", "a = 1\nb[0] = 2\n"),
    ("yaml", "x: !t\n  a: 1\n", "x.a", "1\n"),
]


@pytest.mark.parametrize(("fmt", "document", "path", "printed"), GETS)
def test_get_prints_a_value_or_the_lines_below(command, fmt, document, path, printed):
    result = command("--format", fmt, "--get", path, stdin=document)
    if printed is None:
        assert result.returncode == 2
        assert "no item with" in result.stderr
    else:
        assert succeeded(result) == printed


def test_several_gets_print_in_order(example):
    printed = ok(example, "--get", "db.port", "--get", "db.pool")
    assert printed == ok(example, "--get", "db.port") + ok(example, "--get", "db.pool")


def test_keys_that_cannot_stand_bare_are_quoted_and_read_back(tmp_path):
    document = (
        '{"x": {"a.b": 1, "[k]": 2, " s": 3, "#": 4, "=": 5, "*": 0}, "c": {"d": 6}}'
    )
    listed = ok("--format", "json", stdin=document)
    assert listed == (
        'x["a.b"] = 1\nx["[k]"] = 2\nx[" s"] = 3\nx["#"] = 4\nx["="] = 5\n'
        'x["*"] = 0\nc.d = 6\n'
    )
    path = tmp_path / "keys.json"
    path.write_text(document)
    assert ok(path, "--apply", "-", stdin=listed) == document
    changed = listed.replace("= 1", "= 7")
    assert ok(path, "--apply", "-", stdin=changed) == document.replace("1", "7")
    edits = ["--set", 'x["a.b"]=7', "--set", 'x["="]=8']
    assert ok("--format", "json", *edits, stdin=document) == document.replace(
        "1", "7"
    ).replace("5", "8")


ERRORS = [
    # (arguments, standard input, what the one line says)
    (["--set", "web.port=1"], None, "cannot write 'web.port': no 'web' at the top"),
    (["--set", "db.port.x=1"], None, "'db.port' holds a number, not a table"),
    (["--get", "db.port.x"], None, "'db.port' holds a number, not a table"),
    (["--get", "db.port", "--get", "db.x"], None, "no 'x' under 'db'"),
    (["--get", "db."], None, "bad path 'db.': a key is empty"),
    (["--delete", "."], None, "--delete .: the top of a document is not deleted"),
    (["--set", "service.tags=[a, b"], None, "'service.tags' holds a list and '[a, b'"),
    (["--wait", "-1", "--set", "a=1"], None, "--wait: must be 0 or more seconds"),
    (["--set", "db.port=1", "--set", "db.x.y=2"], None, "no 'x' under 'db'"),
    (["--delete", "db.nope"], None, "cannot delete 'db.nope': no 'nope' under 'db'"),
    (["--get", "db.nope"], None, "no 'nope' under 'db'"),
    (["--set", "db.port"], None, "--set needs PATH=VALUE"),
    (["--apply", "-"], "db.port: 1", "standard input, line 1: expected 'PATH = VALUE'"),
    (["--apply", "missing.txt"], None, "cannot read missing.txt"),
    (["--get", "db.port", "--set", "a=1"], None, "--get does not go with changes"),
    (["--bogus"], None, "unrecognized arguments: --bogus"),
    # A selector that matches nowhere says where it stopped, on every path.
    (
        ["--set", "service.tags[.=web]=x"],
        None,
        "cannot write 'service.tags[.=web]': no item with .=web in 'service.tags' (2",
    ),
    (["--delete", "db.*.x"], None, "none of the 3 matches of 'db.*' holds 'x'"),
    (["--get", "db.pool.*.x"], None, "none of the 2 matches of 'db.pool.*' holds 'x'"),
    (
        ["--get", "service.tags.*"],
        None,
        "'service.tags' is a list: a list's items are [*]",
    ),
    (["--get", "db[*]"], None, "'db' is a table, not a list: [*] picks a list's"),
    (["--get", "db[a!=1]"], None, "compares with = or ^=; a key that ends in '!'"),
    (["--get", "db.port[*]"], None, "'db.port' holds a number, not a list"),
    (["--get", "db.pool[min=2]"], None, "no member with min=2 in 'db.pool' (2 keys)"),
    (
        ["--get", "db.port[a=1]"],
        None,
        "'db.port' holds a number, not a list or a table",
    ),
    (["--get", "db[port=1&host]"], None, "after '&' comes no condition SUB=VALUE"),
    (["--get", 'db[R&D="x"]'], None, "a key that holds it is written quoted"),
    (["--get", 'db[a="x"b]'], None, "a quoted VALUE ends its condition with '&'"),
    (["--get", "service.tags[.={}]"], None, "[.={}] compares scalars"),
    (
        ["--apply", "-"],
        "service.tags[.=x] = y",
        "line 1: cannot write 'service.tags[.=x]'",
    ),
    (["--set", "db[name=x"], None, "bad path 'db[name=x': a selector ends with ']'"),
    (["--get", "db[=x]"], None, "bad path 'db[=x]': an item is [N]"),
    # [+] ends a path that is set, at a list.
    (["--get", "service.tags[+]"], None, "bad path 'service.tags[+]': [+] stands"),
    (["--delete", "service.tags[+]"], None, "so it ends a path that is set"),
    (["--set", "service.tags[+].x=1"], None, "so it ends a path that is set"),
    (["--set", "db[+]=1"], None, "cannot write 'db[+]': 'db' holds a table: [+]"),
    # The word after --set, --get and --delete is theirs, whatever it starts with.
    (["--set", "-db.port=1"], None, "cannot write '-db.port': no '-db' at the top"),
    (["--get", "-i"], None, "no '-i' at the top level"),
    (["--delete", "--x"], None, "cannot delete '--x': no '--x' at the top level"),
    # --to prints one document.
    (["--to", "yaml", "-i"], None, "--to prints the converted document: redirect"),
    (["--to", "yaml", "--diff"], None, "--to does not go with --diff"),
    (["--to", "yaml", "--get", "db"], None, "--to does not go with --get"),
    (["--to", "ini"], None, "argument --to: invalid choice: 'ini'"),
    (["--drop-tags"], None, "--drop-tags goes with --to"),
]


@pytest.mark.parametrize(("args", "stdin", "message"), ERRORS)
def test_bad_changes_are_one_line_status_2_and_write_nothing(
    command, example, args, stdin, message
):
    before = example.read_bytes()
    runs = [command(example, *args, stdin=stdin)]
    if "--get" not in args:
        runs.append(command(example, "-i", *args, stdin=stdin))
    for result in runs:
        assert result.returncode == 2
        assert result.stdout == ""
        assert result.stderr.startswith("props-to-tree: error: ")
        assert result.stderr.count("\n") == 1
        assert message in result.stderr
    assert example.read_bytes() == before


def test_to_converts_after_the_changes_and_says_what_it_dropped(command, tmp_path):
    path = tmp_path / "values.yaml"
    text = "# head\n\na: 1  # one\nb: !Ref x\nc: {d: /x}\n"
    path.write_text(text)
    result = command(path, "--to", "jsonc", "--set", "a=2", "--delete", "b")
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        '// head\n{\n  "a": 2, // one\n  "c": {\n    "d": "/x"\n  }\n}\n'
    )
    assert result.stderr == ""
    refused = command(path, "--to", "toml")
    assert refused.returncode == 2
    assert refused.stderr == (
        f"props-to-tree: error: {path}: 'b' is tagged !Ref, which TOML cannot hold: "
        "--drop-tags writes its value alone\n"
    )
    dropped = command(
        "--format", "jsonc", "--to", "yaml", stdin='{"a": /* 1 */ 1 /* 2 */}'
    )
    assert dropped.stdout == "a: 1  # 1\n"
    assert dropped.stderr == (
        "props-to-tree: warning: a comment had no place in YAML and was dropped\n"
    )
    both = command("--to", "json", "--apply", "-", stdin="a: 1\n")
    assert both.returncode == 2
    assert "standard input cannot be both the document and a listing" in both.stderr
    assert path.read_text() == text


BAD_INPUT = [
    (["--format", "json"], "{not json", "standard input: not valid JSON"),
    (["--format", "toml"], "a = = 1", "standard input: not valid TOML"),
    (["--format", "yaml"], "a: [", "standard input: not valid YAML"),
    (
        ["--format", "jsonc"],
        '{"a": 1 // one\n  /* c */ "b": 2}',
        "not valid JSONC: Expecting ',' delimiter (line 2, column 11)",
    ),
    (
        ["--format", "yaml", "--set", "[2].a=1"],
        "a: 1\n---\nb: 2\n",
        "no [2] at the top (2 items)",
    ),
    (
        ["--format", "yaml", "--delete", "[0]"],
        "a: 1\n---\nb: 2\n",
        "a document of a stream",
    ),
    (
        ["--format", "json", "--set", "[1][x]=1"],
        "[1, 2]",
        "bad path '[1][x]': an item is [N]",
    ),
    (
        ["--format", "json", "--set", "a[0]=1"],
        '{"a": {}}',
        "'a' is a table, not a list",
    ),
    (
        ["--format", "toml", "--set", "a.b=1"],
        "a = [1]",
        "no 'b' under 'a': it is a list (1 item); write a[N].b",
    ),
    (
        ["--format", "yaml", "--get", "hosts"],
        "- a\n- b\n",
        "no 'hosts' at the top: it is a list (2 items); write [N].hosts",
    ),
    (["--format", "json", "--set", "a=NaN"], "{}", "NaN is not JSON; write '\"NaN\"'"),
    (["--format", "toml"], "[" + "a." * 999 + "a]\n", "nested too deeply"),
    (["--format", "toml", "--set", ".=1"], "a = 1\n", "the top of a TOML document"),
    ([], "a: 1\n", "it was read as JSON: --format names its format"),
    (["--format", "json", "--get", '["\\x"]'], "{}", "bad path '[\"\\\\x\"]': Invalid"),
    (["--format", "json", "--set", " a=1"], "{}", "white space at an end is written"),
    (
        ["--format", "yaml", "--set", "b=3"],
        "b: &b\n  x: 1\np:\n  <<: *b\n",
        "would break the document: a merge key ('<<') would merge what is no mapping",
    ),
    (
        ["--format", "yaml", "--set", "a=!!int abc"],
        "a: 1\n",
        "is not what its tag says",
    ),
    (["dir.yaml", "-i", "--set", "a=1"], None, "cannot read dir.yaml: Is a directory"),
    # Only a regular file is replaced: a FIFO's reader would wait for ever,
    # a device's node would become a file, and another name of a file would
    # keep its old text.
    (["fifo.json", "-i", "--set", "a=1"], None, "cannot edit fifo.json in place"),
    (["null.json", "-i", "--create", "--set", "a=1"], None, "null.json in place: not"),
    (["one.json", "two.json", "-i", "--set", "a=1"], None, "are one file under two"),
    (["--max-size", "-5", "x.json"], None, "--max-size: must be 0 or more bytes"),
    (["--format", "json", "--set", "a\udcff=1"], "{}", "--set 'a'...: not UTF-8 text"),
    (
        ["--format", "toml", "--set", '["\\ud800"]=1'],
        "",
        "a lone surrogate ('\\ud800')",
    ),
    (
        ["--format", "yaml", "--set", 'c["<<"]=1'],
        "b: &b {x: 1}\nc:\n  <<: *b\n",
        "'<<' merges mappings: set their keys instead",
    ),
    (
        ["--format", "json", "--get", "a[-3]"],
        '{"a": [1, 2]}',
        "no [-3] in 'a' (2 items)",
    ),
    (
        ["--format", "yaml", "--set", "a.b.c=1"],
        "a: {}",
        "no 'b' under 'a'; --create makes the tables on the way",
    ),
    # A missing list is made by --create of its first item alone.
    (
        ["--format", "yaml", "--set", "a.b[1]=1", "--create"],
        "a: {}",
        "no [1] in 'a.b' (0 items); --create makes a list of its first item alone",
    ),
    (
        ["--format", "yaml", "--set", "formats[0]=pdf"],
        "a: {}",
        "no 'formats' at the top level; --create makes the tables on the way",
    ),
    (
        ["--format", "yaml", "--set", "a.b[0].c=!Ref x", "--create"],
        "a: {}",
        "'a.b[0].c' is new, and a list made for it takes no tagged value alone",
    ),
    (["--format", "json"], "[" * 100_000, "nested too deeply"),
    (
        ["--format", "yaml", "--delete", "s.*[db=null]"],
        "s:\n  a: {i: x}\n  b: {i: y}\n",
        "none of the 2 matches of 's.*' holds a member with db=null",
    ),
    (
        ["--format", "yaml"],
        "a: 1\nb: \x01\n",
        "'\\x01' is refused: control characters are not allowed (line 2, column 4)",
    ),
    # libyaml's byte of a refused character, told as a character's column.
    (["--format", "yaml"], "a: 1\nb: ééé\x1b\n", "allowed (line 2, column 7)"),
    (["--format", "yaml"], "a: &x 1\nb: &x 2\n", "&x is there twice, first at line 1"),
    # Deeper than the walks of its nodes go: refused as it is read, by name.
    (
        ["--format", "yaml", "--set", "x=1"],
        "".join("  " * i + "k:\n" for i in range(600)) + "  " * 600 + "v\n",
        "standard input is nested too deeply",
    ),
    # More digits than Python reads, listed (the native listing leaves it to
    # the reading), read or set.
    *(
        (["--format", "yaml", *more], f"a: {'9' * 5000}\n", "5,000 digits is more")
        for more in ([], ["--get", "a"], ["--set", "b=1"])
    ),
    *(
        (["--format", "toml", *more], f"a = {'9' * 5000}\n", "5,000 digits is more")
        for more in ([], ["--get", "a"], ["--set", "b=1"])
    ),
    # Read, and too deep for the listing's walk: named all the same.
    (["--format", "json"], "[" * 1200 + "]" * 1200, "standard input is nested too"),
    (
        ["--format", "toml", "--set", "a=null"],
        "a = 1",
        "no null (--delete removes a key)",
    ),
    (
        ["--format", "yaml", "--set", "x={a: 1, a: 2}"],
        "z: 1\n",
        "'{a: 1, a: 2}' holds the key 'a' twice",
    ),
    (["missing.json"], None, "cannot read missing.json: No such file"),
    (
        ["missing.json", "-i", "--set", "a=1"],
        None,
        "cannot read missing.json: No such file or directory (-i --new makes it)",
    ),
    (["-i", "--set", "a=1"], "{}", "--in-place needs a FILE: standard input is"),
    (["x.json", "-i"], None, "--in-place needs a change to make"),
    (["--apply", "-"], "{}", "both the document and a listing"),
    # A comma with no member before it, which JSONC's trailing commas are not.
    (["--format", "jsonc"], '{"a": [,]}', "a comma with no member before it (line 1"),
    (["--format", "jsonc"], "[\n,\n]", "no member before it (line 2, column 1)"),
    (
        ["--format", "jsonc"],
        '{"a": 1,, // c\n}',
        "no member before it (line 1, column 9)",
    ),
    (
        ["--format", "toml", "--set", "n=99999999999999999999"],
        "n = 1\n",
        "99999999999999999999 is past TOML's 64-bit integers; write",
    ),
    (
        ["--format", "toml", "--set", "n=[1, -9223372036854775809]"],
        "n = 1\n",
        "past TOML's 64 bits",
    ),
    # An alias left without its anchor: where it is in the file as read.
    (
        ["--format", "yaml", "--delete", "a"],
        "x: 1\na: &a 1\nb: *a\n",
        "would break the document: the alias *a has no anchor (line 3 as read)",
    ),
    (
        ["--format", "yaml", "--set", "[1].k=!e!str q"],
        "%TAG !e! tag:yaml.org,2002:\n---\na: !e!str x\n---\nk: 1\n",
        "'!e!str q' uses the tag handle !e!, which the document does not declare",
    ),
    (
        ["--format", "yaml", "--set", "a=!x!int 5"],
        "%TAG !y! tag:yaml.org,2002:\n---\na: !y!int 4\n",
        "'!x!int 5' uses the tag handle !x!, which the document does not declare",
    ),
    # A null is made a table by --create alone.
    (
        ["--format", "yaml", "--set", "a.b=1"],
        "a:\n",
        "'a' holds null, not a table; --create makes the tables on the way",
    ),
    (
        ["--format", "json", "--set", "a.b[0]=1"],
        '{"a": null}',
        "'a' holds null, not a table; --create makes the tables on the way",
    ),
]


@pytest.mark.parametrize(("args", "stdin", "message"), BAD_INPUT)
def test_bad_input_is_one_line_and_status_2(tmp_path, command, args, stdin, message):
    (tmp_path / "dir.yaml").mkdir()
    os.mkfifo(tmp_path / "fifo.json")
    (tmp_path / "null.json").symlink_to(os.devnull)
    (tmp_path / "one.json").write_text('{"a": 0}\n')
    os.link(tmp_path / "one.json", tmp_path / "two.json")
    result = command(*args, stdin=stdin, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.count("\n") == 1
    assert message in result.stderr
    assert stat.S_ISCHR(os.stat(tmp_path / "null.json").st_mode)
    assert stat.S_ISFIFO(os.stat(tmp_path / "fifo.json").st_mode)
    assert (tmp_path / "two.json").read_text() == '{"a": 0}\n'


def test_binary_input(tmp_path):
    path = tmp_path / "data.json"
    path.write_bytes(b"\xff\xfe{}")
    result = run(path)
    assert result.returncode == 2
    assert result.stderr == f"props-to-tree: error: {path} is not UTF-8 text (byte 0)\n"


def test_closed_pipe_ends_quietly_and_full_disk_is_one_line(tmp_path):
    path = tmp_path / "big.json"
    path.write_text(json.dumps({f"k{i}": {"v": "x" * 50} for i in range(50_000)}))
    command = f"{sys.executable} -m props_to_tree {path} | head -n 1"
    piped = subprocess.run(
        ["bash", "-c", f"{command}; exit ${{PIPESTATUS[0]}}"],
        capture_output=True,
        text=True,
        cwd="/",
        env=dict(os.environ, PYTHONPATH=IMPORT_ROOT),
    )
    assert (piped.stdout, piped.stderr) == ('k0.v = "' + "x" * 50 + '"\n', "")
    assert piped.returncode == 141

    with open("/dev/full", "w") as full:
        result = run(path, stdout=full)
    assert result.returncode == 1
    assert result.stderr == (
        "props-to-tree: error: cannot write standard output: No space left on device\n"
    )


def test_in_place_keeps_permissions_and_follows_symlinks(example):
    example.chmod(0o640)
    link = example.with_name("link" + example.suffix)
    link.symlink_to(example.name)
    ok(link, "-i", "--set", "db.port=1")
    assert link.is_symlink()
    assert example.stat().st_mode & 0o777 == 0o640
    assert "db.port = 1" in listing(example)
    assert sorted(p.name for p in example.parent.iterdir()) == sorted(
        [example.name, link.name]
    )


def test_failed_rename_leaves_the_file_and_no_temporary(example, monkeypatch, capsys):
    def refuse(*args):
        raise PermissionError(13, "Permission denied")

    before = example.read_bytes()
    monkeypatch.setattr(os, "replace", refuse)
    status = _cli.main([str(example), "-i", "--set", "db.port=1"])
    assert status == 1
    assert capsys.readouterr().err == (
        f"props-to-tree: error: cannot write {example}: Permission denied\n"
    )
    assert example.read_bytes() == before
    assert [p.name for p in example.parent.iterdir()] == [example.name]


def test_console_script():
    script = Path(sys.executable).with_name("props-to-tree")
    if not script.exists():
        pytest.skip("the package is not installed in this environment")
    result = subprocess.run([script, "--version"], capture_output=True, text=True)
    assert result.stdout.startswith("props-to-tree ")


def test_a_missing_format_library_says_how_to_install_it(monkeypatch, capfd):
    # As if PyYAML were not installed: its import fails, the YAML package's
    # modules read again, as though none had been imported yet.
    import props_to_tree._formats.yaml as package

    monkeypatch.setitem(sys.modules, "yaml", None)
    for name in list(sys.modules):
        if name.startswith(f"{package.__name__}."):
            monkeypatch.delitem(sys.modules, name)
            monkeypatch.delattr(package, name.rpartition(".")[2])
    # YAML is read by the native module: only a value of a standard tag,
    # which PyYAML's constructors check, needs it.
    file = str(EXAMPLES / "service.yaml")
    assert _cli.main([file, "--get", "service.name"]) == 0
    assert _cli.main([file, "--set", "service.replicas=!!int 4"]) == 2
    assert capfd.readouterr().err.endswith(
        ": a value of a standard tag (!!int, !!binary, ...) is checked by "
        "PyYAML: pip install PyYAML\n"
    )


@pytest.mark.parametrize(
    ("args", "status", "made", "out"),
    [
        # (arguments after FILE, status, the file after, what is printed)
        (["-i", "--new", "--create", "--set", "a.b=1"], 0, "a:\n  b: 1\n", ""),
        (["-i", "--new", "--set", "[+]=1", "--set", "[+]=2"], 0, "- 1\n- 2\n", ""),
        (["--new", "--set", "a=1"], 0, None, "a: 1\n"),  # printed, not made
        (["--new", "--diff", "--set", "a=1"], 0, None, "--- /dev/null\n+++ n.yaml\n"),
        (["-i", "--new", "--diff", "--set", "a=1"], 0, "a: 1\n", "--- /dev/null\n"),
        # A run that fails removes the file it made; without --new none is made.
        (["-i", "--new", "--set", "a.b=1"], 2, None, ""),
        (["-i", "--set", "a=1"], 2, None, ""),
        (["-i", "--new"], 2, None, ""),
    ],
)
def test_new_makes_a_missing_file(tmp_path, command, args, status, made, out):
    path = tmp_path / "n.yaml"
    result = command(path.name, *args, cwd=tmp_path)
    assert result.returncode == status, result.stderr
    assert result.stdout.startswith(out)
    assert (path.read_text() if path.exists() else None) == made
    if made is not None:
        assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~_umask()
    if status:
        assert result.stderr.count("\n") == 1, result.stderr


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_new_edits_a_file_another_run_made_and_a_diff_of_one_patches(tmp_path):
    path = tmp_path / "n.json"
    path.write_text('{"a": 1}\n')  # made meanwhile: edited as it is
    assert ok(path, "-i", "--new", "--set", "b=2") == ""
    assert json.loads(path.read_text()) == {"a": 1, "b": 2}
    made = ok("m.toml", "--new", "--diff", "--set", "t={k = 1}", cwd=tmp_path)
    subprocess.run(
        ["patch", "-s", "-p0"], input=made, text=True, cwd=tmp_path, check=True
    )
    assert (tmp_path / "m.toml").read_text() == "[t]\nk = 1\n"


# --- no lost update, bounded input, hostile YAML ---------------------------


def test_runs_that_wait_for_the_lock_see_the_previous_runs_file(tmp_path):
    path = tmp_path / "c.json"
    path.write_text('{"a": 1}\n')
    lock = os.open(path, os.O_RDONLY)
    fcntl.flock(lock, fcntl.LOCK_EX)
    try:
        refused = run(path, "-i", "--set", "b=2", "--wait", "0.2")
        assert refused.returncode == 1
        assert refused.stderr == (
            f"props-to-tree: error: {path} is being edited by another run: "
            "waited 0.2 s for it\n"
        )
        waiting = subprocess.Popen(
            [sys.executable, "-m", "props_to_tree", path, "-i", "--set", "b=2"],
            env=dict(os.environ, PYTHONPATH=IMPORT_ROOT),
            cwd="/",
        )
        time.sleep(0.5)  # it waits on the lock by now, or it will read below
        # The run that holds the lock renames its new file in, then ends.
        (tmp_path / "new").write_text('{"a": 1, "c": 3}\n')
        os.replace(tmp_path / "new", path)
    finally:
        os.close(lock)
    assert waiting.wait(timeout=60) == 0
    assert path.read_text() == '{"a": 1, "c": 3, "b": 2}\n'


def test_a_stopped_run_leaves_the_file_and_no_temporary(example, monkeypatch):
    def stopped(fd):
        os.kill(os.getpid(), signal.SIGTERM)

    before = example.read_bytes()
    monkeypatch.setattr(os, "fsync", stopped)
    assert _cli.main([str(example), "-i", "--set", "db.port=1"]) == 128 + 15
    assert example.read_bytes() == before
    assert [p.name for p in example.parent.iterdir()] == [example.name]


BOMBS = {
    "lists": "a: &a [x, x, x]\nb: &b [*a, *a, *a]\nc: &c [*b, *b, *b, *b]\n",
    "maps": "a: &a {x: 1, y: 2}\nb: &b {p: *a, q: *a}\nc: &c {r: *b, s: *b, t: *b}\n",
}


@pytest.mark.parametrize(("shape", "change"), [("lists", "a[3]=y"), ("maps", "a.z=1")])
def test_aliases_that_stand_for_too_much_are_refused(
    tmp_path, monkeypatch, capfd, shape, change
):
    monkeypatch.setattr(yaml_view, "ALIASED", 12)
    path = tmp_path / "bomb.yaml"
    path.write_text(BOMBS[shape])
    for args in ([], ["--get", "."]):
        assert _cli.main([str(path), *args]) == 2
        error = capfd.readouterr().err
        assert error.startswith(f"props-to-tree: error: {path}: its aliases stand")
        assert error.endswith("&b (line 2) is referred to most\n")
    # A part that stands for little is read.
    assert _cli.main([str(path), "--get", "a"]) == 0
    assert capfd.readouterr().out.startswith("a")
    # A change needs no listing of the whole.
    assert _cli.main([str(path), "-i", "--set", "c=1", "--set", change]) == 0
    assert "c: &c 1\n" in path.read_text()
    # Values that are no aliases count for nothing.
    path.write_text("".join(f"k{i}: [{i}, {i}]\n" for i in range(50)))
    assert _cli.main([str(path)]) == 0
    assert capfd.readouterr().out.count("\n") == 100


@pytest.mark.parametrize(
    ("args", "stdin", "message"),
    [
        (["/dev/zero"], None, "/dev/zero is not text: a NUL byte at byte 0"),
        (["--format", "json"], "{}\0", "standard input is not text: a NUL byte at"),
        (["--max-size", "10", "--format", "toml"], "a = 1\n" * 3, "larger than 10 b"),
    ],
)
def test_input_is_refused_as_soon_as_it_passes_a_bound(args, stdin, message):
    result = subprocess.run(
        [sys.executable, "-m", "props_to_tree", *args],
        input=stdin,
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=IMPORT_ROOT),
        cwd="/",
        timeout=60,
    )
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("props-to-tree: error: ")
    assert message in result.stderr
    assert result.stderr.count("\n") == 1


# --- temporary files that killed runs leave --------------------------------


def _packages(tmp_path, count=3):
    files = []
    for n in range(count):
        path = tmp_path / f"p{n}" / "package.json"
        path.parent.mkdir()
        path.write_text(f'{{\n  "name": "p{n}",\n  "version": "1.0.0"\n}}\n')
        files.append(path.relative_to(tmp_path))
    return files


def test_several_files_are_listed_and_read_with_their_names(tmp_path, command):
    files = _packages(tmp_path, 2)
    (tmp_path / "chart.yaml").write_text("version: 1.2.3\n")
    (tmp_path / "bad.toml").write_text("a = = 1\n")
    result = command(*files, "chart.yaml", cwd=tmp_path)
    assert succeeded(result).splitlines()[-1] == "chart.yaml:version = 1.2.3"
    got = command(
        *files,
        "bad.toml",
        "missing.json",
        "chart.yaml",
        "--get",
        "version",
        cwd=tmp_path,
    )
    assert got.returncode == 2
    assert (
        got.stdout == "p0/package.json:1.0.0\np1/package.json:1.0.0\nchart.yaml:1.2.3\n"
    )
    assert got.stderr.count("\n") == 2
    assert "bad.toml: not valid TOML" in got.stderr
    assert "cannot read missing.json" in got.stderr


def test_changes_to_several_files_are_all_or_nothing(tmp_path, command):
    files = _packages(tmp_path)
    for path in files[:2]:  # the third has no "private" to delete
        (tmp_path / path).write_text('{"private": true, "version": "1.0.0"}\n')
    before = [(tmp_path / f).read_text() for f in files]
    # The first two files' warnings are not said: the run fails as a whole.
    for write in ("-i", "--diff"):
        args = [write, "--set", "version=2", "--delete", "private"]
        result = command(*files, *args, cwd=tmp_path)
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr == (
            "props-to-tree: error: p2/package.json: cannot delete 'private': "
            "no 'private' at the top level\n"
        )
        assert [(tmp_path / f).read_text() for f in files] == before
    assert sorted(p.name for p in tmp_path.rglob("*")) == sorted(
        ["p0", "p1", "p2"] + ["package.json"] * 3
    )
    refused = command(*files, "--set", "version=2", cwd=tmp_path)
    assert (refused.returncode, refused.stdout) == (2, "")
    assert "need -i or --diff" in refused.stderr


def test_a_file_named_twice_or_through_a_link_is_changed_once(tmp_path, command):
    (first,) = _packages(tmp_path, 1)
    (tmp_path / "link.json").symlink_to(first)
    (tmp_path / "other.toml").write_text("list = [1, 2]  # two\n")
    args = ["-i", "--set", "list[-1]=3", "--set", "version=2"]
    result = command(first, "link.json", first, "other.toml", *args, cwd=tmp_path)
    # Each file is read by its suffix; the JSON file has no list, and the
    # TOML file no version: made with --create neither, so both fail.
    assert result.returncode == 2
    ok_args = ["-i", "--set", "name=x"]
    assert succeeded(command(first, "link.json", first, *ok_args, cwd=tmp_path)) == ""
    assert (tmp_path / first).read_text().count('"x"') == 1
    assert (tmp_path / "link.json").is_symlink()


DIFFS = [
    # (format, document, changes): --diff applied by patch makes the change
    (
        "yaml",
        "".join(f"k{n}: {n}\n" for n in range(40)),
        ["--set", "k0=10", "--set", "k7=70"],
    ),
    (
        "yaml",
        "".join(f"k{n}: {n}\n" for n in range(40)),
        ["--set", "k3=30", "--set", "k39=0"],
    ),
    ("yaml", "a: 1\nb:\n  - 1\n  - 2\n", ["--delete", "b[*]", "--set", "c=3"]),
    ("json", '{"a": 1}', ["--set", "b=2"]),  # no final line break
    ("toml", "a = 1\r\nb = [1, 2]\r\nc = 3", ["--set", "b[*]=0", "--set", "c=4"]),
    ("json", '\ufeff{\n  "a": 1\n}\n', ["--set", "a=2"]),
    # Two changes on one line, and changes to neighbours.
    ("yaml", "a: 1\nb: 2\nx: [1, 2, 3]\n", ["--delete", "x[0]", "--set", "x[2]=6"]),
    ("json", '{"a": 1, "b": 2, "c": 3}\n', ["--delete", "a", "--delete", "c"]),
    ("json", '{"a": 1,\n "b": 2,\n "c": 3}', ["--set", "a=5", "--delete", "c"]),
    ("toml", '[d]\r\ns = "1"\r\n\r\n[x]\r\n', ["--set", "d.t=1", "--delete", "x"]),
    # A table of dotted keys made anew: it goes, and comes after the rest.
    (
        "toml",
        '[d]\na.w = true\nb = "1"\nc = "1"\n\n[x]\n',
        ["--set", 'd.a={v = "2"}'],
    ),
]


@pytest.mark.parametrize(
    ("document", "args", "lines"),
    [
        # A table of dotted keys made anew: the lines between stay out.
        (
            '[d]\na.w = true\nb = "1"\nc = "1"\n\n[x]\n',
            ["--set", 'd.a={v = "2"}'],
            ["-a.w = true", "+", "+[d.a]", '+v = "2"'],
        ),
        # A section at the end leaves the last line as it was.
        ("a = 1\n", ["--set", "t={x = 1}"], ["+", "+[t]", "+x = 1"]),
    ],
)
def test_a_diff_shows_the_lines_changed_alone(command, document, args, lines):
    patch = succeeded(command("--format", "toml", "--diff", *args, stdin=document))
    assert [line for line in patch.splitlines()[2:] if line[:1] in "+-"] == lines


def test_changes_that_build_one_table_warn_of_nothing_they_did_not_say(command):
    # Made whole, the table's flow text would not read as one (` # ` is a
    # comment there); made a change at a time, nothing warrants a warning.
    out = succeeded(
        command(
            "--format",
            "yaml",
            "--create",
            *("--set", "j.l.r=ruff check . # lint", "--set", "j.l.s[0]=x: y"),
            stdin="a: 1\n",
        )
    )
    assert (
        out == 'a: 1\nj:\n  l:\n    r: "ruff check . # lint"\n    s:\n      - "x: y"\n'
    )


@pytest.mark.parametrize(("fmt", "document", "args"), DIFFS)
def test_diff_applied_by_patch_makes_the_change(tmp_path, command, fmt, document, args):
    name = f"a doc.{fmt}"  # a space: the header's name ends with a tab
    (tmp_path / name).write_bytes(document.encode())
    changed_text = succeeded(command(name, *args, cwd=tmp_path))
    patch = succeeded(command(name, "--diff", *args, cwd=tmp_path))
    assert patch.startswith(f"--- {name}\t\n+++ {name}\t\n@@ ")
    piped = succeeded(command("--format", fmt, "--diff", *args, stdin=document))
    assert piped == patch.replace(f"{name}\t", "-", 2)
    (tmp_path / "link").symlink_to(name)  # one file, one diff
    assert (
        succeeded(command(name, "link", name, "--diff", *args, cwd=tmp_path)) == patch
    )
    assert (tmp_path / name).read_bytes() == document.encode()  # nothing written
    copy = tmp_path / "copy"
    copy.mkdir()
    (copy / name).write_bytes(document.encode())
    subprocess.run(["patch", "-s", "-p0"], input=patch.encode(), cwd=copy, check=True)
    assert (copy / name).read_bytes() == changed_text.encode()
    # With -i the file is replaced and the same diff printed.
    assert succeeded(command(name, "-i", "--diff", *args, cwd=tmp_path)) == patch
    assert (tmp_path / name).read_bytes() == changed_text.encode()
    # A change that changes nothing prints no diff.
    (tmp_path / "listing").write_text(succeeded(command(name, cwd=tmp_path)))
    assert succeeded(command(name, "--diff", "--apply", "listing", cwd=tmp_path)) == ""


ESCAPES = re.compile(r"\x1b\[[0-9;]*m")


@pytest.mark.parametrize(
    "args",
    [
        ["--get", "service"],
        ["--get", "service.name"],
        [],
        ["--diff", "--set", "db.port=1"],
    ],
)
def test_colour_takes_nothing_away(example, command, args):
    plain = succeeded(command(example, *args))
    coloured = succeeded(command(example, "--color", "always", *args))
    assert coloured != plain
    assert ESCAPES.sub("", coloured) == plain
    two = succeeded(command(example, example, "--color=always", *args))
    assert ESCAPES.sub("", two) == succeeded(command(example, example, *args))


@pytest.mark.parametrize(
    ("environment", "coloured"),
    [
        ({}, True),
        ({"NO_COLOR": "1"}, False),
        ({"NO_COLOR": ""}, True),
        ({"TERM": "dumb"}, False),
    ],
)
def test_colour_by_default_on_a_terminal_alone(example, environment, coloured):
    import pty

    env = dict(os.environ, PYTHONPATH=IMPORT_ROOT, TERM="xterm")
    env.pop("NO_COLOR", None)
    env.update(environment)
    leader, follower = pty.openpty()
    process = subprocess.Popen(
        [sys.executable, "-m", "props_to_tree", str(example), "--get", "db.port"],
        stdout=follower,
        env=env,
        cwd="/",
    )
    os.close(follower)
    out = b""
    while chunk := _read_pty(leader):
        out += chunk
    os.close(leader)
    assert process.wait() == 0
    assert (b"\x1b[" in out) == coloured
    assert ESCAPES.sub("", out.decode()).replace("\r\n", "\n") == "5432\n"
    # Into a pipe, never.
    assert "\x1b" not in ok(example, "--get", "db.port")


def _read_pty(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # the other end is closed
        return b""


def test_a_rename_that_fails_among_several_names_what_was_written(
    tmp_path, monkeypatch, capsys
):
    files = [str(tmp_path / f) for f in _packages(tmp_path)]
    renamed = []
    real_replace = os.replace

    def second_fails(source, target):
        if renamed:
            raise OSError(28, "No space left on device")
        renamed.append(target)
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", second_fails)
    status = _cli.main([*files, "-i", "--set", 'version="2"'])
    assert status == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1
    assert f"cannot write {files[1]}: No space left on device" in err
    assert f"written: {files[0]}; not written: {files[1]}, {files[2]}" in err
    assert ['"2"' in Path(f).read_text() for f in files] == [True, False, False]
    assert not [p for p in tmp_path.rglob("*.tmp")]


def test_several_files_wait_for_a_held_one_and_take_none_meanwhile(tmp_path, capsys):
    files = [str(tmp_path / f) for f in _packages(tmp_path)]
    before = [Path(f).read_text() for f in files]
    with open(files[1]) as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        status = _cli.main([*files, "-i", "--wait", "0.2", "--set", "name=x"])
        assert status == 1
        assert f"{files[1]} is being edited by another run" in capsys.readouterr().err
        assert [Path(f).read_text() for f in files] == before
        # The others were let go: another run can take them meanwhile.
        assert _cli.main([files[0], "-i", "--wait", "0", "--set", "name=y"]) == 0
    assert _cli.main([*files, "-i", "--wait", "0", "--set", "name=x"]) == 0
    assert all('"x"' in Path(f).read_text() for f in files)


@pytest.mark.parametrize(
    ("shown", "kind"),
    [
        ("1979-05-27T07:32:00Z", "date"),
        ("2001-12-14 21:59:43.10 -5", "date"),  # YAML 1.1's, spaced
        ("2001-1-1 1:00:00", "date"),
        ("07:32:00.5", "date"),
        ("-.INF", "number"),
        (".NaN", "number"),
        ("-nan", "number"),
        ("0x1F", "number"),
        ("2001-12-14 later", "string"),
        ('"1"', "string"),
        ("null", "keyword"),
        ("{}", "empty"),
    ],
)
def test_each_kind_of_value_has_its_colour(shown, kind):
    from props_to_tree._command import colour

    assert colour.kind(shown) == kind


def test_files_may_come_after_the_options(tmp_path, command):
    (tmp_path / "a.json").write_text('{"v": 1}\n')
    (tmp_path / "b.toml").write_text("v = 2\n")
    shown = succeeded(command("a.json", "--get", "v", "b.toml", cwd=tmp_path))
    assert shown == "a.json:1\nb.toml:2\n"
    changed = command("a.json", "-i", "--set", "v=3", "b.toml", cwd=tmp_path)
    assert changed.returncode == 0
    assert (tmp_path / "b.toml").read_text() == "v = 3\n"


@pytest.mark.parametrize(
    ("argv", "simple"),
    [
        (["a.json"], True),
        (["a.json", "-", "b.toml"], True),
        (["a.yaml", "--get", "x", "--get", "-y"], True),
        (["a.yaml", "--set", "a=1", "-i", "--delete", "b", "--set", "c="], True),
        (["--create", "a.yaml", "--diff", "--set", "a.b=1", "--new", "b.yaml"], True),
        (["--apply", "-", "--in-place", "a.json", "--", "-i", "--set"], True),
        (["--drop-tags", "a.yaml"], True),
        # What argparse alone reads: other options, abbreviations, a missing
        # argument, joined short flags.
        (["--format", "json", "a"], False),
        (["--dif", "a"], False),
        (["a", "--get"], False),
        (["-ix", "a"], False),
        (["--to", "toml", "a.json"], False),
        (["--color=never", "a.json"], False),
    ],
)
def test_common_options_are_read_as_argparse_reads_them(argv, simple):
    words = _cli._arguments(argv)
    found = _cli._Simple.read(words)
    assert (found is not None) is simple
    if found is not None:
        assert vars(found) == vars(_cli._parser().parse_intermixed_args(words))


def unloaded(name, options):
    """What a run must not load: and a TOML --get, not even re."""
    plain = name.endswith(".toml") and options[:1] != ["--set"] and "-i" not in options
    return {"argparse", "yaml", "typing", "tomllib", *(["re"] if plain else [])}


@pytest.mark.parametrize(
    ("name", "text", "edited"),
    [("a.yaml", "a: 1\n", "a: 3\n"), ("a.toml", "a = 1\n", "a = 3\n")],
)
def test_a_listing_get_or_set_imports_no_argparse_nor_a_reader(
    tmp_path, name, text, edited
):
    # Neither PyYAML nor tomllib: both formats are read natively.
    file = tmp_path / name
    file.write_text(text)
    for options in ([], ["--get", "a"], ["--set", "a=2"], ["-i", "--set", "a=3"]):
        code = (
            "import sys; from props_to_tree._command import cli; "
            f"cli.main({[str(file), *options]!r}); "
            f"print(sorted({set(unloaded(name, options))!r} & set(sys.modules)))"
        )
        # Not under coverage.py, whose start in the child imports typing.
        env = {k: v for k, v in os.environ.items() if not k.startswith("COVERAGE")}
        done = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            cwd="/",
            env=env,
        )
        assert done.stdout.splitlines()[-1] == "[]", (options, done.stdout)
    assert file.read_text() == edited


def test_the_command_leaves_the_collector_as_its_caller_had_it(tmp_path, capfd):
    import gc

    file = tmp_path / "a.json"
    file.write_text('{"a": 1}')
    gc.disable()
    try:
        assert _cli.main([str(file), "--get", "a"]) == 0
        assert not gc.isenabled()
    finally:
        gc.enable()
    assert capfd.readouterr().out == "1\n"
