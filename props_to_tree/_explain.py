"""What stops a path, in words: "no 'pool' under 'db'".

The write-back stops at the first entry that fails, with the exception of the
operation that failed and no record of the entry.  Entries before it were
applied and later ones were not, so the failing entry is the first one, in
order, whose path fails now in the same way.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def _where(components: list[str]) -> str:
    return f"under {'.'.join(components)!r}" if components else "at the top level"


def _holder(components: list[str]) -> str:
    return repr(".".join(components)) if components else "the tree"


def walk(
    tree: Any, components: list[str], error: Exception | None = None
) -> tuple[Any, str | None]:
    """Looks `components` up from `tree`: the node reached and None, or None
    and what stops the walk.  Given `error`, only a failure like it counts;
    any other gives an empty text."""
    node = tree
    for depth, component in enumerate(components):
        above = components[:depth]
        try:
            node = node[component]
        except TypeError:
            if error is not None and not isinstance(error, TypeError):
                return None, ""
            return None, not_a_table(above, node)
        except Exception as exc:
            if error is not None and (
                type(exc) is not type(error) or exc.args != error.args
            ):
                return None, ""
            return None, f"no {component!r} {_where(above)}"
    return node, None


def not_a_table(components: list[str], node: object) -> str:
    # By the built-in type it derives from: int, not tomlkit's Integer.
    kind = next(t for t in type(node).__mro__ if t.__module__ == "builtins")
    return f"{_holder(components)} holds a value ({kind.__name__}), not a table"


def _problem(
    tree: Any, key: object, value: object, error: Exception, *, refused: bool
) -> str | None:
    """What stops the entry now, if that matches `error`.  With `refused`, an
    assignment that did not take counts too: the last resort, since values
    that a node converts on assignment never read back as themselves."""
    if not isinstance(key, str):
        return "path keys must be strings"
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:
        return "the key is not encodable as UTF-8"
    *branches, last = key.split(".")
    node, problem = walk(tree, branches, error)
    if problem is not None:
        return problem or None
    is_table = hasattr(node, "keys") and hasattr(type(node), "__setitem__")
    if isinstance(error, TypeError) and not is_table:
        return not_a_table(branches, node)
    if not refused:
        return None
    try:
        current = node[last]
        if current is value or current == value:
            return None
    except Exception:
        pass  # nothing there: the assignment is what failed
    return f"{_holder(branches)} refused {last!r}: {error}"


def explain_failure(props: dict[Any, Any], tree: Any, error: Exception) -> str | None:
    """A note for `error`, raised by writing `props` into `tree`: "cannot write
    'db.pool.size': no 'pool' under 'db'".  None when no entry fails now."""
    try:
        entries = list(dict.items(props))
        for refused in (False, True):
            for key, value in entries:
                problem = _problem(tree, key, value, error, refused=refused)
                if problem is not None:
                    return f"cannot write {key!r}: {problem}"
    except Exception:
        # Node code may fail again, differently; the original error stands.
        return None
    return None
