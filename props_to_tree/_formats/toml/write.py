"""Changes to a TOML document as splices of its text: values replaced in
the style of the ones before them, items appended, keys and tables added
under the right header, members removed."""

from __future__ import annotations

from props_to_tree._engine import document, flow, paths
from props_to_tree._engine import text as texts
from props_to_tree._engine.document import Value
from props_to_tree._engine.document import collection as _collection
from props_to_tree._engine.errors import (
    ChangeError,
    DocumentError,
    EditError,
    PathError,
)
from props_to_tree._engine.text import Splice
from props_to_tree._formats.toml import FORMAT
from props_to_tree._formats.toml.lookup import data_at, find
from props_to_tree._formats.toml.scan import LIMIT, value_node
from props_to_tree._formats.toml.values import basic, literal, loads, show, show_key

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from props_to_tree._engine.paths import Path
    from props_to_tree._formats.toml.scan import Entry, Header, Node, Parts


_COMMENT = FORMAT.comment


def _last_string(text: str, nodes: list[Node]) -> Node | None:
    """The last of `nodes` written as a string."""
    return next((n for n in reversed(nodes) if text[n.start] in "\"'"), None)


def _last_member_string(text: str, members: list[Any]) -> Node | None:
    """The value of the last of a flow collection's `members` written as a
    string: read from the end, as an append to a long array reads it."""
    return next(
        (m.value for m in reversed(members) if text[m.value.start] in "\"'"), None
    )


def _too_large(data: Any) -> bool:
    if isinstance(data, dict):
        return any(map(_too_large, data.values()))
    if isinstance(data, list):
        return any(map(_too_large, data))
    return type(data) is int and not -(2**63) <= data < 2**63


def parse(text: str) -> Value:
    """A VALUE: exactly one TOML value, no comment after it; other text
    is a string."""
    if text == "null":
        raise ChangeError("TOML has no null", hint="delete")
    line = f"v = {text}"
    try:
        data = loads(line)
    except DocumentError:
        return Value(text, show(text))
    if list(data) != ["v"] or value_node(line, 4)[1] != len(line):
        return Value(text, show(text))  # another key, or a comment after
    value = data["v"]
    refused = None
    if _too_large(value):  # which TOML's readers must refuse
        refused = f"{text} holds an integer past TOML's 64 bits"
        if not isinstance(value, dict | list):
            refused = (
                f"{text} is past TOML's 64-bit integers; "
                f"write '\"{text}\"' for a string"
            )
    return Value(
        value, show(value), text, collection=_collection(value), refused=refused
    )


def value(data: Any) -> Value:
    """A VALUE made of Python data."""
    data = document.plain(data, "TOML", nulls=False, dates=True, surrogates=False)
    if isinstance(data, str):
        return Value(data, show(data))
    made = parse(show(data))
    if isinstance(made.data, str):  # a time with an offset, say
        raise ValueError(f"TOML cannot hold {data!r}")
    if _too_large(made.data):
        raise ValueError("TOML's integers are 64-bit: pass a str or a float")
    return made


def emit(data: Any) -> str:
    """A whole document of Python data, a dict, written as a person writes
    TOML: its keys and inline values, then a header for each table (and
    each item of a list of tables) in it; ValueError for what TOML cannot
    hold."""
    if not isinstance(data, dict):
        raise ValueError(f"the top of a TOML document is a table, not {data!r}")
    return _whole(value(data).text)


def _whole(inline: str) -> str:
    """A document of the inline table `inline`: its own keys, then its
    tables' sections."""
    line = f"v = {inline}"
    written = _section(line, value_node(line, 4)[0], (), "[")
    return written + "\n" if written else ""


def member(key: str, text: str) -> str:
    """A member of an inline table: `key`, bare where it can be, and `text`,
    a VALUE."""
    return f"{show_key(key)} = {text}"


def reach(text: str, parts: Parts, path: Path) -> tuple[int, int | None]:
    """How many segments of `path` are there (all of them where it names
    a table, which only a deletion makes way in), and how many items the
    array holding the first missing one has."""
    if len(path) >= LIMIT:
        raise ChangeError(f"nested too deeply: {LIMIT:,} parts or more")
    (where, holder), found, depth, _ = find(text, parts, path)
    if depth >= len(path) or found is not None:
        return len(path), None
    count = None
    if isinstance(path[depth], int):
        count = len(
            holder.flow.members if where == "flow" else data_at(parts, path[:depth])
        )
    return depth, count


