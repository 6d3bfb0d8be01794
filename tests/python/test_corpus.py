"""Real model files, read at run time from the shared corpus when it is
present, in one pass: each parses, prints back byte for byte, keeps every
span and location, renames its refs and sources there and back to the same
bytes, and survives an edit of its SELECT lists that reparses to the same
columns, with spans and locations that follow the edit."""

import pathlib
import re

import pytest

from trelm_cst import TrelmSyntaxError, parse_trelm

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
FILES = sorted(CORPUS.rglob("*.sql")) if CORPUS.is_dir() else []

pytestmark = pytest.mark.skipif(not FILES, reason="shared corpus not present")


def read(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def significant(text):
    return re.sub(r"(\s*--[^\n]*)+\s*$", "", text)


def spans_hold(doc):
    """Every node, token, query, clause, CTE, select, column, config and call
    covers its own text in str(doc)."""
    from test_tree_api import every_object

    text = str(doc)
    for obj, expected in every_object(doc):
        span = obj.span
        if span is None or text[span[0] : span[1]] != expected:
            return f"{obj!r} at {span}"
    return None


def locations_hold(doc):
    """location() at the start of every line and of the token after it,
    against a count made here."""
    text = str(doc)
    line, start = 1, 0
    while True:
        if doc.location(start) != (line, 1):
            return f"line {line}"
        if start < len(text) and doc.location(start + 1) != ((line, 2) if text[start] != "\n" else (line + 1, 1)):
            return f"after the start of line {line}"
        found = text.find("\n", start)
        if found < 0:
            break
        line, start = line + 1, found + 1
    if doc.location(len(text)) != (line, len(text) - start + 1):
        return "the end"
    return None


def renamed_there_and_back(doc, text):
    """Renames every ref and source, then back; the number of calls renamed,
    or what went wrong."""
    refs, sources = doc.refs, doc.sources
    models = {args[-1] for args in refs}
    renamed = sum(doc.rename_ref(model, f"zz_{model}") for model in models)
    for source, table in sources:
        doc.rename_source((source, table), (f"zz'{source}", f'zz"{table}'))
    if doc.refs != [(*args[:-1], f"zz_{args[-1]}") for args in refs]:
        return "refs after renaming"
    for model in models:
        doc.rename_ref(f"zz_{model}", model)
    for source, table in sources:
        doc.rename_source((f"zz'{source}", f'zz"{table}'), (source, table))
    return renamed if str(doc) == text else "renamed back to other bytes"


def edited_selects_reparse(doc):
    """Edits the SELECT lists of the first three queries; what went wrong, or None."""
    for q in doc.queries()[:3]:
        s = q.select
        if s is None:
            continue
        s.add("zz_added_col")
        s.add("zz_first", 0)
        if len(s) > 2:
            s.remove(s.columns[1])
        live = [significant(c.text) for c in s if significant(c.text)]
        # The edited SELECT is found again at the same place.
        idx = [i for i, other in enumerate(doc.queries()) if other == q][0]
        if [significant(c.text) for c in parse_trelm(str(doc)).queries()[idx].select] != live:
            return f"query {idx} reparsed to other columns"
    return None


def test_every_file_round_trips_reads_renames_and_edits():
    failures, renamed, edited = [], 0, 0
    for path in FILES:
        text = read(path)
        try:
            doc = parse_trelm(text)
        except TrelmSyntaxError as e:
            failures.append(f"{path.name}: {e}")
            continue
        if str(doc) != text:
            failures.append(f"{path.name}: printed text differs")
        for q in doc.queries():
            for s in q.selects:
                for col in s:
                    (col.name, col.alias, col.expr, col.is_templated)
            for cte in q.ctes:
                (cte.name, cte.query)
        if problem := spans_hold(doc) or locations_hold(doc):
            failures.append(f"{path.name} (parsed): {problem}")
        count = renamed_there_and_back(doc, text)
        if isinstance(count, str):
            failures.append(f"{path.name}: {count}")
            continue
        renamed += count
        if problem := edited_selects_reparse(doc):
            failures.append(f"{path.name}: {problem}")
        edited += doc.query is not None and doc.query.select is not None
        if doc.config is not None:
            doc.config["zz_key"] = "v"
        if problem := spans_hold(doc) or locations_hold(doc):
            failures.append(f"{path.name} (edited): {problem}")
    assert failures == []
    assert renamed > 0 and edited > 0
