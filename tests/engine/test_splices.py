"""Splices of a document's text: a trailing comment keeps its column, splices
that meet are told apart."""

import random

import pytest

from props_to_tree._engine import text as texts

GAP = ("#",)


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
    first = texts.Pending([texts.Splice(2, 5, "x")])
    assert first.meets([texts.Splice(4, 6, "y")])
    assert first.meets([texts.Splice(0, 3, "")])
    assert not first.meets([texts.Splice(5, 5, "z")])
    assert texts.Pending([texts.Splice(5, 5, "a")]).meets([texts.Splice(5, 5, "b")])
    assert texts.Pending([texts.Splice(0, 1, "a", gap=(1, 4))]).meets(
        [texts.Splice(3, 3, "b")]
    )  # the spaces before a comment are the splice's too


@pytest.mark.parametrize("seed", range(40))
def test_pending_splices_meet_as_comparing_every_pair_says(seed):
    # Bisection against the plain definition, on splices apart, touching,
    # empty at one place, and (now and then) meeting one another.
    rng = random.Random(seed)
    pending = texts.Pending()
    held: list[tuple[int, int]] = []
    for _ in range(60):
        start = rng.randrange(40)
        splice = texts.Splice(start, start + rng.choice((0, 0, 1, 2, 5)), "")
        span = (splice.start, splice.end)

        def meet(other, span=span):
            return (span[0] < other[1] and other[0] < span[1]) or (
                span[0] == span[1] == other[0] == other[1]
            )

        assert pending.meets([splice]) == any(meet(other) for other in held)
        if not any(meet(other) for other in held) or rng.random() < 0.1:
            pending.add([splice])
            held.append(span)
    assert sorted(held) == sorted((s.start, s.end) for s in pending)


# --- every edit against the format's own reader ----------------------------