def replace(text: str, parts: Parts, path: Path, value: Value) -> list[Splice]:
    if not path and not text.strip() and isinstance(value.data, dict):
        # A document that holds nothing yet, made whole.
        return [Splice(0, len(text), _whole(value.text))]
    if not path:
        raise ChangeError("the top of a TOML document is a table: set its keys")
    (where, holder), found, depth, _ = find(text, parts, path)
    if depth >= len(path):
        raise ChangeError(f"{paths.show(path)!r} is a table: delete it first")
    if where == "flow":
        return _replace(text, holder.flow.members[found].value, value)
    whole = (*holder, path[depth])
    entry = parts.paths.get(whole)
    if entry is None:
        written = "a table"
        if isinstance(data_at(parts, list(whole)), list):
            written = "an array of tables ([[...]])"
        raise ChangeError(f"{paths.show(path)!r} is {written}: delete it first")
    return _replace(text, entry.node, value)


def append(
    text: str, parts: Parts, path: Path, value: Value, before: int | None = None
) -> list[Splice]:
    count = len(data_at(parts, path))
    (where, holder), _, _, _ = find(text, parts, [*path, count])
    if where == "flow":
        like = _last_member_string(text, holder.flow.members)
        item = _render(text, value, None, like)
        return flow.insert(text, holder.flow, item, "  ", _COMMENT, before)
    return _append_table(text, parts, holder, count, value, before)


def insert(
    text: str,
    parts: Parts,
    path: Path,
    keys: list[str],
    value: Value,
    at: int | None = None,
) -> list[Splice]:
    full: Path = [*path, *keys]
    (where, holder), _, depth, first = find(text, parts, full)
    rest, segment = full[depth + 1 :], full[depth]
    if where == "flow":
        like = _last_member_string(text, holder.flow.members)
        new = _render(text, value, None, like)
        for key in reversed(rest):
            new = "{" + member(str(key), new) + "}"
        key = ".".join(show_key(str(s)) for s in full[first : depth + 1])
        return flow.insert(text, holder.flow, f"{key} = {new}", "  ", _COMMENT)
    names = [str(segment), *map(str, rest)]
    dotted = any(
        e.path[: len(holder)] == holder and len(e.header) < len(holder)
        for e in parts.entries
    )
    implied = (  # by headers below it alone: [a.b] makes a
        holder
        and _header(parts, holder) is None
        and not any(isinstance(s, int) for s in holder)
    )
    if not dotted and _as_sections(parts, holder, value):
        return _new_sections(text, parts, holder, names, value, at)
    if not dotted and len(names) > 1 and not implied:
        # The tables made on the way are one new table: inline where the
        # tables beside it are (Cargo's dependencies).
        new = _render(text, value, None)
        for key in reversed(names[1:]):
            new = "{" + member(key, new) + "}"
        made = parse(new)
        if not any(isinstance(s, int) for s in holder) and not _as_sections(
            parts, holder, made
        ):
            if _brace_space(text, parts, holder):
                new = _padded(new)
            return _insert(text, parts, holder, names[:1], new)
    if not dotted and (len(names) > 1 or implied):  # a header of its own
        return _new_table(text, parts, holder, names[:-1], names[-1], value)
    like = _last_string(text, [e.node for e in parts.entries if e.path[:-1] == holder])
    new = _render(text, value, None, like)
    if isinstance(value.data, dict) and _brace_space(text, parts, holder):
        new = _padded(new)
    return _insert(text, parts, holder, names, new)


def _brace_space(text: str, parts: Parts, holder: tuple[Any, ...]) -> str:
    """The space inside the braces of the last inline table in `holder`, for
    a new one beside it (Cargo's `{ version = "1" }`)."""
    for entry in reversed(parts.entries):
        if entry.path[:-1] == holder and text.startswith("{", entry.node.start):
            return " " if text.startswith("{ ", entry.node.start) else ""
    return ""


def _padded(written: str) -> str:
    """An inline value with a space inside the braces of each of its
    inline tables that holds a key: `{ a = 1 }`."""
    line = f"v = {written}"
    marks: list[tuple[int, str]] = []

    def visit(node: Node) -> None:
        if node.flow is None:
            return
        if line[node.start] == "{" and node.flow.members:
            if line[node.start + 1] not in " \t":
                marks.append((node.start + 1, " "))
            if line[node.end - 2] not in " \t":
                marks.append((node.end - 1, " "))
        for member in node.flow.members:
            visit(member.value)

    visit(value_node(line, 4)[0])
    for at, space in sorted(marks, reverse=True):
        line = line[:at] + space + line[at:]
    return line[4:]


