"""Finding, reading and rewriting model files for the command line.

Files are handled as bytes decoded strictly as UTF-8, never through text mode,
so that line ends (CRLF included) and every other byte survive an edit.

A path is resolved once, when it is read; the rewrite goes to that file and
only if it is still the file that was read. Nothing but regular files is ever
opened, so a FIFO or a device named `*.sql` cannot hang or flood a run.
"""

from __future__ import annotations

import errno
import os
import stat
import tempfile
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

from trelm_cst._ignore import Anchored, Ignores
from trelm_cst._interrupts import deferred
from trelm_cst._native import TrelmSyntaxError

MODEL_SUFFIX = ".sql"


@dataclass(frozen=True)
class Problem:
    """Something wrong with one path; processing goes on with the next. `code`
    names the kind of problem for machine-readable output."""

    path: str
    message: str
    line: int | None = None
    column: int | None = None
    code: str = "file"

    def __str__(self) -> str:
        """As `check` prints its findings: path:line:column: error: message [code]."""
        path = printable(self.path)
        where = path if self.line is None else f"{path}:{self.line}:{self.column}"
        return f"{where}: error: {self.message} [{self.code}]"


def syntax_problem(path: str, error: TrelmSyntaxError, text: str) -> Problem:
    """A parse error of `text` at its line and column (in characters),
    without the position the message repeats."""
    message = str(error)
    suffix = f" at line {error.line}, column {error.column}"
    if message.endswith(suffix):
        message = message[: -len(suffix)]
    return Problem(path, message, error.line, character_column(text, error.offset), "jinja-syntax")


def character_column(text: str, byte_offset: int) -> int:
    """The 1-based column, in characters, of a byte offset into the UTF-8 form of text."""
    before = text.encode("utf-8")[:byte_offset].decode("utf-8", "ignore")
    return len(before) - (before.rfind("\n") + 1) + 1


@dataclass(frozen=True)
class ModelFile:
    """A file as read: the name it was given or found under (for messages),
    the file that name resolved to, its text and its status at that moment."""

    path: str
    target: str
    text: str
    status: os.stat_result


def printable(text: str) -> str:
    """The text with each byte of a name that is not UTF-8 (which Python
    keeps as a lone surrogate) written as an octal escape, as git writes it,
    so that the text can be printed as UTF-8."""
    if text.isascii():
        return text
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return "".join(map(printable_char, text))


def printable_char(char: str) -> str:
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\{code - 0xDC00:03o}"
    if 0xD800 <= code <= 0xDFFF:
        return f"\\u{code:04x}"
    return char


# The escapes of a path quoted as git quotes it; other bytes below 0x20, 0x7f
# and every byte from 0x80 on are written in octal.
GIT_ESCAPES = {7: "\\a", 8: "\\b", 9: "\\t", 10: "\\n", 11: "\\v", 12: "\\f", 13: "\\r", 34: '\\"', 92: "\\\\"}


def git_quoted(path: str) -> str:
    """The path as git writes it in a diff: as it is when each of its bytes is
    printable ASCII other than a double quote or backslash, else in double
    quotes with C escapes, which `git apply` and `patch` read back."""
    data = os.fsencode(path)
    if all(0x20 <= byte < 0x7F and byte not in GIT_ESCAPES for byte in data):
        return path
    parts = [
        GIT_ESCAPES.get(byte) or (chr(byte) if 0x20 <= byte < 0x7F else f"\\{byte:03o}") for byte in data
    ]
    return '"' + "".join(parts) + '"'


def missing_paths(paths: Iterable[str]) -> list[str]:
    """The paths that name nothing (a link that points nowhere included; a
    link loop is not missing, it is reported when read)."""
    missing = []
    for path in paths:
        try:
            os.stat(path)
        except FileNotFoundError:
            missing.append(path)
        except OSError:
            pass
    return missing


# Told of each folder a walk goes into: the folder as walked, its path
# below the folder searched (with a trailing separator; "" for that folder),
# the subfolders the walk goes into next, in order, and the names of its
# other entries.
FolderVisit = Callable[[str, str, list[str], list[str]], None]


