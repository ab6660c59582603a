"""atheris target: random trees and props, both functions checked against the
model, and random documents listed by the native walk and the Python one.
`make fuzz` builds the modules with coverage and ASan and runs it."""

import json
import sys
import tomllib

import atheris
import tomli_w
from _support import (
    bytes_listing,
    composed_alike,
    native_listing,
    outcome,
    python_listing,
    random_document,
    random_tree,
    read_listing,
)

with atheris.instrument_imports():
    import model

from props_to_tree import _listing as ext_listing
from props_to_tree import _props_to_tree as ext


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)

    def choose(n: int) -> int:
        return int(fdp.ConsumeIntInRange(0, n - 1))

    t = random_tree(choose)
    got, want = outcome(ext._tree_to_props, t), outcome(model.tree_to_props, t)
    assert got == want, (t, got, want)
    if got[0] == "ok":
        assert list(got[1]) == list(want[1])

    # Keys and values as a shallow tree's: odd keys, leaves and branches.
    props = dict(dict.items(random_tree(choose, depth=3)))
    if got[0] == "ok" and fdp.ConsumeBool():
        props.update(got[1])
    mine, theirs = model.copy_branches(t), model.copy_branches(t)
    got = outcome(ext._props_to_tree, model.copy_branches(props), mine)
    want = outcome(model.props_to_tree, model.copy_branches(props), theirs)
    assert got[0] == want[0], (got, want)
    assert got[1] is mine or got[1] is want[1], (got, want)
    assert mine == theirs, (props, t)

    # A JSON text from the same tree, or the input's own bytes: listed from
    # the bytes, it lists as what json.loads reads from them lists.
    raw = fdp.ConsumeBytes(choose(64)) if choose(4) == 0 else None
    tree = random_document(choose, False)
    text = raw if raw is not None else json.dumps(tree, indent=choose(3) or None)
    data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass")
    bound = ((1, 0), (64, 100), (1 << 16, None))[choose(3)]  # chunks, or whole
    got = outcome(bytes_listing, data, *bound)
    want = outcome(read_listing, data)
    if got != ("ok", None):
        assert got == want, (data, got, want)

    # A YAML text, as a writer makes it or the input's own bytes: listed from
    # libyaml's events, it lists as the document read does.
    if raw is None:
        import yaml

        try:
            flow = (None, True, False)[choose(3)]
            text = yaml.safe_dump(tree, default_flow_style=flow, allow_unicode=True)
        except yaml.YAMLError:  # a lone surrogate
            text = "a: 1\n"
        data = text.encode()
    got = outcome(bytes_listing, data, 1, None, "yaml")
    if got != ("ok", None):
        assert got == outcome(read_listing, data, "yaml"), (data, got)
    # The same text composed natively, node for node as PyYAML's C loader.
    if "\ufffd" not in (text := data.decode("utf-8", "replace")):
        assert composed_alike(text), text

    # A TOML text, as a writer makes it or the input's own bytes: read
    # natively, it lists as what tomllib reads lists, and is read as the same
    # tree.
    toml_tree = random_document(choose, True)
    if raw is None and isinstance(toml_tree, dict):
        try:
            data = tomli_w.dumps(toml_tree).encode()
        except (TypeError, ValueError):  # what TOML cannot hold
            data = b"a = 1\n"
    got = outcome(bytes_listing, data, 1, None, "toml")
    if got != ("ok", None):
        assert got == outcome(read_listing, data, "toml"), (data, got)
    text = data.decode("utf-8", "replace")
    native = outcome(ext_listing.toml_tree, text, float)
    if native != ("ok", None):
        assert repr(native) == repr(outcome(tomllib.loads, text)), (data, native)

    fmt = ("json", "toml")[choose(2)]
    document = random_document(choose, fmt == "toml")
    size = (1, 7, 64, 1 << 16)[choose(4)]
    got = outcome(native_listing, document, fmt, size)
    want = outcome(python_listing, document, fmt)
    assert got == want, (document, got, want)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
