"""A repository's settings: the `[tool.trelm-cst]` table of its
`pyproject.toml`, found from the folder at hand upward (the nearest
`pyproject.toml` that has the table wins, as code formatters and linters find
theirs), or read from a TOML file named outright.

    [tool.trelm-cst]
    exclude = ["legacy/"]               # gitignore syntax, relative to this file's folder
    model-folders = ["models"]          # folders of each project folder, by name
    seed-folders = ["seeds"]
    snapshot-folders = ["snapshots"]
    external = ["events", "crm.accounts"]   # refs (and source.table) defined elsewhere
    extension-tags = ["blueprint"]      # statement tags an extension adds

    [tool.trelm-cst.check]
    select = ["missing-ref", "cycle"]   # default: every code
    ignore = ["unknown-tag"]
    per-file-ignores = { "staging/" = ["unused-model"] }
"""

from __future__ import annotations

import difflib
import functools
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from trelm_cst._ignore import PatternList

TABLE = "tool.trelm-cst"
SETTINGS_FILE = "pyproject.toml"

# Every code `check` reports. Those of a file that cannot be read or checked
# at all are always reported: leaving them out would pass a file never checked.
ALWAYS_REPORTED = frozenset({"file", "encoding", "round-trip"})
CODES = frozenset(
    {
        # the template engine and the SQL brackets, per file
        "jinja-syntax", "unclosed-block", "unmatched-end-tag", "misplaced-branch", "unknown-tag",
        "unbalanced-bracket",
        # suppression comments
        "invalid-suppression", "unused-suppression",
        # between the files of a project
        "missing-ref", "duplicate-name", "cycle", "unused-model", "missing-source", "ambiguous-ref", "yaml-syntax",
    }
)  # fmt: skip

TOP_KEYS = ("exclude", "model-folders", "seed-folders", "snapshot-folders", "external", "extension-tags", "check")
CHECK_KEYS = ("select", "ignore", "per-file-ignores")


class SettingsError(ValueError):
    """A settings file that cannot be read, or a key or value it may not hold."""


@dataclass(frozen=True)
class Settings:
    """What a settings file says, each key as a tuple (the defaults without
    one). `path` is the file read (None for the defaults); `exclude` and the
    keys of `per_file_ignores` are relative to its folder. `select` is None
    for every code."""

    path: str | None = None
    exclude: tuple[str, ...] = ()
    model_folders: tuple[str, ...] = ("models",)
    seed_folders: tuple[str, ...] = ("seeds",)
    snapshot_folders: tuple[str, ...] = ("snapshots",)
    external: tuple[str, ...] = ()
    extension_tags: tuple[str, ...] = ()
    select: tuple[str, ...] | None = None
    ignore: tuple[str, ...] = ()
    per_file_ignores: tuple[tuple[str, tuple[str, ...]], ...] = ()

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> Settings:
        """The `[tool.trelm-cst]` table of a TOML file. Raises SettingsError
        naming the key for an unknown key or a value of the wrong type, and
        for a file that cannot be read, is no TOML or has no such table."""
        path = os.path.abspath(os.fspath(path))
        table = read_table(path)
        if table is None:
            raise SettingsError(f"{path}: no [{TABLE}] table")
        return settings_of(path, table)

    @classmethod
    def find(cls, start: str | os.PathLike[str] = ".") -> Settings:
        """The settings of the nearest `pyproject.toml` with a `[tool.trelm-cst]`
        table in the folder `start` (a file's folder, for a file) or above it;
        the defaults when there is none. Raises SettingsError as `read` does."""
        folder = os.path.abspath(os.fspath(start))
        if not os.path.isdir(folder):
            folder = os.path.dirname(folder)
        while True:
            candidate = os.path.join(folder, SETTINGS_FILE)
            if os.path.isfile(candidate):
                table = read_table(candidate)
                if table is not None:
                    return settings_of(candidate, table)
            parent = os.path.dirname(folder)
            if parent == folder:
                return cls()
            folder = parent

    @property
    def root(self) -> str | None:
        """The folder of the settings file, against which its globs are read."""
        return None if self.path is None else os.path.dirname(self.path)

    def reports(self, path: str, code: str) -> bool:
        """Whether `check` reports a finding of `code` in the file at `path`."""
        if code in ALWAYS_REPORTED:
            return True
        if self.select is not None and code not in self.select:
            return False
        if code in self.ignore:
            return False
        return not any(code in codes for codes in ignored_codes(self, path))


def anchored_excludes(settings: Settings) -> tuple[str, tuple[str, ...]] | None:
    """(folder, patterns) of the settings' `exclude`, or None when it is empty."""
    root = settings.root
    return (root, settings.exclude) if root is not None and settings.exclude else None


def ignored_codes(settings: Settings, path: str) -> list[tuple[str, ...]]:
    """The codes of each per-file-ignores entry whose glob matches the path."""
    root = settings.root
    if root is None or not settings.per_file_ignores:
        return []
    relative = os.path.relpath(os.path.abspath(path), root)
    if relative == ".." or relative.startswith(".." + os.sep):
        return []
    return [codes for glob, codes in settings.per_file_ignores if matches(glob, relative)]


def matches(glob: str, relative: str) -> bool:
    """Whether a gitignore-style pattern matches a file or one of the folders it lies in."""
    from trelm_cst._ignore import as_pattern_path

    patterns = compiled(glob)
    if patterns is None:
        return False
    parts = as_pattern_path(relative).split("/")
    return any(patterns.verdict("/".join(parts[: i + 1]), i < len(parts) - 1) for i in range(len(parts)))


@functools.lru_cache(maxsize=256)
def compiled(glob: str) -> PatternList | None:
    """A glob read once, however many findings it is matched against."""
    from trelm_cst._ignore import pattern_list

    return pattern_list([os.fsencode(glob)], "")


def toml_module() -> Any:
    # An else branch, so that type checkers on either version skip the other.
    if sys.version_info >= (3, 11):
        import tomllib

        return tomllib
    else:
        import tomli  # the same parser, for Python 3.10

        return tomli


def read_table(path: str) -> dict[str, Any] | None:
    """The `[tool.trelm-cst]` table of a TOML file, None when it has none."""
    toml = toml_module()
    try:
        with open(path, "rb") as f:
            data = toml.load(f)
    except OSError as e:
        raise SettingsError(f"{path}: cannot read: {e.strerror or e}") from None
    except UnicodeDecodeError as e:
        raise SettingsError(f"{path}: not UTF-8 text: {e.reason}") from None
    except toml.TOMLDecodeError as e:
        raise SettingsError(f"{path}: not valid TOML: {e}") from None
    tool = data.get("tool")
    if not isinstance(tool, dict) or "trelm-cst" not in tool:
        return None
    table = tool["trelm-cst"]
    if not isinstance(table, dict):
        raise SettingsError(f"{path}: `{TABLE}` must be a table, not {type_name(table)}")
    return table