def table_written_apart(parts: Parts, path: Path) -> bool:
    """Whether the table at `path` is written by a header or by dotted keys,
    not as the value of a key: not replaced in place, but made anew."""
    if any(isinstance(s, int) for s in path):
        return False  # in an array of tables: as it was written
    if any(tuple(path[:depth]) in parts.paths for depth in range(1, len(path) + 1)):
        return False  # the value of a key, or in one: an inline table
    return isinstance(data_at(parts, list(path)), dict)


def _replace(text: str, node: Node, value: Value) -> list[Splice]:
    new = _render(text, value, node)
    return [
        Splice(
            node.start,
            node.end,
            new,
            texts.comment_gap(text, node.end, _COMMENT),
        )
    ]


def header_of(parts: Parts, path: Path) -> Header | None:
    """The header of the table at `path`, where one heads it."""
    return _header(parts, tuple(path))


def _header(parts: Parts, table: tuple[Any, ...]) -> Header | None:
    return next((h for h in reversed(parts.headers) if h.path == table), None)


def _section_end(text: str, parts: Parts, header: Header) -> int:
    """The end of the last line of a table's own keys, or of its header."""
    own = [e for e in parts.entries if e.header == header.path]
    return texts.line_end(text, own[-1].node.end) if own else header.end


def _tables_of(data: Any) -> bool:
    """Whether `data` is a list of tables alone, an array of tables."""
    return (
        isinstance(data, list)
        and bool(data)
        and all(isinstance(item, dict) for item in data)
    )


def _as_sections(parts: Parts, holder: tuple[Any, ...], value: Value) -> bool:
    """Whether a new table (or list of tables) `value` under `holder`, the
    document or a table of a header, takes sections of its own: unless most
    of the tables that `holder` holds are written inline (Cargo's
    dependencies), or the last of them is."""
    data = value.data
    if not (isinstance(data, dict) and data) and not _tables_of(data):
        return False
    if any(isinstance(s, int) for s in holder):
        return False  # under [[x]]: as it was written
    held = data_at(parts, list(holder))
    tables = [
        key for key, item in held.items() if isinstance(item, dict) or _tables_of(item)
    ]
    # Written inline, or by dotted keys (`url.workspace = true`): not headed.
    depth = len(holder)
    headed = {
        h.path[depth]
        for h in parts.headers
        if len(h.path) > depth and h.path[:depth] == holder
    }
    inline = [key for key in tables if key not in headed]
    if len(inline) * 2 > len(tables):
        return False
    return not tables or tables[-1] not in inline


def _new_sections(
    text: str,
    parts: Parts,
    holder: tuple[Any, ...],
    names: list[str],
    value: Value,
    at: int | None = None,
) -> list[Splice]:
    """The table `value` at `holder` + `names` written as a person writes it
    in TOML: a header and its keys, then a header for each table in it (an
    array of tables as [[...]] headers, an item each), keys as typed;
    after the last table under `holder`, or at the end; or at `at`, the
    start of a line where a table was, with a table after it."""
    under = [h for h in parts.headers if h.path[: len(holder)] == holder]
    where = _section_end(text, parts, under[-1]) if under else len(text.rstrip("\r\n"))
    line = f"v = {value.text}"
    node = value_node(line, 4)[0]
    name = tuple(map(str, (*holder, *names)))
    if _tables_of(value.data):
        assert node.flow is not None, "an array, as parsed"
        sections = [_section(line, item, name, "[[") for item in node.flow.members]
    else:
        sections = [_section(line, node, name, "[")]
    if at is not None and text[at:].strip():
        # A blank line between them and the table after, as there was.
        apart = "\n" if text.startswith(("\n", "\r\n"), at) else "\n\n"
        return [Splice(at, at, "\n\n".join(sections) + apart)]
    lead = "\n\n" if where else ""
    new = lead + "\n\n".join(sections)
    # At the end, the blank lines there give way to one line break, where
    # the file ends with one; an empty file gains one.
    at_end = not text[where:].strip()
    final = "\n" if not text or (at_end and text.endswith("\n")) else ""
    if at_end and final and where:
        # After the last line's own line break, which so stays its own: a
        # diff shows that line unchanged.
        where += 2 if text.startswith("\r\n", where) else 1
        new = new[1:]
    return [Splice(where, len(text) if at_end else where, new + final)]