def find_model_files(
    paths: Iterable[str],
    report: Callable[[Problem], None],
    excludes: Sequence[str] = (),
    each_file_once: bool = True,
    anchored: Anchored | None = None,
    visitor: Callable[[str, Ignores], FolderVisit] | None = None,
) -> list[str]:
    """The files named, and the *.sql files below the folders named, in the
    order given (folders walked in sorted order). A path met twice counts
    once; with `each_file_once` so does a file met under two names (a link
    and its target), as a command that reads or edits file by file wants,
    while in a project each name is a model of its own. A folder that yields
    no file is reported. `anchored` are exclude patterns relative to a
    folder of their own (a settings file's). `visitor(folder, ignores)`,
    when given, is told of every folder the walk of each folder named goes
    into, so that what else a search looks for needs no walk of its own."""
    found: list[str] = []
    seen: set[object] = set()
    key = file_identity if each_file_once else os.path.abspath
    paths = list(paths)
    # One folder's walk yields each name once: only several paths, or a file's
    # identity (a link and its target), can meet a file twice.
    may_repeat = each_file_once or len(paths) > 1

    for path in paths:
        files = [path]
        if os.path.isdir(path):
            ignores = Ignores(path, excludes, anchored)
            files = walk_models(path, report, ignores, visitor(path, ignores) if visitor is not None else None)
            if not files:
                report(Problem(path, "no .sql files"))
        if not may_repeat:
            found += files
            continue
        for file in files:
            identity = key(file)
            if identity not in seen:
                seen.add(identity)
                found.append(file)
    return found


