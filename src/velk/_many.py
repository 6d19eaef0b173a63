"""Asking the same question of many dumps, in worker processes."""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import os
from typing import Callable, Iterable, Iterator, Optional, TypeVar, Union

from velk._core import PyTrace
from velk._open import open as open_dump

T = TypeVar("T")
PathArg = Union[str, "os.PathLike[str]"]


def _apply(path: str, fn: Callable[[PyTrace], T]) -> Union[T, BaseException]:
    """Runs in a worker: opens one dump and applies fn; a failure is the result."""
    try:
        return fn(open_dump(path))
    except Exception as error:  # reported per dump, never for the whole run
        return error


def _quiet_worker() -> None:
    # Each worker process handles one dump at a time; one search thread per
    # process keeps the machine from being oversubscribed. Results do not
    # depend on the thread count.
    os.environ.setdefault("RAYON_NUM_THREADS", "1")


def default_executor(jobs: int) -> cf.ProcessPoolExecutor:
    """A process pool of `jobs` workers started fresh (not forked), so that no
    thread of the parent process is missing in a worker."""
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    return cf.ProcessPoolExecutor(max_workers=jobs, mp_context=context, initializer=_quiet_worker)


def map_dumps(paths: Iterable[PathArg], fn: Callable[[PyTrace], T],
              executor: Optional[cf.Executor] = None) -> Iterator[tuple[str, Union[T, BaseException]]]:
    """Opens each dump with velk.open, applies fn(trace) in worker processes,
    and yields (path, result) as each finishes.

    The result is the exception for a dump that could not be read or whose fn
    raised: one broken dump does not stop the others. fn and its results
    cross process boundaries, so fn must be picklable (a module-level function
    or a functools.partial of one) and return picklable values (not a
    PyTrace). `executor` takes any concurrent.futures.Executor, such as a Dask
    cluster's Client.get_executor(); by default a process pool with one
    worker per CPU is created and shut down again.

    >>> for path, count in velk.map_dumps(paths, count_errors):
    ...     print(path, count)
    """
    names = [os.fsdecode(os.fspath(p)) for p in paths]
    if not names:
        return
    own = executor is None
    pool = default_executor(min(len(names), os.cpu_count() or 1)) if executor is None else executor
    try:
        futures = {pool.submit(_apply, name, fn): name for name in names}
        for future in cf.as_completed(futures):
            try:
                result = future.result()
            except Exception as error:  # the worker or the transport failed
                result = error
            yield futures[future], result
    finally:
        if own:
            pool.shutdown(wait=True, cancel_futures=True)
