"""Lossless syntax trees for SQL model files with Jinja tags."""

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
