"""Lossless syntax trees for SQL model files with Jinja tags."""

from importlib.metadata import PackageNotFoundError, version

from trelm_cst._native import (
    Clause,
    Column,
    Config,
    Cte,
    Document,
    Query,
    Select,
    TrelmSyntaxError,
    parse_trelm,
    render_literal,
)

try:
    __version__ = version("trelm_cst")
except PackageNotFoundError:  # imported from a build tree rather than an installed package
    __version__ = "0+unknown"

__all__ = [
    "Clause",
    "Column",
    "Config",
    "Cte",
    "Document",
    "Query",
    "Select",
    "TrelmSyntaxError",
    "parse_trelm",
    "render_literal",
]
