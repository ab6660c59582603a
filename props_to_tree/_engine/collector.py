"""Python's cyclic garbage collector paused around the work that makes a
document's many objects (its nodes, its data), all of which live on: each
collection the work set off would walk them all again, and a large
document's reading took five times as long in a program that leaves the
collector on."""

from __future__ import annotations

import gc

TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import TracebackType


class paused:  # used as a function is: `with paused():`
    """The collector off for the block, then on again if it was on; a
    block within another leaves it to the outer one."""

    __slots__ = ("_was",)

    def __enter__(self) -> None:
        self._was = gc.isenabled()
        gc.disable()

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if self._was:
            gc.enable()
