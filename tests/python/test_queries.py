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


@pytest.mark.parametrize("text, count", [("", 0), ("{% if x %}select 1{% endif %}", 1), ("update t set a = 1", 0)])
def test_no_top_level_query(text, count):
    d = parse_trelm(text)
    assert d.query is None
    assert (len(d.queries()), repr(d)) == (count, f"<Document with {count} queries>")


def test_query_equality_and_hash(doc):
    a, b = doc.query, doc.query
    assert a == b and not (a != b) and a is not b
    assert hash(a) == hash(b) and {a: 1}[b] == 1
    assert a != doc.queries()[1] and a != parse_trelm(MODEL).query
    assert (a == "select 1") is False and a != 1
    with pytest.raises(TypeError):
        a < b  # noqa: B015


def test_cte_and_clause_identity_and_text(doc):
    c1, c2 = doc.query.ctes[0], doc.query.ctes[0]
    assert c1 != c2  # identity of the Python object
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
