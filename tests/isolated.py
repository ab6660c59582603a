"""Cases that can crash the interpreter or need it fresh: each runs in a
process of its own, by name, through _support.run_isolated."""

import gc
import sys
from typing import Any

from _support import (
    chain,
    in_small_stack_thread,
    native_listing,
    python_listing,
    skeleton,
)

from props_to_tree import _props_to_tree as ext


def _refuse(tree: dict[str, Any]) -> None:
    try:
        ext._tree_to_props(tree)
    except RecursionError:
        return
    raise AssertionError("no RecursionError")


def deep_and_cyclic_trees() -> None:
    # A few hundred levels flatten.
    assert ext._tree_to_props(chain(300, "leaf")) == {"k." * 300 + "leaf": 1}
    cyclic: dict[str, Any] = {"a": 1}
    cyclic["self"] = cyclic
    nested: dict[str, Any] = {"x": {"y": {}}}
    nested["x"]["y"]["back"] = nested
    _refuse(cyclic)
    _refuse(nested)
    _refuse(chain(100_000, "leaf"))

    # A worker thread's small stack is no more at risk than the main one.
    deep = chain(100_000, "leaf")
    in_small_stack_thread(lambda: (_refuse(deep), _refuse(cyclic)))

    # The interpreter keeps working, recursion budget intact.
    assert ext._tree_to_props(chain(300, "leaf")) == {"k." * 300 + "leaf": 1}


def _refused_listing(tree: Any) -> None:
    try:
        native_listing(tree, "json")
    except RecursionError:
        return
    raise AssertionError("no RecursionError")


def listing_deep_and_cyclic_trees() -> None:
    # As deep as the Python walk goes, the same lines.
    for deep in (chain(300, "leaf"), [[[]]] * 3 + [chain(300)]):
        assert native_listing(deep, "json") == python_listing(deep, "json")
    cyclic: dict[str, Any] = {"a": [1]}
    cyclic["a"].append(cyclic)
    looped: list[Any] = [[]]
    looped[0].append(looped)
    for tree in (cyclic, looped, chain(100_000, "leaf")):
        _refused_listing(tree)
    # Each open branch counts against the recursion limit, nothing else.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(50)
    try:
        assert native_listing(chain(49, "leaf"), "json") == "k." * 49 + "leaf = 1\n"
        _refused_listing(chain(50, "leaf"))
    finally:
        sys.setrecursionlimit(limit)

    # The walk keeps its branches on the heap: a thread's small stack is at
    # no more risk than the main one.
    deep = chain(100_000, "leaf")
    in_small_stack_thread(lambda: (_refused_listing(deep), _refused_listing(cyclic)))


def node_code_clearing_props() -> None:
    class Hostile(dict):  # type: ignore[type-arg]
        # Empties the props mapping in the middle of an entry, so that the
        # entry's key and value lose their only other reference.
        def __init__(self, props: dict[str, Any]) -> None:
            super().__init__()
            self.props = props

        def __getitem__(self, key: str) -> Any:
            self.props.clear()
            gc.collect()
            return self

        def __setitem__(self, key: str, value: Any) -> None:
            self.props.clear()
            gc.collect()
            super().__setitem__(key, value)

    for round in range(200):
        props: dict[str, Any] = {}
        node = Hostile(props)
        key = ".".join(["first", str(round), "third"])
        props[key] = ["payload", round]
        props["later." + str(round)] = object()
        assert ext._props_to_tree(props, node) is node
        # The first entry was applied; clearing props ended the walk.
        assert dict.__getitem__(node, "third") == ["payload", round]
        assert len(dict(node)) == 1
        assert not props

    refilled = {"k" + str(i): [i] for i in range(50)}

    class Refill(dict):  # type: ignore[type-arg]
        # Changes props behind a positional walk: entries may be skipped or
        # met twice, but each one stored is whole.
        def __setitem__(self, key: str, value: Any) -> None:
            refilled.pop(key, None)
            refilled[key + "x"] = [key]
            gc.collect()
            super().__setitem__(key, value)

    target = Refill()
    ext._props_to_tree(refilled, target)
    for key, value in dict(target).items():
        assert isinstance(value, list), (key, value)
        assert len(value) == 1, (key, value)


def key_of_many_components() -> None:
    depth = 100_000

    def check(root: dict[str, Any]) -> None:
        value = object()
        key = ".".join(["k"] * (depth - 1) + ["leaf"])
        assert ext._props_to_tree({key: value}, root) is root
        node = root
        for _ in range(depth - 1):
            node = node["k"]
        assert node == {"leaf": value}
        assert node["leaf"] is value

    check(chain(depth - 1))
    deep = chain(depth - 1)
    in_small_stack_thread(lambda: check(deep))


def _exhaust(make_args: Any, run: Any, check: Any, least: int = 20) -> None:
    """Fails the n-th allocation of `run(*make_args())` for n = 0, 1, ...
    until a long run of calls meets no injected failure; each call fails with
    MemoryError or gives a result that `check` accepts, and more than `least`
    fail."""
    import _testcapi  # type: ignore[import-not-found]

    failed = streak = n = 0
    while streak < 20:
        args = make_args()
        # Take the interpreter's spare dicts and lists, so that even the
        # result and the path list are allocated, and can fail.
        spares = [{} for _ in range(100)], [[] for _ in range(100)]
        _testcapi.set_nomemory(n, n + 1)
        try:
            result = run(*args)
        except MemoryError:
            result = MemoryError
        finally:
            _testcapi.remove_mem_hooks()
            del spares
        if result is MemoryError:
            failed, streak = failed + 1, 0
        else:
            check(result, *args)
            streak += 1
        n += 1
    assert failed > least, failed


def allocation_failures() -> None:
    """Fails every allocation the module makes, one at a time."""

    def fresh(text: str) -> str:
        return "".join(list(text))  # a new string, with no cached UTF-8 yet

    leaf = object()
    # Deeper than the walk's inline stack, non-ASCII and long keys, and
    # enough leaves to grow the result and the key tables.
    tree: dict[str, Any] = {fresh(f"k{i}"): leaf for i in range(20)}
    node = tree
    for _ in range(36):
        node[fresh("é")] = leaf
        node[fresh("ключ")] = node = {}
    node[fresh("x" * 2000 + "😀")] = leaf
    expected = ext._tree_to_props(tree)
    tree_refs, leaf_refs = sys.getrefcount(tree), sys.getrefcount(leaf)

    def flatten_ok(result: Any, tree: Any) -> None:
        assert result == expected
        assert list(result) == list(expected)

    def write_ok(result: Any, props: Any, target: Any) -> None:
        assert result is target
        assert ext._tree_to_props(target) == expected

    _exhaust(lambda: (tree,), ext._tree_to_props, flatten_ok)
    _exhaust(
        lambda: ({fresh(k): v for k, v in expected.items()}, skeleton(tree)),
        ext._props_to_tree,
        write_ok,
    )
    assert sys.getrefcount(tree) == tree_refs
    assert sys.getrefcount(leaf) == leaf_refs
    assert ext._tree_to_props(tree) == expected