def _section(line: str, member: Any, name: tuple[str, ...], bracket: str) -> str:
    """The inline table at `member` (a member of an array, or its node) of
    `line` as a section headed `name`: its keys and inline values as typed,
    then its tables, each a section of its own."""
    node = member.value if isinstance(member, flow.Member) else member
    assert node.flow is not None, "an inline table, as parsed"
    closing = "]]" if bracket == "[[" else "]"
    lines = [bracket + ".".join(map(show_key, name)) + closing] if name else []
    below: list[str] = []
    own = len(lines)
    for item in node.flow.members:
        key, inner = item.key, item.value
        written = line[inner.start : inner.end]
        if written.startswith("{") and inner.flow and inner.flow.members:
            below.append(_section(line, inner, (*name, *key), "["))
        elif (
            written.startswith("[")
            and inner.flow
            and inner.flow.members
            and all(line[m.start] == "{" for m in inner.flow.members)
        ):
            for each in inner.flow.members:
                below.append(_section(line, each, (*name, *key), "[["))
        else:
            lines.append(line[item.start : item.end])
    if len(lines) == own and below and bracket == "[":
        return "\n\n".join(below)  # a table of tables alone: theirs imply it
    own_lines = ["\n".join(lines)] if lines else []  # the top has no header
    return "\n\n".join([*own_lines, *below])


def _new_table(
    text: str,
    parts: Parts,
    parent: tuple[Any, ...],
    tables: list[str],
    key: str,
    value: Value,
) -> list[Splice]:
    """One header for the new table, not one for each table on the way,
    after the last table under `parent`, or at the end.  In an item of an
    array of tables, within the item's tables: there `[a.b]` is the last
    `[[a]]`'s."""
    under = [h for h in parts.headers if h.path[: len(parent)] == parent]
    if not under and any(isinstance(s, int) for s in parent):
        raise ChangeError("no new table is made inside an array of tables")
    named = (s for s in (*parent, *tables) if isinstance(s, str))
    name = ".".join(map(show_key, named))
    line = f"[{name}]\n{show_key(key)} = {_render(text, value, None)}"
    if under and not tables and _header(parts, parent) is None:
        # The header of a table that its tables' headers made: before
        # theirs, and the comments right above them.
        where = _above_comments(text, texts.line_start(text, under[0].start))
        return [Splice(where, where, line + "\n\n")]
    where = _section_end(text, parts, under[-1]) if under else len(text.rstrip("\r\n"))
    lead = "\n\n" if where else ""
    block = lead + line
    # A file that had no final line break gains none; an empty one does.
    return [Splice(where, where, block + ("" if text else "\n"))]


def _above_comments(text: str, start: int) -> int:
    """The start of the comment lines right above the line at `start`."""
    while start:
        above = texts.line_start(text, start - 1)
        if not text[above:start].lstrip().startswith("#"):
            break
        start = above
    return start


def _append_table(
    text: str,
    parts: Parts,
    array: tuple[Any, ...],
    count: int,
    value: Value,
    before: int | None = None,
) -> list[Splice]:
    """A new item of an array of tables: its header, and its keys as they
    were typed, after the last item's tables, or before item `before`'s
    header and the comments above it."""
    if not isinstance(value.data, dict):
        raise ChangeError("an item of an array of tables is a table: {key = value}")
    if _header(parts, (*array, count - 1)) is None:
        raise ChangeError(
            f"{paths.show(list(array))!r} is not written as [[...]] headers"
        )
    under = [
        h for h in parts.headers if h.path[: len(array) + 1] == (*array, count - 1)
    ]
    where = _section_end(text, parts, under[-1])
    line = f"v = {value.text}"
    typed = value_node(line, 4)[0].flow
    assert typed is not None, "an inline table, as parsed"
    lines = [line[m.start : m.end] for m in typed.members]
    name = ".".join(show_key(s) for s in array if isinstance(s, str))
    item = f"[[{name}]]\n" + "\n".join(lines)
    following = None if before is None else _header(parts, (*array, before))
    if following is not None:
        where = _above_comments(text, following.start)
        return [Splice(where, where, item + "\n\n")]
    return [Splice(where, where, "\n\n" + item)]


def _insert(
    text: str, parts: Parts, table: tuple[Any, ...], keys: list[str], value: str
) -> list[Splice]:
    """A new `keys = value` line after the last line of `table`'s own:
    under its header, or beside the dotted keys that make it, or as a
    dotted key at the top for a table made by its sub-tables' headers."""
    header = _header(parts, table)
    if header is not None:
        own = [e for e in parts.entries if e.header == table]
        if not own:
            line = ".".join(map(show_key, keys))
            return [Splice(header.end, header.end, f"\n{line} = {value}")]
        last: Entry | None = own[-1]
    else:
        # Dotted keys in a table above make it; failing those, the top.
        inside = [
            e
            for e in parts.entries
            if e.path[: len(table)] == table and len(e.header) <= len(table)
        ]
        top = [e for e in parts.entries if e.header == ()]
        last = (inside or top)[-1] if inside or top else None
    above = last.header if last else ()
    member = ".".join(map(show_key, (*table[len(above) :], *keys))) + " = " + value
    if last is None:
        first = parts.headers[0].start if parts.headers else len(text)
        # Not on the line of a comment that ends the file unbroken.
        lead = "\n" if first == len(text) and text[-1:] not in ("\n", "") else ""
        after = "\n" if first < len(text) else ""
        return [Splice(first, first, lead + member + "\n" + after)]
    where = texts.line_end(text, last.node.end)
    return [Splice(where, where, "\n" + texts.indentation(text, last.line) + member)]


