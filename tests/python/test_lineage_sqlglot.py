"""Resolved direct reads against sqlglot: on the shared corpus files whose
Jinja is only ref, source and config tags, each output column's set of
(relation, column) read directly, through the file's CTEs and subqueries,
is what sqlglot's scope and lineage functions give on the same text with each
tag replaced by a table name. Both sides know the same upstream columns: the
ones the project reads from the referenced models are sqlglot's schema."""

from __future__ import annotations

import collections
import os
import pathlib
import re
from dataclasses import dataclass

import pytest

from trelm_cst import Project

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
TAG = re.compile(r"\{\{-?\s*(ref|source|config)\s*\((.*?)\)\s*-?\}\}", re.S)
OTHER_JINJA = re.compile(r"\{[{%#]")
# One qualifying file in this many is compared (the whole corpus takes
# sqlglot about a minute); TRELM_SQLGLOT_STEP=1 compares every one.
STEP = int(os.environ.get("TRELM_SQLGLOT_STEP", "8"))

def table_name(kind: str, arguments: str) -> str:
    return "__".join([kind, *re.findall(r"['\"]([^'\"]*)['\"]", arguments)])


def plain_text(text: str) -> str | None:
    """The text with each ref or source tag a table name and config tags
    dropped; None when other Jinja is left."""
    out = TAG.sub(lambda m: "" if m.group(1) == "config" else table_name(m.group(1), m.group(2)), text)
    return None if OTHER_JINJA.search(out) else out


def dialect(path: pathlib.Path) -> str:
    return "bigquery" if "teamster" in path.parts else "snowflake"


def our_reads(step) -> set[tuple[str, str]] | str:
    """(relation, column) pairs one model up, as sqlglot names the relations;
    the kind instead when the column does not resolve to relations."""
    found = set()
    for child in step.steps:
        if child.model is None and child.source is None and child.table is None:
            return child.kind  # ambiguous, unresolved or templated within the file
        if child.source is not None:
            relation = table_name("source", repr(child.source))
        elif child.table is not None:
            relation = child.table
        else:
            relation = "ref__" + child.model.rpartition("/")[2]
        # Through a `*` over a source or table: one `*` edge, as sqlglot gives it.
        column = "*" if child.kind == "star" and child.model is None else child.column or ""
        found.add((relation.lower(), column.lower()))
    return found


def their_reads(exp, node) -> tuple[set[tuple[str, str]], bool]:
    """The (table, column) leaves of one output column's lineage, and
    whether some column was left unplaced (a placeholder leaf)."""
    found, unplaced = set(), False
    for leaf in node.walk():
        if leaf.downstream:
            continue
        if isinstance(leaf.expression, exp.Table):
            table = ".".join(part.name for part in leaf.expression.parts).lower()
            found.add((table, leaf.name.rpartition(".")[2].strip('"`').lower()))
        unplaced |= isinstance(leaf.expression, exp.Placeholder)
    return found, unplaced


@dataclass
class Case:
    """One output column that differs: our reads (or the kind of an
    unresolved step) and sqlglot's, in the file's plain text and tree."""

    file: str
    text: str
    tree: object
    ours: set[tuple[str, str]] | str
    theirs: set[tuple[str, str]]
    unplaced: bool  # sqlglot left some column unplaced
    missing: bool  # not among sqlglot's output columns

    @property
    def relations_read(self) -> set[tuple[str, str]]:
        return set() if isinstance(self.ours, str) else self.ours

    @property
    def relations(self) -> set[str]:
        return set() if isinstance(self.ours, str) else {relation for relation, _ in self.ours}


