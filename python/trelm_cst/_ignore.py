"""What a folder search leaves out: hidden folders, what the .gitignore files
of the folder's git work tree ignore, and --exclude patterns.

Only .gitignore files are read (not .git/info/exclude nor the user's global
excludes), and git itself is not needed: the work tree is the nearest folder
at or above the searched one that holds a `.git` entry.

The patterns are matched by pathspec; what is git's own is put around them:
the deepest .gitignore with a pattern for the path decides, and what git never
looks into stays out (once a folder is ignored, a `!` below it brings nothing
back). Names and patterns are compared byte for byte, as git does: both are
read one character a byte, whatever the names' encoding.
"""

from __future__ import annotations

import os
import re
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pathspec.patterns.gitignore.spec import GitIgnoreSpecPattern


@dataclass(frozen=True)
class Pattern:
    glob: GitIgnoreSpecPattern
    folders_only: bool

    def matches(self, path: str, is_folder: bool) -> bool:
        """Whether the pattern matches the path itself: pathspec also matches
        what lies below a folder the pattern matches, and marks where that
        folder ends; but that folder was judged on its own."""
        from pathspec.patterns.gitignore.spec import _DIR_MARK

        if self.folders_only and not is_folder:
            return False
        result = self.glob.match_file(path)
        return result is not None and result.match.groupdict().get(_DIR_MARK) is None


@dataclass(frozen=True)
class PatternList:
    """The patterns of one .gitignore (or of --exclude), for the paths below
    `base` (relative to the work tree; empty for its top)."""

    base: str
    patterns: tuple[Pattern, ...]

    def verdict(self, path: str, is_folder: bool) -> bool | None:
        """True (left out) or False (taken back) by the last pattern that
        matches, None when none does."""
        if self.base:
            if not path.startswith(self.base + "/"):
                return None
            path = path[len(self.base) + 1 :]
        for pattern in reversed(self.patterns):
            if pattern.matches(path, is_folder):
                return bool(pattern.glob.include)
        return None


class Ignores:
    """Decides, for the entries below one searched folder, which to leave out.
    The search asks about a folder before what it holds, and goes into no
    folder left out, so each entry is judged on its own patterns."""

    def __init__(self, folder: str, excludes: Sequence[str], anchored: Anchored | None = None) -> None:
        folder = os.path.abspath(folder)
        self.excludes = pattern_list(map(os.fsencode, excludes), "")
        self.anchored, self.anchored_prefix = anchored_patterns(folder, anchored)
        self.root = work_tree_root(folder)
        self.lists: dict[str, list[PatternList]] = {}
        self.prefix = ""  # the searched folder within the work tree
        self.everything = False
        if self.root is not None:
            self.prefix = as_pattern_path(os.path.relpath(folder, self.root))
            if self.prefix == ".":
                self.prefix = ""
            # The searched folder may lie in a folder git leaves out.
            parts = self.prefix.split("/") if self.prefix else []
            self.everything = any(self.gitignored("/".join(parts[: i + 1]), True) for i in range(len(parts)))

    def skips_folder(self, path: str) -> bool:
        return os.path.basename(path).startswith(".") or self.skips(path, is_folder=True)

    def skips_file(self, path: str) -> bool:
        return self.skips(path, is_folder=False)

    def skips(self, path: str, is_folder: bool) -> bool:
        """`path` is relative to the searched folder."""
        if self.everything:
            return True
        if self.excludes is None and self.anchored is None and self.root is None:  # nothing to match against
            return False
        relative = as_pattern_path(path)
        if self.excludes is not None and self.excludes.verdict(relative, is_folder):
            return True
        if self.anchored is not None and self.anchored.verdict(self.anchored_prefix + relative, is_folder):
            return True
        if self.root is None:
            return False
        return self.gitignored(self.prefix + "/" + relative if self.prefix else relative, is_folder)

    def gitignored(self, path: str, is_folder: bool) -> bool:
        """The verdict of the deepest .gitignore with a pattern for the path
        (within one file the last matching pattern wins, `!` takes back)."""
        for patterns in reversed(self.lists_above(path.rpartition("/")[0])):
            verdict = patterns.verdict(path, is_folder)
            if verdict is not None:
                return verdict
        return False

    def lists_above(self, folder: str) -> list[PatternList]:
        """The pattern lists that apply to the entries of `folder` (relative to
        the work tree), from the top of the tree down."""
        lists = self.lists.get(folder)
        if lists is None:
            lists = [] if not folder else self.lists_above(folder.rpartition("/")[0])
            assert self.root is not None
            gitignore = os.path.join(os.fsencode(self.root), as_bytes(folder), b".gitignore")
            own = read_gitignore(gitignore, folder)
            if own is not None:
                lists = [*lists, own]
            self.lists[folder] = lists
        return lists


# Patterns read relative to a folder of their own (a settings file's), not
# to the folder searched: (that folder, the patterns).
Anchored = tuple[str, Sequence[str]]


