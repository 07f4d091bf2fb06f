"""Many jobs at once: the batch functions of the package and the pieces that quiremark.dask shares.

Each job is an ordinary job (the compiled module runs it with the interpreter lock released), so
a pool of threads in one process runs as many jobs at a time as it has threads. A failed job
never stops the others: its exception is kept in its :class:`Result` instead of being raised.
Everything that can be refused is refused before the first job starts: an unknown option, a
value of the wrong type, two jobs that would write the same file, an output that would overwrite
an input.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import os
import time
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

from . import _job
from ._errors import Error

__all__ = ["Result", "stamp_many", "merge_many", "run_many", "iter_many"]


@dataclasses.dataclass(frozen=True)
class Result:
    """How one job of a batch ended.

    Attributes:
        background, foreground, output: the job's files, as given (the output as derived from
            ``out_dir`` by :func:`stamp_many` and :func:`merge_many`).
        ok: True when the output was written.
        error: the exception the job would have raised (an :class:`Error`, or an
            :class:`OSError` or :class:`ValueError` for a path that cannot be used), else None.
            It is kept, not raised.
        pages: the output's page count when the job succeeded, else 0.
        seconds: how long the job took.
    """

    background: Any
    foreground: Any
    output: Any
    ok: bool
    error: Optional[BaseException]
    pages: int
    seconds: float


# One job: background, foreground, output.
Triple = Tuple[Any, Any, Any]


def checked_options(function: str, options: Dict[str, Any]) -> Dict[str, Any]:
    """The options in the form the jobs take them, or TypeError / ValueError, as for one job."""
    unknown = [name for name in options if name not in _job.OPTIONS]
    if unknown:
        raise TypeError(f"{function}() got an unexpected keyword argument {unknown[0]!r}")
    for name, option in _job.OPTIONS.items():
        if name in options:
            option.check(name, options[name])
    return dict(options)


def output_name(background: Any) -> str:
    """The output's file name for a background: its own, with ".pdf" appended unless it ends in
    ".pdf" in any case (the rule of ``quiremark batch``)."""
    name = os.path.basename(os.fsdecode(os.fspath(background)))
    if name in ("", ".", ".."):
        raise ValueError(f"background {os.fsdecode(os.fspath(background))!r} names no file")
    return name if name.lower().endswith(".pdf") else name + ".pdf"


def _is_path(value: Any) -> bool:
    return isinstance(value, (str, bytes, os.PathLike))


def _check_path(function: str, role: str, value: Any) -> None:
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(
            f"{function}(): each {role} must be a path (str or os.PathLike), "
            f"not {type(value).__name__}"
        )


def _identity(path: Any) -> Tuple[Any, ...]:
    """What names a file: its resolved path, and its device and inode when it exists."""
    real = os.path.realpath(os.fspath(path))
    try:
        st = os.stat(path)
    except OSError:
        return (real, None)
    return (real, (st.st_dev, st.st_ino))


def check_conflicts(function: str, triples: Sequence[Triple]) -> None:
    """ValueError when two jobs would write the same file or an output is one of the inputs."""
    inputs: Dict[Any, Any] = {}
    for background, foreground, _ in triples:
        for value in (background, foreground):
            if _is_path(value):
                real, inode = _identity(value)
                inputs.setdefault(real, value)
                if inode is not None:
                    inputs.setdefault(inode, value)
    written: Dict[Any, Any] = {}
    for background, _, output in triples:
        real, inode = _identity(output)
        keys = [real] + ([inode] if inode is not None else [])
        for key in keys:
            if key in written:
                raise ValueError(
                    f"{function}(): {os.fsdecode(os.fspath(written[key]))} and "
                    f"{os.fsdecode(os.fspath(background))} would both write "
                    f"{os.fsdecode(os.fspath(output))}"
                )
            if key in inputs:
                raise ValueError(
                    f"{function}(): {os.fsdecode(os.fspath(output))} would overwrite the input "
                    f"{os.fsdecode(os.fspath(inputs[key]))}"
                )
        for key in keys:
            written[key] = background


def triples_for_dir(
    function: str, backgrounds: Iterable[Any], foreground: Any, out_dir: Any
) -> List[Triple]:
    """The jobs of stamp_many() and merge_many(): every background with the foreground, written
    to out_dir under its own name."""
    if isinstance(backgrounds, (str, bytes, os.PathLike)):
        raise TypeError(f"{function}(): backgrounds must be an iterable of paths, not one path")
    _check_path(function, "foreground", foreground)
    _check_path(function, "out_dir", out_dir)
    triples = []
    for background in backgrounds:
        _check_path(function, "background", background)
        triples.append((background, foreground, os.path.join(os.fspath(out_dir),
                                                             output_name(background))))
    return triples


def checked_triples(function: str, triples: Iterable[Triple]) -> List[Triple]:
    """The jobs of run_many() and iter_many() as a list, each a (background, foreground, output)
    triple of paths, or TypeError / ValueError."""
    jobs = []
    for triple in triples:
        try:
            background, foreground, output = triple
        except (TypeError, ValueError):
            raise TypeError(
                f"{function}(): each job must be a (background, foreground, output) triple, "
                f"not {triple!r}"
            ) from None
        for role, value in (("background", background), ("foreground", foreground),
                            ("output", output)):
            _check_path(function, role, value)
        jobs.append((background, foreground, output))
    return jobs


def default_jobs() -> int:
    """The processors this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def run_one(stamp: bool, triple: Triple, options: Dict[str, Any]) -> Result:
    """Runs one job of a batch and tells how it ended; never raises for a failed job."""
    background, foreground, output = triple
    start = time.perf_counter()
    try:
        _, pages = _job.execute("stamp" if stamp else "merge", stamp, background, foreground,
                                output, options, batch=True)
    except (Error, OSError, ValueError, TypeError, MemoryError) as exc:
        return Result(background, foreground, output, False, exc, 0,
                      time.perf_counter() - start)
    return Result(background, foreground, output, True, None, pages, time.perf_counter() - start)


