"""List a JSON or TOML document as properties, or change values by path.

    python -m props_to_tree config.toml
    python -m props_to_tree config.json --set db.port=5433 --set db.host=h

Without --set, prints one ``path.key = <JSON value>`` line per leaf.  With it,
writes each VALUE (JSON where it parses, a plain string otherwise) into the
document at PATH and prints the updated document as JSON.  PATH must lead
through existing tables; the last component may be new.
"""

import argparse
import datetime
import json
import sys
import tomllib
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from props_to_tree import _props_to_tree as ext


class UserError(Exception):
    """A mistake in the command line or the input: one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UserError(message)


def _assignment(text: str) -> tuple[str, Any]:
    path, sep, raw = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected PATH=VALUE, got {text!r}")
    try:
        value = json.loads(raw)
    except ValueError:
        value = raw
    return path, value


def _parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = _Parser(
        prog="python -m props_to_tree",
        description="List a JSON or TOML document as properties, or change "
        "values by path and print the updated document as JSON.",
    )
    parser.add_argument(
        "file", nargs="?", default="-", help="a .json or .toml file; - for stdin"
    )
    parser.add_argument(
        "--format",
        choices=("json", "toml"),
        help="the input format (default: from the file name; JSON for stdin)",
    )
    parser.add_argument(
        "--set",
        dest="changes",
        metavar="PATH=VALUE",
        type=_assignment,
        action="append",
        default=[],
        help="set the value at PATH (repeatable)",
    )
    return parser.parse_args(argv)


def _load(file: str, fmt: str | None) -> dict[str, Any]:
    if fmt is None:
        fmt = "toml" if file.endswith(".toml") else "json"
    try:
        text = sys.stdin.read() if file == "-" else Path(file).read_text("utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise UserError(f"cannot read {file}: {exc}") from None
    name = "standard input" if file == "-" else file
    try:
        document = tomllib.loads(text) if fmt == "toml" else json.loads(text)
    except ValueError as exc:  # JSONDecodeError and TOMLDecodeError alike
        raise UserError(f"{name} is not valid {fmt.upper()}: {exc}") from None
    if not isinstance(document, dict):
        raise UserError(f"{name} does not hold an object at the top")
    return document


def _json(value: Any, **options: Any) -> str:
    def convert(obj: object) -> str:
        # TOML has dates and times; JSON has only their text.
        if isinstance(obj, datetime.date | datetime.time):
            return obj.isoformat()
        raise TypeError(f"cannot show {type(obj).__name__} as JSON")

    return json.dumps(value, ensure_ascii=False, default=convert, **options)


def _apply(tree: dict[str, Any], changes: list[tuple[str, Any]]) -> None:
    for path, value in changes:
        try:
            ext._props_to_tree({path: value}, tree)
        except KeyError as exc:
            raise UserError(f"cannot set {path}: no table {exc.args[0]!r}") from None
        except TypeError:
            raise UserError(f"cannot set {path}: it leads through a value") from None


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = _parse_args(argv)
        tree = _load(args.file, args.format)
        if args.changes:
            _apply(tree, args.changes)
            print(_json(tree, indent=2))
        else:
            for path, value in ext._tree_to_props(tree).items():
                print(f"{path} = {_json(value)}")
    except UserError as exc:
        print(f"props_to_tree: error: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
