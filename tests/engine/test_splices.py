"""Splices of a document's text: a trailing comment keeps its column, splices
that meet are told apart."""

import pytest

from props_to_tree._engine import text as texts

GAP = texts.re.compile(r"(?P<gap>[ \t]+)#")


@pytest.mark.parametrize(
    ("line", "start", "end", "new", "after"),
    [
        ("a = 1    # c", 4, 5, "100", "a = 100  # c"),  # the comment keeps its column
        ("a = 1  # c", 4, 5, "10000", "a = 10000 # c"),  # one space at least
        ("a = 100  # c", 4, 7, "1", "a = 1    # c"),
        ("a = 1\t# c", 4, 5, "100", "a = 100\t# c"),  # tabs are left as they are
        ("a = 1    # c", 4, 5, "[\n1]", "a = [\n1]    # c"),
    ],
)
def test_a_splice_keeps_the_column_of_a_trailing_comment(line, start, end, new, after):
    gap = texts.comment_gap(line, end, GAP)
    assert texts.apply(line, [texts.Splice(start, end, new, gap)]) == after


def test_splices_that_meet_are_told_apart():
    first = [texts.Splice(2, 5, "x")]
    assert texts.overlap(first, [texts.Splice(4, 6, "y")])
    assert texts.overlap(first, [texts.Splice(0, 3, "")])
    assert not texts.overlap(first, [texts.Splice(5, 5, "z")])
    assert texts.overlap([texts.Splice(5, 5, "a")], [texts.Splice(5, 5, "b")])


# --- every edit against the format's own reader ----------------------------