# Differences kept, each a rule with its reason.
KEPT = [
    # PIVOT and UNPIVOT make columns from values and listed columns; here they
    # are not read, so a column they make is unresolved or read as the
    # relation's own.
    ("pivot", lambda case, exp: re.search(r"\b(un)?pivot\b", case.text, re.I) is not None),
    # A table function (unnest, flatten) is a relation of its own here, its
    # columns end there; sqlglot reads through to the array it unnests.
    ("table function", lambda case, exp: bool(case.relations & FUNCTIONS)),
    # sqlglot leaves a column unplaced, and the columns it places agree: the
    # columns of a union's later branches when the query has a WITH clause;
    # a bare column beside a `*` over a relation it has no schema for;
    # `record.field` where `record` is a column, which it takes for a relation.
    ("sqlglot leaves a column unplaced", lambda case, exp: case.unplaced and case.theirs <= case.relations_read),
    # sqlglot has no schema for a model whose columns are only partly known
    # (Jinja makes some), so it keeps its `*` where the known name is read
    # here, or cannot list the column at all.
    ("star over partly known columns", lambda case, exp: any(c == "*" for _, c in case.theirs)
     and {r for r, _ in case.theirs} <= case.relations),
    ("sqlglot cannot expand the star", lambda case, exp: case.missing and unexpanded_star(exp, case.tree)),
    # A `*` over a source reaches the column here as one `*` edge; sqlglot,
    # without the source's columns, cannot carry the name through the CTE.
    ("star over a source", lambda case, exp: not case.theirs and bool(case.relations)
     and all(c == "*" for _, c in case.ours)),
    # Double quotes quote strings in these files' dialect and identifiers in
    # the other's; read alone, a file cannot tell which.
    ("double-quoted strings", lambda case, exp: case.file in {
        "rpt_gsheets__csgf_hs_postsec_pathways.sql",
        "rpt_gsheets__nsc_enrollment_new.sql",
        "rpt_gsheets__people_staff_info_feed_and_links.sql",
    }),
]
FUNCTIONS = {"unnest", "flatten", "generate_series", "generate_date_array", "generate_array", "json_extract_array"}


def unexpanded_star(exp, tree) -> bool:
    return any(
        isinstance(item, exp.Star) or (isinstance(item, exp.Column) and isinstance(item.this, exp.Star))
        for select in tree.find_all(exp.Select)
        for item in select.expressions
    )


def known_columns(project: Project, name: str) -> list[str] | None:
    """A model's output columns when all of them are known: none come from
    Jinja or from a `*` over unknown columns."""
    try:
        key = project.id_of(project.model(name))
    except (KeyError, ValueError):
        return None
    lineage = project._column_lineage()
    lineage.columns(key)
    entries = lineage.outputs(key)
    if not entries or any(entry.name is None for entry in entries):
        return None
    return [entry.name for entry in entries]


def compare(project: Project, files: list[pathlib.Path]):
    sqlglot = pytest.importorskip("sqlglot")
    from sqlglot import exp
    from sqlglot.lineage import lineage
    from sqlglot.optimizer.qualify import qualify
    from sqlglot.optimizer.scope import build_scope

    by_path = {pathlib.Path(model.path).resolve(): key for key, model in project.models.items()}
    counts: collections.Counter[str] = collections.Counter()
    unexplained = []
    for path in files:
        plain = plain_text(path.read_text(encoding="utf-8"))
        key = by_path.get(path.resolve())
        if plain is None or key is None:
            continue
        counts["files"] += 1
        schema = {}
        for relation in set(re.findall(r"\bref__(\w+)", plain)):
            if (names := known_columns(project, relation)) is not None:
                schema[f"ref__{relation}"] = {name: "TEXT" for name in names}
        try:
            tree = sqlglot.parse_one(plain, read=dialect(path))
            tree = qualify(tree, schema=schema, dialect=dialect(path), validate_qualify_columns=False, identify=False)
            nodes = lineage(None, tree, schema, dialect=dialect(path), scope=build_scope(tree), trim_selects=False)
        except sqlglot.errors.SqlglotError:
            # It cannot parse the text, or refuses to guess among relations it has no schema for.
            counts["files sqlglot cannot read"] += 1
            continue
        theirs = {name.lower(): node for name, node in nodes.items()}
        for column in project.columns(key):
            counts["columns"] += 1
            ours = our_reads(project.lineage(key, column, depth=1))
            if column.lower() not in theirs:
                found, unplaced = None, False
            else:
                found, unplaced = their_reads(exp, theirs[column.lower()])
                if ours == found or (isinstance(ours, str) and not found):
                    counts["same" if ours == found else f"both unplaced ({ours})"] += 1
                    continue
            case = Case(path.name, plain, tree, ours, found or set(), unplaced, found is None)
            reason = next((name for name, rule in KEPT if rule(case, exp)), None)
            if reason is None:
                unexplained.append((path.name, column, ours if isinstance(ours, str) else sorted(ours), found))
            else:
                counts[f"kept: {reason}"] += 1
    return counts, unexplained


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"shared corpus not present at {CORPUS}")
def test_direct_reads_agree_with_sqlglot_on_the_corpus(summary):
    project = Project.load(CORPUS)
    files = sorted(CORPUS.rglob("*.sql"))
    qualifying = [p for p in files if plain_text(p.read_text(encoding="utf-8")) is not None]
    sample = qualifying[::STEP]
    counts, unexplained = compare(project, sample)
    summary("sqlglot direct reads: " + ", ".join(f"{v} {k}" for k, v in sorted(counts.items())))
    assert counts["same"] > 100
    assert unexplained == []