def _jobs(function: str, jobs: Optional[int]) -> int:
    if jobs is None:
        return default_jobs()
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"{function}(): jobs must be an int or None, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"{function}(): jobs must be at least 1, got {jobs}")
    return jobs


def _prepare(function: str, triples: Iterable[Triple], jobs: Optional[int],
             options: Dict[str, Any]) -> Tuple[List[Triple], int, Dict[str, Any]]:
    checked = checked_options(function, options)
    threads = _jobs(function, jobs)
    work = checked_triples(function, triples)
    check_conflicts(function, work)
    return work, threads, checked


def _run_all(stamp: bool, work: List[Triple], threads: int,
             options: Dict[str, Any]) -> List[Result]:
    if not work:
        return []
    if threads == 1 or len(work) == 1:
        return [run_one(stamp, triple, options) for triple in work]
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(threads, len(work))) as pool:
        try:
            return list(pool.map(lambda triple: run_one(stamp, triple, options), work))
        except BaseException:
            # Interrupted (KeyboardInterrupt): no new job starts, the running ones finish.
            pool.shutdown(wait=True, cancel_futures=True)
            raise


def _many_in_dir(function: str, stamp: bool, backgrounds: Iterable[Any], foreground: Any,
                 out_dir: Any, jobs: Optional[int], options: Dict[str, Any]) -> List[Result]:
    checked = checked_options(function, options)
    threads = _jobs(function, jobs)
    work = triples_for_dir(function, backgrounds, foreground, out_dir)
    check_conflicts(function, work)
    os.makedirs(out_dir, exist_ok=True)
    return _run_all(stamp, work, threads, checked)


def stamp_many(backgrounds: Iterable[Any], foreground: Any, out_dir: Any, *,
               jobs: Optional[int] = None, **options: Any) -> List[Result]:
    """Stamps every background with the first page of ``foreground``, several at a time.

    Each output is written to ``out_dir`` under its background's file name (".pdf" appended when
    the name does not end in .pdf); ``out_dir`` is created when missing.

    Args:
        backgrounds: the PDFs to stamp, as paths.
        foreground: the stamp, a path.
        out_dir: the folder for the outputs.
        jobs: how many jobs run at a time; None for the processors this process may run on.
        options: the options of :func:`quiremark.stamp` (``underlay``, ``opacity``...).

    Returns:
        One :class:`Result` for each background, in their order. A failed job does not stop the
        others; its exception is in its result's ``error``.

    Raises:
        TypeError: an unknown option, or an argument of the wrong type, before any job starts.
        ValueError: a bad option value, two backgrounds with the same output name, or an output
            that would overwrite an input, before any job starts.
    """
    return _many_in_dir("stamp_many", True, backgrounds, foreground, out_dir, jobs, options)


def merge_many(backgrounds: Iterable[Any], foreground: Any, out_dir: Any, *,
               jobs: Optional[int] = None, **options: Any) -> List[Result]:
    """Merges ``foreground`` page by page with every background, several at a time.

    As :func:`stamp_many`, with the pages paired one to one as :func:`quiremark.merge` pairs them.
    """
    return _many_in_dir("merge_many", False, backgrounds, foreground, out_dir, jobs, options)


def run_many(triples: Iterable[Triple], *, stamp: bool, jobs: Optional[int] = None,
             **options: Any) -> List[Result]:
    """Runs one job for each (background, foreground, output) triple of paths, several at a time.

    Args:
        triples: the jobs.
        stamp: True to stamp (the foreground's first page on every background page), False to
            merge page by page.
        jobs: how many jobs run at a time; None for the processors this process may run on.
        options: the options of :func:`quiremark.stamp` and :func:`quiremark.merge`.

    Returns:
        One :class:`Result` for each triple, in their order.

    Raises:
        TypeError, ValueError: as for :func:`stamp_many`, before any job starts.
    """
    work, threads, checked = _prepare("run_many", triples, jobs, options)
    return _run_all(bool(stamp), work, threads, checked)


def iter_many(triples: Iterable[Triple], *, stamp: bool, jobs: Optional[int] = None,
              **options: Any) -> Iterator[Result]:
    """As :func:`run_many`, but yields each :class:`Result` as soon as its job has finished.

    The arguments are checked when iter_many() is called, before any job starts. Closing the
    iterator early (``break``) starts no further job and waits for the running ones.
    """
    work, threads, checked = _prepare("iter_many", triples, jobs, options)
    return _iterate(bool(stamp), work, threads, checked)


def _iterate(stamp: bool, work: List[Triple], threads: int,
             options: Dict[str, Any]) -> Iterator[Result]:
    if not work:
        return
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=min(threads, len(work)))
    try:
        futures = [pool.submit(run_one, stamp, triple, options) for triple in work]
        for future in concurrent.futures.as_completed(futures):
            yield future.result()
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