def settings_of(path: str, table: dict[str, Any]) -> Settings:
    check_keys(path, table, TOP_KEYS, TABLE)
    check = table.get("check", {})
    if not isinstance(check, dict):
        raise SettingsError(f"{path}: `{TABLE}.check` must be a table, not {type_name(check)}")
    check_keys(path, check, CHECK_KEYS, f"{TABLE}.check")

    def strings(key: str, value: Any, check_each: Callable[[str, str], str | None] | None = None) -> tuple[str, ...]:
        return string_list(path, key, value, check_each)

    def setting(
        key: str, default: tuple[str, ...], check_each: Callable[[str, str], str | None] | None = None
    ) -> tuple[str, ...]:
        return strings(f"{TABLE}.{key}", table[key], check_each) if key in table else default

    folders = {
        key: setting(key, (default,), folder_name) for key, default in
        (("model-folders", "models"), ("seed-folders", "seeds"), ("snapshot-folders", "snapshots"))
    }  # fmt: skip
    for key, names in folders.items():
        if not names:
            raise SettingsError(f"{path}: `{TABLE}.{key}` needs at least one folder name")
    seen: dict[str, str] = {}
    for key, names in folders.items():
        for name in names:
            if seen.setdefault(name, key) != key:
                raise SettingsError(f"{path}: folder {name!r} is in both `{TABLE}.{seen[name]}` and `{TABLE}.{key}`")
    select = strings(f"{TABLE}.check.select", check["select"], code_name) if "select" in check else None
    ignore = strings(f"{TABLE}.check.ignore", check.get("ignore", []), code_name)
    per_file = check.get("per-file-ignores", {})
    if not isinstance(per_file, dict):
        raise SettingsError(
            f"{path}: `{TABLE}.check.per-file-ignores` must be a table of globs to lists of codes, "
            f"not {type_name(per_file)}"
        )
    per_file_ignores = tuple(
        (glob, strings(f"{TABLE}.check.per-file-ignores.{toml_key(glob)}", codes, code_name))
        for glob, codes in per_file.items()
    )
    return Settings(
        path=path,
        exclude=setting("exclude", ()),
        model_folders=folders["model-folders"],
        seed_folders=folders["seed-folders"],
        snapshot_folders=folders["snapshot-folders"],
        external=setting("external", ()),
        extension_tags=setting("extension-tags", (), tag_name),
        select=select,
        ignore=ignore,
        per_file_ignores=per_file_ignores,
    )


def check_keys(path: str, table: dict[str, Any], known: Sequence[str], prefix: str) -> None:
    for key in table:
        if key not in known:
            close = difflib.get_close_matches(key, known, n=3, cutoff=0.6)
            hint = "; did you mean " + " or ".join(f"`{c}`" for c in close) + "?" if close else ""
            raise SettingsError(f"{path}: unknown key `{prefix}.{toml_key(key)}`{hint}")


def string_list(
    path: str, key: str, value: Any, check_each: Callable[[str, str], str | None] | None = None
) -> tuple[str, ...]:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise SettingsError(f"{path}: `{key}` must be a list of strings, not {type_name(value)}")
    if check_each is not None:
        for item in value:
            why = check_each(key, item)
            if why is not None:
                raise SettingsError(f"{path}: `{key}`: {why}")
    return tuple(value)


def folder_name(key: str, name: str) -> str | None:
    if not name or name in (".", "..") or "/" in name or os.sep in name:
        return f"{name!r} is no folder name (a name inside each project folder, without slashes)"
    return None


def tag_name(key: str, name: str) -> str | None:
    # The engine's lexer reads a tag's name as an identifier: any other text would never match a tag.
    if not name.isidentifier():
        return f"{name!r} is no tag name (a name such as `blueprint`)"
    return None


def code_name(key: str, code: str) -> str | None:
    if code in ALWAYS_REPORTED:
        return f"`{code}` is always reported: a file that cannot be checked is never passed over"
    if code not in CODES:
        close = difflib.get_close_matches(code, sorted(CODES), n=3, cutoff=0.6)
        hint = "; did you mean " + " or ".join(f"`{c}`" for c in close) + "?" if close else ""
        return f"unknown code {code!r}{hint}"
    return None


def toml_key(key: str) -> str:
    """A key as TOML writes it in a dotted name: bare when it may be."""
    bare = key and all(c.isascii() and (c.isalnum() or c in "-_") for c in key)
    return key if bare else '"' + key.replace("\\", "\\\\").replace('"', '\\"') + '"'


def type_name(value: Any) -> str:
    names = {str: "a string", bool: "a boolean", int: "an integer", float: "a number", dict: "a table", list: "a list"}
    other = [item for item in value if not isinstance(item, str)] if isinstance(value, list) else []
    if other:
        return "a list holding " + type_name(other[0])
    return next((name for kind, name in names.items() if type(value) is kind), type(value).__name__)
