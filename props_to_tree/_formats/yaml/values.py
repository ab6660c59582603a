"""YAML's values: what a scalar reads as (by YAML 1.2's core schema, with
the timestamps that YAML 1.1 readers also take), how a value shows in a
listing, and how a string is written so that readers take it back."""

from __future__ import annotations

import datetime
import math
import re

from props_to_tree import _yaml
from props_to_tree._engine import text as texts
from props_to_tree._engine.document import Value
from props_to_tree._engine.errors import DocumentError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


# The nodes libyaml's events are composed into by the native module, an
# untagged node's tag "" (and "!"'s): its reading is left to the format.
Node = _yaml.Node
Mapping, Sequence, Scalar = _yaml.MappingNode, _yaml.SequenceNode, _yaml.ScalarNode
YamlError = _yaml.Error


def deepest() -> int:
    """How deep the format's walks of the nodes, which recurse, can go: a
    document nested deeper is refused as it is read."""
    import sys

    return max(sys.getrecursionlimit() // 2 - 50, 1)


# YAML 1.2's core schema, and timestamps, which YAML 1.1 readers also take.
_NULL = re.compile(r"~|null|Null|NULL|")


_BOOL = {"true": True, "True": True, "TRUE": True}


_BOOL |= {"false": False, "False": False, "FALSE": False}


_INT = re.compile(r"[-+]?[0-9]+|0o[0-7]+|0x[0-9a-fA-F]+")


_FLOAT = re.compile(r"[-+]?(?:\.[0-9]+|[0-9]+(?:\.[0-9]*)?)(?:[eE][-+]?[0-9]+)?")


_SPECIAL = {".inf": math.inf, "-.inf": -math.inf, "+.inf": math.inf, ".nan": math.nan}


# YAML 1.1's timestamp, as its readers (PyYAML, ruamel.yaml, Ansible) take
# it: a date, or a date and a time with a fraction and a zone.
_TIMESTAMP = (
    r"[0-9]{4}-[0-9]{2}-[0-9]{2}"
    r"|[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}(?:[Tt]|[ \t]+)[0-9]{1,2}:[0-9]{2}:[0-9]{2}"
    r"(?:\.[0-9]*)?(?:[ \t]*(?:Z|[-+][0-9]{1,2}(?::[0-9]{2})?))?"
)
_STAMP = re.compile(
    r"(?P<year>[0-9]{4})-(?P<month>[0-9]{1,2})-(?P<day>[0-9]{1,2})"
    r"(?:(?:[Tt]|[ \t]+)(?P<hour>[0-9]{1,2}):(?P<minute>[0-9]{2}):(?P<second>[0-9]{2})"
    r"(?:\.(?P<fraction>[0-9]*))?"
    r"(?:[ \t]*(?P<zone>Z|(?P<sign>[-+])(?P<zone_hour>[0-9]{1,2})"
    r"(?::(?P<zone_minute>[0-9]{2}))?))?)?"
)


# The patterns kept as text are compiled where first used (the re module
# keeps them): a listing needs none of them, and compiling takes a while.
# What a YAML 1.1 reader (Kubernetes, Ansible) takes for more than a string.
_YAML11 = (
    r"(?:y|Y|yes|Yes|YES|n|N|no|No|NO|on|On|ON|off|Off|OFF)"
    r"|[-+]?(?:0b[01_]+|0x[0-9a-fA-F_]+|0[0-7_]+|[0-9][0-9_]*(?::[0-5]?[0-9])+(?:\.[0-9_]*)?)"
    r"|[-+]?[0-9][0-9_]*(?:\.[0-9_]*)?(?:[eE][-+]?[0-9]+)?|[-+]?\.[0-9_]+"
    r"|=|<<"
    r"|" + _TIMESTAMP
)


# What can start a plain scalar: not an indicator, nor white space.
_INDICATORS = frozenset("-?:,[]{}#&*!|>'\"%@`")


def _plain(text: str, flow: bool = True) -> bool:
    """Whether `text` can be written as a plain scalar, its reading aside:
    it prints (no line break, control character, byte-order mark or lone
    surrogate), holds no ": " or " #" (nor, inside a flow collection, a flow
    indicator: `${{ x }}` is plain in a block; nor "?", which ends a plain
    scalar there to PyYAML), and neither starts with an indicator nor starts
    or ends with white space."""
    # "-x" is plain anywhere, "?x" and ":x" in a block: an indicator is one
    # only before a space.
    lead = text[:1] == "-" or (not flow and text[:1] in "?:")
    return (
        text != ""
        and text.isprintable()
        and (text[0] not in _INDICATORS or (lead and text[1:2] not in ("", " ")))
        and not text.startswith(("---", "..."))  # a document's marker
        and text[0] != " "
        and text[-1] not in (" ", ":")
        and not (flow and any(c in text for c in ",?[]{}"))
        and ": " not in text
        and " #" not in text
    )


def plain_value(text: str) -> Any:
    """What a plain scalar reads as."""
    if _NULL.fullmatch(text):
        return None
    if text in _BOOL:
        return _BOOL[text]
    if _INT.fullmatch(text):
        base = {"0o": 8, "0x": 16}.get(text[:2], 10)
        try:
            return int(text[2:] if base != 10 else text, base)
        except ValueError:  # more digits than sys.get_int_max_str_digits()
            import sys

            raise DocumentError(
                f"a number of {len(text):,} digits is more than Python reads "
                f"({sys.get_int_max_str_digits():,}; PYTHONINTMAXSTRDIGITS "
                "raises it)"
            ) from None
    if _FLOAT.fullmatch(text):
        return float(text)
    if text.lower() in _SPECIAL:
        return _SPECIAL[text.lower()]
    if text[4:5] == "-" and text[:1].isdigit():
        return _timestamp(text)
    return text


def _timestamp(text: str) -> Any:
    """The date, or date and time, of a plain scalar that has YAML 1.1's
    timestamp form and is a real one, its fraction cut to microseconds as
    PyYAML cuts it; else the text, a string."""
    found = _STAMP.fullmatch(text)
    if found is None or (found["hour"] is None and len(text) != 10):
        return text  # 2024-1-1, say: a date has two digits of month and day
    try:
        year, month, day = int(found["year"]), int(found["month"]), int(found["day"])
        if found["hour"] is None:
            return datetime.date(year, month, day)
        zone = None
        if found["sign"]:
            offset = datetime.timedelta(
                hours=int(found["zone_hour"]), minutes=int(found["zone_minute"] or 0)
            )
            zone = datetime.timezone(-offset if found["sign"] == "-" else offset)
        elif found["zone"]:
            zone = datetime.UTC
        fraction = int((found["fraction"] or "")[:6].ljust(6, "0"))
        return datetime.datetime(
            year,
            month,
            day,
            int(found["hour"]),
            int(found["minute"]),
            int(found["second"]),
            fraction,
            tzinfo=zone,
        )
    except ValueError:  # 2024-02-30, 25:00:00, an offset of a day or more
        return text


def show_str(text: str) -> str:
    # Plain where it reads back as this very string, else double-quoted.
    if _plain(text) and type(plain_value(text)) is str:
        return text
    return _quoted(text)


# What JSON leaves raw in a string and YAML may not hold so: DEL, C1 controls
# (U+0085 a line break among them), line and paragraph separators, lone
# surrogates and the two non-characters.
_UNPRINTABLE = "[\x7f-\x9f\u2028\u2029\ud800-\udfff\ufffe\uffff]"


def _quoted(text: str, escapes: bool = False) -> str:
    """A double-quoted scalar: JSON's string syntax is a subset of it, and
    what YAML would read otherwise is escaped."""
    import json  # loaded by the first: most changes need none

    written = json.dumps(text, ensure_ascii=escapes)
    if escapes:  # YAML writes a character beyond the BMP as one escape
        return texts.astral_escapes(written, "\\U%08x")
    return re.sub(_UNPRINTABLE, lambda m: f"\\u{ord(m[0]):04x}", written)


def _show_data(data: Any) -> str:
    if data is None:
        return "null"
    if isinstance(data, bool):
        return "true" if data else "false"
    if isinstance(data, int):
        return int.__repr__(data)
    if isinstance(data, float):
        if math.isnan(data):
            return ".nan"
        return (".inf" if data > 0 else "-.inf") if math.isinf(data) else repr(data)
    if isinstance(data, str):
        return show_str(data)
    return str(data.isoformat())


def flow_text(data: Any) -> str:
    """Python data as one YAML flow value; a string plain where every reader
    takes it for a string (`on` is quoted, for YAML 1.1's)."""
    if isinstance(data, list):
        return "[" + ", ".join(map(flow_text, data)) + "]"
    if isinstance(data, dict):
        pairs = (f"{flow_text(key)}: {flow_text(value)}" for key, value in data.items())
        return "{" + ", ".join(pairs) + "}"
    if isinstance(data, str):
        return write_string(data, "", "", None)
    return _show_data(data)


def core_data(node: Any) -> Any:
    """What a scalar reads as by the core schema, its tag aside but for the
    standard tags of scalars, which say how to read it."""
    text = node.value
    standard = node.tag.startswith("tag:yaml.org,2002:") if node.tag else False
    if standard and node.tag != STR_TAG:
        found = plain_value(text)
        kind = node.tag.rpartition(":")[2]
        wanted: dict[str, Any] = {"int": int, "float": (int, float), "bool": bool}
        wanted["null"], wanted["timestamp"] = type(None), datetime.date
        if isinstance(found, wanted.get(kind, ())) and (
            kind == "bool" or not isinstance(found, bool)
        ):
            return float(found) if kind == "float" else found
        return text
    if node.style not in ("", None) or standard or node.tag == "!":
        return text
    return plain_value(text)


def scalar_data(node: Any) -> Any:
    """What a scalar node reads as, its tag aside."""
    return plain_value(node.value) if node.style in ("", None) else node.value


# A node's anchor and tag; a verbatim tag (!<...>) may hold commas.
PROPERTIES = r"(?:(?:!<[^>\s]*>|[&!][^\s,\[\]{}]*)\s+)*"


_TAG = r"(?:&\S+\s+)?(!<[^>\s]*>|![^\s,\[\]{}]*)"


def is_empty(node: Any) -> bool:
    return (
        isinstance(node, Scalar)
        and not node.tag
        and node.style in ("", None)
        and not node.value
        and node.start_mark.index == node.end_mark.index
    )


def place_of(error: Exception, text: str) -> tuple[int, int] | None:
    """The line and column, from 1, that libyaml's `error` is at."""
    mark = getattr(error, "problem_mark", None)
    if mark is not None:
        return mark.line + 1, mark.column + 1
    at = getattr(error, "position", None)  # a character the reader refuses
    if not isinstance(at, int):
        return None
    # libyaml counts the bytes of the UTF-8 it reads there.
    at = len(text.encode("utf-8", "surrogatepass")[:at].decode("utf-8", "ignore"))
    return text.count("\n", 0, at) + 1, at - text.rfind("\n", 0, at)


def problem_of(error: Exception, text: str = "") -> str:
    problem = getattr(error, "problem", None)
    mark = getattr(error, "problem_mark", None)
    reason, place = getattr(error, "reason", None), place_of(error, text)
    if mark is None and reason is not None and place is not None:
        character = getattr(error, "character", None)  # libyaml's: a number
        if isinstance(character, int):
            character = chr(character)
        shown = f"{character!a} " if isinstance(character, str) else ""
        line, column = place
        return f"{shown}is refused: {reason} (line {line}, column {column})"
    if problem is None or mark is None:
        return " ".join(str(error).split())
    context = getattr(error, "context", None)
    said = f"{context} {problem}" if context else problem
    if problem == "found undefined alias":  # libyaml does not say which
        alias = re.compile(r"\*[^\s,\[\]{}]+").match(text, mark.index)
        said = f"the alias {alias[0] if alias else ''} has no anchor"
    first = getattr(error, "context_mark", None)
    if problem == "second occurrence" and first is not None:  # nor which here
        anchor = re.compile(r"&[^\s,\[\]{}]+").match(text, mark.index)
        name = anchor[0] if anchor else "an anchor"
        said = (
            f"the anchor {name} is there twice, first at line {first.line + 1}, "
            f"column {first.column + 1}"
        )
    return f"{said} (line {mark.line + 1}, column {mark.column + 1})"


def merged_mappings(node: Any) -> list[Any]:
    """The mappings that a mapping merges (`<<: *base`), nearest first."""
    found: list[Any] = []
    for key, value in node.value:
        if is_merge(key):
            found += value.value if isinstance(value, Sequence) else [value]
    return [m for m in found if isinstance(m, Mapping)]


def node_key(text: str, node: Any) -> str:
    """A key as its path component: a string as it is, a plain number or
    boolean as written (`0x10`, `yes`), others as shown."""
    if isinstance(node, Scalar) and (not node.tag or node.tag == STR_TAG):
        return str(node.value) or ("" if node.style else "null")  # "? : x"
    return show_node(text, node)


def show_node(text: str, node: Any, written: bool = False) -> str:
    """A node as one line of YAML flow syntax; where `written`, as a listing
    shows it, its plain numbers and dates as written (`0x1F`, `1.10`), else
    as what they read as, so that equal values show alike."""
    if isinstance(node, Mapping):
        pairs = (
            f"{show_node(text, k, written)}: {show_node(text, v, written)}"
            for k, v in node.value
        )
        shown = "{" + ", ".join(pairs) + "}"
    elif isinstance(node, Sequence):
        shown = "[" + ", ".join(show_node(text, v, written) for v in node.value) + "]"
    elif node.tag:  # the tag says what it is: plain wherever it can be
        value = node.value
        shown = value if _plain(value) else _quoted(value)
        return f"{tag_of(text, node)} {shown}"
    else:
        data = scalar_data(node)
        if written and node.style in ("", None) and _written(data):
            return str(node.value)
        return _show_data(data)
    return f"{tag_of(text, node)} {shown}" if node.tag else shown


def _written(data: Any) -> bool:
    """Whether a plain scalar that reads as `data` lists as it is written."""
    return isinstance(data, int | float | datetime.date) and not isinstance(data, bool)


def tag_of(text: str, node: Any) -> str:
    """A node's tag as written."""
    found = re.compile(_TAG).match(text, node.start_mark.index)
    return found.group(1) if found else f"!<{node.tag}>"


def is_merge(key: Any) -> bool:
    return isinstance(key, Scalar) and key.value == "<<" and not key.style


def write_string(
    data: str,
    style: str,
    text: str,
    old: Any,
    flow: bool = True,
    body: str | None = None,
) -> str:
    """A string in `style` (the old value's), where that style can hold it,
    else double-quoted; `flow` if it stands in a flow collection.  A plain
    string that a YAML 1.1 reader takes for something else is quoted too.
    A new string of several lines, where `body` says the indentation of
    its lines in a block, is a literal block scalar where one can hold it
    (a person's `run: |`)."""
    if body is not None and "\n" in data and not flow and not style:
        style = "|"
    if style in ("|", ">") and _blockable(data):
        body = _content_indent(text, old) if body is None else body
        chomp = "-" if not data.endswith("\n") else "+" if data.endswith("\n\n") else ""
        lines = (data[:-1] if data.endswith("\n") else data).split("\n")
        if style == ">" and len(lines) > 1:
            style = "|"  # folding would join the lines
        return (
            style
            + chomp
            + "".join("\n" + (body + line if line else "") for line in lines)
        )
    if style == "'" and "\n" not in data and data.isprintable():
        return "'" + data.replace("'", "''") + "'"
    plain = _plain(data, flow) and type(plain_value(data)) is str
    if not style and plain and not re.compile(_YAML11).fullmatch(data):
        return data
    escapes = (
        old is not None and "\\u" in text[old.start_mark.index : old.end_mark.index]
    )
    return _quoted(data, escapes)


def _blockable(data: str) -> bool:
    """Whether a block scalar can hold `data`: text that prints, in lines,
    not starting with white space."""
    return (
        bool(data.strip())
        and not data[0].isspace()
        and all(line.replace("\t", " ").isprintable() for line in data.split("\n"))
    )


# What a YAML reader takes for a line break, and folds in a scalar.
_BREAKS = "[\r\n\x85\u2028\u2029]"


STR_TAG = "tag:yaml.org,2002:str"
NULL_TAG = "tag:yaml.org,2002:null"


# What a scalar tagged with a standard tag is, for the warning of a change.
TAGGED_KINDS = {
    f"tag:yaml.org,2002:{tag}": kind
    for tag, kind in (
        ("str", "a string"),
        ("int", "a number"),
        ("float", "a number"),
        ("bool", "a boolean"),
        ("timestamp", "a date"),
    )
}


# A tag among a node's properties, with the space after it.
TAG_TOKEN = r"(?:!<[^>\s]*>|![^\s,\[\]{}]*)(?:\s+|$)"


def one_value(text: str, directives: str = "") -> Any:
    """The node of `text` where it is exactly one YAML flow value: nothing
    around it (a comment, a document marker or directive), no
    anchor or alias, no block collection or block scalar, and no line break
    folded inside a scalar.  None for any other text, which is a string.
    `directives` are the document's %TAG lines, for the handles it uses."""
    lead = f"{directives}---\n" if directives else ""
    source = lead + text
    try:
        events = _yaml.events(source)
        # Marks in the VALUE's own text, past the directives.
        documents = _yaml.compose_all(source, len(lead), lead.count("\n"), deepest())
    except YamlError:
        return None
    # (kind, start, end, anchor, tag, value, style, flag, version, tags)
    content = events[2:-2]
    if len(events) < 5 or events[1][0] != "document_start" or len(documents) != 1:
        return None
    if (events[1][7] and not lead) or events[-2][7] or events[1][8]:
        return None
    if (
        (events[1][9] and not lead)
        or content[0][1] != len(lead)
        or content[-1][2] != len(source)
    ):
        return None
    if content[0][0] in ("sequence_start", "mapping_start") and not content[0][7]:
        return None
    for kind, start, end, anchor, tag, value, style, *_ in content:
        if kind == "alias" or anchor:
            return None
        if kind in ("document_start", "document_end"):
            return None
        if kind == "scalar" and (
            style in ("|", ">")
            or re.search(_BREAKS, source[start:end])
            or (tag and not value and not style)  # "!" alone
        ):
            return None
    return documents[0]


# A tag through a named handle of a %TAG directive (`!e!thing`), where a
# token starts, and the directives that declare them.
HANDLE = r"(?:^|(?<=[\s\[{,]))(![0-9A-Za-z-]+!)(?=\S)"
_DIRECTIVE = r"^%TAG[ \t]+(![0-9A-Za-z-]*!)[ \t]+\S+[^\n]*$"


def declared_handles(text: str) -> dict[str, str]:
    """The named tag handles a document's %TAG lines declare, and those
    lines; the first of each, in a stream of several."""
    found: dict[str, str] = {}
    if "%TAG" in text:
        for line in re.finditer(_DIRECTIVE, text, re.MULTILINE):
            found.setdefault(line[1], line[0].rstrip("\r") + "\n")
    return found


def readable(text: str, node: Any, directives: str = "") -> bool:
    """Whether readers can make what the standard tags in a VALUE say of
    it (`!!int abc` they cannot).  Other tags are the reader's own affair."""
    tags, todo = set(), [node]
    while todo:
        each = todo.pop()
        tags.add(each.tag)
        if isinstance(each, Mapping):
            todo += [part for pair in each.value for part in pair]
        elif isinstance(each, Sequence):
            todo += each.value
    tags.discard("")
    if not tags or not all(tag.startswith("tag:yaml.org,2002:") for tag in tags):
        return True
    source = f"{directives}---\n{text}" if directives else text
    # PyYAML's constructors are the readers' rules for the standard tags:
    # loaded for the few values that carry one.
    try:
        import yaml as pyyaml
    except ImportError:
        from props_to_tree._engine.errors import MissingLibrary

        raise MissingLibrary(
            "a value of a standard tag (!!int, !!binary, ...) is checked by "
            "PyYAML: pip install PyYAML"
        ) from None

    try:
        pyyaml.load(source, Loader=getattr(pyyaml, "CSafeLoader", pyyaml.SafeLoader))
    except Exception:  # whatever the reader objects to
        return False
    return True


def collection_of(node: Any) -> str:
    if isinstance(node, Mapping):
        return "a table"
    return "a list" if isinstance(node, Sequence) else ""


def is_tagged(value: Value) -> bool:
    """Whether a VALUE was given with a tag of its own."""
    return isinstance(value.data, Node) and bool(value.data.tag)


def _content_indent(text: str, old: Any) -> str:
    """The indentation of a block scalar's first line of text."""
    first = texts.line_end(text, old.start_mark.index) + 1
    for line in text[first : old.end_mark.index].split("\n"):
        if line.strip():
            return line[: len(line) - len(line.lstrip(" "))]
    return "  "
