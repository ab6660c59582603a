"""The native listing module's own ways: arguments, failed callbacks, a tree
changed under the walk, references, cycles."""

import gc
import weakref

import pytest
from _support import assert_no_leaks, native_listing, run_isolated

from props_to_tree import _listing, _yaml
from props_to_tree._engine import paths
from props_to_tree._formats.json import document as json_format


class Shown:
    """A value only the format's show() writes."""


def _fails(error):
    def show(value):
        raise error

    return show


def _chunks(tree, show=json_format.show, key_text=paths.key_text, size=1 << 16):
    return _listing.Chunks(tree, show, key_text, {}, _listing.JSON, size)


@pytest.mark.parametrize(
    ("args", "kwargs", "error"),
    [
        ((), {}, TypeError),
        (({}, str, str, {}, 0), {}, TypeError),
        (({}, str, str, {}, 0, 10, 1), {}, TypeError),
        (({}, None, str, {}, 0, 10), {}, TypeError),
        (({}, str, 1, {}, 0, 10), {}, TypeError),
        (({}, str, str, [], 0, 10), {}, TypeError),
        (({}, str, str, {}, 0, "10"), {}, TypeError),
        (({}, str, str, {}, 0, 0), {}, ValueError),
        (({}, str, str, {}, 0, 10), {"size": 10}, TypeError),
        # A spelling is the module's JSON or TOML, and no other.
        (({}, str, str, {}, "toml", 10), {}, TypeError),
        (({}, str, str, {}, 2, 10), {}, ValueError),
        (({}, str, str, {}, -1, 10), {}, ValueError),
    ],
)
def test_chunks_argument_errors(args, kwargs, error):
    with pytest.raises(error):
        _listing.Chunks(*args, **kwargs)


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((), TypeError),
        (("[]", str, {}, 10), TypeError),  # bytes, not text
        ((bytearray(b"[]"), str, {}, 10), TypeError),
        ((b"[]", None, {}, 10), TypeError),
        ((b"[]", str, [], 10), TypeError),
        ((b"[]", str, {}, 0), ValueError),
        ((b"[]", str, {}, 10, -1), ValueError),
        ((b"[]", str, {}, 10, 1, 1), TypeError),
    ],
)
def test_json_chunks_argument_errors(args, error):
    with pytest.raises(error):
        _listing.json_chunks(*args)


@pytest.mark.parametrize(
    ("function", "args", "error"),
    [
        (_listing.yaml_chunks, ("a: 1", str, {}), TypeError),  # bytes, not text
        (_listing.yaml_chunks, (b"a: 1", None, {}), TypeError),
        (_listing.yaml_chunks, (b"a: 1", str, []), TypeError),
        (_listing.yaml_chunks, (b"a: 1", str, {}, -1), ValueError),
        (_listing.toml_chunks, ("a = 1", str, {}), TypeError),  # bytes, not text
        (_listing.toml_chunks, (b"a = 1", None, {}), TypeError),
        (_listing.toml_chunks, (b"a = 1", str, []), TypeError),
        (_listing.toml_chunks, (b"a = 1", str, {}, -1), ValueError),
        (_listing.toml_tree, (b"a = 1", float), TypeError),  # text, not bytes
        (_listing.toml_tree, ("a = 1", None), TypeError),
        (_listing.toml_tree, ("a = 1", float, 1), TypeError),
        (_yaml.compose_all, (b"a: 1",), TypeError),  # text, not bytes
        (_yaml.compose_all, ("a: 1", "0"), TypeError),
        (_yaml.compose_all, ("\ud800",), UnicodeEncodeError),
        (_yaml.events, (b"a: 1",), TypeError),
        (_yaml.events, ("a: [",), _yaml.Error),
    ],
)
def test_yaml_argument_errors(function, args, error):
    with pytest.raises(error):
        function(*args)


def test_a_yaml_mark_says_where_it_is():
    node = _yaml.compose_all("a:\n  - b\n")[0].value[0][1].value[0]
    assert (repr(node.start_mark), repr(node.end_mark)) == (
        "<Mark line 2, column 5>",
        "<Mark line 2, column 6>",
    )
    assert repr(node) == "ScalarNode(tag='', value='b')"


