"""Ctrl-C and SIGTERM for the command line.

Either signal stops a run at once, except inside a `deferred()` block, where
it waits for the block to end: a file rewrite is such a block, so that no
signal lands between creating a temporary file and renaming or removing it.

A worker process of a pool leaves Ctrl-C (sent to the whole process group
from a terminal) to its parent, which lets the work under way finish and
reports it. SIGTERM (the pool's own way to end a worker) and SIGHUP (sent
when the parent dies) end a worker between files, with no traceback.
"""

from __future__ import annotations

import os
import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# Blocked while a pool's workers start; SIGHUP is what a worker gets when its
# parent dies (there is none on Windows, where no pool forks).
WORKER_SIGNALS = set(STOPPING_SIGNALS)
if hasattr(signal, "SIGHUP"):
    WORKER_SIGNALS.add(signal.SIGHUP)


class Interrupted(BaseException):
    """A stopping signal arrived; a BaseException, like KeyboardInterrupt, so
    that no `except Exception` swallows it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def exit_status(self) -> int:
        # What a shell reports for a process a signal ended: 130 for SIGINT, 143 for SIGTERM.
        return 128 + self.signum


class _State:
    depth = 0
    pending: int | None = None
    in_worker = False


def _handle(signum: int, frame: FrameType | None) -> None:
    if _State.depth:
        _State.pending = signum
        return
    _stop(signum)


def _stop(signum: int) -> None:
    if _State.in_worker:
        os._exit(128 + signum)  # no traceback, no clean-up that could wait on the dead parent
    raise Interrupted(signum)


def for_worker() -> None:
    """Sets the signals of a worker process (see the module's doc)."""
    _State.in_worker = True
    _State.depth = 0
    _State.pending = None
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _handle)
    signal.signal(signal.SIGHUP, _handle)


@contextmanager
def handled() -> Iterator[None]:
    """Turns SIGINT and SIGTERM into Interrupted for the length of the block.
    Only the main thread can set handlers; elsewhere the block changes nothing.
    A signal that was ignored when the program started (a background job's
    SIGINT) stays ignored."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for signum in STOPPING_SIGNALS:
        if signal.getsignal(signum) is not signal.SIG_IGN:
            previous[signum] = signal.signal(signum, _handle)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        _State.pending = None


@contextmanager
def deferred() -> Iterator[None]:
    """Holds back Interrupted until the block is over, then raises it. Only
    the main thread runs signal handlers, so elsewhere the block changes
    nothing: a pool's thread finishes its file whatever happens."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _State.depth += 1
    try:
        yield
    finally:
        _State.depth -= 1
        if not _State.depth and _State.pending is not None:
            signum, _State.pending = _State.pending, None
            _stop(signum)
