"""The listing: its lines read back, the native walk against the Python one,
and the JSON listing from the bytes against the listing of what json.loads
reads."""

import datetime as dt
import functools
import json
import math
import re
import tomllib

import pytest
from _support import (
    FORMATS,
    LISTINGS,
    ODD_TEXT,
    Str,
    bytes_listing,
    native_listing,
    outcome,
    python_listing,
    read_listing,
)
from hypothesis import event, given
from hypothesis import strategies as st

from props_to_tree import _formats as formats
from props_to_tree import _listing
from props_to_tree._engine.errors import EditError
from props_to_tree._engine.listing import leaves, parse, render
from props_to_tree._engine.paths import key_text, key_texts


class Int(int):
    pass


class Table(dict):  # type: ignore[type-arg]
    pass


NAN, INF = float("nan"), float("inf")
TEXT = 'a"b\\c\n\r\t\b\f\x01\x1f\x7f é ā 😀 \ud800'
# What JSON escapes of TEXT, and TOML besides it DEL; the rest stays as it is.
ESCAPED = 'a\\"b\\\\c\\n\\r\\t\\b\\f\\u0001\\u001f{} é ā 😀 \ud800'

LISTED = [
    ("json", {}, ""),
    ("json", [], ""),
    ("toml", {}, ""),
    ("json", 5, ". = 5\n"),
    ("json", None, ". = null\n"),
    ("json", "x", '. = "x"\n'),
    ("json", Table(a=1), '. = {"a": 1}\n'),
    (
        "json",
        {"a": {}, "b": [], "c": [[], {}]},
        "a = {}\nb = []\nc[0] = []\nc[1] = {}\n",
    ),
    ("json", [1, [2, {"k": 3}]], "[0] = 1\n[1][0] = 2\n[1][1].k = 3\n"),
    (
        "json",
        {"a": {"b": {"c": 1}, "d": 2}, "e": 3},
        "a.b.c = 1\na.d = 2\ne = 3\n",
    ),
    # Keys quoted at the top, with no "." before them, and below it.
    (
        "json",
        {"a.b": 1, "": 2, "*": 3, "#x": 4, " a": 5, "a ": 6, "a=b": 7, 'q"': 8},
        '["a.b"] = 1\n[""] = 2\n["*"] = 3\n["#x"] = 4\n[" a"] = 5\n["a "] = 6\n'
        '["a=b"] = 7\n["q\\""] = 8\n',
    ),
    (
        "json",
        {"t": {"x[0]": 1, "\x7f": 2, "\n": 3, "é": 4, "x\ud800": 5, "a#": 6}},
        't["x[0]"] = 1\nt["\x7f"] = 2\nt["\\n"] = 3\nt.é = 4\nt["x\\ud800"] = 5\n'
        "t.a# = 6\n",
    ),
    (
        "json",
        {"é": 1, "\ud800": 2, "😀": {"a": 3}},
        'é = 1\n["\\ud800"] = 2\n😀.a = 3\n',
    ),
    ("json", {"s": TEXT}, f's = "{ESCAPED.format(chr(0x7F))}"\n'),
    ("toml", {"s": TEXT}, f's = "{ESCAPED.format("\\u007f")}"\n'),
    # Long runs before and after an escape, of each width.
    *(
        ("json", [c * 20 + "\t" + c * 9], f'[0] = "{c * 20}\\t{c * 9}"\n')
        for c in ("a", "é", "ā", "😀")
    ),
    (
        "json",
        [1.0, -0.0, 1e300, 0.1, NAN, INF, -INF],
        "[0] = 1.0\n[1] = -0.0\n[2] = 1e+300\n[3] = 0.1\n[4] = NaN\n[5] = Infinity\n"
        "[6] = -Infinity\n",
    ),
    ("toml", {"f": [NAN, INF, -INF]}, "f[0] = nan\nf[1] = inf\nf[2] = -inf\n"),
    (
        "json",
        [0, -1, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 10**30, True, False],
        "[0] = 0\n[1] = -1\n[2] = 9223372036854775807\n[3] = -9223372036854775808\n"
        "[4] = 9223372036854775808\n[5] = -9223372036854775809\n"
        f"[6] = {10**30}\n[7] = true\n[8] = false\n",
    ),
    # Values the format's show() writes: other types, and subclasses.
    (
        "toml",
        {"d": dt.date(2024, 1, 2), "t": dt.time(1, 2, 3), "x": dt.datetime(2024, 1, 2)},
        "d = 2024-01-02\nt = 01:02:03\nx = 2024-01-02T00:00:00\n",
    ),
    (
        "json",
        {"t": (1, "a"), "i": Int(7), "s": Str("é"), "d": Table(b=[])},
        't = [1, "a"]\ni = 7\ns = "é"\nd = {"b": []}\n',
    ),
]


@pytest.fixture(params=LISTINGS)
def list_with(request):
    return LISTINGS[request.param]


