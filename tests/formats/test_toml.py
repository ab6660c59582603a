"""TOML: the exact text after each change, made through the API, and
on a CRLF copy of the document too."""

import pytest
from _support import CARGO, PYPROJECT, edited_alone

# (format, document, the command's arguments, the document after them): exactly.
LAYOUTS = [
    ("toml", 'k = "x"\n', ["--set", 'k="a" # c'], 'k = "\\"a\\" # c"\n'),
    ("toml", "a = 'x'\n", ["--set", "b=y"], "a = 'x'\nb = 'y'\n"),
    ("toml", "l = ['x']\n", ["--set", "l[1]=y"], "l = ['x', 'y']\n"),
    ("toml", "l = ['x']\n", ["--set", "l[+]=y"], "l = ['x', 'y']\n"),
    # A new table takes sections of its own, [a.b] for each table in it and
    # [[a.c]] for each item of a list of tables, after the last table of its
    # parent; inline where the parent's tables are, and beside dotted keys.
    (
        "toml",
        '[project]\nname = "x"\n\n[tool.setuptools]\npackages = ["x"]\n\n[z]\n',
        ["--set", 'tool.ruff={line-length = 100, lint = {select = ["E"]}, x.y = 1}'],
        '[project]\nname = "x"\n\n[tool.setuptools]\npackages = ["x"]\n\n'
        '[tool.ruff]\nline-length = 100\nx.y = 1\n\n[tool.ruff.lint]\nselect = ["E"]\n'
        "\n[z]\n",
    ),
    (
        "toml",
        '[dependencies]\nserde = { version = "1" }\n',
        [
            "--set",
            'dependencies.rand={version = "0.8"}',
            "--set",
            "bin=[{n = 1}, {n = 2}]",
        ],
        '[dependencies]\nserde = { version = "1" }\nrand = { version = "0.8" }\n\n'
        "[[bin]]\nn = 1\n\n[[bin]]\nn = 2\n",
    ),
    ("toml", "a.b = 1\n", ["--set", "a.c={k = 1}"], "a.b = 1\na.c = {k = 1}\n"),
    # The tables --create makes on the way are one new table, inline
    # beside inline ones, its braces spaced as theirs are.
    (
        "toml",
        '[dependencies]\nserde = { version = "1" }\n',
        ["--create", "--set", "dependencies.t.features[0]=full"],
        '[dependencies]\nserde = { version = "1" }\nt = { features = ["full"] }\n',
    ),
    (
        "toml",
        '[d]\ns = {v = "1"}\n',
        ["--create", "--apply", "d.t.a = 1\nd.t.b.c = 2"],
        '[d]\ns = {v = "1"}\nt = {a = 1, b = {c = 2}}\n',
    ),
    # A table made in an item of an array of tables: among the item's.
    (
        "toml",
        "[[a]]\nx = 1\n\n[[a]]\nx = 2\n",
        ["--create", "--set", "a[0].s.y=1", "--set", "a[1].t.u=2"],
        "[[a]]\nx = 1\n\n[a.s]\ny = 1\n\n[[a]]\nx = 2\n\n[a.t]\nu = 2\n",
    ),
    # A table of a header or of dotted keys set to a table is made anew.
    (
        "toml",
        '[d]\nr.workspace = true\ns = { v = "1" }\n\n[e]\nx = 1\n',
        ["--set", 'd.r={v = "2"}', "--set", "e={y = 2}"],
        '[d]\ns = { v = "1" }\nr = { v = "2" }\n\n[e]\ny = 2\n',
    ),
    # Tables of dotted keys beside it count as inline; a table of tables
    # alone takes no header of its own.
    (
        "toml",
        "[d]\nx.workspace = true\n",
        ["--set", "d.r={v = 1}", "--set", "p={release = {lto = true}}"],
        "[d]\nx.workspace = true\nr = {v = 1}\n\n[p.release]\nlto = true\n",
    ),
    (
        "toml",
        "[package]\n",
        [
            "--create",
            "--set",
            "bin[0].name=a",
            "--set",
            "bin[1].name=b",
            "--set",
            "k[0]=1.10",
        ],
        'k = [1.10]\n\n[package]\n\n[[bin]]\nname = "a"\n\n[[bin]]\nname = "b"\n',
    ),
    ("toml", "x = {a = 1}\n", ["--set", "t={e = {}}"], "x = {a = 1}\nt = {e = {}}\n"),
    # Times that read the same to the microsecond, and differ after it.
    (
        "toml",
        "a = 07:32:00.1234567\n",
        ["--set", "a=07:32:00.1234568"],
        "a = 07:32:00.1234568\n",
    ),
    # A date is listed as written, so a line that respells it is a change,
    # written as typed (as for numbers); the line as listed is none.
    (
        "toml",
        "d = 1979-05-27T07:32:00Z\n",
        ["--apply", "d = 1979-05-27T07:32:00+00:00"],
        "d = 1979-05-27T07:32:00+00:00\n",
    ),
    (
        "toml",
        "d = 1979-05-27 07:32:00.1234567Z  # c\n",
        ["--apply", "d = 1979-05-27 07:32:00.1234567Z"],
        "d = 1979-05-27 07:32:00.1234567Z  # c\n",
    ),
    # White space at an end makes a string of what would be no value.
    ("toml", "a = 1\n", ["--set", "a=null "], 'a = "null "\n'),
    # A one-line collection that loses its one member is written empty.
    ("toml", "q = { a = 1 }\n", ["--delete", "q.a"], "q = {}\n"),
    (
        "toml",
        '[dependencies]\na = "1.0"\nb = { version = "2" }\nc = "1.0"\n',
        [
            "--set",
            'dependencies[.="1.0"]="1.1"',
            "--delete",
            'dependencies[version="2"]',
        ],
        '[dependencies]\na = "1.1"\nc = "1.1"\n',
    ),
    # A new table at the end of a file with no final line break adds none.
    ("toml", "a = 1", ["--create", "--set", "t.x=1"], "a = 1\n\n[t]\nx = 1"),
    ("toml", "", ["--create", "--set", "t.x=1"], "[t]\nx = 1\n"),
    # What several changes make of one new table is written at once, each
    # value as typed; a file that held nothing takes its own keys first.
    (
        "toml",
        "x = 1\n",
        ["--create", "--apply", "t.a = 0o755\nt.b = 'lit'\nt.c.d = 1"],
        "x = 1\n\n[t]\na = 0o755\nb = 'lit'\n\n[t.c]\nd = 1\n",
    ),
    (
        "toml",
        "",
        ["--create", "--apply", "s.k = 1\na = 1979-05-27\nb[0].n = 2"],
        "a = 1979-05-27\n\n[s]\nk = 1\n\n[[b]]\nn = 2\n",
    ),
    ("toml", "a = 1\n\nb = 2\n\nc = 3\n", ["--delete", "b"], "a = 1\n\nc = 3\n"),
    # TOML: dotted keys in inline tables, arrays of tables in arrays of tables.
    (
        "toml",
        "t.a = {d.e = 1, f = 2}\n",
        ["--set", "t.a.d.e=3", "--set", "t.a.d.g=4"],
        "t.a = {d.e = 3, f = 2, d.g = 4}\n",
    ),
    (
        "toml",
        "[[a]]\n[[a.b]]\n[a.b.c]\nd = 1\n[[a]]\n[[a.b]]\nm = 2\n",
        ["--set", "a[0].b[0].c.d=3", "--set", "a[1].b[0].m=4"],
        "[[a]]\n[[a.b]]\n[a.b.c]\nd = 3\n[[a]]\n[[a.b]]\nm = 4\n",
    ),
    (
        "toml",
        "[[b]]\nn = 1\n",
        ["--set", "b[1]={x = 3.10, y = 0x1F}"],
        "[[b]]\nn = 1\n\n[[b]]\nx = 3.10\ny = 0x1F\n",
    ),
    # TOML: a leading line break kept, tables that lose their last key stay.
    ("toml", 'a = """x"""\n', ["--set", "a=\ny"], 'a = """\n\ny"""\n'),
    ("toml", 'a = """\nx\ny"""\n', ["--set", 'a="p\\nq"'], 'a = """\np\nq"""\n'),
    ("toml", "b = '''\nm\n'''\n", ["--set", "b=x\x7fy"], 'b = "x\\u007fy"\n'),
    ("toml", "# only", ["--set", "a=1"], "# only\na = 1\n"),
    (
        "toml",
        "a.b.c = 1  # c\nz = 2\n",
        ["--delete", "a.b.c"],
        "a.b = {}  # c\nz = 2\n",
    ),
    ("toml", "x = 1\n[a.b]\ny = 1\n", ["--delete", "a.b"], "x = 1\n[a]\n"),
    # A table of a header set to a table keeps its place; one of dotted
    # keys goes after the tables beside it.
    (
        "toml",
        "# top\n[a]\nx = 1\n\n[a.s]\ny = 2\n\n[b]\nz = 1\n",
        ["--set", "a={z = 1, t = {u = 2}}"],
        "# top\n[a]\nz = 1\n\n[a.t]\nu = 2\n\n[b]\nz = 1\n",
    ),
    (
        "toml",
        "x = [\n  1,\n]\n\n[w.p]\nr = 1\ns = 2\n\n[w.d]\na = 1\n",
        ["--set", "w.p={r = 3}"],
        "x = [\n  1,\n]\n\n[w.p]\nr = 3\n\n[w.d]\na = 1\n",
    ),
    (
        "toml",
        "[d]\nr.w = true\ns = 1\n\n[e]\nx = 1\n",
        ["--set", "d.r={v = 2}"],
        "[d]\ns = 1\n\n[d.r]\nv = 2\n\n[e]\nx = 1\n",
    ),
    # The header of a table its tables' headers made goes before theirs,
    # and before the comments above them.
    (
        "toml",
        'x = 1\n\n# serde\n[d.serde]\nv = "1"\n',
        ["--set", "d.anyhow=1"],
        'x = 1\n\n[d]\nanyhow = 1\n\n# serde\n[d.serde]\nv = "1"\n',
    ),
    (
        "toml",
        "[t.p]\nn = 1\n\n[t.p.g.d]\nq = 2\n",
        ["--set", "t.p.g.n=3"],
        "[t.p]\nn = 1\n\n[t.p.g]\nn = 3\n\n[t.p.g.d]\nq = 2\n",
    ),
    (
        "toml",
        '[[i]]\nn = "a"\nsub.z = 1\n',
        ["--delete", "i[0].sub.z"],
        '[[i]]\nn = "a"\nsub = {}\n',
    ),
    (
        "toml",
        "t = {id = 1, sub.z = 1}\n",
        ["--delete", "t.sub.z"],
        "t = {id = 1, sub = {}}\n",
    ),
    # TOML: an array of tables that loses its last item stays, empty.
    (
        "toml",
        "x = 1\n\n[[arr]]\nn = 1\n",
        ["--delete", "arr[0]"],
        "x = 1\narr = []\n\n",
    ),
    (
        "toml",
        '[[bin]]\nname = "a"\n\n[[bin]]\nname = "b"\n',
        ["--set", "bin[-1].name=c", "--delete", "bin[0]"],
        '\n[[bin]]\nname = "c"\n',
    ),
    (
        "toml",
        '[[bin]]\nname = "a"\n',
        ["--set", 'bin[1]={name = "b"}'],
        '[[bin]]\nname = "a"\n\n[[bin]]\nname = "b"\n',
    ),
    (
        "toml",
        "[package]\nname = 'x'\n\n[profile.dev]\nopt-level = 1\n",
        ["--create", "--set", "profile.release.lto=true"],
        "[package]\nname = 'x'\n\n[profile.dev]\nopt-level = 1\n\n"
        "[profile.release]\nlto = true\n",
    ),
    ("toml", "a = [1, 2]  # c\n", ["--set", "a[2]=3"], "a = [1, 2, 3]  # c\n"),
    # A byte-order mark is read past and kept.
    ("toml", "\ufeffa = 1\n", ["--set", "a=2"], "\ufeffa = 2\n"),
    # TOML: comments keep their column; new keys stay in their table.
    (
        "toml",
        'level = "info"    # c\n',
        ["--set", "level=debug"],
        'level = "debug"   # c\n',
    ),
    ("toml", "a = 'lit' # kept\n", ["--set", "a=new"], "a = 'new' # kept\n"),
    ("toml", "a = 2024-01-02\n", ["--set", "a=2024-02-03"], "a = 2024-02-03\n"),
    (
        "toml",
        "[a]\nx = 1\n\n# about b\n[b]\n",
        ["--set", "a.z=3"],
        "[a]\nx = 1\nz = 3\n\n# about b\n[b]\n",
    ),
    (
        "toml",
        "t = {b = 1,c = 2}\n",
        ["--set", "t.d=[1, {e = 2}]"],
        "t = {b = 1,c = 2,d = [1, {e = 2}]}\n",
    ),
    (
        "toml",
        "[a]\nb.x = 1\n[a.c]\n",
        ["--set", "a.b.y=2", "--delete", "a.b.x"],
        "[a]\nb.y = 2\n[a.c]\n",
    ),
    ("toml", "x = [\n  1,\n  2, # two\n]\ny = 0\n", ["--delete", "x"], "y = 0\n"),
    (
        "toml",
        CARGO,
        ["--set", "bin[name=cli].path=cli.rs"],
        CARGO.replace("src/cli", "cli"),
    ),
    (
        "toml",
        CARGO,
        ["--delete", "bin[name=cli]"],
        CARGO.split('[[bin]]\nname = "cli')[0],
    ),
    (
        "toml",
        PYPROJECT,
        ["--delete", 'project.dependencies[.^="requests>="]'],
        PYPROJECT.replace('    "requests>=2.31",  # http\n', ""),
    ),
    (
        "toml",
        "a = [1, 2, 1, 3, 1]  # ones\n",
        ["--delete", "a[.=1]"],
        "a = [2, 3]  # ones\n",
    ),
]


@pytest.mark.parametrize(
    ("fmt", "document", "args", "after"),
    LAYOUTS,
    ids=[" ".join(row[2]) for row in LAYOUTS],
)
@pytest.mark.parametrize("crlf", [False, True], ids=["lf", "crlf"])
def test_an_edit_changes_the_edited_text_alone(fmt, document, args, after, crlf):
    edited_alone(fmt, document, args, after, crlf)
