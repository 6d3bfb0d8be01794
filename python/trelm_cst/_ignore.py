"""What a folder search leaves out: hidden folders, what the .gitignore files
of the folder's git work tree ignore, and --exclude patterns.

Only .gitignore files are read (not .git/info/exclude nor the user's global
excludes), and git itself is not needed: the work tree is the nearest folder
at or above the searched one that holds a `.git` entry.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pathspec import GitIgnoreSpec


class Ignores:
    """Decides, for the entries below one searched folder, which to leave out."""

    def __init__(self, folder: str, excludes: Sequence[str]) -> None:
        self.folder = os.path.abspath(folder)
        self.excludes = compile_patterns(excludes) if excludes else None
        self.root = work_tree_root(self.folder)
        self.specs: dict[str, GitIgnoreSpec | None] = {}

    def skips_folder(self, path: str) -> bool:
        return os.path.basename(path).startswith(".") or self.skips(os.path.abspath(path), is_folder=True)

    def skips_file(self, path: str) -> bool:
        return self.skips(os.path.abspath(path), is_folder=False)

    def skips(self, path: str, is_folder: bool) -> bool:
        if self.excludes is not None and self.excludes.match_file(relative(path, self.folder, is_folder)):
            return True
        return self.root is not None and self.gitignored(path, is_folder)

    def gitignored(self, path: str, is_folder: bool) -> bool:
        """The verdict of the deepest .gitignore with a pattern for the path
        (within one file the last matching pattern wins, `!` re-includes)."""
        assert self.root is not None
        verdict = False
        for folder in folders_between(self.root, os.path.dirname(path)):
            spec = self.spec_of(folder)
            if spec is not None:
                include = spec.check_file(relative(path, folder, is_folder)).include
                if include is not None:
                    verdict = include
        return verdict

    def spec_of(self, folder: str) -> GitIgnoreSpec | None:
        if folder not in self.specs:
            self.specs[folder] = read_gitignore(os.path.join(folder, ".gitignore"))
        return self.specs[folder]


def compile_patterns(lines: Sequence[str]) -> GitIgnoreSpec:
    from pathspec import GitIgnoreSpec

    return GitIgnoreSpec.from_lines(lines)


def read_gitignore(path: str) -> GitIgnoreSpec | None:
    # An unreadable .gitignore ignores nothing, as git does after its warning.
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", errors="replace")
    except OSError:
        return None
    return compile_patterns(text.splitlines())


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


def folders_between(top: str, bottom: str) -> list[str]:
    """`top`, then each folder down to `bottom` (which lies at or below `top`)."""
    folders = [bottom]
    while folders[-1] != top and len(folders[-1]) > len(top):
        folders.append(os.path.dirname(folders[-1]))
    return folders[::-1]


def relative(path: str, folder: str, is_folder: bool) -> str:
    """The path as a gitignore pattern sees it: relative, with `/` between
    parts and after a folder's name."""
    rel = os.path.relpath(path, folder).replace(os.sep, "/")
    return rel + "/" if is_folder else rel
