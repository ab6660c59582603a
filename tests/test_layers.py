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
                known = sub in MODULES or sub in NATIVE
                found.append((sub if known else str(node.module), node.lineno))
    return [
        (module, line) for module, line in found if module.startswith("props_to_tree")
    ]


# The native modules' functions are named as their callers' own.
NATIVE = {
    "props_to_tree._props_to_tree",
    "props_to_tree._listing",
    "props_to_tree._yaml",
}


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
        if not _in(imported, "props_to_tree._engine", own) and imported not in NATIVE:
            return "a format imports only the engine, itself and the native modules"
    if name == "props_to_tree._formats" and _in(imported, "props_to_tree._formats"):
        return "the registry imports no format: it names them"
    if _in(imported, "props_to_tree._command") and not (
        _in(name, "props_to_tree._command") or name == "props_to_tree.__main__"
    ):
        return "only the command itself and __main__ import the command"
    if (
        _in(name, "props_to_tree._command", "props_to_tree._api")
        and _in(imported, "props_to_tree._formats")
        and imported != "props_to_tree._formats"
    ):
        return "the command and the API know formats through the registry alone"
    return None


def test_every_import_keeps_to_the_layers():
    broken = [
        f"{MODULES[name].relative_to(ROOT)}:{line} imports {imported}: {why}"
        for name in sorted(MODULES)
        for imported, line in _imports(MODULES[name])
        if (why := _broken(name, imported))
    ]
    assert broken == []


def _private_uses(path):
    """Each underscore name of another of the package's modules that the
    module at `path` uses: imported by name, or as an attribute of a module
    or class it imported, with its line."""
    tree = ast.parse(path.read_text())
    bound = {}  # a name this module imported: the module it came from
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module.startswith("props_to_tree"):
            for alias in node.names:
                sub = f"{node.module}.{alias.name}"
                bound[alias.asname or alias.name] = sub
                private = alias.name.startswith("_") and sub not in MODULES
                private = private and not alias.name.startswith("__")
                if private and sub not in NATIVE:
                    found.append((sub, node.lineno))
    for node in ast.walk(tree):
        if (
            isinstance(node, ast.Attribute)
            and isinstance(node.value, ast.Name)
            and node.value.id in bound
            and bound[node.value.id] not in NATIVE
            and node.attr.startswith("_")
            and not node.attr.startswith("__")
        ):
            found.append((f"{bound[node.value.id]}.{node.attr}", node.lineno))
    return found


def _subclassed(path, name):
    """The classes of the module `name` that subclass a class of another
    module of the same format's package, with their lines."""
    own = ".".join(name.split(".")[:3])
    if (
        not _in(name, "props_to_tree._formats")
        or own == name == "props_to_tree._formats"
    ):
        return []
    tree = ast.parse(path.read_text())
    siblings = {
        alias.asname or alias.name
        for node in ast.walk(tree)
        if isinstance(node, ast.ImportFrom) and _in(node.module, own)
        for alias in node.names
    }
    return [
        (node.name, node.lineno)
        for node in ast.walk(tree)
        if isinstance(node, ast.ClassDef)
        and any(
            isinstance(base, ast.Name) and base.id in siblings for base in node.bases
        )
    ]


def test_no_private_name_crosses_a_module():
    # Names shared between modules are public: a private one is its
    # module's alone.
    crossing = [
        f"{MODULES[name].relative_to(ROOT)}:{line} uses {used}"
        for name in sorted(MODULES)
        for used, line in _private_uses(MODULES[name])
    ]
    assert crossing == []


def test_a_format_is_composed_not_inherited_across_its_modules():
    inherited = [
        f"{MODULES[name].relative_to(ROOT)}:{line}: {cls} subclasses a sibling's class"
        for name in sorted(MODULES)
        for cls, line in _subclassed(MODULES[name], name)
    ]
    assert inherited == []


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
    assert _broken("props_to_tree._command.cli", "props_to_tree._formats.yaml")
    assert not _broken("props_to_tree._command.cli", "props_to_tree._formats")
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


def test_the_module_rules_catch_what_breaks_them(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from props_to_tree._engine.paths import _before_value\n"
        "from props_to_tree._engine import paths\n"
        "from props_to_tree._formats.toml.scan import Node\n"
        "paths._SURROGATE\n"
        "class Mine(Node): pass\n"
    )
    assert [used for used, _ in _private_uses(bad)] == [
        "props_to_tree._engine.paths._before_value",
        "props_to_tree._engine.paths._SURROGATE",
    ]
    assert _subclassed(bad, "props_to_tree._formats.toml.write") == [("Mine", 5)]
    assert _subclassed(bad, "props_to_tree._formats.yaml.write") == []
