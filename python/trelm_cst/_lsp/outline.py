"""The shape of a file and of the workspace: the symbols of a document (its
config, CTEs and output columns), models, seeds and snapshots by name, and
the regions an editor may fold."""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable

from lsprotocol import types

from trelm_cst import Config, Cte, Document, Model, Project, Query
from trelm_cst._lsp.positions import TextPositions

Span = tuple[int, int]


def document_symbols(doc: Document, text: str, positions: TextPositions) -> list[types.DocumentSymbol]:
    """The config call with its keys, each CTE with its columns (and its own
    CTEs), and the final SELECT with its columns, in file order."""

    def symbol(
        name: str,
        kind: types.SymbolKind,
        span: Span,
        detail: str | None = None,
        children: list[types.DocumentSymbol] | None = None,
    ) -> types.DocumentSymbol:
        where = positions.range(*span)
        selection = name_range(text, span, name, positions)
        return types.DocumentSymbol(
            name=name, kind=kind, range=where, selection_range=selection or where, detail=detail, children=children
        )

    def config_symbol(config: Config) -> types.DocumentSymbol | None:
        if config.span is None:
            return None
        keys = []
        for key, key_span in config_key_spans(text, config.span):
            keys.append(symbol(key, types.SymbolKind.Property, key_span, config.raw(key)))
        return symbol("config", types.SymbolKind.Object, config.span, None, keys)

    def query_symbols(query: Query) -> list[types.DocumentSymbol]:
        found = []
        for cte in query.ctes:
            if cte.span is None or cte.name is None:
                continue
            inner = query_symbols(cte.query) if cte.query is not None else []
            found.append(symbol(cte.name, types.SymbolKind.Struct, cte_extent(text, cte), "CTE", inner))
        found += column_symbols(query)
        return found

    def column_symbols(query: Query) -> list[types.DocumentSymbol]:
        found = []
        for select in query.selects:
            for column in select.columns:
                if column.span is not None:
                    name = column.name or column.text
                    detail = column.text if column.name and column.name != column.text else None
                    found.append(symbol(name, types.SymbolKind.Field, column.span, detail))
        return found

    symbols = [s for s in map(config_symbol, doc.configs) if s is not None]
    query = doc.query
    if query is not None and query.span is not None:
        inner = query_symbols(query)
        ctes = [s for s in inner if s.kind == types.SymbolKind.Struct]
        columns = [s for s in inner if s.kind != types.SymbolKind.Struct]
        symbols += ctes
        final = final_query(doc, text, query)
        if final is not query and final is not None:
            columns = column_symbols(final)
        select = final.selects[0] if final is not None else None
        if select is not None and select.span is not None:
            last = final.selects[-1].span if final is not None else None
            span = (select.span[0], last[1] if last else select.span[1])
            symbols.append(symbol("select", types.SymbolKind.Function, span, None, columns))
    return symbols


def cte_extent(text: str, cte: Cte) -> Span:
    """From the CTE's name to its closing parenthesis. (Its node may go on
    over template tags that follow it, up to the next SQL.)"""
    span = cte.span or (0, 0)
    body = cte.query.span if cte.query is not None else None
    if body is not None:
        close = text.find(")", body[1], span[1])
        if close >= 0:
            return span[0], close + 1
    return span


def final_query(doc: Document, text: str, query: Query) -> Query | None:
    """The query whose SELECT gives the file's rows: the top query's own, or,
    where a template block holds that SELECT, the first query after its CTEs."""
    if query.selects:
        return query
    ctes = [cte_extent(text, cte) for cte in query.ctes if cte.span is not None]
    top = query.span or (0, 0)
    for inner in doc.queries():
        span = inner.span
        if span is None or not inner.selects or not (top[0] <= span[0] and span[1] <= top[1]):
            continue
        if not any(start <= span[0] and span[1] <= end for start, end in ctes):
            return inner
    return None


def name_range(text: str, span: Span, name: str, positions: TextPositions) -> types.Range | None:
    """Where a symbol's name is written within its span: the last time for a
    column (its alias ends it), the first for the rest."""
    found = text.rfind(name, *span) if name and text.startswith(name, span[1] - len(name)) else text.find(name, *span)
    if found < 0:
        found = text.lower().find(name.lower(), *span)
    return positions.range(found, found + len(name)) if found >= 0 else None


# ---------------------------------------------------------------- config keys