@pytest.mark.parametrize(("fmt", "tree", "text"), LISTED)
def test_listing(list_with, fmt, tree, text):
    assert list_with(tree, fmt) == text


@pytest.mark.parametrize(
    ("fmt", "tree", "error"),
    [
        ("toml", {"a": None}, AssertionError),  # TOML has no null
        ("json", {"a": {1: 2}}, AttributeError),  # a key is text
        ("json", {"a": [10**5000]}, ValueError),  # past int's digits limit
    ],
)
def test_listing_fails_as_the_python_walk_does(list_with, fmt, tree, error):
    with pytest.raises(error):
        list_with(tree, fmt)


def test_a_chunk_of_ascii_ends_before_a_wider_line():
    # The output code encodes a chunk of ASCII by copying it, and one of
    # wider characters a character at a time.
    tree = {f"k{i}": "x" * 20 for i in range(2000)}
    for key, wide in (("k500", "é"), ("k501", "ā"), ("k1500", "😀")):
        tree[key] = wide
    chunks = list(_listing.Chunks(tree, str, key_text, key_texts, _listing.JSON, 4096))
    assert "".join(chunks) == python_listing(tree, "json")
    assert len(chunks) > 6
    line = max(map(len, python_listing(tree, "json").splitlines(True)))
    assert all(c.isascii() or len(c) <= 4096 // 64 + line for c in chunks)


# Documents as JSON's and TOML's readers make them, and keys and values of
# other types where a caller could pass them.
ODD = st.sampled_from(ODD_TEXT)
LISTING_KEYS = st.one_of(
    ODD, st.text(max_size=4), st.text(st.sampled_from("a.#é😀\ud800 "), max_size=3)
)
STRINGS = st.one_of(ODD, st.text(), st.lists(ODD, max_size=4).map("".join))
NUMBERS = st.one_of(
    st.integers(),
    st.integers(-(2**64), 2**64),
    st.floats(),
    st.sampled_from([NAN, INF, -INF, -0.0]),
)
SCALARS = {
    "json": st.one_of(st.none(), st.booleans(), NUMBERS, STRINGS),
    "toml": st.one_of(
        st.booleans(), NUMBERS, STRINGS, st.dates(), st.times(), st.datetimes()
    ),
}


def documents(fmt):
    def nested(inner):
        return st.one_of(
            st.lists(inner, max_size=4),
            st.dictionaries(LISTING_KEYS, inner, max_size=4),
        )

    return st.recursive(
        st.one_of(SCALARS[fmt], st.just([]), st.just({})), nested, max_leaves=25
    )


@given(
    st.sampled_from(sorted(FORMATS)).flatmap(
        lambda fmt: st.tuples(st.just(fmt), documents(fmt))
    ),
    st.sampled_from([1, 7, 64, 1 << 16]),
)
def test_the_native_listing_is_the_python_one(case, size):
    fmt, tree = case
    assert outcome(native_listing, tree, fmt, size) == outcome(
        python_listing, tree, fmt
    )


@pytest.mark.parametrize(
    ("fmt", "text", "coloured", "native"),
    [
        ("json", '{"a": [1]}', False, True),
        ("toml", "a = [1]\n", False, True),
        ("yaml", "a: [1]\n", False, False),  # its values are shown as written
        ("json", '{"a": [1]}', True, False),
    ],
)
def test_the_command_lists_json_and_toml_natively(fmt, text, coloured, native):
    from props_to_tree import _formats as formats
    from props_to_tree._command import colour
    from props_to_tree._engine import listing

    document = formats.load(fmt, text)
    paint = colour if coloured else None
    chunks = listing.lines(document, paint)
    assert isinstance(chunks, _listing.Chunks) == native
    shown = re.sub("\x1b\\[[0-9;]*m", "", "".join(chunks))  # colour aside
    assert shown == "a[0] = 1\n"


# --- The JSON listing from the bytes, against the listing of what json.loads
# reads ------------------------------------------------------------------------

# (JSON text, its listing, None where it is the reading's): listed straight
# from the bytes.
FROM_BYTES = [
    ('{"a": 1, "b": [1, 2.50, {"c": null}], "d": {}, "e": []}', None),
    ("[]", ""),
    ("{}", ""),
    (" 5 ", ". = 5\n"),
    ('"x"', '. = "x"\n'),
    ("\ufeff" + '{"a": 1}', "a = 1\n"),  # a byte-order mark read past
    # Numbers as written; json.loads's constants too.
    (
        "[1E400, -0, 1e5, 1.10, -0.0, 0.5e-3, NaN, Infinity, -Infinity, 12345678901]",
        "[0] = 1E400\n[1] = -0\n[2] = 1e5\n[3] = 1.10\n[4] = -0.0\n[5] = 0.5e-3\n"
        "[6] = NaN\n[7] = Infinity\n[8] = -Infinity\n[9] = 12345678901\n",
    ),
    # Strings as json.dumps writes them: escapes read and written anew.
    (
        '["a\\/b", "\\u00e9\\u0041", "\\ud83d\\ude00", "\\ud800x", "\\udc00",'
        ' "\\u001f\\b\\f\\n\\r\\t", "\\"\\\\", "\u2028\x7f", "é😀"]',
        '[0] = "a/b"\n[1] = "éA"\n[2] = "😀"\n[3] = "\\ud800x"\n[4] = "\\udc00"\n'
        '[5] = "\\u001f\\b\\f\\n\\r\\t"\n[6] = "\\"\\\\"\n[7] = "\u2028\x7f"\n'
        '[8] = "é😀"\n',
    ),
    # Long keys, told bare sixteen bytes at a time: what a bare key may not
    # hold, in the first sixteen, past them, at the end; a raw DEL.
    (
        '{"abcdefghijklmnopqrstuvwxyz": 1, "abcdefghijklmnop.q": 2,'
        ' "abcdefghijklmno=": 3, "abcdefghijklmnopqrstuvwxyz[0]": 4,'
        ' "a234567890123456789\x7f": 5, "abcdefghijklmnopqrstuvwxyz ": 6}',
        None,
    ),
    # A listing longer than twice the document grows as it is made.
    ('{"' + "k" * 60 + '": [' + ",".join("1" * 500) + "]}", None),
    # Keys: bare, quoted (escapes read), called back for beyond ASCII.
    (
        '{"a.b": {"": 1, "é": 2, "\\u00e9x": 3, "k\\"": 4, "#a": 5, " a": 6,'
        ' "*": 7, "a b": 8, "\\u0061": 9, "\\n": 10, "\\ud800": 11, "x\\u007f": 12}}',
        '["a.b"][""] = 1\n["a.b"].é = 2\n["a.b"].éx = 3\n["a.b"]["k\\""] = 4\n'
        '["a.b"]["#a"] = 5\n["a.b"][" a"] = 6\n["a.b"]["*"] = 7\n["a.b"].a b = 8\n'
        '["a.b"].a = 9\n["a.b"]["\\n"] = 10\n["a.b"]["\\ud800"] = 11\n'
        '["a.b"]["x\x7f"] = 12\n',
    ),
    # A deep indentation, skipped sixteen bytes at a time, and what is left
    # short of sixteen; short strings near the end; hex digits in capitals.
    (
        "[\n" + " " * 20 + '"\\u00C9\\u00e9",\n' + " " * 37 + '"abcdefghij"]',
        '[0] = "\u00c9\u00e9"\n[1] = "abcdefghij"\n',
    ),
    ("[1]\n" + " " * 20, "[0] = 1\n"),
    # Items counted past a new digit; white space of every kind.
    (
        "[" + ", ".join(["0"] * 11) + "]",
        "".join(f"[{i}] = 0\n" for i in range(11)),
    ),
    (' \t\r\n{ "a" :\r\n[ ] , "b" : { } , "c" : [ [ ] , { } ] }\n', None),
]
# Left to be read first: what json.loads takes otherwise, or does not read.
LEFT_TO_READING = [
    ('{"a": 1, "a": 2}', "a = 2\n"),
    (
        '{"a": {"x": 1}, "b": {"x": 2}, "c": {"\\u0078": 3, "x": 4}}',
        "a.x = 1\nb.x = 2\nc.x = 4\n",
    ),
    ("[1, 2,]", "[0] = 1\n[1] = 2\n"),  # JSONC's trailing comma
    ("", ""),
    ("[" + "1" * 5000 + "]", ValueError),  # past Python's digits
    ("[01]", ValueError),
    ('{"a" 1}', ValueError),
    ("[1] [2]", ValueError),
    ('["\x01"]', ValueError),
    ('["\\x"]', ValueError),
    ('"\\ud83d\\u"', ValueError),
    ("tru", ValueError),
    ("-", ValueError),
    ("1.", ValueError),
    ("1e", ValueError),
]
# Keys twice, in an object past the few compared one by one.
LEFT_TO_READING.append(
    (
        "{" + ", ".join(f'"k{i}": {i}' for i in range(40)) + ', "k7": 0}',
        "".join(f"k{i} = {0 if i == 7 else i}\n" for i in range(40)),
    )
)


def _read_or_error(text):
    """The listing of the text's bytes read first, or ValueError."""
    try:
        return read_listing(text.encode("utf-8", "surrogatepass"))
    except (ValueError, UnicodeDecodeError):
        return ValueError


# Whole; in chunks from the start; in chunks once past a bound, mid-way.
_HELD = [(1 << 16, None), (1, 0), (9, 40)]


@pytest.mark.parametrize(
    ("text", "listed", "native"),
    [(*row, True) for row in FROM_BYTES] + [(*row, False) for row in LEFT_TO_READING],
)
@pytest.mark.parametrize(("size", "held"), _HELD)
def test_the_listing_from_the_bytes_is_the_listing_of_what_reads(
    text, listed, native, size, held
):
    read = _read_or_error(text)
    if listed is not None:
        assert read == listed
    made = bytes_listing(text, size, held)
    assert made == (read if native else None)


@pytest.mark.parametrize(
    "data",
    [
        b'["\xff"]',
        b'["\xed\xa0\x80"]',
        b'["\xc0\xaf"]',
        b'["\xf4\x90\x80\x80"]',
        b'["\xe2\x82"]',
        b'["\xc3"]',
    ],
)
def test_bytes_that_are_not_utf8_are_left_to_the_reading(data):
    assert bytes_listing(data) is None
    with pytest.raises(UnicodeDecodeError):
        data.decode("utf-8")


def test_nesting_past_the_recursion_limit_is_left_to_the_reading():
    import sys

    limit = sys.getrecursionlimit()
    # As deep as the listing of the tree json.loads reads goes, the same lines.
    deep = "[" * limit + "]" * limit
    assert bytes_listing(deep) == native_listing(json.loads(deep), "json")
    assert bytes_listing("[" * (limit + 1) + "1" + "]" * (limit + 1)) is None


# JSON texts as people and programs write them: numbers in every spelling,
# strings escaped or not, any white space, keys twice now and then.
_SPACE = st.sampled_from(["", " ", "\n  ", "\t", "\r\n"])
_NUMBER = st.from_regex(
    r"-?(0|[1-9][0-9]{0,20})(\.[0-9]{1,4})?([eE][-+]?[0-9]{1,3})?", fullmatch=True
)
_STRING = st.builds(
    lambda text, ascii: json.dumps(text, ensure_ascii=ascii),
    st.one_of(st.text(max_size=6), st.sampled_from(ODD_TEXT)),
    st.booleans(),
)


def _json_texts():
    scalars = st.one_of(
        _NUMBER, _STRING, st.sampled_from(["true", "false", "null", "NaN", "-Infinity"])
    )

    def containers(inner):
        items = st.lists(st.tuples(_SPACE, inner, _SPACE), max_size=4)
        keys = st.one_of(_STRING, st.sampled_from(['"a"', '"\\u0061"', '"a.b"', '"é"']))
        members = st.lists(st.tuples(_SPACE, keys, _SPACE, inner), max_size=4)
        return st.one_of(
            items.map(lambda xs: "[" + ",".join(a + v + b for a, v, b in xs) + "]"),
            members.map(
                lambda xs: (
                    "{" + ",".join(a + k + ":" + b + v for a, k, b, v in xs) + "}"
                )
            ),
        )

    return st.recursive(scalars, containers, max_leaves=30)


@given(_json_texts(), _SPACE, st.sampled_from(_HELD))
def test_random_json_lists_from_the_bytes_as_it_reads(text, space, bound):
    text = space + text + space
    native = bytes_listing(text, *bound)
    read = _read_or_error(text)
    if native is None and read is ValueError:
        event("not UTF-8: a lone surrogate written raw")
        assert re.search("[\ud800-\udfff]", text)
    elif native is None:
        event("left to the reading")
        pairs = []
        json.loads(text, object_pairs_hook=lambda p: pairs.append(p) or {})
        assert any(len({k for k, _ in p}) < len(p) for p in pairs), text
    else:
        assert native == read


# --- The YAML listing from libyaml's events, against the listing of the
# document read --------------------------------------------------------------

# (YAML text, its listing, None where it is the reading's): listed from the
# events.
YAML_FROM_BYTES = [
    ("a: 1\nb: [1, 2.50, {c: null}]\nd: {}\ne: []\n", None),
    ("{}", ""),
    ("--- []\n", ""),
    ("5", ". = 5\n"),
    ("'x'\n", ". = x\n"),
    ("\ufeffa: 1\n", "a = 1\n"),
    ("a: 1\r\nb:\r\n  - x\r\n  -\r\n", "a = 1\nb[0] = x\nb[1] = null\n"),
    # YAML 1.2's core schema: null and booleans shown as it reads them.
    (
        "[~, Null, NULL, null, '', TRUE, True, false, yes, on, nULL]",
        '[0] = null\n[1] = null\n[2] = null\n[3] = null\n[4] = ""\n[5] = true\n'
        "[6] = true\n[7] = false\n[8] = yes\n[9] = on\n[10] = nULL\n",
    ),
    # Numbers as written; what reads as none is a string, quoted where it
    # would read as one.
    (
        "[0x1F, 0o17, +1, 012, 1.10, .5, 1., 1e5, -1E-2, .Inf, -.inf, +.INF, .NaN,"
        " -.nan, 1_000, 0x, 0o8, '1', '.inf', 1" + "0" * 4299 + "]",
        None,
    ),
    # Dates and times that are real ones as written, others strings.
    (
        "[2024-01-01, 2024-02-29, 2023-02-29, 2024-1-1, 0000-01-01,"
        " 2024-01-01T10:00:00Z, 2024-01-01 10:00:00.123456789 +05:30,"
        " 2024-1-1t1:00:00, 2024-01-01  10:00:00 -5, 2024-01-01T24:00:00,"
        " 2024-01-01T10:00:00+24:00, 2024-01-01T10:00:00+23:59, 2024-01-01T10:00,"
        " '2024-01-01', 2024-13-01, 2024-01-01x, 2024-01, 20x4-01-01, 2024-0x-01,"
        " 2024-01-0x, 2024-01-01T, 2024-01-01Tx, 2024-01-01T1x, 2024-01-01T10:0,"
        " 2024-01-01T10:00:0, 2024-01-01 10:00:00 +, 2024-01-01 10:00:00 +05:x,"
        " 2024-01-01 10:00:00 X, 2024-01-01 10:00:00.5Z]",
        None,
    ),
    # Strings shown plain where they can be, else double-quoted.
    (
        "['a, b', 'a: b', -a, '- a', '#x', ' a', 'a ', 'a:', ---x, '...', 'a #b', a#b,"
        " '?', '[x]', '{', '*a', '&a', '!a', '|', '>', '%', '@', '`', \"'\", '\"',"
        ' "\\t\\x01\\x7f\\x85\\u2028\\u2029\\ufffe\\uffff\\\\\\"",'
        ' "\\u00a0", é, "\\u00e9\\U0001F600", "a\\nb", "\\x1c"]',
        None,
    ),
    ("a: |\n  x\n  y\nb: >-\n  p\n  q\n\nc: d\n  e\n", None),
    # Tags as written, the value plain wherever it can be.
    (
        "%TAG !e! tag:example.com,2000:\n---\na: !Ref x\nb: !!str 1\nc: !<tag:x> y\n"
        "d: !t ''\ne: !Sub 'a, b'\nf: !!int 5\ng: !e!foo x\nh: !t {i: 1}\n",
        None,
    ),
    ("! 1: ! x\nb: [! 1, ! '', !x y]\n--- !\n", None),  # "!" alone is no tag
    ("é: ü\nb: !t x\nc: [é, !u ü]\n", None),  # a mark counts characters
    # Streams: a list of their documents, those of comments alone aside.
    (
        "a: 1\n---\n- x\n---\nb\n---\n{}\n--- []\n",
        "[0].a = 1\n[1][0] = x\n[2] = b\n[3] = {}\n[4] = []\n",
    ),
    ("---\n# c\n---\na: 1\n...\n", "a = 1\n"),
    ("{}\n---\na: 1\n", "[0] = {}\n[1].a = 1\n"),
    ("[]\n---\n[1]\n", "[0] = []\n[1][0] = 1\n"),
    ("x\n--- y\n", "[0] = x\n[1] = y\n"),
    ('"a.b": 1\n---\né: 2\n---\n"k[0]": 3\n', None),
    # Keys: bare, quoted, called back for beyond ASCII; null's.
    (
        "a.b: {'': 1, é: 2, 'k\"': 3, '#a': 4, ' a': 5, '*': 6, a b: 7, 1: 8,"
        " true: 9, ~: 10, '\\n': 11}\nc:\n  ? x\n  : 12\n",
        None,
    ),
    ("a:\n" + "".join(f"  k{i}: {i}\n" for i in range(40)), None),
    ("[" * 200 + "1" + "]" * 200, None),
]
# Left to be read first: anchors, aliases and merge keys, tags on keys, keys
# twice or of no scalar, what does not read, nothing, deep nesting.
YAML_LEFT_TO_READING = [
    "a: &x 1\nb: *x\n",
    "a: &x {b: 1}\n",
    "<<: {a: 1}\nb: 2\n",
    "a: 1\na: 2\n",
    "a:\n" + "".join(f"  k{i}: {i}\n" for i in range(40)) + "  k7: 0\n",
    "? [a]\n: 1\n",
    "!t a: 1\n",
    "!!str b: 1\n",
    "a: [\n",
    "a: b: c\n",
    "",
    "# c\n",
    "---\n",
    "[" + "1" * 4301 + "]",
    "a: '" + "1" * 4301 + "'",  # shown quoted, read as a number to tell so
    "a: *x\n",  # an alias of no anchor: the reading words it
    "[" * 201 + "1" + "]" * 201,
]


@pytest.mark.parametrize(
    ("text", "listed", "native"),
    [(*row, True) for row in YAML_FROM_BYTES]
    + [(text, None, False) for text in YAML_LEFT_TO_READING],
)
def test_the_yaml_listing_from_the_bytes_is_the_listing_of_what_reads(
    text, listed, native
):
    try:
        read = read_listing(text.encode(), "yaml")
    except (EditError, RecursionError, ValueError):
        read = None
    if listed is not None:
        assert read == listed
    assert (read is not None) or not native
    made = bytes_listing(text, fmt="yaml")
    assert made == (read if native else None)
    if native:  # and a listing held to no bytes is left to the reading
        assert bytes_listing(text, held=0, fmt="yaml") is (None if read else read)


@pytest.mark.parametrize(
    "data",
    [
        b"a: \xff\n",
        b"a: \xed\xa0\x80",
        b"\xff\xfea\x00:\x00",
        b"a: \xc3",
        b"a: \xe2\x82x",
        b"\xef\xbb\xbf\xef\xbb\xbfa: 1",  # a second mark, libyaml's to skip
    ],
)
def test_yaml_bytes_that_are_not_utf8_are_left_to_the_reading(data):
    assert bytes_listing(data, fmt="yaml") is None


@pytest.mark.parametrize("limit", [0, 640, 4300])
def test_a_yaml_number_past_python_s_digits_is_the_reading_s(monkeypatch, limit):
    import sys

    monkeypatch.setattr(sys, "get_int_max_str_digits", lambda: limit)
    text = f"a: {'9' * 1000}\n"
    made = bytes_listing(text, fmt="yaml")
    assert made == (None if limit == 640 else f"a = {'9' * 1000}\n")


_YAML_SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.dates(),
    st.datetimes(timezones=st.one_of(st.none(), st.timezones())),
    st.text().filter(lambda t: not re.search("[\ud800-\udfff]", t)),
    st.sampled_from([t for t in ODD_TEXT if not re.search("[\ud800-\udfff]", t)]),
    st.sampled_from(["1.10", "0x1F", "yes", "~", "2024-01-01", "a: b", "- a"]),
)
_YAML_TREES = st.recursive(
    _YAML_SCALARS,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(
            st.one_of(st.text(max_size=4), st.sampled_from(ODD_TEXT[:16])),
            inner,
            max_size=4,
        ),
    ),
    max_leaves=30,
)


