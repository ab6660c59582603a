"""Colour for a terminal: the listing's paths, " = " and values (each kind of
value its own), the FILE: prefix, and a diff's lines as `git diff` colours
them.  Taking the escape sequences out gives the plain text back."""

from __future__ import annotations

import re

RESET = "\x1b[m"
PATH = "\x1b[34m"
EQUALS = "\x1b[2m"
FILE = "\x1b[35m"
KINDS = {
    "string": "\x1b[32m",
    "number": "\x1b[36m",
    "keyword": "\x1b[33m",  # booleans and null
    "date": "\x1b[95m",
    "empty": "\x1b[90m",  # an empty list or table
}
DIFF = {"-": "\x1b[31m", "+": "\x1b[32m", "@": "\x1b[36m"}
HEADER = "\x1b[1m"

_NUMBER = re.compile(
    r"[-+]?(?:0[xob][0-9a-fA-F_]+|[0-9][0-9_]*(?:\.[0-9_]*)?(?:[eE][-+]?[0-9]+)?"
    r"|\.[0-9]+|inf|nan|\.(?:inf|Inf|INF)|Infinity)|NaN|nan|\.(?:nan|NaN|NAN)"
)
# TOML's dates and times, and YAML 1.1's timestamps: a space before the
# time or the offset, one-digit months, days and hours, an offset in hours.
_DATE = re.compile(
    r"[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}(?:(?:[Tt]|[ \t]+)[0-9]{1,2}:[0-9]{2}"
    r"(?::[0-9]{2}(?:\.[0-9]*)?)?(?:[ \t]*(?:[Zz]|[-+][0-9]{1,2}(?::?[0-9]{2})?))?)?"
    r"|[0-9]{2}:[0-9]{2}:[0-9]{2}(?:\.[0-9]+)?"
)


def kind(shown: str) -> str:
    """What kind of value a listing's value text is."""
    if shown in ("[]", "{}"):
        return "empty"
    if shown in ("true", "false", "null"):
        return "keyword"
    if shown[:1] in ('"', "'"):
        return "string"
    if _NUMBER.fullmatch(shown):
        return "number"
    if _DATE.fullmatch(shown):
        return "date"
    return "string"  # a YAML string written plain, or tagged


def value(shown: str) -> str:
    return f"{KINDS[kind(shown)]}{shown}{RESET}"


def string(text: str) -> str:
    """A string's text, each of its lines coloured: a FILE: prefix may come
    before each."""
    colour = KINDS["string"]
    return "\n".join(
        f"{colour}{line}{RESET}" if line else "" for line in text.split("\n")
    )


def path(shown: str) -> str:
    return f"{PATH}{shown}{RESET}"


def equals(separator: str) -> str:
    return f"{EQUALS}{separator}{RESET}"


def prefix(file: str) -> str:
    return f"{FILE}{file}:{RESET}"


def diff(text: str) -> str:
    """A file's unified diff in git's colours: its two header lines bold, a
    removed line red, an added one green, a hunk's header cyan."""
    lines = text.split("\n")
    out = [f"{HEADER}{line}{RESET}" for line in lines[:2]]
    for line in lines[2:]:
        colour = DIFF.get(line[:1])
        out.append(f"{colour}{line}{RESET}" if colour and line else line)
    return "\n".join(out)
