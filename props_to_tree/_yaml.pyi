from typing import final

from typing_extensions import disjoint_base

@final
class Mark:
    @property
    def index(self) -> int: ...
    @property
    def line(self) -> int: ...
    @property
    def column(self) -> int: ...

@disjoint_base
class Node:
    @property
    def tag(self) -> str: ...
    @property
    def start_mark(self) -> Mark: ...
    @property
    def end_mark(self) -> Mark: ...

@final
class ScalarNode(Node):
    @property
    def value(self) -> str: ...
    @property
    def style(self) -> str: ...

@final
class SequenceNode(Node):
    @property
    def value(self) -> list[Node]: ...
    @property
    def flow_style(self) -> bool | None: ...

@final
class MappingNode(Node):
    @property
    def value(self) -> list[tuple[Node, Node]]: ...
    @property
    def flow_style(self) -> bool | None: ...

class Error(ValueError):
    context: str | None
    context_mark: Mark | None
    problem: str | None
    problem_mark: Mark | None

_Event = tuple[
    str, int, int, str | None, str | None, str | None, str | None, bool, bool, bool
]

def compose_all(
    text: str, shift: int = ..., lines: int = ..., deepest: int = ..., /
) -> list[Node | None]: ...
def events(text: str, /) -> list[_Event]: ...
