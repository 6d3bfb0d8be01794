"""What a folder search leaves out: hidden folders, what the .gitignore files
of the folder's git work tree ignore, and --exclude patterns.

Only .gitignore files are read (not .git/info/exclude nor the user's global
excludes), and git itself is not needed: the work tree is the nearest folder
at or above the searched one that holds a `.git` entry.

Patterns follow git's own rules, byte for byte: a pattern without a slash
matches a name at any depth, one with a slash matches the path from its
.gitignore's folder; a trailing slash matches folders only; `*`, `?` and
`[...]` stop at slashes and `**` between slashes crosses them; the deepest
.gitignore's last matching pattern decides, and `!` takes a path back. What
git never looks into stays out: once a folder is ignored, a `!` below it
brings nothing back.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

NEVER = re.compile(b"(?!)")


@dataclass(frozen=True)
class Pattern:
    regex: re.Pattern[bytes]
    negated: bool
    folders_only: bool
    by_name: bool  # no slash but a trailing one: matched against the last part of the path

    def matches(self, path: bytes, name: bytes, is_folder: bool) -> bool:
        if self.folders_only and not is_folder:
            return False
        return self.regex.fullmatch(name if self.by_name else path) is not None


@dataclass(frozen=True)
class PatternList:
    """The patterns of one .gitignore (or of --exclude), for the paths below
    `base` (relative to the work tree, as bytes; empty for its top)."""

    base: bytes
    patterns: tuple[Pattern, ...]

    def verdict(self, path: bytes, name: bytes, is_folder: bool) -> bool | None:
        """True (left out) or False (taken back) by the last pattern that
        matches, None when none does."""
        if self.base:
            if not path.startswith(self.base + b"/"):
                return None
            path = path[len(self.base) + 1 :]
        for pattern in reversed(self.patterns):
            if pattern.matches(path, name, is_folder):
                return not pattern.negated
        return None


class Ignores:
    """Decides, for the entries below one searched folder, which to leave out.
    The search asks about a folder before what it holds, and goes into no
    folder left out, so each entry is judged on its own patterns."""

    def __init__(self, folder: str, excludes: Sequence[str]) -> None:
        folder = os.path.abspath(folder)
        self.excludes = pattern_list(map(os.fsencode, excludes), b"")
        self.root = work_tree_root(folder)
        self.lists: dict[bytes, list[PatternList]] = {}
        self.prefix = b""  # the searched folder within the work tree
        self.everything = False
        if self.root is not None:
            self.prefix = os.fsencode(os.path.relpath(folder, self.root).replace(os.sep, "/"))
            if self.prefix == b".":
                self.prefix = b""
            # The searched folder may lie in a folder git leaves out.
            parts = self.prefix.split(b"/") if self.prefix else []
            self.everything = any(self.gitignored(b"/".join(parts[: i + 1]), True) for i in range(len(parts)))

    def skips_folder(self, path: str) -> bool:
        return os.path.basename(path).startswith(".") or self.skips(path, is_folder=True)

    def skips_file(self, path: str) -> bool:
        return self.skips(path, is_folder=False)

    def skips(self, path: str, is_folder: bool) -> bool:
        """`path` is relative to the searched folder."""
        if self.everything:
            return True
        relative = os.fsencode(path.replace(os.sep, "/") if os.sep != "/" else path)
        if self.excludes is not None and self.excludes.verdict(relative, last_part(relative), is_folder):
            return True
        if self.root is None:
            return False
        return self.gitignored(self.prefix + b"/" + relative if self.prefix else relative, is_folder)

    def gitignored(self, path: bytes, is_folder: bool) -> bool:
        """The verdict of the deepest .gitignore with a pattern for the path
        (within one file the last matching pattern wins, `!` takes back)."""
        name = last_part(path)
        for patterns in reversed(self.lists_above(path.rpartition(b"/")[0])):
            verdict = patterns.verdict(path, name, is_folder)
            if verdict is not None:
                return verdict
        return False

    def lists_above(self, folder: bytes) -> list[PatternList]:
        """The pattern lists that apply to the entries of `folder` (relative to
        the work tree), from the top of the tree down."""
        lists = self.lists.get(folder)
        if lists is None:
            lists = [] if not folder else self.lists_above(folder.rpartition(b"/")[0])
            assert self.root is not None
            own = read_gitignore(os.path.join(os.fsencode(self.root), folder, b".gitignore"), folder)
            if own is not None:
                lists = [*lists, own]
            self.lists[folder] = lists
        return lists


def last_part(path: bytes) -> bytes:
    return path.rpartition(b"/")[2]


def read_gitignore(path: bytes, base: bytes) -> PatternList | None:
    # An unreadable .gitignore ignores nothing, as git does after its warning.
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    return pattern_list(pattern_lines(data), base)


def pattern_list(lines: Iterable[bytes], base: bytes) -> PatternList | None:
    """The patterns of the lines, or None when they hold none."""
    patterns = tuple(p for p in map(parse_pattern, lines) if p is not None)
    return PatternList(base, patterns) if patterns else None


def pattern_lines(data: bytes) -> list[bytes]:
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    return [line[:-1] if line.endswith(b"\r") else line for line in data.split(b"\n")]


def parse_pattern(line: bytes) -> Pattern | None:
    """A line of a .gitignore as git reads it, or None for a blank line or a comment."""
    if not line or line.startswith(b"#"):
        return None
    line = trim_trailing_spaces(line)
    negated = line.startswith(b"!")
    if negated:
        line = line[1:]
    folders_only = line.endswith(b"/")
    if folders_only:
        line = line[:-1]
    if not line:
        return None
    by_name = b"/" not in line
    if not by_name and line.startswith(b"/"):
        line = line[1:]
    return Pattern(glob_regex(line, literal_prefix(line) if not by_name else 0), negated, folders_only, by_name)


def trim_trailing_spaces(line: bytes) -> bytes:
    """The line without its trailing spaces, but for one escaped by a backslash
    and those before it."""
    last_space = None
    i = 0
    while i < len(line):
        char = line[i : i + 1]
        if char == b" ":
            if last_space is None:
                last_space = i
        elif char == b"\\":
            i += 1
            if i == len(line):
                return line
            last_space = None
        else:
            last_space = None
        i += 1
    return line if last_space is None else line[:last_space]


def literal_prefix(glob: bytes) -> int:
    """The length of the part before the first special character. git compares
    it literally and matches the rest as a pattern on its own, so a `**`
    right after it counts as at the start."""
    match = re.search(rb"[*?\[\\]", glob)
    return len(glob) if match is None else match.start()


CLASSES = {
    b"alnum": rb"a-zA-Z0-9",
    b"alpha": rb"a-zA-Z",
    b"blank": rb" \t",
    b"cntrl": rb"\x00-\x1f\x7f",
    b"digit": rb"0-9",
    b"graph": rb"\x21-\x7e",
    b"lower": rb"a-z",
    b"print": rb"\x20-\x7e",
    b"punct": rb"!-/:-@\[-`{-~",
    b"space": rb" \t\n\r\x0b\x0c",
    b"upper": rb"A-Z",
    b"xdigit": rb"0-9a-fA-F",
}


def glob_regex(glob: bytes, start: int) -> re.Pattern[bytes]:
    """A regex that matches what git's wildmatch matches with slashes
    significant (a malformed pattern matches nothing, as there). `start` is
    where a `**` counts as at the start of the pattern."""
    pieces = []
    i = 0
    while i < len(glob):
        char = glob[i]
        piece: bytes | None
        if char == ord("*"):
            i, piece = stars(glob, i, start)
        elif char == ord("?"):
            i, piece = i + 1, b"[^/]"
        elif char == ord("["):
            i, piece = bracket(glob, i)
        elif char == ord("\\"):
            i, piece = i + 2, re.escape(glob[i + 1 : i + 2]) if i + 1 < len(glob) else None
        else:
            i, piece = i + 1, re.escape(glob[i : i + 1])
        if piece is None:
            return NEVER
        pieces.append(piece)
    return re.compile(b"".join(pieces), re.DOTALL)


def stars(glob: bytes, i: int, start: int) -> tuple[int, bytes]:
    """The run of `*` at `i` and the index after it. Two or more between
    slashes (or the ends) cross slashes, and `**/` also matches nothing;
    otherwise they stop at a slash."""
    end = i
    while end < len(glob) and glob[end] == ord("*"):
        end += 1
    after = glob[end : end + 1]
    alone = (i == start or glob[i - 1 : i] == b"/") and (after in (b"", b"/") or glob[end : end + 2] == b"\\/")
    if end - i < 2 or not alone:
        return end, b"[^/]*"
    if after == b"/":
        return end + 1, b"(?:.*/)?"
    return end, b".*"


def bracket(glob: bytes, i: int) -> tuple[int, bytes | None]:
    """The `[...]` at `i` as a regex class that never matches a slash, and
    the index after it; None when it is malformed."""
    n = len(glob)
    i += 1
    negated = i < n and glob[i : i + 1] in (b"!", b"^")
    if negated:
        i += 1
    members: list[bytes] = []
    previous: int | None = None  # the last single character, which may open a range
    first = True
    while True:
        if i >= n:
            return i, None
        char = glob[i]
        if char == ord("]") and not first:
            break
        first = False
        if char == ord("\\"):
            i += 1
            if i >= n:
                return i, None
            members.append(re.escape(glob[i : i + 1]))
            previous = glob[i]
        elif char == ord("-") and previous is not None and i + 1 < n and glob[i + 1] != ord("]"):
            i += 1
            end = glob[i]
            if end == ord("\\"):
                i += 1
                if i >= n:
                    return i, None
                end = glob[i]
            # The character before the dash matched on its own already.
            if previous <= end:
                members.append(re.escape(bytes([previous])) + b"-" + re.escape(bytes([end])))
            previous = None
        elif char == ord("[") and glob[i + 1 : i + 2] == b":":
            close = glob.find(b"]", i + 2)
            if close < 0:
                return n, None
            if close - (i + 2) < 1 or glob[close - 1] != ord(":"):
                members.append(re.escape(b"["))
                previous = char
            else:
                klass = CLASSES.get(glob[i + 2 : close - 1])
                if klass is None:
                    return close, None
                members.append(klass)
                previous = None
                i = close
        else:
            members.append(re.escape(bytes([char])))
            previous = char
        i += 1
    body = b"".join(members)
    if negated:
        return i + 1, b"[^/" + body + b"]"
    return i + 1, b"(?!/)[" + body + b"]" if body else NEVER.pattern


def work_tree_root(folder: str) -> str | None:
    """The nearest folder at or above `folder` holding a `.git` entry (a
    folder, or a file in a linked work tree or submodule)."""
    current = folder
    while True:
        if os.path.lexists(os.path.join(current, ".git")):
            return current
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent
