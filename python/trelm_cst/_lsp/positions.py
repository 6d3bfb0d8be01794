"""Positions as the client counts them: a line, and a character counted in
UTF-8 bytes, UTF-16 code units or code points, whichever the client and the
server agreed on. Lines end at "\\n", "\\r\\n" or "\\r", as the protocol says."""

from __future__ import annotations

import re
from bisect import bisect_right
from itertools import accumulate

from lsprotocol.types import Position, Range

ENCODINGS = ("utf-8", "utf-16", "utf-32")

LINE_END = re.compile(r"\r\n|\r|\n")
# What takes more than one unit: anything past ASCII in UTF-8, past the basic plane in UTF-16.
WIDE = {"utf-8": re.compile(r"[^\x00-\x7f]"), "utf-16": re.compile(r"[\U00010000-\U0010ffff]")}


def units(text: str, encoding: str) -> int:
    """The length of text in the encoding's code units."""
    if encoding == "utf-32" or not WIDE[encoding].search(text):
        return len(text)
    if encoding == "utf-8":
        return len(text.encode("utf-8", "surrogatepass"))
    return len(text) + sum(1 for char in text if ord(char) > 0xFFFF)


class TextPositions:
    """Converts between indexes into a Python str and positions in the
    client's encoding ("utf-8", "utf-16" or "utf-32")."""

    def __init__(self, text: str, encoding: str) -> None:
        if encoding not in ENCODINGS:
            raise ValueError(f"unknown position encoding {encoding!r}; expected one of {', '.join(ENCODINGS)}")
        self.text = text
        self.encoding = encoding
        self.starts = [0]  # index of each line's first character
        self.ends: list[int] = []  # index of each line's end, before its line break
        if "\r" not in text:
            # Each keystroke in a large file comes here: the lengths of its lines added up natively.
            self.ends = [end + line for line, end in enumerate(accumulate(map(len, text.split("\n"))))]
            self.starts += [end + 1 for end in self.ends[:-1]]
            return
        for match in LINE_END.finditer(text):
            self.ends.append(match.start())
            self.starts.append(match.end())
        self.ends.append(len(text))

    def line_of(self, offset: int) -> int:
        return bisect_right(self.starts, offset) - 1

    def position(self, offset: int) -> Position:
        """Where an index into the text lies; one past the end is the end."""
        offset = max(0, min(offset, len(self.text)))
        line = self.line_of(offset)
        # An index inside a line break ("\r|\n") belongs to the end of its line.
        within = min(offset, self.ends[line]) - self.starts[line]
        start = self.starts[line]
        return Position(line, units(self.text[start : start + within], self.encoding))

    def offset(self, position: Position) -> int:
        """The index of a position; a line past the last is the text's end,
        a character past its line's end is that end, and one inside a
        character (half of a UTF-16 pair, a byte within a UTF-8 sequence) is
        that character's start."""
        if position.line >= len(self.starts):
            return len(self.text)
        start, end = self.starts[position.line], self.ends[position.line]
        wanted = position.character
        if self.encoding == "utf-32" or not WIDE[self.encoding].search(self.text, start, end):
            return min(start + wanted, end)
        counted = 0
        for index in range(start, end):
            width = units(self.text[index], self.encoding)
            if counted + width > wanted:
                return index
            counted += width
        return end

    def range(self, start: int, end: int) -> Range:
        return Range(self.position(start), self.position(end))