def listing_allocation_failures() -> None:
    """Fails every allocation a native listing makes, one at a time, its
    chunks each of a few lines."""
    from props_to_tree import _listing
    from props_to_tree._engine import listing, paths
    from props_to_tree._formats.json import document as json_format

    # Shown by a call back, which itself allocates nothing: json's own
    # encoder fails allocations with a SystemError of its own.
    leaf = object()
    # Deeper than the walk's first frames; keys it writes (the first one
    # quoted, one longer than the path's first buffer) and keys it calls back
    # for; values of every kind, some shown by a call back; characters of
    # every width, which widen the path and the chunk and split it.
    tree: dict[str, Any] = {"".join(["a.", "b"]): 1}
    for i in range(20):
        tree["".join(["k", str(i)])] = [i, 10**30 + i, i / 3, "s\n" * i]
    node = tree
    for depth in range(24):
        node["".join(["ключ", str(depth)])] = {"é": "ā" * depth, "x y": leaf}
        node["".join(["k", str(depth)])] = node = {"😀": [[], {}, None, True]}
    node["".join(["x"] * 300)] = [leaf, "x" * 2000]

    def show(value: Any) -> str:
        return "leaf" if value is leaf else json_format.show(value)

    def shown(tree: Any) -> str:
        found = listing.leaves(tree)
        return "".join(listing.render(*found, lambda v: list(map(show, v))))

    # A top of one value makes a few allocations only.
    for document, sizes, least in ((tree, (1, 64), 20), (leaf, (1,), 3)):
        expected = shown(document)

        def listed(size: int, document: Any = document) -> str:
            chunks = _listing.Chunks(
                document, show, paths.key_text, {}, _listing.JSON, size
            )
            return "".join(chunks)

        def listed_ok(result: Any, size: int, expected: str = expected) -> None:
            assert result == expected

        gc.collect()  # the Python walk's closures hold its lists in a cycle
        refs = sys.getrefcount(document), sys.getrefcount(leaf)

        for size in sizes:
            _exhaust(lambda size=size: (size,), listed, listed_ok, least)
        assert (sys.getrefcount(document), sys.getrefcount(leaf)) == refs


def json_listing_allocation_failures() -> None:
    """Fails every allocation the listing from the bytes makes, one at a
    time, its chunks each of a few lines."""
    import json

    from props_to_tree import _listing
    from props_to_tree._engine import paths

    # Deeper than the walk's first frames; keys of ASCII, quoted, escaped and
    # called back for; objects of keys enough for a table; escapes.
    tree: dict[str, Any] = {"a.b": 1, "\u00e9": "\U0001f600\n"}
    tree.update({f"k{i}": [i, 1e300, "s" * i] for i in range(20)})
    node = tree
    for depth in range(24):
        node[f"ключ{depth}"] = {"é": "ā" * depth, "x y": None}
        node[f"k{depth}"] = node = {"😀": [[], {}, True]}
    node["x" * 300] = ["x" * 2000]
    for data, sizes, least in (
        (
            json.dumps(tree, ensure_ascii=False).encode("utf-8", "surrogatepass"),
            ((1, 0), (64, 500), (64, -1)),
            20,
        ),
        (json.dumps(tree).encode(), ((64, 0), (64, -1)), 20),
        (b'[1.5e3, "\\ud800"]', ((1, 0), (1, -1)), 1),
    ):
        expected = b"".join(_listing.json_chunks(data, paths.key_text, {}, 64))

        def listed(size: int, held: int, data: bytes = data) -> bytes:
            bound = () if held < 0 else (held,)  # whole, or in chunks past it
            chunks = _listing.json_chunks(data, paths.key_text, {}, size, *bound)
            assert chunks is not None
            return b"".join(chunks)

        def listed_ok(
            result: Any, size: int, held: int, expected: bytes = expected
        ) -> None:
            assert result == expected

        refs = sys.getrefcount(data)
        for bound in sizes:
            _exhaust(lambda bound=bound: bound, listed, listed_ok, least)
        assert sys.getrefcount(data) == refs