@pytest.mark.parametrize(
    ("key_text", "error"),
    [
        (_fails(LookupError("key")), LookupError),
        (lambda key: b".x", TypeError),
        (lambda key: ".\udc80", UnicodeEncodeError),
    ],
)
def test_a_failed_key_ends_the_listing_from_the_bytes(key_text, error):
    data = b'{"a": [1], "\xc3\xa9": 2}'
    with pytest.raises(error):  # made whole, as it is checked
        _listing.json_chunks(data, key_text, {}, 1)
    chunks = _listing.json_chunks(data, key_text, {}, 1, 0)  # in chunks
    assert next(chunks) == b"a[0] = 1\n"
    with pytest.raises(error):
        next(chunks)
    assert list(chunks) == []


class _Unequal:
    """A key of the cache that collides with "é" and cannot be compared."""

    def __hash__(self):
        return hash("é")

    def __eq__(self, other):
        raise LookupError("compared")


def test_a_failed_lookup_of_a_key_ends_the_listing_from_the_bytes():
    data = '{"a": 1, "é": 2}'.encode()
    with pytest.raises(LookupError, match="compared"):
        _listing.json_chunks(data, str, {_Unequal(): ""}, 1)
    chunks = _listing.json_chunks(data, str, {_Unequal(): ""}, 1, 0)
    assert next(chunks) == b"a = 1\n"
    with pytest.raises(LookupError, match="compared"):
        next(chunks)
    assert list(chunks) == []


def test_a_key_callback_cannot_walk_the_listing_from_the_bytes():
    raised = []

    def key_text(key):
        with pytest.raises(ValueError, match="being made") as caught:
            next(chunks)
        raised.append(caught.value)
        return "." + key

    chunks = _listing.json_chunks('{"é": 1, "b": 2}'.encode(), key_text, {}, 1, 0)
    assert b"".join(chunks) == "é = 1\nb = 2\n".encode()
    assert len(raised) == 1


@pytest.mark.parametrize(
    ("tree", "show", "key_text", "error"),
    [
        ({"a": [1, Shown()]}, _fails(LookupError("show")), paths.key_text, LookupError),
        ({"a": {"b": Shown()}}, lambda value: 42, paths.key_text, TypeError),
        ({"a": {"é": 1}}, str, _fails(LookupError("key")), LookupError),
        ({"a": {"é": 1}}, str, lambda key: b".x", TypeError),
        ({"a": {1: 2}}, str, paths.key_text, AttributeError),
        ({"a": [{}, Shown()]}, json_format.show, paths.key_text, TypeError),
    ],
)
def test_a_failed_value_or_key_ends_the_listing(tree, show, key_text, error):
    chunks = _chunks(tree, show, key_text, size=1)
    with pytest.raises(error):
        list(chunks)
    assert list(chunks) == []


def test_a_dict_that_changes_size_while_listed_raises_runtime_error():
    tree = {"a": {"x": Shown(), "y": 1}, "b": 2}
    chunks = _chunks(tree, lambda v: str(tree["a"].pop("y")), size=1)
    with pytest.raises(RuntimeError, match="changed size"):
        list(chunks)

    # A list is read by index, as its own iterator reads it.
    items = [Shown(), 1, 2]
    listed = list(_chunks({"l": items}, lambda v: str(items.pop()), size=1))
    assert listed == ["l[0] = 2\n", "l[1] = 1\n"]


def test_a_callback_cannot_walk_the_listing_it_is_called_from():
    raised = []

    def show(value):
        with pytest.raises(ValueError, match="being made") as caught:
            next(chunks)
        raised.append(caught.value)
        return "shown"

    chunks = _chunks({"a": Shown(), "b": 1}, show, size=1)
    assert list(chunks) == ["a = shown\n", "b = 1\n"]
    assert len(raised) == 1


def _runtime(text):
    return "".join(text)  # mortal, its reference count observable


