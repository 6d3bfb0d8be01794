"""The work of a command over many files, spread over several processors.

Results come back in the order of the files, whatever order the workers end
in, so that output, messages and exit status are those of a run on one
processor. Each worker is a forked process: reading, walking and reporting a
file are Python work that holds the interpreter lock, and the parse, which
gives it up, is a twentieth of a file's time, so a pool of threads ran
slower than one (1.3 to 1.9 times the time of `-j 1`, handing the lock
between threads). Where forking is not safe (not Linux, or other threads
already run) the work is done at hand, as with `-j 1`.

Work is handed out in chunks of files, and only a few chunks per worker are
under way at once, so memory stays bounded on a huge tree of files.
"""

from __future__ import annotations

import gc
import multiprocessing
import os
import signal
import sys
import threading
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import BrokenExecutor, Executor, Future, ProcessPoolExecutor
from typing import Any, Generic, TypeVar

from trelm_cst import _interrupts

R = TypeVar("R")

# At most this many files per chunk: enough that passing work between
# processes costs little beside the files' own work, few enough that an
# interrupted edit waits only briefly for the chunks under way.
CHUNK = 32
# Chunks under way per worker: one running, one waiting, so no worker idles
# while its next chunk travels.
AHEAD = 2
# Below this many files, starting workers costs more than it saves.
SERIAL_BELOW = 100

PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>


def default_jobs() -> int:
    """The processors this process may run on."""
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def can_fork() -> bool:
    """Forking is safe only where it is the platform's way (Linux) and while
    no other thread runs: a lock another thread holds stays held in the child."""
    return (
        sys.platform.startswith("linux")
        and "fork" in multiprocessing.get_all_start_methods()
        and threading.active_count() == 1
    )


def chunk_size(count: int, jobs: int) -> int:
    # A small run is cut finer, so that every worker gets a share.
    return max(1, min(CHUNK, count // (jobs * AHEAD * 2)))


# The work of the pool being started, inherited by its forked workers: a
# closure cannot be pickled, but a forked child has it already.
_work: Callable[[Any], Any] | None = None


def _do_chunk(items: list[Any]) -> list[Any]:
    assert _work is not None
    return [_work(item) for item in items]


def _start_worker(parent: int) -> None:
    """Ctrl-C is for the parent, which lets the chunks under way finish; a
    worker whose parent died stops, between files."""
    _interrupts.for_worker()
    try:
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGHUP)
    except (OSError, AttributeError):
        pass
    if os.getppid() != parent:  # it died before the request took effect
        os._exit(1)
    # The parent may have paused the collector for the results it keeps; a worker keeps none.
    gc.enable()
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _interrupts.WORKER_SIGNALS)


class InOrder(Generic[R]):
    """work(item) for every item, in order, on up to `jobs` workers. With one
    job, few items, or no safe way to fork, `serial` is true: there is no
    pool, do the work at hand.

    `take()` starts the pool on its first call and gives the next result;
    call it and handle the result inside `_interrupts.deferred()`, so that a
    signal lands only between results. After a signal, `started()` gives the
    results of the work the workers already have (the rest is dropped): an
    edit that was made is reported. `close()` in the end, whatever happens."""

    def __init__(self, work: Callable[[Any], R], items: Sequence[Any], jobs: int) -> None:
        self.work = work
        self.jobs = jobs
        self.serial = jobs <= 1 or len(items) < SERIAL_BELOW or not can_fork()
        self.executor: Executor | None = None
        self.ready: deque[R] = deque()
        self.under_way: deque[Future[list[R]]] = deque()
        size = chunk_size(len(items), jobs)
        self.chunks = (list(items[i : i + size]) for i in range(0, len(items), size))
        self.limit = jobs * AHEAD

    def start(self) -> None:
        global _work
        _work = self.work
        # The workers are forked on the first submit; with the stopping signals
        # blocked until each has set its own handling, none lands in between.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _interrupts.WORKER_SIGNALS)
        try:
            context = multiprocessing.get_context("fork")
            self.executor = ProcessPoolExecutor(
                self.jobs, context, initializer=_start_worker, initargs=(os.getpid(),)
            )
            self.fill()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)

    def fill(self) -> None:
        assert self.executor is not None
        while len(self.under_way) < self.limit:
            chunk = next(self.chunks, None)
            if chunk is None:
                return
            self.under_way.append(self.executor.submit(_do_chunk, chunk))

    def take(self) -> tuple[bool, R | None]:
        """(True, the next result), or (False, None) after the last."""
        assert not self.serial
        if self.executor is None:
            self.start()
        if not self.ready:
            if not self.under_way:
                return False, None
            self.ready.extend(self.under_way[0].result())
            self.under_way.popleft()
            self.fill()
        return True, self.ready.popleft()

    def started(self) -> Iterator[R]:
        """The results left of the work under way, after the rest is cancelled.
        The workers take chunks in order, so those that cannot be cancelled
        come first."""
        for future in self.under_way:
            future.cancel()
        yield from self.ready
        self.ready.clear()
        while self.under_way and not self.under_way[0].cancelled():
            try:
                results = self.under_way.popleft().result()
            except BrokenExecutor:
                return  # a worker was killed: what it held is lost, the run stops anyway
            yield from results

    def close(self) -> None:
        global _work
        if self.executor is not None:
            self.executor.shutdown(wait=True, cancel_futures=True)
            self.executor = None
        _work = None
