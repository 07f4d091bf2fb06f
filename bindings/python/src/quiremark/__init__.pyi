# Type stubs of the quiremark package: the two job functions with their options, and the
# exceptions.
import os
from typing import IO, Iterable, Iterator, List, Optional, Protocol, Tuple, Union, overload

from ._errors import (
    EncryptedError as EncryptedError,
    Error as Error,
    InputError as InputError,
    LimitError as LimitError,
    NoPagesError as NoPagesError,
    OutOfMemoryError as OutOfMemoryError,
    OutputError as OutputError,
    PageTreeError as PageTreeError,
)

__version__: str
__all__: list[str]

class _Reader(Protocol):
    def read(self) -> Union[bytes, bytearray, memoryview]: ...

class _Writer(Protocol):
    def write(self, data: memoryview, /) -> Optional[int]: ...

_Path = Union[str, os.PathLike[str], os.PathLike[bytes]]
# An input: a path, the PDF's bytes, or a binary file object read to its end.
_Source = Union[_Path, bytes, bytearray, memoryview, IO[bytes], _Reader]
# The output: a path or a binary file object; None returns the PDF as bytes.
_Target = Union[_Path, IO[bytes], _Writer]

@overload
def merge(
    background: _Source,
    foreground: _Source,
    output: None,
    *,
    underlay: bool = False,
    opacity: Optional[float] = None,
    compact: bool = False,
    keep_interactive: bool = False,
) -> bytes: ...
@overload
def merge(
    background: _Source,
    foreground: _Source,
    output: _Target,
    *,
    underlay: bool = False,
    opacity: Optional[float] = None,
    compact: bool = False,
    keep_interactive: bool = False,
) -> None: ...
@overload
def stamp(
    background: _Source,
    foreground: _Source,
    output: None,
    *,
    underlay: bool = False,
    opacity: Optional[float] = None,
    compact: bool = False,
    keep_interactive: bool = False,
) -> bytes: ...
@overload
def stamp(
    background: _Source,
    foreground: _Source,
    output: _Target,
    *,
    underlay: bool = False,
    opacity: Optional[float] = None,
    compact: bool = False,
    keep_interactive: bool = False,
) -> None: ...

class Result:
    """How one job of a batch ended (see stamp_many)."""

    background: _Path
    foreground: _Path
    output: _Path
    ok: bool
    error: Optional[BaseException]
    pages: int
    seconds: float
    def __init__(
        self,
        background: _Path,
        foreground: _Path,
        output: _Path,
        ok: bool,
        error: Optional[BaseException],
        pages: int,
        seconds: float,
    ) -> None: ...

def stamp_many(
    backgrounds: Iterable[_Path],
    foreground: _Path,
    out_dir: _Path,
    *,
    jobs: Optional[int] = None,
    underlay: bool = False,
    opacity: Optional[float] = None,
    compact: bool = False,
    keep_interactive: bool = False,
) -> List[Result]: ...
def merge_many(
    backgrounds: Iterable[_Path],
    foreground: _Path,
    out_dir: _Path,
    *,
    jobs: Optional[int] = None,
    underlay: bool = False,
    opacity: Optional[float] = None,
    compact: bool = False,
    keep_interactive: bool = False,
) -> List[Result]: ...
def run_many(
    triples: Iterable[Tuple[_Path, _Path, _Path]],
    *,
    stamp: bool,
    jobs: Optional[int] = None,
    underlay: bool = False,
    opacity: Optional[float] = None,
    compact: bool = False,
    keep_interactive: bool = False,
) -> List[Result]: ...
def iter_many(
    triples: Iterable[Tuple[_Path, _Path, _Path]],
    *,
    stamp: bool,
    jobs: Optional[int] = None,
    underlay: bool = False,
    opacity: Optional[float] = None,
    compact: bool = False,
    keep_interactive: bool = False,
) -> Iterator[Result]: ...