@given(
    st.lists(_YAML_TREES, min_size=1, max_size=3),
    st.sampled_from([None, True, False]),
    st.booleans(),
    st.sampled_from(["\n", "\r\n"]),
)
def test_random_yaml_lists_from_the_bytes_as_it_reads(trees, flow, unicode, end):
    import yaml

    text = yaml.safe_dump_all(
        trees, default_flow_style=flow, allow_unicode=unicode, line_break=end
    )
    native = bytes_listing(text, fmt="yaml")
    if native is None:
        event("left to the reading")
        return
    assert native == read_listing(text, "yaml")


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


# --- The TOML listing from the bytes, against the listing of what tomllib
# reads ---------------------------------------------------------------------

# (TOML text, its listing, None where only the reading's is checked).
TOML_FROM_BYTES = [
    ("", ""),
    ("# nothing\n\n", ""),
    ("\ufeffa = 1\r\nb = 'x'\r\n", 'a = 1\nb = "x"\n'),
    # Tables in the order tomllib makes them, not as written: a header's
    # table goes where its first key put it.
    (
        "[a]\nx = 1\n[b]\ny = 2\n[a.c]\nz = 3\n[d]\n[e.f]\n",
        "a.x = 1\na.c.z = 3\nb.y = 2\nd = {}\ne.f = {}\n",
    ),
    (
        "[[p]]\nn = 1\n[p.q]\nr = 2\n[[p]]\nn.m = 3\n[[p.s]]\n[[p.s]]\nt = []\n",
        "p[0].n = 1\np[0].q.r = 2\np[1].n.m = 3\np[1].s[0] = {}\np[1].s[1].t = []\n",
    ),
    ("a.b.c = 1\na.d = 2\n[x.y.z]\n[x]\nw = {}\n", None),
    # Values as written: every number and date, strings as json.dumps writes
    # them.
    (
        "i = [0, -0, +7, 1_000, 0xDEAD_beef, 0o17, 0b101, 99999999999999999999]\n"
        "f = [1.10, -0.0, 1e5, 1E+05, 6.626e-34, 1_0.5_0, inf, -inf, +nan, nan]\n"
        "d = [1979-05-27T07:32:00Z, 1979-05-27 00:32:00.999999999-07:00,"
        " 1979-05-27t07:32:00.5z, 1979-05-27T07:32:00, 1979-05-27, 2024-02-29,"
        " 07:32:00, 00:32:00.123, 23:59:59]\n",
        None,
    ),
    (
        'b = "\\b\\t\\n\\f\\r\\"\\\\ \\u00e9 \\U0001F600 \x7f"\n'.replace(
            "\x7f", "\\u007f"
        )
        + "l = 'C:\\x\\y' # a comment\n"
        + 's = """\nline \\\n   on\n  "quoted" ""\n"""\n'
        + "m = '''\n\tall 'of' ''it''\n'''\n"
        + 'q = """a""""\nr = """a"""""\n'
        + "t = '''a''''\nu = '''a'''''\n"
        + 'e = ""\nw = "\x7f\u2028é😀"\n'.replace("\x7f", "")
        + 'n = """\\\n\n   """\n',
        None,
    ),
    ('a = "x\\u007fy"\n', 'a = "x\\u007fy"\n'),
    # Keys: bare, quoted, dotted with spaces, beyond ASCII, empty.
    (
        '"a.b" = 1\n\'c d\' = 2\n"" = 3\n"é" = 4\n x . \'y\' . "z" = 5\n'
        '"#a" = 6\n"*" = 7\n"q\\"" = 8\n1.2 = 9\n"\\n" = 10\n[ "t" . u ]\nv = 11\n',
        None,
    ),
    (
        "a = [\n  1, # one\n  # alone\n  2,\n]\nb = [ ]\nc = [[1, [2]], {x = [{}]}]\n",
        None,
    ),
    ("a = {b = 1, c.d = 2, e = {f = {}}, g = []}\nh = {}\n", None),
    ("a = true\nb = false\n", "a = true\nb = false\n"),
    ("a = 1 # c\r\nb = 2", "a = 1\nb = 2\n"),
    ("a = 1\n" + "".join(f"k{i} = {i}\n" for i in range(100)), None),
    ("a = " + "[" * 100 + "]" * 100 + "\n", None),
    ("a = " + "9" * 640 + "\n", None),
    (".".join(["k"] * 99) + " = 1\n", None),
    ('a = """x\\  \t\n  y"""\n', 'a = "xy"\n'),
]
# Left to tomllib: what it refuses, each way it does, and what is read there
# alone (deep nesting, long keys, long integers).
TOML_LEFT_TO_READING = [
    "a = 1\na = 2\n",
    "a.b = 1\n[a]\n",
    "[a]\nb.c = 1\n[a.b]\n",
    "[a]\n[a]\n",
    "a = {}\n[a]\n",
    "a = [1]\n[[a]]\n",
    "a = {b = 1}\na.c = 2\n",
    "[[a]]\n[a]\n",
    "a = 1\n[a.b]\n",
    "a = 1\n[[a]]\n",
    "a = {b = 1, b = 2}\n",
    "a = {b = 1, b.c = 2}\n",
    "a = {b = {}, b.c = 1}\n",
    "a = {b = 1,}\n",
    "a = {b = 1\n}\n",
    "a = [1 2]\n",
    "a = [1,,]\n",
    "a = 1 b = 2\n",
    "a\n",
    "a =\n",
    "= 1\n",
    "[a\n",
    "[[a]\n",
    "[ [a]]\n",
    'a = "x\ny"\n',
    "a = 'x\n",
    'a = "\\x"\n',
    'a = "\\uD800"\n',
    'a = "\\U00110000"\n',
    'a = "\\u00g0"\n',
    'a = """x\\ y"""\n',
    'a = """x',
    "a = '''x",
    'a = """a""""""\n',
    'a = "\x01"\n',
    "a = '\x7f'\n",
    "a = 1 # \x7f\n",
    "a = 1\rb = 2\n",
    "a = 2023-02-29\n",
    "a = 0000-01-01\n",
    "a = 2024-04-31T00:00:00Z\n",
    "a = 2024-01-01T\n",
    "a = 24:00:00\n",
    "a = 07:32\n",
    "a = 1979-05-27T07:32:00+24:00\n",
    "a = 01\n",
    "a = 1__0\n",
    "a = 1_\n",
    "a = 0x\n",
    "a = 0X1\n",
    "a = +0x1\n",
    "a = 1.\n",
    "a = .5\n",
    "a = 1e\n",
    "a = infinity\n",
    "a = tru\n",
    "a = True\n",
    "a = é\n",
    "é = 1\n",
    "\ufeff\ufeffa = 1\n",  # a second mark: the first is the command's to drop
    "a = " + "[" * 101 + "]" * 101 + "\n",
    "a = " + "9" * 641 + "\n",
    "a = 0x" + "f" * 639 + "\n",
    ".".join(["k"] * 101) + " = 1\n",
    "[" + ".".join(["k"] * 60) + "]\n" + ".".join(["k"] * 41) + " = 1\n",
    "a = [ # \x01\n]\n",
    "a = [1, # \x01\n]\n",
    'a = """x\\  ',
    'a = "\\u12',
    'a = "\\UFFFFFFFF"\n',
    '"a = 1\n',
    "[a.b]\n[a]\nb.c = 1\n",
    "a = 1\n[[a.b]]\n",
    # Deeper than the walks go: read, and listed, by tomllib and the walk.
    "a = "
    + functools.reduce(
        lambda v, _: "{" + ".".join(["k"] * 99) + f" = {v}}}", range(5), "1"
    )
    + "\n",
]


