"""Finding, reading and rewriting model files for the command line.

Files are handled as bytes decoded strictly as UTF-8, never through text mode,
so that line ends (CRLF included) and every other byte survive an edit.
"""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Callable, Iterable
from dataclasses import dataclass

MODEL_SUFFIX = ".sql"


@dataclass(frozen=True)
class Problem:
    """Something wrong with one path; processing goes on with the next."""

    path: str
    message: str

    def __str__(self) -> str:
        return f"{self.path}: {self.message}"


def find_model_files(paths: Iterable[str], report: Callable[[Problem], None]) -> list[str]:
    """The files named, and the *.sql files below the folders named, each once,
    in the order given (folders walked in sorted order). Missing paths and
    unreadable folders are reported and left out."""
    found: list[str] = []
    seen: set[str] = set()

    def add(path: str) -> None:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            found.append(path)

    for path in paths:
        if os.path.isdir(path):
            for file in walk_models(path, report):
                add(file)
        elif os.path.exists(path):
            add(path)
        else:
            report(Problem(path, "no such file or directory"))
    return found


def walk_models(folder: str, report: Callable[[Problem], None]) -> list[str]:
    """The *.sql files below a folder, sorted by their path within it. Symbolic
    links to folders are not followed, so a link cycle cannot loop."""

    def unreadable(error: OSError) -> None:
        report(Problem(error.filename or folder, f"cannot read folder: {error.strerror}"))

    files: list[str] = []
    for top, _, names in os.walk(folder, onerror=unreadable):
        files.extend(os.path.join(top, name) for name in names if name.endswith(MODEL_SUFFIX))
    # By path component, so that a folder's files sort by name with its subfolders.
    return sorted(files, key=lambda path: path.split(os.sep))


def read_model(path: str) -> str | Problem:
    """The file's text, or why it cannot be had."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        return Problem(path, f"cannot read: {e.strerror or e}")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        return Problem(path, f"not UTF-8 text: invalid byte 0x{data[e.start]:02x} on line {line}, byte offset {e.start}")


def write_model(path: str, text: str) -> Problem | None:
    """Replaces the file's content through a temporary file in the same folder
    and a rename, so that an interrupted run leaves either the old file or the
    new one. The permission bits of the file are kept; a symbolic link stays a
    link and its target is replaced."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
        fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    except OSError as e:
        return Problem(path, f"cannot write: {e.strerror or e}")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(text.encode("utf-8"))
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, mode)
        os.replace(temp, target)
    except OSError as e:
        discard(temp)
        return Problem(path, f"cannot write: {e.strerror or e}")
    except BaseException:
        discard(temp)
        raise
    return None


def discard(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
