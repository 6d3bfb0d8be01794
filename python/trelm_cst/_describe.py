"""What `inspect` says about one model file, as plain JSON-ready data."""

from __future__ import annotations

import math
from typing import Any

from trelm_cst._native import Config, Document

# Deeper literal values are shown as their Jinja source: JSON encoders recurse
# once per level.
MAX_JSON_DEPTH = 100


def describe(path: str, doc: Document) -> dict[str, Any]:
    """The file's metadata and its top-level columns, keys in a fixed order."""
    configs = doc.configs
    values, jinja = merge_configs(configs) if configs else (None, None)
    query = doc.query
    select = query.select if query is not None else None
    columns = [] if select is None else [
        {"name": c.name, "alias": c.alias, "expr": c.expr, "is_templated": c.is_templated}
        for c in select.columns
    ]
    return {
        "path": path,
        "config": values,
        "config_jinja": jinja,
        "config_calls": len(configs),
        "refs": [list(ref) for ref in doc.refs],
        "sources": [list(source) for source in doc.sources],
        "queries": len(doc.queries()),
        "columns": columns,
    }


def merge_configs(configs: list[Config]) -> tuple[dict[str, Any], dict[str, str]]:
    """The arguments of every config call, a later call's value for a key
    replacing an earlier one's, as the model runs with them."""
    values: dict[str, Any] = {}
    jinja: dict[str, str] = {}
    for config in configs:
        more_values, more_jinja = split_config(config)
        for key, value in more_values.items():
            jinja.pop(key, None)
            values[key] = value
        for key, source in more_jinja.items():
            values.pop(key, None)
            jinja[key] = source
    return values, jinja


def split_config(config: Config) -> tuple[dict[str, Any], dict[str, str]]:
    """The config arguments whose values JSON can hold as they are, and the
    Jinja source of the others (expressions such as var("x"), and literals
    with keys JSON has no place for)."""
    values: dict[str, Any] = {}
    jinja: dict[str, str] = {}
    for key in config.keys():
        if key in values or key in jinja:
            continue
        literal, value = read_literal(config, key)
        if literal and is_plain_json(value):
            values[key] = value
        else:
            jinja[key] = config.raw(key) or ""
    return values, jinja


def read_literal(config: Config, key: str) -> tuple[bool, object]:
    """Whether the value is a literal, and its Python value when it is."""
    try:
        return True, config[key]
    except (ValueError, TypeError):  # an expression, or a dict literal with unhashable keys
        return False, None


def has_decimal_form(n: int) -> bool:
    """Whether str() writes the int: Python refuses past its digit limit."""
    try:
        str(n)
    except ValueError:
        return False
    return True


def is_plain_json(value: object) -> bool:
    """True when the value reads back from JSON unchanged: dict keys are all
    strings, floats are finite, ints have few enough digits for Python to
    write, nesting is shallow enough to encode."""
    pending: list[tuple[object, int]] = [(value, 0)]
    while pending:
        item, depth = pending.pop()
        if depth > MAX_JSON_DEPTH:
            return False
        if isinstance(item, float) and not math.isfinite(item):
            return False
        if isinstance(item, int) and item.bit_length() > 64 and not has_decimal_form(item):
            return False
        if isinstance(item, list):
            pending.extend((element, depth + 1) for element in item)
        elif isinstance(item, dict):
            if not all(isinstance(k, str) for k in item):
                return False
            pending.extend((element, depth + 1) for element in item.values())
    return True
