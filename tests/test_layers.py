"""The layers, as every module's imports show them: the command over the
API, the API over the engine and the formats' registry, the engine knowing
no format by name, and each format knowing only the engine and itself."""

import ast
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "props_to_tree"


def _module(path):
    parts = list(path.relative_to(ROOT).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


MODULES = {_module(path): path for path in PACKAGE.rglob("*.py")}


def _imports(path):
    """The package's modules that the module at `path` imports, in a
    function or under TYPE_CHECKING too, each with its line (the package
    imports by absolute names alone)."""
    found = []
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found += [(alias.name, node.lineno) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            assert not node.level, f"{path}:{node.lineno}: a relative import"
            for alias in node.names:
                sub = f"{node.module}.{alias.name}"
                found.append((sub if sub in MODULES else str(node.module), node.lineno))
    return [
        (module, line) for module, line in found if module.startswith("props_to_tree")
    ]


def _in(module, *packages):
    return any(module == p or module.startswith(p + ".") for p in packages)


def _broken(name, imported):
    """Why `name` may not import `imported`, or None."""
    if _in(name, "props_to_tree._engine") and _in(
        imported,
        "props_to_tree._formats",
        "props_to_tree._command",
        "props_to_tree._api",
    ):
        return "the engine knows no format, no command and no API"
    if _in(name, "props_to_tree._formats") and name != "props_to_tree._formats":
        own = ".".join(name.split(".")[:3])  # props_to_tree._formats.<format>
        if not _in(imported, "props_to_tree._engine", own):
            return "a format imports only the engine and itself"
    if name == "props_to_tree._formats" and _in(imported, "props_to_tree._formats"):
        return "the registry imports no format: it names them"
    if _in(imported, "props_to_tree._command") and not (
        _in(name, "props_to_tree._command") or name == "props_to_tree.__main__"
    ):
        return "only the command itself and __main__ import the command"
    return None


def test_every_import_keeps_to_the_layers():
    broken = [
        f"{MODULES[name].relative_to(ROOT)}:{line} imports {imported}: {why}"
        for name in sorted(MODULES)
        for imported, line in _imports(MODULES[name])
        if (why := _broken(name, imported))
    ]
    assert broken == []


def test_the_rules_catch_what_breaks_them():
    # A check that finds nothing must be able to find something.
    assert _broken("props_to_tree._engine.paths", "props_to_tree._formats.json")
    assert _broken("props_to_tree._formats.toml.write", "props_to_tree._formats.yaml")
    assert _broken("props_to_tree._formats", "props_to_tree._formats.yaml")
    assert _broken("props_to_tree._api", "props_to_tree._command.cli")
    assert not _broken(
        "props_to_tree._formats.toml.write", "props_to_tree._formats.toml.scan"
    )
    assert not _broken("props_to_tree._command.cli", "props_to_tree._api")
    imported = {
        module
        for module, _ in _imports(MODULES["props_to_tree._formats.json.document"])
    }
    assert {"props_to_tree._engine.paths", "props_to_tree._engine.errors"} <= imported


def test_every_hint_is_worded_by_the_command_and_the_api():
    # The engine says what could be done; each side says it in its terms.
    from props_to_tree import _api
    from props_to_tree._command import cli
    from props_to_tree._engine import errors

    assert set(cli.HINTS) == set(_api.HINTS) == errors.HINTS
    for hint in errors.HINTS:
        assert "--" in cli.HINTS[hint], hint  # an option of the command's
        assert "--" not in _api.HINTS[hint], hint