def test_native_listing_leaks_no_references():
    leaf, key, value = Shown(), _runtime("ключ"), _runtime("a value" * 3)
    cache = {}
    tree = {
        "a": [leaf, value, {key: [[], {}]}],
        key: {"x": 10**30, "y": 1.5, "z": leaf},
    }

    def show(v):
        return _runtime("shown")  # a new one each time: one kept would add up

    def listed():
        return "".join(
            _listing.Chunks(tree, show, paths.key_text, cache, _listing.JSON, 8)
        )

    assert_no_leaks(listed, tree, leaf, key, value, show, cache)

    def fails(v):
        raise LookupError

    assert_no_leaks(
        lambda: list(
            _listing.Chunks(tree, fails, paths.key_text, cache, _listing.JSON, 8)
        ),
        tree,
        leaf,
        key,
        value,
        fails,
        raises=LookupError,
    )

    def stop_early():  # a reader that stops reading: `| head`
        chunks = _listing.Chunks(tree, show, paths.key_text, cache, _listing.JSON, 1)
        next(chunks)

    assert_no_leaks(stop_early, tree, leaf, key, value, show)

    data = '{"ключ": [1, "x"], "a": {"é": [], "b\\u00e9": "\\ud800"}}'.encode()

    def from_bytes():
        chunks = _listing.json_chunks(data, paths.key_text, cache, 8)
        return b"".join(chunks)

    assert_no_leaks(from_bytes, data, cache)

    def stop_early_from_bytes():
        next(_listing.json_chunks(data, paths.key_text, cache, 1))

    assert_no_leaks(stop_early_from_bytes, data, cache)
    assert_no_leaks(
        lambda: list(_listing.json_chunks(data, fails, {}, 8)),
        data,
        fails,
        raises=LookupError,
    )
    refused = b'{"a": 1, "a": 2}'
    assert_no_leaks(lambda: _listing.json_chunks(refused, str, cache, 8), refused)

    cyclic = {"a": [value]}
    cyclic["a"].append(cyclic)
    assert_no_leaks(
        lambda: native_listing(cyclic, "json"),
        cyclic,
        value,
        raises=RecursionError,
        calls=50,
    )


def test_a_listing_in_a_cycle_with_its_tree_is_collected():
    leaf = Shown()
    watched = weakref.ref(leaf)
    tree = {"a": [leaf, 1], "b": 2}
    chunks = _chunks(tree, lambda value: "shown", size=1)
    tree["chunks"] = chunks  # the tree holds the walk that holds the tree
    tree["a"].append(chunks)
    next(chunks)
    del tree, chunks, leaf
    gc.collect()
    assert watched() is None


def test_a_listing_older_than_the_cycle_it_closes_is_cleared():
    # The collector clears the oldest object of a cycle first: here the
    # listing, which a dict it holds, tracked only once it holds a list,
    # closes a cycle with.
    leaf, keys = Shown(), {}
    watched = weakref.ref(leaf)
    chunks = _listing.Chunks([leaf], lambda value: "shown", str, keys, _listing.JSON, 1)
    gc.collect()
    keys["cycle"] = [chunks]
    del chunks, keys, leaf
    gc.collect()
    assert watched() is None


def test_deep_and_cyclic_trees_are_refused_by_the_native_listing():
    run_isolated("isolated.listing_deep_and_cyclic_trees")


@pytest.mark.parametrize("size", [0, 1, 5 << 20])  # huge pages from 4 MiB
def test_read_reads_as_os_read(tmp_path, size):
    import os

    data = os.urandom(size)
    path = tmp_path / "data"
    path.write_bytes(data)
    fd = os.open(path, os.O_RDONLY)
    try:
        assert _listing.read(fd, size + 1) == data  # what there is, no more
        assert _listing.read(fd, 10) == b""
    finally:
        os.close(fd)
    with pytest.raises(OSError, match="Bad file descriptor"):
        _listing.read(fd, 1)  # closed
    with pytest.raises(ValueError, match="negative"):
        _listing.read(0, -1)
    with pytest.raises(TypeError):
        _listing.read("0", 1)