def yaml_listing_allocation_failures() -> None:
    """Fails every allocation the YAML listing from the bytes makes, one at a
    time: keys of ASCII, quoted and called back for, tables of keys, tags,
    a stream whose first document is listed again."""
    from props_to_tree import _listing
    from props_to_tree._engine import paths

    data = (
        "a.b: 1\nk: !t x\nq: 'a, b'\ne: {}\nt: !t 'a, b'\n"
        + "".join(f"k{i}:\n  ключ{i}: [{i}, 'é', {{}}]\n" for i in range(20))
        + "---\n- "
        + "x" * 3000
        + "\n"
    ).encode()
    expected = b"".join(_listing.yaml_chunks(data, paths.key_text, {}) or [b""])
    assert expected.startswith(b"[0]")

    def listed() -> bytes:
        chunks = _listing.yaml_chunks(data, paths.key_text, {})
        assert chunks is not None
        return b"".join(chunks)

    def listed_ok(result: Any) -> None:
        assert result == expected

    refs = sys.getrefcount(data)
    _exhaust(lambda: (), listed, listed_ok, 10)
    assert sys.getrefcount(data) == refs


def toml_allocation_failures() -> None:
    """Fails every allocation the TOML reading makes, one at a time, for the
    listing from the bytes and for the tree: headers and arrays of tables,
    dotted keys and their flags, enough keys for the tables to grow, strings
    escaped, CR LF read as LF, dates with zones, floats."""
    import tomllib

    from props_to_tree import _listing
    from props_to_tree._engine import paths

    text = (
        "a.b = 1\r\nq = 'x'\ne = {f = [1, {g = \"\\u00e9\"}]}\n"
        + "".join(f"k{i} = [{i}, 'é', {{}}, 1.5]\n" for i in range(40))
        + "[[t]]\nd = 1979-05-27T07:32:00-07:00\n[t.u]\nv = 07:32:00\n"
        + "[[t]]\nw = 2024-01-01\nx = '''\nlong\n'''\n"
        + '["ключ"]\ns = """\\\n y"""\n'
    )
    data = text.encode()
    expected = b"".join(_listing.toml_chunks(data, paths.key_text, {}) or [b""])
    assert expected.startswith(b"a.b = 1\n")
    tree = tomllib.loads(text.replace("\r\n", "\n"))

    def listed() -> bytes:
        chunks = _listing.toml_chunks(data, paths.key_text, {})
        assert chunks is not None
        return b"".join(chunks)

    def listed_ok(result: Any) -> None:
        assert result == expected

    def read_ok(result: Any) -> None:
        assert result == tree

    refs = sys.getrefcount(data)
    _exhaust(lambda: (), listed, listed_ok, 10)
    # The dates' module is loaded once, by the first date met: and CPython
    # words a failure in loading it as an ImportError.
    read_ok(_listing.toml_tree(text, float))
    _exhaust(lambda: (), lambda: _listing.toml_tree(text, float), read_ok, 10)
    assert sys.getrefcount(data) == refs


def yaml_compose_allocation_failures() -> None:
    """Fails every allocation the YAML composer makes, one at a time: nodes,
    their values and tags, pairs, anchors and aliases, marks, the stack of
    open collections past its first size, the events, and the errors."""
    from props_to_tree import _yaml

    text = (
        "%TAG !e! tag:example.com,2000:\n---\na: &shared {b: [1, 'é', !e!t x]}\n"
        "c: *shared\nd: &one_more 2\n"
        + "".join(f"k{i}: " + "[" * 20 + "]" * 20 + "\n" for i in range(3))
    )
    expected = repr(_yaml.compose_all(text))

    def composed_ok(result: Any) -> None:
        assert repr(result) == expected

    _exhaust(lambda: (), lambda: _yaml.compose_all(text), composed_ok, 10)
    events = _yaml.events(text)

    def events_ok(result: Any) -> None:
        assert result == events

    _exhaust(lambda: (), lambda: _yaml.events(text), events_ok, 10)
    deep = "[" * 1001 + "]" * 1001
    for bad in ("a: *unknown\n", "a: &twice 1\nb: &twice 2\n", "a: [\n", "\x01", deep):

        def failing(bad: str = bad) -> Any:
            try:
                _yaml.compose_all(bad)
            except _yaml.Error as error:
                return error.problem
            raise AssertionError(bad)

        def said_ok(result: Any, said: str = failing()) -> None:
            assert result == said

        _exhaust(lambda: (), failing, said_ok, 1)
