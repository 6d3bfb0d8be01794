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
