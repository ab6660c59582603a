import re
import shutil
import subprocess
from pathlib import Path

import pytest
from _support import ext


def test_module_surface():
    public = {name for name in dir(ext) if not name.startswith("__")}
    assert public == {"_props_to_tree", "_tree_to_props"}
    assert ext.__doc__ == ""
    assert ext.__name__ == "props_to_tree._props_to_tree"


@pytest.mark.skipif(not shutil.which("readelf"), reason="needs binutils")
def test_shared_object_exports_one_symbol_and_no_libpython():
    def readelf(*flags):
        return subprocess.run(
            ["readelf", "--wide", *flags, ext.__file__],
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
    assert exported == {"PyInit__props_to_tree"}
    assert "libpython" not in readelf("--dynamic")


def test_docstring_examples_run():
    import doctest

    import props_to_tree

    failed, tried = doctest.testmod(props_to_tree)
    assert (failed, tried > 0) == (0, True)


def test_readme_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where the examples write their files
    readme = (Path(__file__).parent.parent / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.DOTALL)
    assert blocks
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})