def config_key_spans(text: str, tag: Span) -> list[tuple[str, Span]]:
    """The keyword names of the config call in the tag at `tag`, with where
    each is written: names followed by `=` directly inside the call's parentheses."""
    start = text.find("(", *tag)
    if start < 0:
        return []
    found = []
    depth = 0
    index = start
    end = tag[1]
    while index < end:
        char = text[index]
        if char in "'\"":
            index = string_end(text, index, end)
            continue
        if char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
            if depth == 0:
                break
        elif depth == 1 and (char.isalpha() or char == "_"):
            word = WORD.match(text, index, end)
            assert word is not None
            after = AFTER_KEY.match(text, word.end(), end)
            if after is not None:
                found.append((word.group(), word.span()))
            index = word.end()
            continue
        index += 1
    return found


WORD = re.compile(r"\w+")
AFTER_KEY = re.compile(r"\s*=(?!=)")


def string_end(text: str, start: int, end: int) -> int:
    """The index after the string literal opening at `start`."""
    quote = text[start]
    index = start + 1
    while index < end:
        if text[index] == "\\":
            index += 2
            continue
        if text[index] == quote:
            return index + 1
        index += 1
    return end


# ---------------------------------------------------------------- workspace symbols


def workspace_symbols(
    project: Project, query: str, location: Callable[[Model], types.Location]
) -> list[types.SymbolInformation]:
    """Models, seeds and snapshots whose name holds the query's characters in
    order (ignoring case), the closest first: names starting with it, then
    holding it, then the rest."""
    found = []
    for kind, symbol_kind, nodes in (
        ("model", types.SymbolKind.File, project.models),
        ("seed", types.SymbolKind.Constant, project.seeds),
        ("snapshot", types.SymbolKind.Class, project.snapshots),
    ):
        for node, model in nodes.items():
            rank = match_rank(query, model.name)
            if rank is not None:
                container = f"{kind} in {model.project}" if model.project else kind
                found.append(
                    (
                        rank,
                        node,
                        types.SymbolInformation(
                            name=model.name, kind=symbol_kind, location=location(model), container_name=container
                        ),
                    )
                )
    found.sort(key=lambda item: (item[0], item[1]))
    return [information for _, _, information in found]


def match_rank(query: str, name: str) -> int | None:
    """0 when `name` starts with `query`, 1 when it holds it, 2 when it holds
    its characters in order, None when it does not match (case ignored)."""
    query, name = query.lower(), name.lower()
    if name.startswith(query):
        return 0
    if query in name:
        return 1
    rest = iter(name)
    return 2 if all(char in rest for char in query) else None


# ---------------------------------------------------------------- folding

TAG_NAME = re.compile(r"\{%[-+]?\s*(\w+)")
BRANCHES = frozenset({"elif", "else"})


def folding_ranges(doc: Document, text: str, positions: TextPositions) -> list[types.FoldingRange]:
    """Jinja blocks (from the opening tag to the line before the closing
    one, which stays in view), raw blocks and multi-line comments, CTEs and
    config calls."""

    def line(offset: int) -> int:
        return positions.position(offset).line

    found: list[tuple[int, int, str | None]] = []
    for start, end in jinja_blocks(doc):
        found.append((line(start), line(end) - 1, None))
    for token in doc.tokens():
        if token.kind in ("jinja_raw", "jinja_comment", "block_comment") and token.span is not None:
            kind = types.FoldingRangeKind.Comment if token.kind != "jinja_raw" else None
            found.append((line(token.span[0]), line(token.span[1]), kind))
    for span in region_spans(doc, text):
        found.append((line(span[0]), line(span[1]), types.FoldingRangeKind.Region))
    unique = {(start, end): kind for start, end, kind in found if end > start}
    return [types.FoldingRange(start_line=s, end_line=e, kind=k) for (s, e), k in sorted(unique.items())]


def jinja_blocks(doc: Document) -> list[Span]:
    """(opening tag's start, closing tag's start) of each Jinja block: a tag
    closed by an `end` tag of its name. Tags that open no block (`set x =
    1`, `do`) are passed over when a closing tag is met."""
    opened: list[tuple[str, int]] = []
    blocks = []
    for token in doc.tokens():
        if token.kind != "jinja_statement" or token.span is None:
            continue
        match = TAG_NAME.match(token.text)
        if match is None or match.group(1) in BRANCHES:
            continue
        name = match.group(1)
        if name.startswith("end"):
            for depth in range(len(opened) - 1, -1, -1):
                if opened[depth][0] == name[3:]:
                    blocks.append((opened[depth][1], token.span[0]))
                    del opened[depth:]
                    break
        else:
            opened.append((name, token.span[0]))
    return blocks


def region_spans(doc: Document, text: str) -> Iterable[Span]:
    """Config calls and the CTEs of every query."""
    for config in doc.configs:
        if config.span is not None:
            yield config.span
    for query in doc.queries():
        for cte in query.ctes:
            if cte.span is not None:
                yield cte_extent(text, cte)