@pytest.mark.parametrize(
    ("text", "listed", "native"),
    [(*row, True) for row in TOML_FROM_BYTES]
    + [(text, None, False) for text in TOML_LEFT_TO_READING],
)
def test_the_toml_listing_from_the_bytes_is_the_listing_of_what_tomllib_reads(
    text, listed, native
):
    data = text.encode()
    try:
        read = read_listing(data.removeprefix(b"\xef\xbb\xbf"), "toml")
    except (EditError, RecursionError, ValueError):
        read = None
    if listed is not None:
        assert read == listed
    assert (read is not None) or not native
    made = bytes_listing(data, fmt="toml")
    assert made == (read if native else None)
    if native and read:  # and a listing held to no bytes is left to tomllib
        assert bytes_listing(data, held=0, fmt="toml") is None
    # The tree the reading makes is tomllib's, the same types and order; and
    # made as written, it lists as the listing from the bytes does.
    body = text.removeprefix("\ufeff")
    tree = _listing.toml_tree(body, float)
    if native:
        assert same_tree(tree, tomllib.loads(body))
        document = formats.load("toml", body, written=True)
        assert "".join(render(*leaves(document.tree), document.show_all)) == read
    else:
        assert tree is None


def same_tree(mine, theirs):
    """Equal, of the same types, keys in the same order; a NaN's sign and a
    date's zone alike."""
    if type(mine) is not type(theirs):
        return False
    if isinstance(mine, dict):
        return list(mine) == list(theirs) and all(
            same_tree(mine[k], theirs[k]) for k in mine
        )
    if isinstance(mine, list):
        return len(mine) == len(theirs) and all(map(same_tree, mine, theirs))
    if isinstance(mine, float):
        return repr(mine) == repr(theirs) and math.copysign(1, mine) == math.copysign(
            1, theirs
        )
    if isinstance(mine, dt.datetime | dt.time):
        return mine == theirs and mine.tzinfo == theirs.tzinfo
    return mine == theirs


