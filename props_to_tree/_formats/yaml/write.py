"""Changes to a YAML document as splices of its text: a value replaced in
the style of the one before it, an item appended, keys added in block or
flow style, members removed with their lines."""

from __future__ import annotations

import datetime
import re

from props_to_tree._engine import document, flow, paths
from props_to_tree._engine import text as texts
from props_to_tree._engine.document import Value, item_index
from props_to_tree._engine.errors import (
    ChangeError,
    DocumentError,
    EditError,
    PathError,
)
from props_to_tree._engine.text import Splice
from props_to_tree._formats.yaml import FORMAT
from props_to_tree._formats.yaml.spans import (
    Slot,
    key_start,
    last_string,
    mapping_indent,
)
from props_to_tree._formats.yaml.values import (
    HANDLE,
    NULL_TAG,
    PROPERTIES,
    TAG_TOKEN,
    TAGGED_KINDS,
    Mapping,
    Scalar,
    Sequence,
    collection_of,
    declared_handles,
    flow_text,
    is_merge,
    is_tagged,
    node_key,
    one_value,
    readable,
    scalar_data,
    show_node,
    show_str,
    tag_of,
    write_string,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

    from props_to_tree._engine.paths import Path
    from props_to_tree._formats.yaml.spans import Spans


_COMMENT = FORMAT.comment


def _with_header_comment(text: str, start: int, new: str) -> str:
    """`new` in place of the block scalar at `start`, keeping the comment on
    its header line (`| # note`)."""
    header = text[start : texts.line_end(text, start)]
    found = re.match(r"[|>][-+0-9]*([ \t]+#.*)", header)
    if found is None:
        return new
    if new[:1] in ("|", ">"):
        end = texts.line_end(new, 0)
        return new[:end] + found[1] + new[end:]
    return new + found[1]


def parse(text: str, given: str) -> Value:
    """A VALUE given for a document of `text`: exactly one YAML flow value;
    other text is a string."""
    node, directives = one_value(given), ""
    if node is None and "!" in given:  # a tag through a handle, perhaps
        handles = declared_handles(text)
        used = set(re.findall(HANDLE, given))
        undeclared = sorted(used - set(handles))
        if undeclared:
            return Value(
                given,
                show_str(given),
                refused=f"{given!r} uses the tag handle {undeclared[0]}, "
                "which the document does not declare (%TAG)",
            )
        directives = "".join(handles[handle] for handle in sorted(used))
        node = one_value(given, directives) if used else None
    if node is None:
        return Value(given, show_str(given))
    data = scalar_data(node) if isinstance(node, Scalar) and not node.tag else node
    refused = None
    if not readable(given, node, directives):
        refused = f"{given!r} is not what its tag says, to a YAML reader"
    twice = _key_twice(given, node)
    if twice is not None:
        refused = f"{given!r} holds the key {twice!r} twice"
    return Value(
        data,
        show_node(given, node),
        given,
        collection=collection_of(node),
        kind=TAGGED_KINDS.get(node.tag),
        tag=tag_of(given, node) if node.tag else "",
        refused=refused,
    )


def _key_twice(given: str, node: Any) -> str | None:
    """A key that a mapping in a VALUE holds twice, which YAML forbids."""
    todo = [node]
    while todo:
        each = todo.pop()
        if isinstance(each, Mapping):
            seen: set[str] = set()
            for key, _ in each.value:
                name = node_key(given, key)
                if name in seen:
                    return name
                seen.add(name)
            todo += [item for _, item in each.value]
        elif isinstance(each, Sequence):
            todo += each.value
    return None


def value(text: str, data: Any) -> Value:
    """A VALUE made of Python data, in flow style."""
    data = document.plain(
        data, "YAML", nulls=True, dates=True, times=False, surrogates=False
    )
    if isinstance(data, str):
        return Value(data, show_str(data))
    made = parse(text, flow_text(data))
    if isinstance(data, datetime.date) and not isinstance(made.data, datetime.date):
        raise ValueError(f"YAML cannot hold {data!r}")  # an offset in seconds
    return made


def emit(data: Any) -> str:
    """A whole document of Python data, written in block style as a person
    writes YAML: two spaces a level, lists dashed a step in, a table in a
    list compact, strings quoted where a YAML 1.1 reader takes them for
    something else; ValueError for what YAML cannot hold."""
    made = value("", data)
    node = made.data
    if isinstance(node, Mapping | Sequence) and node.value:
        return _block("", node, made.text, "", "") + "\n"
    if isinstance(data, str):
        return write_string(data, "", "", None, False, "  ") + "\n"
    return made.text + "\n"


def reach(text: str, parts: Spans, path: Path) -> tuple[int, int | None]:
    """How many segments of `path` are there, and how many items the
    list or stream holding the first missing one has."""
    node, index, depth = parts.find(path)
    count = None
    if isinstance(node, list | Sequence):
        count = len(node if isinstance(node, list) else node.value)
    elif node is None:
        count = 0  # an empty document
    if index is not None and depth == len(path) - 1:
        return len(path), count
    return depth, count


def replace(text: str, parts: Spans, path: Path, value: Value) -> list[Splice]:
    _declares(text, parts, path, value)
    if not path:
        return _set_top(text, parts, value)
    node, index, _ = parts.find(path)
    assert index is not None, "replaced where it is"
    slot = parts.members(node)[index]
    if slot.key is not None and is_merge(slot.key):
        raise ChangeError("'<<' merges mappings: set their keys instead")
    return _replace(text, slot, value)


def append(
    text: str, parts: Spans, path: Path, value: Value, before: int | None = None
) -> list[Splice]:
    _declares(text, parts, path, value)
    node = parts.root if not path else parts.get(path)
    if node is None and not path:  # an empty document: a list of one
        return _set_top(text, parts, parse(text, "[" + _flow(text, value) + "]"))
    if isinstance(node, list):
        raise ChangeError("a document is not added to a stream: append its text")
    if not isinstance(node, Sequence):  # an empty document
        raise PathError(paths.missing([*path, 0], 0))
    placeholder = _placeholder(text, parts, path, node, "[" + _flow(text, value) + "]")
    return placeholder or _append(text, parts, node, value, before)


def insert(
    text: str, parts: Spans, path: Path, keys: list[str], value: Value
) -> list[Splice]:
    _declares(text, parts, path, value)
    node = parts.root if not path else parts.get(path)
    if isinstance(node, Mapping):
        new = _flow(text, value)
        for key in reversed(keys):
            new = "{" + member(key, new) + "}"
        placeholder = _placeholder(text, parts, path, node, new)
        if placeholder:
            return placeholder
    if _null(node):
        document = not path or (isinstance(parts.root, list) and len(path) == 1)
        if document:  # a document that is null: it becomes the mapping
            at = node.start_mark.index
            unit = " " * mapping_indent(text)
            names = [write_string(key, "", text, None, False) for key in keys]
            new = _nested(text, names, value, "", unit, at=at)
            at = re.compile(PROPERTIES).match(text, at).end()  # type: ignore[union-attr]
            properties = re.sub(TAG_TOKEN, "", text[node.start_mark.index : at])
            begin = node.start_mark.index
            lead = "" if texts.first_on_line(text, begin) else "\n"
            if properties.strip():  # an anchor stays
                new = properties.rstrip() + lead + new
            else:  # "--- null": the mapping goes on the lines below
                begin -= len(text[:begin]) - len(text[:begin].rstrip(" \t"))
                new = lead + new
            return [Splice(begin, node.end_mark.index, new)]
        return _into_null(text, parts.holding(path, node), keys, value)
    return _insert(text, parts, node, keys, value)


def member(key: str, text: str) -> str:
    """A member of a flow mapping: `key` as a new one is written there, and
    `text`, a VALUE."""
    return f"{write_string(key, '', '', None, True)}: {text}"


def _flow(text: str, value: Value) -> str:
    """`value` as a VALUE writes it, inside a flow collection."""
    if isinstance(value.data, str) and not value.text:
        return write_string(value.data, "", text, None, True)
    return value.text


def _placeholder(
    text: str, parts: Spans, path: Path, node: Any, new: str
) -> list[Splice] | None:
    """The splices that put `new`, a flow collection of the one member to
    add, in place of `node`, an empty `[]` or `{}` in a block collection (a
    Helm chart's placeholder), which it then is in block style; None where
    `node` is no such placeholder."""
    if not path or node.value or not node.flow_style:
        return None
    slot = parts.holding(path, node)
    if slot.flow or slot.alias:
        return None
    return _replace(text, slot, parse(text, new))


def _declares(text: str, parts: Spans, path: Path, value: Value) -> None:
    """Refuses a value whose tags use a %TAG handle that the document
    `path` is in does not declare: only another document does."""
    if "!" not in value.text:
        return
    used = set(re.findall(HANDLE, value.text))
    if not used:
        return
    root, start = parts.root, 0
    if isinstance(root, list) and path and isinstance(path[0], int):
        index = item_index(path[0], len(root))
        if index is None:
            return  # no such document: the change says so
        start = parts.end(root[index - 1]) if index else 0
        root = root[index]
    stop = root.start_mark.index if root is not None else len(text)
    declared = set(declared_handles(text[start:stop]))
    missing = sorted(used - declared)
    if missing:
        raise ChangeError(
            f"{value.text!r} uses the tag handle {missing[0]}, which the "
            "document does not declare (%TAG)"
        )


def _into_null(text: str, slot: Slot, keys: list[str], value: Value) -> list[Splice]:
    """The null of `slot` (`key:`, `~`) made a mapping of `keys`: in block
    style below a block mapping's key or after a block list's dash, the
    members indented as the file's are, else in flow style."""
    names = [write_string(key, "", text, None, slot.flow) for key in keys]
    if slot.flow:
        new = _render(text, value, None, flow=True)
        for name in reversed(names):
            new = f"{{{name}: {new}}}"
        if slot.value == slot.end:  # no value written: {x, y: 2}, {x: }
            explicit = slot.key is not None and slot.value == slot.key.end_mark.index
            new = (
                ": " if explicit else "" if text[slot.value - 1].isspace() else " "
            ) + new
        return [Splice(slot.value, slot.end, new)]
    start = texts.line_start(text, slot.start)
    unit = " " * mapping_indent(text)
    if slot.key is None:  # "- ~": the first key after the dash
        indent = " " * (slot.start - start + 2)
        lead = "" if text[slot.value - 1 : slot.value] == " " else " "
        new = _nested(text, names, value, indent, unit, at=slot.start)
        return [Splice(slot.value, slot.end, lead + new)]
    # The null's text goes, its anchor stays; the keys go below the line,
    # after its comment.
    properties = re.compile(PROPERTIES).match(text, slot.value).end()  # type: ignore[union-attr]
    kept = text[slot.value : min(properties, slot.end)]
    kept = re.sub(TAG_TOKEN, "", kept).strip()  # a null's tag goes with it
    colon = text.rfind(":", slot.key.end_mark.index, slot.value + 1)
    indent = " " * (slot.start - start) + unit
    nested = _nested(text, names, value, indent, unit, at=slot.start)
    after = texts.line_end(text, slot.end)
    return [
        Splice(colon + 1, slot.end, " " + kept if kept else ""),
        Splice(after, after, "\n" + indent + nested),
    ]


def _set_top(text: str, parts: Spans, value: Value) -> list[Splice]:
    root = parts.root
    if isinstance(root, list):
        raise ChangeError("a stream's documents are set one by one: [N]")
    if root is None:
        data = value.data
        if isinstance(data, Mapping | Sequence) and data.value and not is_tagged(value):
            return _into_empty(text, _block(text, data, value.text, "", ""))
        return _into_empty(text, _render(text, value, None))
    at = root.start_mark.index  # no key, no dash: where it starts
    return _replace(text, Slot(None, root, at, at, parts.end(root), False), value)


def delete(
    text: str, parts: Spans, path: Path, reread: Callable[[str], Spans]
) -> list[Splice]:
    try:
        node, index, depth = parts.find(path)
        if index is None or depth < len(path) - 1:
            parts.get(path)  # a missing key, or one from a merge
            raise ChangeError(f"{path[-1]!r} comes from a merge ('<<')")
        if isinstance(node, list):
            raise ChangeError("a document of a stream is not removed")
    except EditError as exc:
        raise exc.prefixed(f"cannot delete {paths.show(path)!r}: ") from None
    if isinstance(node, Mapping):
        twice = sum(node_key(text, k) == path[-1] for k, _ in node.value) > 1
        if twice:  # readers take the last, and then the one before: all go
            rest = texts.apply(text, _delete(text, parts, node, index, path))
            try:
                again = reread(rest)
            except DocumentError as exc:  # an anchor gone with the one
                raise ChangeError(
                    f"the changes would break the document: {exc.problem}"
                ) from None
            after = texts.apply(rest, delete(rest, again, path, reread))
            return [texts.difference(text, after)]
    return _delete(text, parts, node, index, path)


def _delete(text: str, parts: Spans, node: Any, index: int, path: Path) -> list[Splice]:
    slots = parts.members(node)
    slot = slots[index]
    if len(slots) == 1 and not node.flow_style:
        # The last member of a block collection: it becomes empty, at the
        # top of a document too, which would otherwise read as null.
        empty = "{}" if isinstance(node, Mapping) else "[]"
        value = Value(
            {} if empty == "{}" else [], empty, empty, collection=collection_of(node)
        )
        if node is parts.root:
            return _set_top(text, parts, value)
        splices = _replace(text, parts.holding(path[:-1], node), value)
        first = texts.line_start(text, slot.start)
        return [_keeping_comments(text, s, first) for s in splices]
    if node.flow_style:
        return flow.remove(text, parts.flow_of(node), index, _COMMENT)
    if texts.first_on_line(text, slot.start):
        # The comment lines indented deeper than the member are its own.
        column = slot.start - texts.line_start(text, slot.start)
        end = _past_own_comments(text, texts.line_end(text, slot.end), column)
        return [Splice(*texts.own_lines(text, slot.start, end), "")]
    if index + 1 < len(slots):  # the first key after "- "
        return [Splice(slot.start, slots[index + 1].start, "")]
    return [
        Splice(
            slot.value if slot.key is None else slot.start,
            slot.end,
            "{}" if slot.key is not None else "[]",
        )
    ]


def _replace(text: str, slot: Slot, value: Value) -> list[Splice]:
    old = slot.node
    start, end = slot.value, slot.end
    gap = texts.comment_gap(text, end, _COMMENT)
    if slot.alias:  # an alias: its own value, not its anchor's
        return [Splice(start, end, _render(text, value, None, flow=slot.flow), gap)]
    after = re.compile(PROPERTIES).match(text, start).end()  # type: ignore[union-attr]
    properties = text[start : min(after, end)]
    # What is written is the VALUE, its tag too: a scalar's old tag goes
    # (`!Ref x` set to y is the string y, not a reference), and only a
    # collection that stays one of its kind keeps its own (`!!omap`).
    retag = (
        is_tagged(value)
        or isinstance(old, Scalar)
        or collection_of(old) != value.collection
    )
    kept = re.sub(TAG_TOKEN, "", properties) if retag else properties
    start += len(properties)
    data = value.data
    if (
        not slot.flow
        and isinstance(data, Mapping | Sequence)
        and data.value
        and not is_tagged(value)
        and (
            (isinstance(old, Scalar) and old.style not in ("|", ">"))
            or (not isinstance(old, Scalar) and old.flow_style and not old.value)
        )
    ):
        return _below(text, slot, value, kept.strip(), end)
    if isinstance(old, Scalar) or old.flow_style:
        scalar = old if isinstance(old, Scalar) else None
        new = _render(text, value, scalar, flow=slot.flow)
        if isinstance(old, Scalar) and old.style in ("|", ">"):
            new = _with_header_comment(text, start, new)
            if new[1:2] == "+":  # it keeps its line breaks: the blank
                # lines after the old one would be added to them
                blank = re.compile(r"(?:[ \t\r]*\n)*")
                after = blank.match(text, texts.next_line(text, end)).end()  # type: ignore[union-attr]
                end = texts.line_end(text, max(after - 1, end))
        if new[:1] in "|>" and end == len(text) and value.data.endswith("\n"):
            # A block scalar's last line break is its line's: at the end
            # of a file without one, the value's own must be written.
            new += "\n"
        if start == end == slot.value:  # no value yet
            explicit = slot.key is not None and start == slot.key.end_mark.index
            indent = " " * (slot.start - texts.line_start(text, slot.start))
            if explicit and slot.flow:  # {x, y: 2}
                new = ": " + new
            elif explicit:  # "? key"
                new = f"\n{indent}: {new}"
            elif not text[start - 1 : start].isspace():
                new = " " + new
        elif kept and not kept[-1].isspace():
            kept += " "  # a tag or anchor alone: "key: !!str"
        return [Splice(slot.value, end, kept + new, gap)]
    # A block collection: its members go, and the comment on the last.
    if texts.rest_is_comment(text, end, _COMMENT):
        end = texts.line_end(text, end)
    data, tagged = value.data, is_tagged(value)
    column = start - texts.line_start(text, start)
    inline = not texts.first_on_line(text, start)  # "- a: 1", "- - x"
    if isinstance(data, Mapping | Sequence) and data.value and not tagged:
        width = column
        if not inline and isinstance(data, Mapping) and slot.key is not None:
            # A mapping's members stand right of its key, as a list's
            # items need not.
            key = slot.start - texts.line_start(text, slot.start)
            width = max(width, key + mapping_indent(text))
        lead = "" if inline else " " * (width - column)
        return [
            Splice(start, end, _block(text, data, value.text, " " * width, lead, start))
        ]
    new = _render(text, value, None, flow=slot.flow)
    if inline or (slot.key is None and slot.start == slot.value):
        return [Splice(slot.value, end, kept + new)]  # in place, as a whole
    # A block collection below its key or dash gives way to a value on
    # that line, after its anchor and tag and before its comment.
    at = slot.start
    if slot.key is not None:
        at = text.rfind(":", slot.key.end_mark.index, slot.value)
        at = slot.key.end_mark.index if at < 0 else at
    head = re.compile(r"[ \t]*[:\-]?").match(text, at).end()  # type: ignore[union-attr]
    comment = re.search(r"[ \t]+#.*", text[head : texts.line_end(text, head)])
    words = " ".join(kept.split())
    new = " " + (words + " " if words else "") + new
    return [Splice(head, end, new + (comment.group() if comment else ""))]


def _below(text: str, slot: Slot, value: Value, kept: str, end: int) -> list[Splice]:
    """A collection in place of a scalar or an empty `{}` or `[]` of a block
    collection, in block style: below its key, a step in (a list dashed as
    the file's are); after its dash, its first member on the dash's line
    (`- name: TZ`), the others below; an anchor kept stays on the line."""
    data, at = value.data, slot.start
    if slot.key is None:  # "- 5"
        width = " " * (slot.value - texts.line_start(text, slot.value))
        if kept:
            block = _block(text, data, value.text, width, width, at)
            return [Splice(slot.value, end, kept + "\n" + block)]
        return [Splice(slot.value, end, _block(text, data, value.text, width, "", at))]
    column = slot.start - texts.line_start(text, slot.start)
    step = _dash_step(text, at) if isinstance(data, Sequence) else mapping_indent(text)
    indent = " " * (column + step)
    block = _block(text, data, value.text, indent, indent, at)
    colon = text.rfind(":", slot.key.end_mark.index, slot.value + 1)
    after = texts.line_end(text, end)
    return [
        Splice(colon + 1, end, " " + kept if kept else ""),
        Splice(after, after, "\n" + block),
    ]


def _render(
    text: str,
    value: Value,
    old: Any,
    like: Any = None,
    flow: bool = False,
    below: str | None = None,
) -> str:
    """A new value: a string in the style of the one it replaces, where
    that style can hold it, or failing that in the quotes of `like`, a
    string beside it, or, of several lines, where `below` is the
    indentation of a block's lines there, a block scalar; anything else as
    it was written."""
    if not isinstance(value.data, str) or is_tagged(value):
        return value.text
    style = old.style if isinstance(old, Scalar) else like.style if like else ""
    body = _body(text, below) if old is None else None
    return write_string(value.data, style or "", text, old, flow, body)


def _body(text: str, below: str | None) -> str | None:
    """The indentation of a new block scalar's lines, `below`, where one
    can end the text: a block scalar keeps its last line break only where
    a line break follows it, which a file without a final one has not."""
    return below if not text or text.endswith("\n") else None


def _append(
    text: str, parts: Spans, node: Any, value: Value, before: int | None = None
) -> list[Splice]:
    """A new last item, after the last one and before the blank lines and
    comments that end the list, with its dash and indentation; or, with
    `before`, a new item on the lines before that item's (after the
    comments above it)."""
    like = last_string(node.value)
    if node.flow_style:
        return flow.insert(
            text,
            parts.flow_of(node),
            _render(text, value, None, like, flow=True),
            "  ",
            _COMMENT,
            before,
        )
    items = parts.members(node)
    if before is not None and before < len(items):
        return _before(text, items[before], value, like)
    last = items[-1]
    indent = (
        texts.indentation(text, last.start)
        if texts.first_on_line(text, last.start)
        else " " * (last.start - texts.line_start(text, last.start))
    )
    dash = (
        text[last.start : last.value]
        if texts.one_line(text, last.start, last.value)
        else "- "
    )
    dash = dash if dash.strip() == "-" else "- "
    item = value.data
    column = last.start - texts.line_start(text, last.start)
    where = _past_own_comments(text, texts.line_end(text, last.end), column)
    if isinstance(item, Mapping | Sequence) and item.value and not is_tagged(value):
        new = _block(text, item, value.text, indent + " " * len(dash), "", where)
    else:  # in a block list
        new = _render(text, value, None, like, below=indent + " " * len(dash))
    splices = [Splice(where, where, "\n" + indent + dash + new)]
    return _stripped_at_end(text, parts, where) + splices


def _before(text: str, item: Any, value: Value, like: Any) -> list[Splice]:
    """A new item on lines of its own before `item`, a block list's, dashed
    and indented as it is."""
    start = texts.line_start(text, item.start)
    if not texts.first_on_line(text, item.start):
        raise ChangeError(
            "a new item goes before an item that starts its line, not one after "
            "another dash ('- - x'): set the list whole"
        )
    indent = text[start : item.start]
    dash = text[item.start : item.value]
    if not texts.one_line(text, item.start, item.value) or dash.strip() != "-":
        dash = "- "
    data = value.data
    if isinstance(data, Mapping | Sequence) and data.value and not is_tagged(value):
        new = _block(text, data, value.text, indent + " " * len(dash), "", start)
    else:
        new = _render(text, value, None, like, below=indent + " " * len(dash))
    return [Splice(start, start, indent + dash + new + "\n")]


def _insert(
    text: str, parts: Spans, mapping: Any, keys: list[str], value: Value
) -> list[Splice]:
    """`keys` in `mapping`, the tables of all but the last made new: in
    flow style inside a flow mapping, else in block style."""
    in_flow = isinstance(mapping, Mapping) and bool(mapping.flow_style)
    names = [write_string(key, "", text, None, in_flow) for key in keys]
    if mapping is None:  # an empty document
        return _into_empty(text, _nested(text, names, value, "", "  ", at=len(text)))
    if not isinstance(mapping, Mapping):
        raise ChangeError("a stream's documents are not added to")
    like = last_string([v for _, v in mapping.value]) if len(keys) == 1 else None
    if mapping.flow_style:
        new = _render(text, value, None, like, flow=True)
        for name in reversed(names[1:]):
            new = f"{{{name}: {new}}}"
        member = f"{names[0]}: {new}"
        return flow.insert(text, parts.flow_of(mapping), member, "  ", _COMMENT)
    first = key_start(text, mapping.value[0][0])
    indent = " " * (first - texts.line_start(text, first))
    unit = " " * mapping_indent(text)
    after = texts.line_end(text, parts.members(mapping)[-1].end)
    after = _past_own_comments(text, after, len(indent))
    nested = _nested(text, names, value, indent, unit, like, after)
    splices = [Splice(after, after, "\n" + indent + nested)]
    return _stripped_at_end(text, parts, after) + splices


def _into_empty(text: str, new: str) -> list[Splice]:
    """`new` as the content of an empty document: at the end, or before
    the `...` that ends it."""
    end = re.search(r"^\.\.\.(?:[ \t]+#[^\n]*)?\s*\Z", text, re.MULTILINE)
    at = end.start() if end else len(text)
    lead = "" if not text[:at] or text[:at].endswith("\n") else "\n"
    return [Splice(at, at, lead + new + "\n")]


def _stripped_at_end(text: str, parts: Spans, where: int) -> list[Splice]:
    """Where text goes at the very end of a file with no final line
    break, after a block scalar: that scalar, which had no line break to
    end it, must not gain one, so it strips its breaks (`|-`)."""
    node = parts.root
    if where < len(text) or text.endswith("\n") or isinstance(node, list):
        return []
    while isinstance(node, Mapping | Sequence) and node.value:
        last = parts.members(node)[-1]
        if last.alias:
            return []
        node = last.node
    if not isinstance(node, Scalar) or node.style not in ("|", ">"):
        return []
    header = re.compile(PROPERTIES).match(text, node.start_mark.index).end()  # type: ignore[union-attr]
    indicators = re.compile(r"[|>]([-+0-9]*)").match(text, header)
    assert indicators is not None, "a block scalar's header"
    chomp = indicators[1].replace("+", "").replace("-", "") + "-"
    return [Splice(indicators.start(1), indicators.end(1), chomp)]


def _nested(
    text: str,
    names: list[str],
    value: Value,
    indent: str,
    unit: str,
    like: Any = None,
    at: int = 0,
) -> str:
    """`names`, a key in each one's table, their last holding `value`: in
    block style, a collection too, at `indent`; written at `at`."""
    lines = []
    for depth, name in enumerate(names[:-1]):
        lines.append(indent + unit * depth + name + ":")
    inner = indent + unit * (len(names) - 1)
    item = value.data
    if isinstance(item, Mapping | Sequence) and item.value and not is_tagged(value):
        step = " " * _dash_step(text, at) if isinstance(item, Sequence) else unit
        block = _block(text, item, value.text, inner + step, inner + step, at)
        lines.append(inner + names[-1] + ":\n" + block)
    else:
        new = _render(text, value, None, like, below=inner + unit)
        lines.append(inner + names[-1] + ": " + new)
    return "\n".join(lines)[len(indent) :]


# A key that ends its line, and the first item of the block list below it:
# how far the file sets its dashes in from their key's column.
_LIST_UNDER_KEY = re.compile(
    r"^([ ]*(?:- +)*)[^ \t\n#-][^\n]*?:[ \t]*(?:#[^\n]*)?\r?\n"
    r"(?:[ \t]*(?:#[^\n]*)?\r?\n)*([ ]*)- ",
    re.MULTILINE,
)


def _dash_step(text: str, before: int) -> int:
    """How far a block list's dashes stand right of its key: as in the
    nearest such list before `before` (under the key's column, as kubectl
    writes them, or indented), else the first after it, else indented by
    the file's step."""
    found = None
    for found in _LIST_UNDER_KEY.finditer(text, 0, before):  # noqa: B007
        pass
    found = found or _LIST_UNDER_KEY.search(text, before)
    if found is None or len(found[2]) < len(found[1]):
        return mapping_indent(text)
    return len(found[2]) - len(found[1])


def _block(
    text: str, node: Any, source: str, indent: str, lead: str, at: int = 0
) -> str:
    """A collection given in flow syntax, written in block style: its
    first line after `lead`, the others at `indent`; its scalars as they
    were written; a list under a key dashed as the file's lists before
    `at` are."""
    unit = " " * mapping_indent(text)
    dash = " " * _dash_step(text, at)
    lines = []

    def write(node: Any, depth: str, lead: str) -> None:
        pairs = (
            node.value if isinstance(node, Mapping) else [(None, v) for v in node.value]
        )
        for number, (key, item) in enumerate(pairs):
            head = lead if number == 0 else depth
            if key is not None:
                head += source[key.start_mark.index : key.end_mark.index] + ":"
            else:
                head += "- "
            if isinstance(item, Mapping | Sequence) and item.value:
                tag = tag_of(source, item) if item.tag else ""
                if key is None and not tag:
                    write(item, depth + "  ", head)
                    continue
                if tag:  # on a line of its own, above what it tags
                    head += (" " if key is not None else "") + tag
                lines.append(head)
                step = dash if isinstance(item, Sequence) else unit
                step = "  " if key is None else step
                write(item, depth + step, depth + step)
            else:
                written = source[item.start_mark.index : item.end_mark.index]
                data = scalar_data(item) if isinstance(item, Scalar) else None
                if isinstance(data, str) and not item.tag and not item.style:
                    # A plain string as any new one: quoted where a YAML 1.1
                    # reader takes it for something else (`on`, `1:30`).
                    written = write_string(data, "", text, None, False)
                elif isinstance(data, str) and not item.tag and "\n" in data:
                    below = depth + (unit if key is not None else "  ")
                    written = write_string(
                        data, "", text, None, False, _body(text, below)
                    )
                space = " " if key is not None and written else ""
                lines.append(head + space + written)

    write(node, indent, lead)
    return "\n".join(lines)


def _null(node: Any) -> bool:
    """Whether `node` is a scalar that reads as null: `key:`, `~`, `!!null`."""
    if not isinstance(node, Scalar) or node.tag not in ("", NULL_TAG):
        return False
    return node.tag == NULL_TAG or scalar_data(node) is None


def _past_own_comments(text: str, end: int, column: int) -> int:
    """The end of the comment lines that follow the line ending at `end`
    indented deeper than `column`, a member's dash or key, up to a blank
    line: they are that member's (`# the line above is commented out`), and
    what is added after it goes after them."""
    while True:
        start = texts.next_line(text, end)
        stop = texts.line_end(text, start)
        line = text[start:stop]
        content = line.lstrip(" \t")
        if start == stop or not content.startswith("#"):
            return end
        if len(line) - len(content) <= column:
            return end
        end = stop


def _keeping_comments(text: str, splice: Splice, member: int) -> Splice:
    """`splice`, which empties a block collection, with the comment lines
    before its one member, on the line at `member`, kept after it: deleting
    any other member keeps them, and they may be about the collection.  What
    follows is the member's, which goes (a block scalar's lines too)."""
    lines = text[splice.start : max(member, splice.start)].split("\n")[1:]
    kept = [line.rstrip("\r") for line in lines if line.lstrip(" \t").startswith("#")]
    if not kept:
        return splice
    end = texts.ending(text, splice.start)
    new = splice.text + "".join(end + line for line in kept)
    return Splice(splice.start, splice.end, new, splice.gap)
