import re
import shutil
import subprocess
from pathlib import Path

import pytest
from _support import ext

from props_to_tree import _listing, _yaml

SURFACES = [
    (ext, "_props_to_tree", {"_props_to_tree", "_tree_to_props"}),
    (
        _listing,
        "_listing",
        {
            "Chunks",
            "JSON",
            "JsonChunks",
            "TOML",
            "json_chunks",
            "read",
            "toml_chunks",
            "toml_tree",
            "yaml_chunks",
        },
    ),
    (
        _yaml,
        "_yaml",
        {"Error", "MappingNode", "Mark", "Node", "ScalarNode", "SequenceNode"}
        | {"compose_all", "events"},
    ),
]


@pytest.mark.parametrize(("module", "name", "surface"), SURFACES)
def test_module_surface(module, name, surface):
    public = {name for name in dir(module) if not name.startswith("__")}
    assert public == surface
    assert module.__doc__ == ""
    assert module.__name__ == f"props_to_tree.{name}"


@pytest.mark.parametrize("kind", [_listing.Chunks, _listing.JsonChunks])
def test_the_listing_types_are_neither_subclassed_nor_changed(kind):
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})
    with pytest.raises(TypeError):
        kind.size = 1
    assert kind.__module__ == "props_to_tree._listing"
    with pytest.raises(TypeError, match="cannot create"):
        _listing.JsonChunks()  # made by json_chunks alone


@pytest.mark.skipif(not shutil.which("readelf"), reason="needs binutils")
@pytest.mark.parametrize("module", [ext, _listing])
def test_shared_object_exports_one_symbol_and_no_libpython(module):
    def readelf(*flags):
        return subprocess.run(
            ["readelf", "--wide", *flags, module.__file__],
            capture_output=True,
            text=True,
            check=True,
        ).stdout

    exported = {
        fields[7]
        for fields in (line.split() for line in readelf("--dyn-syms").splitlines())
        if len(fields) >= 8 and fields[6] != "UND" and fields[4] in ("GLOBAL", "WEAK")
    }
    if any(name.startswith("__gcov") for name in exported):
        pytest.skip("a coverage build carries gcov's runtime, which exports its own")
    assert exported == {"PyInit_" + module.__name__.rsplit(".", 1)[1]}
    assert "libpython" not in readelf("--dynamic")


def test_docstring_examples_run():
    import doctest

    import props_to_tree

    for name in props_to_tree.__all__:  # the lazy ones too, whatever ran before
        getattr(props_to_tree, name)
    failed, tried = doctest.testmod(props_to_tree)
    assert (failed, tried > 0) == (0, True)


def test_readme_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where the examples write their files
    readme = (Path(__file__).parents[2] / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.DOTALL)
    assert blocks
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})