@pytest.mark.parametrize(
    "data",
    [b"a = '\xff'\n", b"a = '\xed\xa0\x80'\n", b"a = '\xc3'", b"\xff\xfea\x00"],
)
def test_toml_bytes_that_are_not_utf8_are_left_to_tomllib(data):
    assert bytes_listing(data, fmt="toml") is None


def test_the_toml_reading_calls_parse_float_for_each_float_alone():
    seen = []

    def parse_float(text):
        seen.append(text)
        return len(text)

    text = "a = [1.5, 1e5, inf, -nan, 1, 0x1F]\nb = 2024-01-01\n"
    assert _listing.toml_tree(text, parse_float) == tomllib.loads(
        text, parse_float=parse_float
    )
    assert seen == ["1.5", "1e5", "inf", "-nan"] * 2
    with pytest.raises(ValueError, match="must not return dicts or lists"):
        _listing.toml_tree("a = 1.5\n", lambda text: {})
    with pytest.raises(ZeroDivisionError):
        _listing.toml_tree("a = 1.5\n", lambda text: 1 / 0)
    assert _listing.toml_tree("a = '\ud800'\n", float) is None  # tomllib's to refuse
    # Made as written: each date, and each integer Python shows otherwise.
    met = []
    text = "a = [1, -1, -0, +1, 1_0, 0x1, 0o1, 0b1, 1.5, 2024-01-01, 00:00:00]\n"
    tree = _listing.toml_tree(text, float, lambda text, value: met.append(text) or 7)
    assert met == ["-0", "+1", "1_0", "0x1", "0o1", "0b1", "2024-01-01", "00:00:00"]
    assert tree == {"a": [1, -1, 7, 7, 7, 7, 7, 7, 1.5, 7, 7]}
    with pytest.raises(ZeroDivisionError):
        _listing.toml_tree("a = 0x1\n", float, lambda text, value: 1 / 0)


