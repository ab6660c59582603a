"""The distributions: built in isolation, as a user's pip would build them."""

import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.packaging


def sh(*args, cwd=None):
    subprocess.run(args, check=True, capture_output=True, text=True, cwd=cwd)


def wheel_files(directory):
    (wheel,) = directory.glob("*.whl")
    with zipfile.ZipFile(wheel) as archive:
        return wheel, sorted(n for n in archive.namelist() if ".dist-info/" not in n)


def test_wheel_and_sdist(tmp_path):
    # `build` makes the sdist first and the wheel from it; pip builds a
    # second wheel straight from the source tree.
    from_sdist, from_tree = tmp_path / "sdist", tmp_path / "tree"
    sh(sys.executable, "-m", "build", "--outdir", str(from_sdist), str(ROOT))
    sh(
        sys.executable,
        "-m",
        "pip",
        "wheel",
        "-q",
        "--no-deps",
        "-w",
        str(from_tree),
        str(ROOT),
    )

    wheel, files = wheel_files(from_sdist)
    assert wheel_files(from_tree)[1] == files
    assert not [f for f in files if f.endswith(".cpp")]
    assert {
        "props_to_tree/__init__.py",
        "props_to_tree/__main__.py",
        "props_to_tree/_props_to_tree.pyi",
        "props_to_tree/_listing.pyi",
        "props_to_tree/py.typed",
    } <= set(files)
    for module in ("_props_to_tree", "_listing"):
        assert any(f.startswith(f"props_to_tree/{module}.cpython-") for f in files)

    env = tmp_path / "venv"
    venv.create(env, with_pip=True)
    python = str(env / "bin" / "python")
    sh(python, "-m", "pip", "install", "-q", "--no-deps", "--no-index", str(wheel))
    sh(
        python,
        "-c",
        "from props_to_tree import _props_to_tree as m; t = {'a': {'b': 1}};"
        "assert m._props_to_tree(m._tree_to_props(t), t) == {'a': {'b': 1}};"
        "from props_to_tree._engine.listing import lines;"
        "from props_to_tree._formats import load;"
        "assert ''.join(lines(load('json', '{\"a\": {\"b\": 1}}'))) == 'a.b = 1\\n'",
        cwd=tmp_path,
    )
