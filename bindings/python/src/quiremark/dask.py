"""Many jobs on a Dask cluster: the batch functions of the package, run by ``dask.distributed``.

Import it as ``quiremark.dask`` (``import quiremark`` alone never imports Dask)::

    from dask.distributed import Client
    import quiremark.dask

    client = Client("tcp://scheduler:8786")          # or Client() for a cluster on this machine
    results = quiremark.dask.stamp_many(client, backgrounds, "draft.pdf", "out/")

Every worker needs this package installed (the same version as the client). With
``transfer="paths"`` (the default) the workers open the inputs and write the outputs themselves,
so they must see the files under the same paths as the client: a shared file system. With
``transfer="bytes"`` the client reads every PDF and sends it to a worker, and writes the output
that comes back: the workers need no access to the files.

A job takes about a millisecond for a small file while a Dask task costs about two of scheduling,
so small files go to the workers in groups, each task doing at least about 5 ms of work (estimated
from the files' sizes). The jobs of a task run one after another on one worker thread; tasks run
on all of the cluster's threads at once.
"""

from __future__ import annotations

import dataclasses
import io
import os
import time
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from dask.distributed import as_completed

from . import _batch, _job
from ._batch import Result

__all__ = ["Result", "stamp_many", "merge_many", "run_many"]

# The estimated work of one job: a fixed part, and a part that grows with the bytes it reads.
# Measured on small and large files (bench/README.md); only the grouping depends on them.
_JOB_MS = 0.3
_MS_PER_MB = 4.0
# The work gathered into one task, and the size assumed for a file that the client cannot see.
_TASK_MS = 8.0
_UNKNOWN_SIZE = 100_000
# Tasks in flight for each worker thread: enough to keep every thread busy, few enough that
# transfer="bytes" holds only a bounded part of the batch in memory.
_TASKS_PER_THREAD = 4

_TRANSFERS = ("paths", "bytes")


def _size(path: Any) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return _UNKNOWN_SIZE


def group_jobs(work: Sequence[_batch.Triple], task_ms: float = _TASK_MS) -> List[List[int]]:
    """The jobs (by index, in order) that each task runs: consecutive jobs gathered until their
    estimated work reaches task_ms."""
    sizes: Dict[Any, int] = {}
    groups: List[List[int]] = []
    current: List[int] = []
    estimate = 0.0
    for index, (background, foreground, _) in enumerate(work):
        read = 0
        for path in (background, foreground):
            key = os.fspath(path)
            if key not in sizes:
                sizes[key] = _size(path)
            read += sizes[key]
        current.append(index)
        estimate += _JOB_MS + _MS_PER_MB * read / 1e6
        if estimate >= task_ms:
            groups.append(current)
            current, estimate = [], 0.0
    if current:
        groups.append(current)
    return groups


# The tasks, run on the workers. They are plain module functions so that the workers find them
# by name in their own copy of the package.


def _task_paths(stamp: bool, jobs: List[_batch.Triple], options: Dict[str, Any]) -> List[Result]:
    return [_batch.run_one(stamp, triple, options) for triple in jobs]


def _task_bytes(
    stamp: bool, jobs: List[Tuple[Tuple[str, str], bytes, int]], foregrounds: List[bytes],
    options: Dict[str, Any]
) -> List[Tuple[bool, Optional[BaseException], int, float, Optional[bytes]]]:
    """Jobs on PDFs in memory: each job's (background's path, foreground's path) for messages,
    the background PDF and the foreground's index gives back (ok, error, pages, seconds, the
    output PDF)."""
    out = []
    for name, background, fg_key in jobs:
        start = time.perf_counter()
        try:
            data, pages = _job.execute("stamp" if stamp else "merge", stamp,
                                       _named(background, name[0]),
                                       _named(foregrounds[fg_key], name[1]), None, options,
                                       batch=True)
        except (_batch.Error, OSError, ValueError, TypeError, MemoryError) as exc:
            out.append((False, exc, 0, time.perf_counter() - start, None))
        else:
            out.append((True, None, pages, time.perf_counter() - start, data))
    return out


def _named(data: bytes, name: str) -> io.BytesIO:
    """A PDF in memory that messages call by its path, as if the job had opened it."""
    f = io.BytesIO(data)
    f.name = name
    return f


def _with_paths(error: Optional[BaseException], background: Any, foreground: Any) -> Any:
    """A failed job's exception, with the path of the input it names (the worker only knew the
    input's bytes)."""
    role = getattr(error, "role", None)
    if isinstance(error, _batch.Error) and role in ("background", "foreground") and not error.path:
        error.path = os.fsdecode(os.fspath(background if role == "background" else foreground))
        if isinstance(error, OSError):
            error.filename = error.path
    return error


def _write_file(path: Any, data: bytes) -> None:
    """Writes the output through a temporary file in its folder, renamed over it once complete."""
    path = os.fspath(path)
    folder = os.path.dirname(path) or "."
    tmp = os.path.join(folder, f".{os.path.basename(path)}.{os.getpid()}.{id(data):x}.tmp")
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _threads(client: Any) -> int:
    try:
        return max(1, sum(client.nthreads().values()))
    except Exception:  # a client that cannot say: assume a small cluster
        return 4