_TOML_SCALARS = st.one_of(
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=False),
    st.dates(),
    st.times(),
    st.datetimes(timezones=st.one_of(st.none(), st.timezones())),
    st.text().filter(lambda t: not re.search("[\ud800-\udfff]", t)),
    st.sampled_from([t for t in ODD_TEXT if not re.search("[\ud800-\udfff]", t)]),
)
_TOML_KEYS = st.one_of(st.text(max_size=4), st.sampled_from(ODD_TEXT[:16])).filter(
    lambda t: not re.search("[\ud800-\udfff]", t)
)
_TOML_TREES = st.dictionaries(
    _TOML_KEYS,
    st.recursive(
        _TOML_SCALARS,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.dictionaries(_TOML_KEYS, inner, max_size=4),
        ),
        max_leaves=30,
    ),
    max_size=5,
)


@given(_TOML_TREES, st.booleans(), st.sampled_from(["\n", "\r\n"]))
def test_random_toml_lists_from_the_bytes_as_tomllib_reads(tree, multiline, end):
    import tomli_w

    try:
        text = tomli_w.dumps(tree, multiline_strings=multiline)
    except (ValueError, TypeError):  # what TOML cannot hold
        event("not TOML")
        return
    try:
        tomllib.loads(text)
    except tomllib.TOMLDecodeError:  # an offset of seconds, which it writes
        event("not read")
        return
    data = text.replace("\n", end).encode()
    native = bytes_listing(data, fmt="toml")
    assert native is not None
    assert native == read_listing(data, "toml")
    assert same_tree(_listing.toml_tree(text, float), tomllib.loads(text))


def test_a_toml_integer_past_python_s_digits_is_listed_as_written():
    # In hex, tomllib reads it, and it is shown as written, not in decimal.
    text = "a = 0x" + "f" * 5000 + "\n"
    assert bytes_listing(text, fmt="toml") is None
    assert read_listing(text.encode(), "toml") == text
