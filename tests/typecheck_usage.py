"""Checked by `mypy --strict` in `make lint`: the stubs as a caller sees them."""

from typing import Any, assert_type

from props_to_tree import _props_to_tree


class Config(dict[str, Any]):
    pass


def edit(tree: Config) -> Config:
    props = _props_to_tree._tree_to_props(tree)
    assert_type(props, dict[str, Any])
    props["db.port"] = 5433
    result = _props_to_tree._props_to_tree(props, tree)
    assert_type(result, Config)
    return result


def plain(tree: dict[str, dict[str, int]]) -> None:
    assert_type(_props_to_tree._props_to_tree({}, tree), dict[str, dict[str, int]])


def public(tree: Config) -> None:
    import props_to_tree

    assert_type(props_to_tree.flatten(tree), dict[str, Any])
    assert_type(props_to_tree.write_back({}, tree), Config)


def listed(tree: dict[str, Any]) -> str:
    from props_to_tree import _listing
    from props_to_tree._engine import paths

    chunks = _listing.Chunks(
        tree, str, paths.key_text, paths.key_texts, _listing.JSON, 4096
    )
    assert_type(next(chunks), str)
    return "".join(chunks)


def viewed(text: str) -> None:
    import props_to_tree

    doc = props_to_tree.Document(text, "toml")
    assert_type(doc["project"], Any)
    project = doc.table("project")
    assert_type(project, props_to_tree.Table)
    project["version"] = "2.0"
    dependencies = doc.array("project.dependencies")
    assert_type(dependencies, props_to_tree.Array)
    dependencies.append("requests")
    assert_type(doc.root, props_to_tree.Table | props_to_tree.Array)
    assert_type(props_to_tree.read("pyproject.toml"), props_to_tree.Document)
