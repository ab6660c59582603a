"""YAML: the exact text after each change, made through the API, and
on a CRLF copy of the document too."""

import pytest
import yaml
from _support import COMPOSE, MANIFESTS, WORKFLOW, composed_alike, edited_alone
from hypothesis import given
from hypothesis import strategies as st

# (format, document, the command's arguments, the document after them): exactly.
LAYOUTS = [
    ("yaml", "a: 0x1F\n", ["--set", "a=31"], "a: 31\n"),
    ("yaml", "a:\n  - 1\n", ["--set", "a[+]=2"], "a:\n  - 1\n  - 2\n"),
    # --create makes a list of its first item: of a table, the rest of the
    # path in it; a null on the way too.
    (
        "yaml",
        "n:\nc:\n- x\n",
        [
            "--create",
            "--set",
            "b[0]=1.10",
            "--set",
            "d[0].e=1",
            "--set",
            "d[1].e=2",
            "--set",
            "n[0]=x",
        ],
        "n:\n- x\nc:\n- x\nb:\n- 1.10\nd:\n- e: 1\n- e: 2\n",
    ),
    ("yaml", "a: 0x1F\nb: 1\n", ["--apply", "a = 0x1F\nb = 2"], "a: 0x1F\nb: 2\n"),
    # White space at an end makes a string, though it looks like a tag.
    ("yaml", "a: x\n", ["--set", "a=!1!1 "], 'a: "!1!1 "\n'),
    # YAML: a scalar's text alone changes; folding and flow spacing stay.
    (
        "yaml",
        "a: some long text\n  folded here\nb: [ x, y ]\nc: 1\n",
        ["--set", "c=2"],
        "a: some long text\n  folded here\nb: [ x, y ]\nc: 2\n",
    ),
    ("yaml", "a: 'q'     # kept\n", ["--set", "a=new"], "a: 'new'   # kept\n"),
    ("yaml", "a: 'q'\n", ["--set", "a=it's"], "a: 'it''s'\n"),
    ("yaml", "c: [ab, d]    # c\n", ["--set", "c[0]=abc"], "c: [abc, d]   # c\n"),
    ("yaml", "a: q\n", ["--set", "a=not: plain"], 'a: "not: plain"\n'),
    ("yaml", "a: q\n", ["--set", "a=on"], 'a: "on"\n'),
    ("yaml", "{a: 1}\n", ["--set", "b=why?"], '{a: 1, b: "why?"}\n'),
    # Several changes that make one new mapping make it at once, each value
    # as typed; where that would read otherwise (`x, y` in flow syntax),
    # one at a time.
    (
        "yaml",
        "z: 0\n",
        ["--create", "--apply", "a.b = 0x1F\na.c = 'q'\na.d[0] = on"],
        "z: 0\na:\n  b: 0x1F\n  c: 'q'\n  d:\n    - \"on\"\n",
    ),
    (
        "yaml",
        "z: 0\n",
        ["--create", "--apply", "a.b = x, y\na.c = 1"],
        "z: 0\na:\n  b: x, y\n  c: 1\n",
    ),
    # A tag on a collection written in block style stands above it.
    (
        "yaml",
        "a: 1\n",
        ["--set", "z=[!t {b: 1}, !!set {a}]"],
        "a: 1\nz:\n  - !t\n    b: 1\n  - !!set\n    a:\n",
    ),
    (
        "yaml",
        "a: 1\n",
        ["--create", "--set", "z[+]={a: 1}", "--set", "b.z[0]=[1]"],
        "a: 1\nz:\n  - a: 1\nb:\n  z:\n    - - 1\n",
    ),
    # A new string of several lines is a literal block scalar, but where a
    # file without a final line break would end with it.
    (
        "yaml",
        "l:\n  - a\nm:\n  k: 1\n",
        ["--set", 'l[+]="x\\ny"', "--set", 'm.j="x\\ny\\n"', "--set", 'q={r: "a\\nb"}'],
        "l:\n  - a\n  - |-\n    x\n    y\nm:\n  k: 1\n  j: |\n    x\n    y\n"
        "q:\n  r: |-\n    a\n    b\n",
    ),
    ("yaml", "m:\n  k: 1", ["--set", 'm.j="x\\ny\\n"'], 'm:\n  k: 1\n  j: "x\\ny\\n"'),
    # [+] on a null makes a list of it, as [0] does.
    ("yaml", "a: 1\nz:\n", ["--create", "--set", "z[+]=1"], "a: 1\nz:\n  - 1\n"),
    # What a run of changes cannot take ends it, and goes alone: a null on
    # the way, a string typed as a list, a tagged table.
    (
        "yaml",
        "a:\n",
        ["--create", "--apply", "a.b.c = 1\na.b.d = 2"],
        "a:\n  b:\n    c: 1\n    d: 2\n",
    ),
    (
        "yaml",
        "z: 0\n",
        ["--create", "--apply", "a.b = 1\na.c = [x\na.d = !t {x: 1}\na.e = 2"],
        'z: 0\na:\n  b: 1\n  c: "[x"\n  d: !t {x: 1}\n  e: 2\n',
    ),
    # A list made of one value: as typed, where that reads as the value.
    (
        "yaml",
        "z: 0\n",
        ["--create", "--set", "l[0]=x, y", "--set", "m[0].a=1.10"],
        'z: 0\nl:\n  - "x, y"\nm:\n  - a: 1.10\n',
    ),
    (
        "yaml",
        "z: 0\n",
        ["--create", "--apply", "l[0].k = !Ref x\nl[0].j = 1"],
        "z: 0\nl:\n  - k: !Ref x\n    j: 1\n",
    ),
    ("yaml", "a: q\n", ["--set", "a="], 'a: ""\n'),
    # A collection in the style of its place: in block style in a block
    # collection, dashed as the file's lists are (under the key, or a step
    # in), a mapping item compact; in flow style in a flow collection.
    ("yaml", "a: 1\n", ["--set", "a=[x, {y: 2}]"], "a:\n  - x\n  - y: 2\n"),
    (
        "yaml",
        "l:\n- 1\nm: {}  # none yet\nn: &x 2\n",
        [
            "--set",
            "m={a: [1, 2], b: {}}",
            "--set",
            "n={c: 3}",
            "--set",
            "l[+]={d: 4, e: 5}",
        ],
        "l:\n- 1\n- d: 4\n  e: 5\nm:  # none yet\n  a:\n  - 1\n  - 2\n  b: {}\n"
        "n: &x\n  c: 3\n",
    ),
    (
        "yaml",
        "- 1\n- {a: 1}\n",
        ["--set", "[0]=[x, y]", "--set", "[1].b={c: 1}", "--set", "[+]={k: v}"],
        '- - x\n  - "y"\n- {a: 1, b: {c: 1}}\n- k: v\n',  # y: a YAML 1.1 boolean
    ),
    (
        "yaml",
        "t: |\n    one\n    two\nn: 1\n",
        ["--set", "t=three"],
        "t: |-\n    three\nn: 1\n",
    ),
    (
        "yaml",
        "a: &x {k: 1}\nb: *x  # c\n",
        ["--set", "b=2"],
        "a: &x {k: 1}\nb: 2   # c\n",
    ),
    (
        "yaml",
        "m:\n    a: 1\n\n    # end of m\nn: 2\n",
        ["--set", "m.b=x y"],
        "m:\n    a: 1\n    b: x y\n\n    # end of m\nn: 2\n",
    ),
    ("yaml", "m:\n  a: 1  # one\n  b: 2\n", ["--delete", "m.a"], "m:\n  b: 2\n"),
    ("yaml", "l:\n- name: x\n  image: y\n", ["--set", "l=[1]"], "l:\n- 1\n"),
    (
        "yaml",
        "m:\n  a:\n    x: 1\nz: 0\n",
        ["--set", "m.a={y: 2, z: [1, 2]}"],
        "m:\n  a:\n    y: 2\n    z:\n      - 1\n      - 2\nz: 0\n",
    ),
    # VALUE is a value only when it is exactly one, nothing around it.
    ("yaml", "k: a  # c\n", ["--set", "k=Fix #42 now"], 'k: "Fix #42 now" # c\n'),
    ("yaml", "k: a\n", ["--set", "k= padded "], 'k: " padded "\n'),
    ("yaml", "k: a\n", ["--set", "k=x\ny"], 'k: "x\\ny"\n'),
    ("yaml", "k: a\n", ["--set", "k=|", "--set", "j=&x y"], 'k: "|"\nj: "&x y"\n'),
    # Tags: what is written is the VALUE, its tag too; a collection keeps its
    # own where it stays one of its kind.
    ("yaml", "a: !Ref x\n", ["--set", "a=!GetAtt y.z"], "a: !GetAtt y.z\n"),
    ("yaml", "a: &n !Ref x\n", ["--set", "a=z"], "a: &n z\n"),
    ("yaml", "K: !Ref 'K'  # c\n", ["--set", "K=k"], "K: 'k'       # c\n"),
    ("yaml", "? !!str a\n: !!int 47\n", ["--set", "a=5"], "? !!str a\n: 5\n"),
    ("yaml", "x: !t\n  a: 1\n", ["--set", "x.a=2"], "x: !t\n  a: 2\n"),
    ("yaml", "m: !!omap [{a: 1}]\n", ["--set", "m=[{b: 2}]"], "m: !!omap [{b: 2}]\n"),
    ("yaml", "m: !!set {a: 1}\nn: 1\n", ["--set", "m=3"], "m: 3\nn: 1\n"),
    # A tag through a %TAG handle the document declares reads with it.
    (
        "yaml",
        "%TAG !e! tag:yaml.org,2002:\n---\na: !e!str x\n",
        ["--set", "a=!e!int 5", "--set", "b=!e!str y"],
        "%TAG !e! tag:yaml.org,2002:\n---\na: !e!int 5\nb: !e!str y\n",
    ),
    ("yaml", "a: | # keep\n  x\n", ["--set", "a=y"], "a: |- # keep\n  y\n"),
    # A new item or key takes its siblings' quotes.
    ("yaml", 'l:\n  - "x"\n', ["--set", "l[1]=y1"], 'l:\n  - "x"\n  - "y1"\n'),
    ("yaml", "m: {a: 'x'}\n", ["--set", "m.b=y"], "m: {a: 'x', b: 'y'}\n"),
    # The comment lines after the last item, indented deeper than its dash
    # or key, are its own: what is added goes after them.
    (
        "yaml",
        "env:\n  - name: A\n    value: dns\n    # the line above\n\n  # next\nb: 1\n",
        ["--set", "env[1]={name: B}"],
        "env:\n  - name: A\n    value: dns\n    # the line above\n  - name: B\n"
        "\n  # next\nb: 1\n",
    ),
    (
        "yaml",
        "a:\n  x: 1\n    # of x\n  # of a\nb: 2\n",
        ["--set", "a.z=2"],
        "a:\n  x: 1\n    # of x\n  z: 2\n  # of a\nb: 2\n",
    ),
    # A null on the way is made a table by --create, in the file's style.
    (
        "yaml",
        "volumes:\n  db:\n  web: ~  # w\nx: 1\n",
        ["--create", "--set", "volumes.*.driver=local"],
        "volumes:\n  db:\n    driver: local\n  web:  # w\n    driver: local\nx: 1\n",
    ),
    (
        "yaml",
        "l:\n  - ~\n  -\n  - [null]\n",
        [
            "--create",
            "--set",
            "l[0].a.b=1",
            "--set",
            "l[1].c=2",
            "--set",
            "l[2][0].d=3",
        ],
        "l:\n  - a:\n      b: 1\n  - c: 2\n  - [{d: 3}]\n",
    ),
    (
        "yaml",
        "c: !!null\nd: &n ~  # n\n",
        ["--create", "--set", "c.x=1", "--set", "d.z=2"],
        "c:\n  x: 1\nd: &n  # n\n  z: 2\n",
    ),
    # ... whatever else the text holds: a '*' but no alias.
    (
        "yaml",
        "on:\n  pull_request:\n    paths: ['docs/**']  # x*\n  push:\n",
        ["--create", "--set", "on.push.branches=main"],
        "on:\n  pull_request:\n    paths: ['docs/**']  # x*\n  push:\n"
        "    branches: main\n",
    ),
    ("yaml", "~\n", ["--create", "--set", "a.b=1"], "a:\n  b: 1\n"),
    ("yaml", "--- &x null\n", ["--create", "--set", "a.b=1"], "--- &x\na:\n  b: 1\n"),
    ("yaml", "a: 1\n--- ~\n", ["--create", "--set", "[1].c=1"], "a: 1\n---\nc: 1\n"),
    (
        "yaml",
        "j: {x, y: 2}\n",
        ["--create", "--set", "j.x.z=1"],
        "j: {x: {z: 1}, y: 2}\n",
    ),
    # Keys with no value yet, in flow mappings too.
    ("yaml", "j: {x, y: 2}\n", ["--set", "j.x=1"], "j: {x: 1, y: 2}\n"),
    ("yaml", "j: {x: , y: 2}\n", ["--set", "j.x=1"], "j: {x: 1, y: 2}\n"),
    # A deleted member takes the comment lines indented deeper, its own.
    (
        "yaml",
        "r:\n  - a: 1\n    # b: 2\n  # of the list\n  - a: 3\n",
        ["--delete", "r[0]"],
        "r:\n  # of the list\n  - a: 3\n",
    ),
    # Members of a table picked by what they hold, in block and flow style.
    (
        "yaml",
        "jobs:\n  lint:\n    runs-on: ubuntu-latest\n  test: {runs-on: macos}\n"
        "  build:\n    runs-on: ubuntu-latest\n",
        ["--set", "jobs[runs-on=ubuntu-latest].timeout-minutes=30"],
        "jobs:\n  lint:\n    runs-on: ubuntu-latest\n    timeout-minutes: 30\n"
        "  test: {runs-on: macos}\n  build:\n    runs-on: ubuntu-latest\n"
        "    timeout-minutes: 30\n",
    ),
    # A member between blank lines leaves one.
    ("yaml", "a: 1\n\nb: 2\n\nc: 3\n", ["--delete", "b"], "a: 1\n\nc: 3\n"),
    ("yaml", "~\n", ["--set", ".=x"], "x\n"),
    ("yaml", "a: 1\n", ["--set", ".=[2]"], "- 2\n"),
    # A block collection that loses its last member, or gives way to a value.
    (
        "yaml",
        "steps:\n  - uses: a # c\n  - name: b\n",
        ["--delete", "steps[0].uses"],
        "steps:\n  - {}\n  - name: b\n",
    ),
    ("yaml", "c:\n- - 3\n", ["--delete", "c[0][0]"], "c:\n- []\n"),
    ("yaml", "a: 1 # c\n", ["--delete", "a"], "{}\n"),
    (
        "yaml",
        "a: # c\n  - 1\nx:\n  k: v # c\n",
        ["--delete", "a[0]", "--delete", "x.k"],
        "a: [] # c\nx: {}\n",
    ),
    (
        "yaml",
        "key:\n- a\nnext: 1\n",
        ["--set", "key={a: 1}"],
        "key:\n  a: 1\nnext: 1\n",
    ),
    # Explicit keys with no value, a null's tag, kept line breaks.
    ("yaml", "? a\n? b\nc: 1\n", ["--delete", "a"], "? b\nc: 1\n"),
    ("yaml", "? a\n? b\n", ["--set", "b=2"], "? a\n? b\n: 2\n"),
    ("yaml", "d: !!null\ne: 1\n", ["--set", "d=1"], "d: 1\ne: 1\n"),
    ("yaml", "a: |+\n  x\n\nb: 1\n", ["--set", "a=y\n\n"], "a: |+\n  y\n\nb: 1\n"),
    # What YAML would fold or refuse raw is escaped; a VALUE of YAML 1.1's
    # timestamp form is a date, written as typed, and one of that form that
    # is no real date a string, quoted, as YAML 1.1's readers would fail it.
    ("yaml", "k: a\n", ["--set", "k=x\ry\u2028z"], 'k: "x\\ry\\u2028z"\n'),
    (
        "yaml",
        "k: a\n",
        ["--set", "k=2001-12-14 21:59:43 -5", "--set", "j=2024-02-30"],
        'k: 2001-12-14 21:59:43 -5\nj: "2024-02-30"\n',
    ),
    # What follows a block scalar must not change it.
    ("yaml", "a: |+\n  keep\n\n", ["--set", "b=x"], "a: |+\n  keep\n\nb: x\n"),
    ("yaml", "a: |\n  x", ["--set", "b=1"], "a: |-\n  x\nb: 1"),
    ("yaml", "r: |\n  x\n", ["--set", "r=a\tb"], "r: |-\n  a\tb\n"),
    ("yaml", "b: 0\na: |\n  x", ["--set", 'a="p\\nq\\n"'], "b: 0\na: |\n  p\n  q\n"),
    # Plain in a block where a flow collection could not hold it plain.
    ("yaml", "os: ${{ a }}\n", ["--set", "os=${{ b }}"], "os: ${{ b }}\n"),
    ("yaml", 'a: "caf\\u00e9"\n', ["--set", "a=\U0001f600"], 'a: "\\U0001f600"\n'),
    ("yaml", "a: {x: 1}\na: {y: 2}\nb: 1\n", ["--delete", "a"], "b: 1\n"),
    ("yaml", "--- # c\n...\n", ["--set", "c=2"], "--- # c\nc: 2\n...\n"),
    # Changes through an alias or a merge key act on the one node they share.
    (
        "yaml",
        "a: &x\n  s:\n    - 1\n    - 2\nb: *x\n",
        ["--delete", "b.s[0]", "--set", "a.s[1]=3"],
        "a: &x\n  s:\n    - 2\n    - 3\nb: *x\n",
    ),
    ("yaml", "a: &x\n  k: 1\nb: *x\n", ["--delete", "b.k"], "a: &x {}\nb: *x\n"),
    (
        "yaml",
        "b: &b\n  e:\n    A: 1\nd:\n  <<: *b\n",
        ["--delete", "d.e.A"],
        "b: &b\n  e: {}\nd:\n  <<: *b\n",
    ),
    (
        "yaml",
        "# top\n---\na: 1\n---\nb: [x]\n",
        ["--set", "[1].b[1]=z"],
        "# top\n---\na: 1\n---\nb: [x, z]\n",
    ),
    (
        "yaml",
        "- hosts: all\n  tasks:\n    - name: a\n\n- hosts: db\n",
        ["--set", "[0].tasks[1]={name: b, become: true}"],
        "- hosts: all\n  tasks:\n    - name: a\n    - name: b\n      become: true\n\n"
        "- hosts: db\n",
    ),
    (
        "yaml",
        "steps:\n  - uses: actions/checkout@v3\n  - run: make\n",
        ["--set", "steps[0].uses=actions/checkout@v4"],
        "steps:\n  - uses: actions/checkout@v4\n  - run: make\n",
    ),
    (
        "yaml",
        "steps:\n  - a   # one\n  - b\n\n# end\n",
        ["--delete", "steps[0]"],
        "steps:\n  - b\n\n# end\n",
    ),
    ("yaml", "l:\n  - a\nm: 1\n", ["--delete", "l[0]"], "l: []\nm: 1\n"),
    # Emptied, a block collection keeps the comment lines before its member,
    # not the lines of a block scalar that go with it.
    (
        "yaml",
        "x:\n  # about y\n\n  y: 1  # one\n  # after\nw: 3\n",
        ["--delete", "x.y"],
        "x: {}\n  # about y\n  # after\nw: 3\n",
    ),
    (
        "yaml",
        "l: !t\n  # c\n  - |\n    # text\n",
        ["--delete", "l[0]"],
        "l: !t []\n  # c\n",
    ),
    ("yaml", "l:\n-   a\n-   b\n", ["--set", "l[2]=c"], "l:\n-   a\n-   b\n-   c\n"),
    (
        "yaml",
        'v: [ "3.11", "3.12" ]\n',
        ["--set", 'v[2]="3.13"'],
        'v: [ "3.11", "3.12", "3.13" ]\n',
    ),
    ("yaml", "t: []\n", ["--set", "t[0]=x"], "t:\n  - x\n"),  # a placeholder
    ("yaml", "m:\n  p: {}  # c\n", ["--set", "m.p.a=1"], "m:\n  p:  # c\n    a: 1\n"),
    # A plain string written in block style is quoted as any new one is.
    (
        "yaml",
        "a: 1\n",
        ["--create", "--set", "c[0]=1:30", "--set", "g={k: [on, x]}"],
        'a: 1\nc:\n  - "1:30"\ng:\n  k:\n    - "on"\n    - x\n',
    ),
    (
        "yaml",
        "",
        ["--create", "--set", "[0].t=[]", "--set", "[0].u[0].v={}"],
        "- t: []\n  u:\n    - v: {}\n",
    ),
    ("yaml", "a: 1\n", ["--set", "a=[]", "--set", "b={}"], "a: []\nb: {}\n"),
    (
        "yaml",
        "a:\n  b: 1\n",
        ["--create", "--set", "a.c.d=2"],
        "a:\n  b: 1\n  c:\n    d: 2\n",
    ),
    (
        "yaml",
        "# nothing yet\n",
        ["--create", "--set", "a.b=1"],
        "# nothing yet\na:\n  b: 1\n",
    ),
    ("yaml", "\ufeffa: 1\n", ["--set", "b=2"], "\ufeffa: 1\nb: 2\n"),
    # Selectors: every match changes, and nothing else.
    (
        "yaml",
        MANIFESTS,
        [
            *("--set", "[kind=Service].metadata.name=api"),
            *("--set", "[*].spec.replicas=3", "--create"),
        ],
        MANIFESTS.replace("replicas: 2", "replicas: 3").replace(
            "Service\nmetadata: {name: web}\n",
            "Service\nmetadata: {name: api}\nspec:\n  replicas: 3\n",
        ),
    ),
    (
        "yaml",
        MANIFESTS,
        ["--set", "[metadata.name=web].metadata.labels.tier=web", "--create"],
        MANIFESTS.replace("{name: web}", "{name: web, labels: {tier: web}}"),
    ),
    (
        "yaml",
        MANIFESTS.split("---")[0],
        ["--set", "[kind=Deployment].spec.replicas=5"],
        MANIFESTS.split("---")[0].replace("2", "5"),
    ),
    (
        "yaml",
        WORKFLOW,
        ["--set", "jobs.*.steps[uses^=actions/checkout@].uses=actions/checkout@v4"],
        WORKFLOW.replace("checkout@v3", "checkout@v4"),
    ),
    (
        "yaml",
        WORKFLOW,
        ["--delete", "jobs.*.steps[*].with", "--set", "jobs.*.runs-on=ubuntu-24.04"],
        WORKFLOW.replace("        with: {python-version: '3.12'}\n", "").replace(
            "ubuntu-22.04", "ubuntu-24.04"
        ),
    ),
    (
        "yaml",
        COMPOSE.replace('  "*": odd\n', ""),
        ["--set", "services.*.restart=always"],
        COMPOSE.replace('  "*": odd\n', "")
        .replace("]\n", "]\n    restart: always\n")
        .replace("16\n", "16\n    restart: always\n"),
    ),
    (
        "yaml",
        "a: x\nb: [-x]\n",
        ["--set", "a=--fix", "--set", "b[0]=-y"],
        "a: --fix\nb: [-y]\n",
    ),
    ("yaml", "a:\n- 1\n- 1\nb: 0\n", ["--delete", "a[.=1]"], "a: []\nb: 0\n"),
    ("yaml", "a:\n  x: 1\n  y: 2\nb: 0\n", ["--delete", "a.*"], "a: {}\nb: 0\n"),
    (  # a place that aliases reach twice changes once
        "yaml",
        "x: &x {n: 1}\nl: [*x, *x, {n: 1}]\n",
        ["--delete", "l[n=1].n"],
        "x: &x {}\nl: [*x, *x, {}]\n",
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


# --- The native composer, node for node against PyYAML's C loader -----------


COMPOSED = [
    COMPOSE,
    MANIFESTS,
    WORKFLOW,
    "a: 1\r\nb:\r\n  - x\r\n  - {c: 'd', e: \"f\"}\r\n",
    "é: ü\n'ключ': [😀, \"\\u00e9\"]\nx: |\n  é\n",  # marks count characters
    "\ufeffa: 1\n",
    "a: &x {b: 1}\nc: *x\nd: &y [*x, *y]\n<<: *x\n",  # an alias of itself
    "a: &x 1\n---\nb: &x 2\n",  # an anchor is its document's
    "%TAG !e! tag:example.com,2000:\n---\na: !e!x 1\nb: !<tag:y> 2\nc: !!str 3\n"
    "d: ! 4\ne: !local {f: 1}\n--- !t\n",
    "? [a, b]\n: c\n? {d: e}\n: f\n",
    "--- |\n  x\n...\n---\n# c\n--- >-\n  y\n",
    "",
    "# only a comment\n",
    "[" * 1000 + "]" * 1000,
    "- " * 999 + "x",
    "k:\n" + "- " * 999 + "x",  # a list at its key's indentation is no level
    "".join("  " * i + "k:\n" for i in range(999)) + "  " * 999 + "v\n",
    # Errors: libyaml's reader, scanner and parser, and the composer's.
    "a: *x\n",
    "a: &x 1\nb: &x 2\n",
    "a: [\n",
    "a: b: c\n",
    "\x01",
    "é: \x07",
    "'a",
    "a:\n\t- b\n",
    'k: "\\q"\n',
    "%YAML 1.1\n%YAML 1.1\n---\na\n",
    # Past the levels libyaml nests: of flow, of blocks, of both; the
    # bound is said where the key's ":" is, or the "?" or "-".
    "[" * 1001 + "]" * 1001,
    "- " * 500 + "[" * 501 + "]" * 501,
    "- " * 1000 + "x",
    "".join("  " * i + "k :\n" for i in range(1000)) + "  " * 1000 + "v\n",
    "".join("  " * i + "? k\n" + "  " * i + ":\n" for i in range(1000)) + "v\n",
]


@pytest.mark.parametrize("text", COMPOSED)
def test_the_native_nodes_are_pyyaml_s(text):
    assert composed_alike(text) is not None


_SHARED = st.lists(st.integers(0, 3), max_size=3)


@given(
    st.recursive(
        st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=5)),
        lambda inner: st.one_of(
            st.lists(inner, max_size=3),
            st.dictionaries(st.text(max_size=3), inner, max_size=3),
        ),
        max_leaves=20,
    ),
    _SHARED,
    st.sampled_from([None, True, False]),
)
def test_random_documents_compose_as_pyyaml_composes_them(tree, shared, flow):
    # A list met more than once is written once, anchored, and aliased after.
    document = [tree, shared, {"again": shared}]
    text = yaml.dump(document, default_flow_style=flow, allow_unicode=True)
    assert composed_alike(text) == "read"


def test_the_native_composer_leaks_nothing():
    from _support import assert_no_leaks

    from props_to_tree import _yaml

    text = "".join(["a: &x {b: [1, 'é']}\nc: *x\nd: !t x\n", "k" * 3, ": v\n"])
    assert_no_leaks(lambda: _yaml.compose_all(text), text, calls=500)
    assert_no_leaks(lambda: _yaml.events(text), text, calls=500)
    for bad in ("a: *x\n", "a: &x 1\nb: &x 2\n", "a: [\n", "\x01"):
        bad = "".join([bad])
        assert_no_leaks(lambda b=bad: _yaml.compose_all(b), bad, raises=_yaml.Error)