def file_identity(path: str) -> object:
    """What tells one file from another whatever names lead to it; a path that
    names no file stands for itself (its reading reports why)."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return os.path.abspath(path)
    return status.st_dev, status.st_ino


def walk_models(
    folder: str, report: Callable[[Problem], None], ignores: Ignores, visit: FolderVisit | None = None
) -> list[str]:
    """The *.sql files below a folder that `ignores` keeps, sorted by their
    path within it; `visit` is told of each folder gone into, subfolders in
    sorted order. Symbolic links to folders are not followed, so a link
    cycle cannot loop and a search stays inside the folder."""

    def unreadable(error: OSError) -> None:
        report(Problem(error.filename or folder, f"cannot read folder: {error.strerror}"))

    files: list[str] = []
    for top, folders, names in os.walk(folder, onerror=unreadable):
        within = top[len(folder) :].lstrip(os.sep)
        below = within + os.sep if within else ""
        folders[:] = sorted(name for name in folders if not ignores.skips_folder(below + name))
        if visit is not None:
            visit(top, below, folders, names)
        prefix = os.path.join(top, "")  # joined once per folder
        for name in names:
            if name.endswith(MODEL_SUFFIX) and not ignores.skips_file(below + name):
                files.append(prefix + name)
    # By path component, so that a folder's files sort by name with its subfolders: with
    # the separator as the lowest character, the paths sort as their lists of components.
    return sorted(files, key=lambda path: path.replace(os.sep, "\0"))


def read_model(path: str) -> ModelFile | Problem:
    """The file's text, or why it cannot be had."""
    try:
        target, before = resolved(path)
        if not stat.S_ISREG(before.st_mode):
            return Problem(path, "not a regular file")
        # O_NONBLOCK: should a FIFO take the file's place after the check, the open does not wait for a writer.
        fd = os.open(target, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as e:
        return Problem(path, os_message("cannot read", e))
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            return Problem(path, "not a regular file")
        data = read_all(fd, status.st_size)
    except OSError as e:
        return Problem(path, os_message("cannot read", e))
    finally:
        os.close(fd)
    try:
        return ModelFile(path, target, data.decode("utf-8"), status)
    except UnicodeDecodeError as e:
        return not_utf8(path, data, e.start)


def resolved(path: str) -> tuple[str, os.stat_result]:
    """The file a path leads to, as an absolute path, and its status. Only a
    symbolic link is resolved: any other path names its file as it stands,
    and resolving each folder above it (one lstat apiece) was most of the
    cost of reading a small file."""
    status = os.lstat(path)
    if not stat.S_ISLNK(status.st_mode):
        # Joined, not normalized: `link/..` must stay the folder the kernel finds.
        return (path if os.path.isabs(path) else os.path.join(os.getcwd(), path)), status
    target = os.path.realpath(path, strict=True)
    return target, os.stat(target)


def read_all(fd: int, size: int) -> bytes:
    """What is left to read of an open file whose size was `size`: in one read
    as a rule, and to its end should it have grown since."""
    parts = [os.read(fd, size + 1)]
    while parts[-1]:
        parts.append(os.read(fd, 1 << 16))
    return b"".join(parts)


def read_standard_input(name: str, data: bytes) -> ModelFile | Problem:
    try:
        return ModelFile(name, "", data.decode("utf-8"), os.stat_result((0,) * 10))
    except UnicodeDecodeError as e:
        return not_utf8(name, data, e.start)


def not_utf8(path: str, data: bytes, offset: int) -> Problem:
    line = data.count(b"\n", 0, offset) + 1
    column = offset - (data.rfind(b"\n", 0, offset) + 1) + 1
    return Problem(path, f"not UTF-8 text: invalid byte 0x{data[offset]:02x}", line, column, "encoding")


def os_message(doing: str, error: OSError) -> str:
    if error.errno == errno.ELOOP:
        return "symbolic link loop"
    return f"{doing}: {error.strerror or error}"


def write_model(model: ModelFile, text: str) -> Problem | None:
    """Replaces the file's content through a temporary file in the same folder
    and a rename, so that an interrupted run leaves either the old file or the
    new one. Mode, owner and group are kept; a symbolic link stays a link and
    the file it resolved to when read is replaced. Read-only files, files with
    other hard links (a rename would split them) and files that changed since
    they were read are refused."""
    refusal = refusal_to_write(model)
    if refusal is not None:
        return Problem(model.path, refusal)
    data = text.encode("utf-8")
    folder, name = os.path.split(model.target)
    with deferred():
        try:
            fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
        except OSError as e:
            return Problem(model.path, os_message("cannot write", e))
        try:
            problem = fill(fd, data, model) or replace_if_unchanged(temp, model)
        except BaseException:
            discard(temp)
            raise
        if problem is not None:
            discard(temp)
            return problem
    sync_folder(folder)
    return None


def refusal_to_write(model: ModelFile) -> str | None:
    links = model.status.st_nlink
    if links > 1:
        return f"has {links} hard links; left unchanged"
    if not is_writable(model):
        return "read-only; left unchanged"
    return None


def is_writable(model: ModelFile) -> bool:
    """Writable by its mode and for the user running: a file without any write
    bit counts as read-only even for root, who may write anything."""
    if not model.status.st_mode & 0o222:
        return False
    effective = os.access in os.supports_effective_ids
    return os.access(model.target, os.W_OK, effective_ids=effective)


def fill(fd: int, data: bytes, model: ModelFile) -> Problem | None:
    """Writes the temporary file, gives it the owner, group and mode of the
    file it replaces, and syncs it; closes `fd`."""
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view) :]
        status = model.status
        mine = os.fstat(fd)
        if (mine.st_uid, mine.st_gid) != (status.st_uid, status.st_gid):
            try:
                os.fchown(fd, status.st_uid, status.st_gid)
            except PermissionError:
                return Problem(
                    model.path, f"cannot keep its owner and group ({status.st_uid}:{status.st_gid}); left unchanged"
                )
        # After the chown, which clears set-user-ID and set-group-ID bits.
        os.fchmod(fd, stat.S_IMODE(status.st_mode))
        os.fsync(fd)
    except OSError as e:
        return Problem(model.path, os_message("cannot write", e))
    finally:
        os.close(fd)
    return None


def replace_if_unchanged(temp: str, model: ModelFile) -> Problem | None:
    try:
        now = os.stat(model.target, follow_symlinks=False)
    except FileNotFoundError:
        now = None
    if now is None or identity(now) != identity(model.status):
        return Problem(model.path, "changed while editing; left unchanged")
    try:
        os.replace(temp, model.target)
    except OSError as e:
        return Problem(model.path, os_message("cannot write", e))
    return None


def identity(status: os.stat_result) -> tuple[int, int, int, int]:
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


def sync_folder(folder: str) -> None:
    """Makes the rename durable. The file is already replaced, so a folder
    that cannot be synced (some file systems refuse) is no failure of the edit."""
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def discard(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