def delete(text: str, parts: Parts, path: Path) -> list[Splice]:
    try:
        (where, holder), found, depth, _ = find(text, parts, path)
        if depth >= len(path):
            raise ChangeError("a table of dotted keys: delete its keys one by one")
        if found is None or depth < len(path) - 1:
            count = len(holder.flow.members) if where == "flow" else None
            if count is None and isinstance(path[-1], int) and depth == len(path) - 1:
                count = len(data_at(parts, list(holder)))
            raise PathError(paths.missing(path[: depth + 1], count))
    except EditError as exc:
        raise exc.prefixed(f"cannot delete {paths.show(path)!r}: ") from None
    if where == "flow":
        members = holder.flow.members
        member = members[found]
        table = member.key[:-1] if member.key else ()  # items have none
        if table and not any(
            m.key[: len(table)] == table for m in members if m is not member
        ):  # `sub.z = 1` alone made sub: it stays, empty
            new = ".".join(map(show_key, table)) + " = {}"
            return [Splice(member.start, member.end, new)]
        return flow.remove(text, holder.flow, found, _COMMENT)
    whole = (*holder, found)
    # What goes: keys (dotted, or of the table), then tables' headers.
    keys = [
        entry
        for entry in parts.entries
        if entry.path[: len(whole)] == whole
        and not any(
            h.path[: len(whole)] == whole and h.path == entry.header
            for h in parts.headers
        )
    ]
    dotted = [Splice(*texts.own_lines(text, e.line, e.node.end), "") for e in keys]
    tables = []
    for header in parts.headers:
        if header.path[: len(whole)] == whole:
            lines = texts.own_lines(
                text, header.start, _section_end(text, parts, header)
            )
            tables.append(Splice(*lines, ""))
    splices = dotted + tables
    if not holder or len(data_at(parts, list(holder))) > 1:
        return splices
    if isinstance(found, int):
        # An array of tables that loses its last item stays, empty.
        *parent, name = holder
        return splices + _insert(text, parts, tuple(parent), [name], "[]")
    if _header(parts, holder) is not None:
        return splices
    # A table that only what goes made, by a dotted key or a header below
    # it, stays: its first key gives way to `table = {}`, or its first
    # header to the table's own.
    if keys:
        first = keys[0]
        new = ".".join(map(show_key, holder[len(first.header) :])) + " = {}"
        return [Splice(first.line, first.node.end, new), *splices[1:]]
    if any(isinstance(s, int) for s in holder):
        return splices  # [a.b] under [[x]] has no header of its own to take
    gone = text[splices[0].start : splices[0].end]
    own = "[" + ".".join(map(show_key, holder)) + "]"
    own += gone[len(gone.rstrip("\r\n")) :]  # its line break
    return [Splice(splices[0].start, splices[0].end, own), *splices[1:]]


def _render(text: str, value: Value, old: Node | None, like: Node | None = None) -> str:
    """A new value: as typed; a string in the style of the one it
    replaces, or failing that in the quotes of `like`, a string beside
    it."""
    data = value.data
    if not isinstance(data, str):
        return value.text
    written = text[old.start : old.end] if old else ""
    if like is not None and not written:
        written = text[like.start]  # its quotes, not its lines
    # A line break right after the opening quotes is dropped by readers:
    # one written there is the file's style, or keeps the text's own.
    opened = written[3:4] == "\n" or written[3:5] == "\r\n"
    lead = "\n" if opened or data.startswith("\n") else ""
    if written.startswith("'''") and literal(data, "'''"):
        return "'''" + lead + data + "'''"
    if written.startswith('"""'):
        inner = basic(data, escapes="\\u" in written)[1:-1].replace("\\n", "\n")
        return '"""' + lead + inner + '"""'
    if written.startswith("'") and literal(data, "'"):
        return f"'{data}'"
    return basic(data, escapes="\\u" in written or "\\U" in written)