def anchored_patterns(folder: str, anchored: Anchored | None) -> tuple[PatternList | None, str]:
    """The anchored patterns as they apply below the searched `folder`, and
    the prefix that makes a path relative to `folder` one relative to
    theirs. They apply only below their own folder, as a .gitignore's do."""
    if anchored is None:
        return None, ""
    base, globs = os.path.abspath(anchored[0]), anchored[1]
    if folder == base or folder.startswith(base.rstrip(os.sep) + os.sep):
        # Searching inside the patterns' folder: paths get the way down to it in front.
        within = as_pattern_path(os.path.relpath(folder, base))
        prefix = "" if within == "." else within + "/"
        patterns = pattern_list(map(os.fsencode, globs), "")
        # The searched folder may itself lie in a folder they leave out.
        parts = prefix.rstrip("/").split("/") if prefix else []
        if patterns is not None and any(patterns.verdict("/".join(parts[: i + 1]), True) for i in range(len(parts))):
            patterns = pattern_list([b"*"], "")
        return patterns, prefix
    if base.startswith(folder.rstrip(os.sep) + os.sep):
        # Their folder lies below the searched one: they apply to what lies below it.
        return pattern_list(map(os.fsencode, globs), as_pattern_path(os.path.relpath(base, folder))), ""
    return None, ""


# Bytes from 0x80 up as U+0100 to U+017F: one character per byte, and none
# that pathspec takes for trailing whitespace (as Latin-1's 0x85 and 0xA0 are).
HIGH_BYTES = {byte: byte + 0x80 for byte in range(0x80, 0x100)}
BYTES_BACK = {char: byte for byte, char in HIGH_BYTES.items()}


def as_text(name: bytes) -> str:
    return name.decode("latin-1").translate(HIGH_BYTES)


def as_bytes(text: str) -> bytes:
    return text.translate(BYTES_BACK).encode("latin-1")


def as_pattern_path(path: str) -> str:
    """The path with `/` between its parts, one character per byte of its name."""
    return as_text(os.fsencode(path.replace(os.sep, "/") if os.sep != "/" else path))


def read_gitignore(path: bytes, base: str) -> PatternList | None:
    # An unreadable .gitignore ignores nothing, as git does after its warning.
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    return pattern_list(pattern_lines(data), base)


def pattern_lines(data: bytes) -> list[bytes]:
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    return [line[:-1] if line.endswith(b"\r") else line for line in data.split(b"\n")]


def pattern_list(lines: Iterable[bytes], base: str) -> PatternList | None:
    """The patterns of the lines, or None when they hold none."""
    patterns = tuple(p for p in map(parse_pattern, lines) if p is not None)
    return PatternList(base, patterns) if patterns else None


def parse_pattern(line: bytes) -> Pattern | None:
    """A line of a .gitignore, or None for one that matches nothing: a blank
    line, a comment, or one git finds malformed (a trailing backslash, a
    bracket left open, a reversed range). git's trailing-space rule and its
    folders-only slash are taken off first; pathspec matches the rest."""
    line = trim_trailing_spaces(line)
    folders_only = line.endswith(b"/")
    if folders_only:
        line = line[:-1]
    # Three stars or more as a part of their own are two to git, which pathspec reads as three single ones.
    line = re.sub(rb"(?<![^/])\*{3,}(?![^/])", b"**", line)
    glob = compile_glob(keep_trailing_whitespace(line))
    return Pattern(glob, folders_only) if glob is not None else None


def compile_glob(line: bytes) -> GitIgnoreSpecPattern | None:
    # Imported when a first pattern is read, not by every run of the command line.
    from pathspec.patterns.gitignore.spec import GitIgnoreSpecPattern

    try:
        with warnings.catch_warnings():
            # `[[` in a pattern reads to re as a nested set to come, which it warns of.
            warnings.simplefilter("ignore", FutureWarning)
            glob = GitIgnoreSpecPattern(as_text(line))
            if glob.regex is None or glob.include is None:
                return None
            # pathspec's `[!...]` also matches a slash, which git's never does.
            regex = re.sub(r"\[\^(\]?)(?!/\])", r"[^\1/", glob.regex.pattern)
            return glob if regex == glob.regex.pattern else GitIgnoreSpecPattern(re.compile(regex), glob.include)
    except (ValueError, re.error):
        return None


def keep_trailing_whitespace(line: bytes) -> bytes:
    """The line with a trailing tab (or other whitespace but a space, which git
    keeps and pathspec would strip) written as a bracket of its own."""
    if not line or line[-1] not in b"\t\v\f\r\x1c\x1d\x1e\x1f":
        return line
    body = line[:-1]
    if (len(body) - len(body.rstrip(b"\\"))) % 2:
        body = body[:-1]
    # Within a bracket left open it stays as it is: the line matches nothing either way.
    return body + b"[" + line[-1:] + b"]" if compile_glob(body + b"x") is not None else line


def trim_trailing_spaces(line: bytes) -> bytes:
    """The line without its trailing spaces, but for one escaped by a backslash
    (a line ending in a lone backslash stays whole: it matches nothing)."""
    match = re.fullmatch(rb"((?:\\.|[^\\])*?) *", line, re.DOTALL)
    return line if match is None else match[1]


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