def _run(client: Any, function: str, stamp: bool, work: List[_batch.Triple], transfer: str,
         options: Dict[str, Any]) -> List[Result]:
    if transfer not in _TRANSFERS:
        raise ValueError(f"{function}(): transfer must be 'paths' or 'bytes', not {transfer!r}")
    results: List[Optional[Result]] = [None] * len(work)
    if not work:
        return []
    groups = group_jobs(work)
    window = _TASKS_PER_THREAD * _threads(client)

    # transfer="bytes": each foreground is read once and sent once to every worker. Tasks name
    # them by their place in the list (a string argument that equals a Dask key would be taken
    # for that key's data).
    foreground_index: Dict[str, int] = {}
    foregrounds: Any = []
    if transfer == "bytes":
        for _, foreground, _ in work:
            key = os.fspath(foreground)
            if key not in foreground_index:
                try:
                    with open(foreground, "rb") as f:
                        foregrounds.append(f.read())
                    foreground_index[key] = len(foregrounds) - 1
                except OSError:
                    foreground_index[key] = -1  # its jobs fail here, as the job itself fails
        foregrounds = client.scatter(foregrounds, broadcast=True)

    def submit(group: List[int]) -> Any:
        """The task for a group of jobs, or None when no job of the group is left for one."""
        if transfer == "paths":
            jobs = [tuple(os.path.abspath(p) for p in work[k]) for k in group]
            future = client.submit(_task_paths, stamp, jobs, options, pure=False)
            future.group = group
            return future
        jobs, sent = [], []
        for k in group:
            try:
                if foreground_index[os.fspath(work[k][1])] < 0:
                    raise OSError("foreground not readable")
                with open(work[k][0], "rb") as f:
                    data = f.read()
            except OSError:
                # An input the client cannot read: the job fails here, as it fails anywhere.
                results[k] = _batch.run_one(stamp, work[k], options)
                continue
            names = (os.fsdecode(os.fspath(work[k][0])), os.fsdecode(os.fspath(work[k][1])))
            jobs.append((names, data, foreground_index[os.fspath(work[k][1])]))
            sent.append(k)
        if not jobs:
            return None
        future = client.submit(_task_bytes, stamp, jobs, foregrounds, options, pure=False)
        future.group = sent
        return future

    def fail_group(group: List[int], exc: BaseException) -> None:
        for k in group:
            background, foreground, output = work[k]
            results[k] = Result(background, foreground, output, False, exc, 0, 0.0)

    pending = iter(groups)
    running = as_completed()

    def submit_next() -> None:
        for group in pending:
            future = submit(group)
            if future is not None:
                running.add(future)
                return

    try:
        for _ in range(window):
            submit_next()
        for future in running:
            group = future.group
            try:
                answers = future.result()
            except Exception as exc:  # the task itself failed: a worker died, a lost connection
                fail_group(group, exc)
            else:
                for k, answer in zip(group, answers):
                    background, foreground, output = work[k]
                    if transfer == "paths":
                        results[k] = dataclasses.replace(answer, background=background,
                                                         foreground=foreground, output=output)
                        continue
                    ok, error, pages, seconds, data = answer
                    error = _with_paths(error, background, foreground)
                    if ok:
                        try:
                            _write_file(output, data)
                        except OSError as exc:
                            ok, error, pages = False, exc, 0
                    results[k] = Result(background, foreground, output, ok, error, pages, seconds)
            submit_next()
    except BaseException:
        # Interrupted: the tasks not yet finished are cancelled.
        client.cancel(list(running.futures))
        raise
    return [r for r in results if r is not None]


def _prepare_dir(function: str, backgrounds: Iterable[Any], foreground: Any, out_dir: Any,
                 options: Dict[str, Any]) -> Tuple[List[_batch.Triple], Dict[str, Any]]:
    checked = _batch.checked_options(function, options)
    work = _batch.triples_for_dir(function, backgrounds, foreground, out_dir)
    _batch.check_conflicts(function, work)
    os.makedirs(out_dir, exist_ok=True)
    return work, checked


def stamp_many(client: Any, backgrounds: Iterable[Any], foreground: Any, out_dir: Any, *,
               transfer: str = "paths", **options: Any) -> List[Result]:
    """:func:`quiremark.stamp_many` on the cluster behind ``client`` (a
    ``dask.distributed.Client``): one :class:`Result` for each background, in their order.

    transfer: "paths" when the workers share the file system with the client (they read and
    write the files), "bytes" to send the PDFs to the workers and write the outputs here.
    """
    if transfer not in _TRANSFERS:
        raise ValueError(f"stamp_many(): transfer must be 'paths' or 'bytes', not {transfer!r}")
    work, checked = _prepare_dir("stamp_many", backgrounds, foreground, out_dir, options)
    return _run(client, "stamp_many", True, work, transfer, checked)


def merge_many(client: Any, backgrounds: Iterable[Any], foreground: Any, out_dir: Any, *,
               transfer: str = "paths", **options: Any) -> List[Result]:
    """:func:`quiremark.merge_many` on the cluster behind ``client``; as :func:`stamp_many`."""
    if transfer not in _TRANSFERS:
        raise ValueError(f"merge_many(): transfer must be 'paths' or 'bytes', not {transfer!r}")
    work, checked = _prepare_dir("merge_many", backgrounds, foreground, out_dir, options)
    return _run(client, "merge_many", False, work, transfer, checked)


def run_many(client: Any, triples: Iterable[_batch.Triple], *, stamp: bool,
             transfer: str = "paths", **options: Any) -> List[Result]:
    """:func:`quiremark.run_many` on the cluster behind ``client``; as :func:`stamp_many`."""
    if transfer not in _TRANSFERS:
        raise ValueError(f"run_many(): transfer must be 'paths' or 'bytes', not {transfer!r}")
    checked = _batch.checked_options("run_many", options)
    work = _batch.checked_triples("run_many", triples)
    _batch.check_conflicts("run_many", work)
    return _run(client, "run_many", bool(stamp), work, transfer, checked)
