"""Lossless syntax trees for SQL model files with Jinja tags."""

# Not imported from typing: importing typing alone costs more than the module.
TYPE_CHECKING = False

from trelm_cst._native import (
    Call,
    Clause,
    Column,
    ColumnRef,
    ConditionalColumn,
    Config,
    Cte,
    Diagnostic,
    Document,
    Node,
    Query,
    Relation,
    Select,
    Token,
    TrelmSyntaxError,
    parse_literal,
    parse_trelm,
    render_literal,
)

if TYPE_CHECKING:
    from trelm_cst._lineage import LineageStep
    from trelm_cst._project import Cycle, Model, Project, Ref
    from trelm_cst._rename import ModelRename
    from trelm_cst._settings import Settings

    __version__: str

# The project classes bring the file search, a thread pool and dataclasses
# with them: a caller that only parses does not pay for their import.
_PROJECT_NAMES = frozenset({"Cycle", "LineageStep", "Model", "ModelRename", "Project", "Ref"})


def __getattr__(name: str) -> object:
    if name in _PROJECT_NAMES or name == "Settings":
        from trelm_cst import _project, _settings

        value = getattr(_settings if name == "Settings" else _project, name)
        globals()[name] = value
        return value
    # Reading the installed metadata costs more than the whole rest of the
    # import, so it waits until someone asks for the version.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        found = version("trelm_cst")
    except PackageNotFoundError:  # imported from a build tree rather than an installed package
        found = "0+unknown"
    globals()["__version__"] = found
    return found

def __dir__() -> list[str]:
    return sorted(set(globals()) | _PROJECT_NAMES | {"Settings"})


__all__ = [
    "Call",
    "Clause",
    "Column",
    "ColumnRef",
    "ConditionalColumn",
    "Config",
    "Cte",
    "Cycle",
    "Diagnostic",
    "Document",
    "LineageStep",
    "Model",
    "ModelRename",
    "Node",
    "Project",
    "Query",
    "Ref",
    "Relation",
    "Select",
    "Settings",
    "Token",
    "TrelmSyntaxError",
    "parse_literal",
    "parse_trelm",
    "render_literal",
]
