from collections.abc import Callable, Iterator
from typing import Any, Final, final

# How a format spells its values: Chunks's `spelling`.
JSON: Final[int]
TOML: Final[int]

@final
class Chunks(Iterator[str]):
    def __new__(
        cls,
        tree: object,
        show: Callable[[Any], str],
        key_text: Callable[[str], str],
        keys: dict[str, str],
        spelling: int,
        size: int,
        /,
    ) -> Chunks: ...
    def __next__(self) -> str: ...

@final
class JsonChunks(Iterator[bytes]):
    def __next__(self) -> bytes: ...

def json_chunks(
    data: bytes,
    key_text: Callable[[str], str],
    keys: dict[str, str],
    size: int,
    held: int = ...,
    /,
) -> JsonChunks | None: ...
def yaml_chunks(
    data: bytes,
    key_text: Callable[[str], str],
    keys: dict[str, str],
    held: int = ...,
    /,
) -> JsonChunks | None: ...
def toml_chunks(
    data: bytes,
    key_text: Callable[[str], str],
    keys: dict[str, str],
    held: int = ...,
    /,
) -> JsonChunks | None: ...
def toml_tree(
    text: str,
    parse_float: Callable[[str], Any],
    written: Callable[[str, Any], Any] | None = ...,
    /,
) -> dict[str, Any] | None: ...
def read(fd: int, count: int, /) -> bytes: ...
