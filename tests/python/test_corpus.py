"""Real model files, read at run time from the shared corpus when it is
present: each parses, prints back byte for byte, and survives an edit of its
SELECT list that reparses to the same columns."""

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


def test_every_file_round_trips_and_reads():
    failures = []
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
    assert failures == []


def test_edits_reparse_to_the_live_columns():
    edited = 0
    for path in FILES:
        text = read(path)
        try:
            doc = parse_trelm(text)
        except TrelmSyntaxError:
            continue
        for q in doc.queries()[:3]:
            s = q.select
            if s is None:
                continue
            s.add("zz_added_col")
            s.add("zz_first", 0)
            if len(s) > 2:
                s.remove(s.columns[1])
            live = [significant(c.text) for c in s if significant(c.text)]
            again = parse_trelm(str(doc))
            # The edited SELECT is found again at the same place.
            idx = [i for i, other in enumerate(doc.queries()) if other == q][0]
            reparsed = again.queries()[idx].select
            assert [significant(c.text) for c in reparsed] == live, path.name
            edited += 1
    assert edited > 0


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


def test_spans_and_locations_before_and_after_edits():
    failures = []
    for path in FILES:
        doc = parse_trelm(read(path))
        for stage in ("parsed", "edited"):
            problem = spans_hold(doc) or locations_hold(doc)
            if problem:
                failures.append(f"{path.name} ({stage}): {problem}")
            s = doc.query.select if doc.query else None
            if s is not None:
                s.add("zz_added", 0)
                if len(s) > 2:
                    s.columns[-1].detach()
            if doc.config is not None:
                doc.config["zz_key"] = "v"
    assert failures == []


def test_renaming_every_ref_and_source_and_back_gives_the_same_bytes():
    renamed = 0
    for path in FILES:
        text = read(path)
        doc = parse_trelm(text)
        refs = {args[-1] for args in doc.refs}
        sources = set(doc.sources)
        for model in refs:
            renamed += doc.rename_ref(model, f"zz_{model}")
        for source, table in sources:
            doc.rename_source((source, table), (f"zz'{source}", f'zz"{table}'))
        assert doc.refs == [(*args[:-1], f"zz_{args[-1]}") for args in parse_trelm(text).refs], path.name
        for model in refs:
            doc.rename_ref(f"zz_{model}", model)
        for source, table in sources:
            doc.rename_source((f"zz'{source}", f'zz"{table}'), (source, table))
        assert str(doc) == text, path.name
    assert renamed > 0
