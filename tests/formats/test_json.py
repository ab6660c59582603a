"""JSON and JSONC: the exact text after each change, made through the API, and
on a CRLF copy of the document too."""

import pytest
from _support import PACKAGES, edited_alone

# (format, document, the command's arguments, the document after them): exactly.
LAYOUTS = [
    # A number typed otherwise than it is written is written as typed; a
    # listing's line left as listed is no change.
    ("json", '{"a": 1.10}', ["--set", "a=1.1"], '{"a": 1.1}'),
    (
        "json",
        '{"a": 1.10, "b": 1}',
        ["--apply", "a = 1.10\nb = 2"],
        '{"a": 1.10, "b": 2}',
    ),
    ("json", '{"a": 1.10}', ["--apply", "a = 1.1"], '{"a": 1.1}'),
    # JSON: the value's text alone changes, in the file's own layout.
    (
        "json",
        '{\n  "v": 1.50,\n  "f": ["a", "b"]\n}\n',
        ["--set", "v=2.50"],
        '{\n  "v": 2.50,\n  "f": ["a", "b"]\n}\n',
    ),
    (
        "json",
        '{\n    "a": "caf\\u00e9",\n    "e": 1e21\n}',
        ["--set", "a=thé"],
        '{\n    "a": "th\\u00e9",\n    "e": 1e21\n}',
    ),
    (
        "json",
        '{\n\t"a": 1\n}\n',
        ["--set", "b=[1,2.50]"],
        '{\n\t"a": 1,\n\t"b": [\n\t\t1,\n\t\t2.50\n\t]\n}\n',
    ),
    (
        "json",
        '{"a": 1, "b": {"c": 2}}',
        ["--set", "b.d=3"],
        '{"a": 1, "b": {"c": 2, "d": 3}}',
    ),
    (
        "json",
        '{"a":1,"b":2,"c":3}',
        ["--delete", "a", "--set", "d=x"],
        '{"b":2,"c":3,"d":"x"}',
    ),
    (
        "json",
        '{\r\n  "a": 1,\r\n  "b": 2\r\n}\r\n',
        ["--delete", "b"],
        '{\r\n  "a": 1\r\n}\r\n',
    ),
    (
        "json",
        '{\n  "a": {\n    "x": 1\n  },\n  "b": 2\n}',
        ["--set", 'a={"y": [1]}'],
        '{\n  "a": {\n    "y": [\n      1\n    ]\n  },\n  "b": 2\n}',
    ),
    ("json", '{"s": "\\ud800"}', ["--set", "s=x"], '{"s": "x"}'),
    # JSON with comments and trailing commas: both kept.
    (
        "json",
        '{\n  // c\n  "a": "x",  // the a\n  "b": 1,\n}\n',
        ["--set", "a=xyz"],
        '{\n  // c\n  "a": "xyz", // the a\n  "b": 1,\n}\n',
    ),
    (
        "json",
        '{\n  "a": 1, // one\n  // above b\n  "b": 2,\n}\n',
        ["--set", "c=3"],
        '{\n  "a": 1, // one\n  // above b\n  "b": 2,\n  "c": 3,\n}\n',
    ),
    (
        "json",
        '{\n  "a": 1, // one\n  // above b\n  "b": 2 /* two */\n}\n',
        ["--delete", "b"],
        '{\n  "a": 1 // one\n  // above b\n}\n',
    ),
    ("jsonc", '{/* a */ "a": [1, 2,]}', ["--set", "a=[3]"], '{/* a */ "a": [3]}'),
    ("json", '{"a": [1, 2]}  // c', ["--set", "a[0]=100"], '{"a": [100, 2]} // c'),
    (
        "json",
        '{"k": 1}',
        ["--set", "k=2 ", "--set", "v=1.10"],
        '{"k": "2 ", "v": 1.10}',
    ),
    (
        "json",
        '{\n  "a": null,\n  "b": {"c": null}\n}\n',
        ["--create", "--set", "a.x.y=1", "--set", "b.c.d=2"],
        '{\n  "a": {\n    "x": {\n      "y": 1\n    }\n  },\n'
        '  "b": {"c": {"d": 2}}\n}\n',
    ),
    (
        "json",
        "null\n",
        ["--create", "--set", "a.b=1"],
        '{\n  "a": {\n    "b": 1\n  }\n}\n',
    ),
    ("json", '{"l": [ 1 ]}', ["--delete", "l[0]"], '{"l": []}'),
    (
        "json",
        '{"s": {"db": {"image": "postgres:16"}, "web": {"image": "nginx"}}}',
        ["--set", "s[image^=postgres&image^=post].restart=always"],
        '{"s": {"db": {"image": "postgres:16", "restart": "always"}, '
        '"web": {"image": "nginx"}}}',
    ),
    (
        "json",
        '{\n  "a": 1,\n\n  "b": 2,\n\n  "c": 3\n}\n',
        ["--delete", "b"],
        '{\n  "a": 1,\n\n  "c": 3\n}\n',
    ),
    # "." is the top: a document that is one value, an empty one.
    ("json", "42\n", ["--set", ".=[1]"], "[\n  1\n]\n"),
    # A collection in the style of its place: block style on lines of their
    # own (the file's step, colon and line break), flow style inside a one-
    # line object or array, or in place of one that is not empty.
    (
        "json",
        '{\n    "a": null,\n    "b": {},\n    "c": [1, 2],\n    "d" : 1\n}',
        ["--set", 'a={"x": [], "y": {"z": 1}}', "--set", "b=[true]", "--set", "c=[3]"],
        '{\n    "a": {\n        "x" : [],\n        "y" : {\n            "z" : 1\n'
        '        }\n    },\n    "b": [\n        true\n    ],\n    "c": [3],\n'
        '    "d" : 1\n}',
    ),
    (
        "json",
        '{"a": {"b": 1}, "l": [1]}',
        ["--set", "a.c=[1, 2]", "--set", "l[+]={}", "--set", 'n={"k": 1}'],
        '{"a": {"b": 1, "c": [1, 2]}, "l": [1, {}], "n": {"k": 1}}',
    ),
    (
        "json",
        '{\n  "deps": [\n    "a"\n  ],\n  "x": {\n  }\n}\n',
        ["--set", 'deps[+]={"name": "b", "v": [1]}', "--create", "--set", "x.y.z=[1]"],
        '{\n  "deps": [\n    "a",\n    {\n      "name": "b",\n      "v": [\n'
        '        1\n      ]\n    }\n  ],\n  "x": {\n    "y": {\n      "z": [\n'
        "        1\n      ]\n    }\n  }\n}\n",
    ),
    ("json", " \n", ["--set", "a=1"], '{\n  "a": 1\n}\n'),
    (
        "json",
        "// none yet\n",
        ["--create", "--set", "a.b=1"],
        '// none yet\n{\n  "a": {\n    "b": 1\n  }\n}\n',
    ),
    # JSON: a key written twice goes whole; comments and spacing in brackets.
    ("json", '{"a":1,"b":{},"a":2}', ["--delete", "a"], '{"b":{}}'),
    ("json", '{"a":1,"b":{"c":1}}', ["--set", "b.d=2"], '{"a":1,"b":{"c":1,"d":2}}'),
    (
        "jsonc",
        '{"i": ["s", /* c */ "t",]}',
        ["--set", "i[2]=x", "--delete", "i[0]"],
        '{"i": [/* c */ "t", "x",]}',
    ),
    # Lists: items set, appended after the last one and deleted with their
    # lines, in the list's own layout; documents of a stream.
    ("json", '{"a": [1, 2]}', ["--set", "a[2]=3", "--delete", "a[0]"], '{"a": [2, 3]}'),
    (
        "json",
        '{\n  "a": [\n    1\n  ]\n}',
        ["--set", "a[1]=2"],
        '{\n  "a": [\n    1,\n    2\n  ]\n}',
    ),
    ("json", "[1, 2]", ["--set", "[-1]=3"], "[1, 3]"),
    (
        "json",
        '{\n  "a": 1\n}',
        ["--create", "--set", "b.c=2"],
        '{\n  "a": 1,\n  "b": {\n    "c": 2\n  }\n}',
    ),
    ("json", '\ufeff{"a": 1}', ["--delete", "a"], "\ufeff{}"),
    (
        "json",
        PACKAGES,
        ["--set", "packages[private=true].version=2.0.0"],
        PACKAGES.replace('"1.0.0", "private"', '"2.0.0", "private"'),
    ),
    (
        "json",
        PACKAGES,
        ["--delete", 'packages[version="1.0.0"]', "--set", "packages[*].port=81"],
        PACKAGES.replace('"2.0.0"}', '"2.0.0", "port": 81}').replace(
            PACKAGES.splitlines(True)[2] + PACKAGES.splitlines(True)[3], ""
        ),
    ),
    ("json", '{"a": [1, 2, 1]}', ["--delete", "a[.=1]"], '{"a": [2]}'),
    ("json", '{"a": [1, 1]}', ["--delete", "a[*]"], '{"a": []}'),
    (
        "json",
        '{\n  "a": null\n}',
        ["--create", "--set", "a[0]=1", "--set", "b.c[0].d=2", "--set", "b.c[1].d=3"],
        '{\n  "a": [\n    1\n  ],\n  "b": {\n    "c": [\n      {\n        "d": 2\n'
        '      },\n      {\n        "d": 3\n      }\n    ]\n  }\n}',
    ),
    (
        "json",
        '{\n  "a": [],\n  "b": {},\n  "c": {"d": []}\n}',
        ["--set", "a[+]=1", "--set", "b.k=2", "--set", "c.d[+]=3"],
        '{\n  "a": [\n    1\n  ],\n  "b": {\n    "k": 2\n  },\n  "c": {"d": [3]}\n}',
    ),
    # [+]: after the last item, as [N] of the length; at every match.
    (
        "json",
        '{"a": [1, 2]}',
        ["--set", "a[+]=3", "--set", "a[+]=4"],
        '{"a": [1, 2, 3, 4]}',
    ),
    (
        "json",
        '[{"n": [1]}, {"n": []}]',
        ["--set", "[*].n[+]=0"],
        '[{"n": [1, 0]}, {"n": [0]}]',
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
