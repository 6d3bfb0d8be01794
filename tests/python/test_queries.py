import pytest

from trelm_cst import Clause, Query, Select, parse_trelm

MODEL = """{{ config(a=1) }}

with src as (
    select * from {{ ref('x') }}
), "Other Name" as (select 2 from (select 3) s)
select id, name as n -- cols
from src
where id > 0
union all
select 1, 2
"""


@pytest.fixture
def doc():
    return parse_trelm(MODEL)


def test_query_navigation(doc):
    q = doc.query
    assert isinstance(q, Query)
    assert [c.name for c in q.clauses] == ["WITH", "SELECT", "FROM", "WHERE", "UNION ALL", "SELECT"]
    assert all(isinstance(c, Clause) for c in q.clauses)
    assert len(q.selects) == 2 and all(isinstance(s, Select) for s in q.selects)
    assert q.select == q.selects[0]
    assert [c.name for c in q.ctes] == ["src", "Other Name"]
    assert str(q.ctes[0]) == "src as (\n    select * from {{ ref('x') }}\n)"
    assert repr(q.ctes[1]) == "<Cte Other Name>"
    assert q.cte("SRC").name == "src"
    assert q.cte("other name").name == "Other Name"
    assert q.cte('"Other Name"') is None
    assert q.cte(name="missing") is None
    assert q.cte("src").query.select.names == [None]


def test_queries_are_outermost_first_and_counted_in_repr(doc):
    qs = doc.queries()
    assert len(qs) == 4
    assert qs[0] == doc.query
    assert qs[1] == doc.query.cte("src").query
    assert repr(doc) == "<Document with 4 queries>"


@pytest.mark.parametrize(
    "text, count, shown",
    [("", 0, "0 queries"), ("{% if x %}select 1{% endif %}", 1, "1 query"), ("update t set a = 1", 0, "0 queries")],
)
def test_no_top_level_query(text, count, shown):
    d = parse_trelm(text)
    assert d.query is None
    assert (len(d.queries()), repr(d)) == (count, f"<Document with {shown}>")


def test_clause_and_query_text(doc):
    clause = doc.query.clauses[2]
    assert (repr(clause), str(clause)) == ("<Clause FROM>", "from src")
    assert str(doc.query) == MODEL[MODEL.index("with") : -1]


def test_cte_without_a_name():
    q = parse_trelm("with {{ name }} as (select 1) select 1").query
    (cte,) = q.ctes
    assert (cte.name, repr(cte), q.cte("")) == (None, "<Cte >", None)


@pytest.mark.parametrize(
    "args, kwargs, match", [((1,), {}, "name"), ((), {}, None), (("a", "b"), {}, None), ((), {"nam": "a"}, None)]
)
def test_cte_arguments(doc, args, kwargs, match):
    with pytest.raises(TypeError, match=match):
        doc.query.cte(*args, **kwargs)
