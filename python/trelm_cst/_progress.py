"""A one-line progress bar on stderr that keeps out of the way of messages."""

from __future__ import annotations

import time
from typing import TextIO

from trelm_cst._files import printable

# Below this many files a run is over before a bar would tell anything.
BAR_THRESHOLD = 200
BAR_WIDTH = 30
# Redraw at most this often, so that drawing costs nothing next to parsing.
REDRAW_SECONDS = 0.1


class Progress:
    """Counts processed files and, when enabled, draws a bar such as
    «[##########--------------------]  120/360 files». Messages go through
    `message` so that they never land in the middle of the bar."""

    def __init__(self, stream: TextIO, total: int, enabled: bool) -> None:
        self.stream = stream
        self.total = total
        self.enabled = enabled
        self.done = 0
        self.drawn = False
        self.last_draw = 0.0

    @classmethod
    def for_run(cls, stream: TextIO, total: int, enabled: bool = True) -> Progress:
        """A bar only when asked for, for enough files, on a terminal."""
        return cls(stream, total, enabled and total > BAR_THRESHOLD and is_terminal(stream))

    def step(self) -> None:
        self.done += 1
        if not self.enabled:
            return
        now = time.monotonic()
        if self.done == self.total or now - self.last_draw >= REDRAW_SECONDS:
            self.last_draw = now
            self.draw()

    def message(self, text: str) -> None:
        self.clear()
        self.stream.write(printable(text) + "\n")
        if self.enabled and self.done < self.total:
            self.draw()

    def status(self, text: str) -> None:
        """Shows text in place of the bar until the next output, for a step that
        has no count to show; only where the bar would show."""
        if not self.enabled:
            return
        self.clear()
        self.stream.write("\r" + printable(text) + " ...")
        self.stream.flush()
        self.drawn = True

    def finish(self) -> None:
        self.clear()

    def draw(self) -> None:
        filled = BAR_WIDTH * self.done // self.total if self.total else BAR_WIDTH
        width = len(str(self.total))
        bar = "#" * filled + "-" * (BAR_WIDTH - filled)
        self.stream.write(f"\r[{bar}] {self.done:>{width}}/{self.total} files")
        self.stream.flush()
        self.drawn = True

    def clear(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.drawn = False


def is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
