"""Lossless syntax trees for SQL model files with Jinja tags."""

from trelm_cst._native import (
    Clause,
    Column,
    Cte,
    Document,
    Query,
    Select,
    TrelmSyntaxError,
    parse_trelm,
)

__all__ = [
    "Clause",
    "Column",
    "Cte",
    "Document",
    "Query",
    "Select",
    "TrelmSyntaxError",
    "parse_trelm",
]
