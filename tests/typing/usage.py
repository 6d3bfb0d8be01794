"""Typed use of every part of the API. Checked with `mypy --strict` and also run,
so that it stays true to the module. The `type: ignore` lines are misuses the
types must catch: with warn_unused_ignores (part of --strict) an ignore that
is no longer needed fails the check."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import trelm_cst
from trelm_cst import (
    Call,
    Column,
    Config,
    Cte,
    Document,
    Node,
    Query,
    Select,
    Token,
    TrelmSyntaxError,
    parse_literal,
    parse_trelm,
    render_literal,
)

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "orders.sql"


def columns_of(doc: Document) -> list[tuple[str | None, str | None, str, bool]]:
    query: Query | None = doc.query
    if query is None or query.select is None:
        return []
    return [(c.name, c.alias, c.expr, c.is_templated) for c in query.select]


def edit_select(select: Select) -> str:
    column: Column = select.add("orders.amount * 2 AS doubled", index=1)
    column.text = "orders.amount * 3 AS tripled"
    position: int | None = select.index("tripled")
    assert position == 1 and "tripled" in select
    found: Column | None = select.find("TRIPLED")
    assert found is not None and found == column and found.select == select
    assert select.remove("tripled") and not column.detach()
    return ", ".join(name or "?" for name in select.names)


def edit_config(config: Config) -> dict[str, object]:
    config["tags"] = ["finance", ("daily", 1)]
    config.set_raw("schema", "var('schema')")
    del config["style"]
    raw: str | None = config.raw("schema")
    fallback: int | str | float | list[Any] | dict[Any, Any] | None = config.get("missing", 0)
    return {"keys": config.keys(), "raw": raw, "fallback": fallback, "len": len(config), "in": "tags" in config}


def walk(doc: Document) -> list[str]:
    names: list[str] = []
    for query in doc.queries():
        names.extend(clause.name for clause in query.clauses)
        cte: Cte | None = query.cte("ORDERS")
        if cte is not None and cte.query is not None:
            names.append(f"{cte.name}: {len(cte.query.selects)} select")
    return names


def positions(doc: Document) -> list[object]:
    text = str(doc)
    found: list[object] = []
    stack: list[Node] = [doc.root]
    while stack:
        node = stack.pop()
        for child in node.children:
            span: tuple[int, int] | None = child.span
            assert span is not None and text[span[0] : span[1]] == str(child)
            if isinstance(child, Node):
                stack.append(child)
    tokens: list[Token] = doc.tokens()
    line, column = doc.location(len(text))
    calls: list[Call] = doc.calls("ref")
    found.extend([len(tokens), line, column, [parse_literal(c.args[0]) for c in calls], calls[0].kwargs])
    found.append(doc.rename_ref("stg_orders", "orders") + doc.rename_source(("a", "b"), ("c", "d")))
    return found


def error_position(text: str) -> tuple[int, int, int] | None:
    try:
        Document.parse(text)
    except TrelmSyntaxError as e:
        return e.line, e.column, e.offset
    return None


def misuses(doc: Document) -> None:
    doc.query.select  # type: ignore[union-attr]  # query may be None
    doc.config["x"] = 1  # type: ignore[index]  # config may be None
    parse_trelm(b"select 1")  # type: ignore[arg-type]
    render_literal({1, 2})  # type: ignore[arg-type]  # sets have no literal form
    assert doc.query is not None and doc.query.select is not None
    doc.query < doc.query  # type: ignore[operator]  # queries have no order
    doc.query.select.columns[0].text = None  # type: ignore[assignment]
    doc.root.kind == "table"  # type: ignore[comparison-overlap]  # not a node kind
    doc.rename_source("a.b", ("c", "d"))  # type: ignore[arg-type]


def main() -> None:
    doc = parse_trelm(EXAMPLE.read_text(encoding="utf-8"))
    assert str(doc) == doc.to_string()
    print(trelm_cst.__version__, repr(doc), doc.refs, doc.sources)
    print(columns_of(doc))
    print(walk(doc))
    print(positions(doc))
    assert doc.query is not None and doc.query.select is not None and doc.config is not None
    print(edit_select(doc.query.select))
    print(edit_config(doc.config))
    print(render_literal({"a": [1, None]}, quote="'"), error_position("select {{ x"))
    assert {doc.query: 1}[doc.query] == 1


if __name__ == "__main__":
    main()
