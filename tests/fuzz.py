"""atheris target: random trees and props, both functions checked against the
model.  `make fuzz` builds the module with coverage and ASan and runs it."""

import sys
import types
from typing import Any

import atheris

with atheris.instrument_imports():
    import model

from props_to_tree import _props_to_tree as ext

ALPHABET = ["a", "b", ".", "", "\0", "é", "😀", "\udc80"]


class Dict(dict):  # type: ignore[type-arg]
    pass


def key(fdp: atheris.FuzzedDataProvider) -> Any:
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return fdp.ConsumeIntInRange(0, 2)
    if kind == 1:
        return fdp.ConsumeUnicodeNoSurrogates(4)
    return "".join(ALPHABET[fdp.ConsumeIntInRange(0, 7)] for _ in range(kind % 4))


def value(fdp: atheris.FuzzedDataProvider, depth: int) -> Any:
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind <= 1 and depth < 6:
        return tree(fdp, depth + 1, Dict if kind else dict)
    if kind == 2:
        return types.MappingProxyType({})
    return [kind]


def tree(fdp: atheris.FuzzedDataProvider, depth: int, kind: type = dict) -> Any:
    node = kind()
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        node[key(fdp)] = value(fdp, depth)
    return node


def outcome(fn: Any, *args: Any) -> Any:
    try:
        return "ok", fn(*args)
    except Exception as exc:
        return "error", type(exc)


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    t = tree(fdp, 0)
    got, want = outcome(ext._tree_to_props, t), outcome(model.tree_to_props, t)
    assert got == want, (t, got, want)
    if got[0] == "ok":
        assert list(got[1]) == list(want[1])

    props = {key(fdp): value(fdp, 3) for _ in range(fdp.ConsumeIntInRange(0, 4))}
    if got[0] == "ok" and fdp.ConsumeBool():
        props.update(got[1])
    mine, theirs = model.copy_branches(t), model.copy_branches(t)
    got = outcome(ext._props_to_tree, model.copy_branches(props), mine)
    want = outcome(model.props_to_tree, model.copy_branches(props), theirs)
    assert got[0] == want[0], (got, want)
    assert got[1] is mine or got[1] is want[1], (got, want)
    assert mine == theirs, (props, t)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
