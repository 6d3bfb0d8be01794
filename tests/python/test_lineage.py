"""What a query reads: relations, column references and kinds, filters and
the columns of Jinja blocks; on the shared corpus, the references agree with
sqlglot's reading of the same text."""

import collections
import pathlib
import re

import pytest

from trelm_cst import parse_trelm


def refs(found):
    return [str(r) for r in found]


def only_column(item):
    return parse_trelm(f"select {item} from t").query.select.columns[0]


@pytest.mark.parametrize(
    "item, kind, expected",
    [
        ("o.id", "direct", ["o.id"]),
        ('"Order".id as ID', "direct", ["Order.id"]),
        ("id as order_id", "renamed", ["id"]),
        ("amount / 100 as dollars", "expression", ["amount"]),
        ("case when s = 'a' then x end as flag", "expression", ["s", "x"]),
        ("sum(o.amount) as total", "aggregate", ["o.amount"]),
        ("count(*) as n", "aggregate", []),
        ("row_number() over (partition by a order by b desc) as rn", "aggregate", ["a", "b"]),
        ("first_value(x) over w as fv", "aggregate", ["x"]),
        ("first_value(x) over (w) as fv", "aggregate", ["x"]),
        ("'x' as label", "constant", []),
        ("date '2024-01-01' as start_on", "constant", []),
        ("current_date as today", "constant", []),
        ("(select max(x) from u) as m", "expression", []),
        ("{{ col }} as c", "templated", []),
        ("coalesce(a, {{ var('fallback') }}) as c", "templated", ["a"]),
        ("{{ prefix }}_id as c", "templated", []),
        # Types, date parts, named arguments and lambda parameters.
        ("x::int as y", "expression", ["x"]),
        ("t.col::varchar(10) as y", "expression", ["t.col"]),
        ("cast(x as numeric(10, 2)) as y", "expression", ["x"]),
        ("cast(null as array<struct<a int64>>) as y", "constant", []),
        ("datediff(day, a.start_at, b.end_at) as d", "expression", ["a.start_at", "b.end_at"]),
        ("date_trunc(d, week(monday)) as w", "expression", ["d"]),
        ("extract(year from d) as y", "expression", ["d"]),
        ("extract(date from ts at time zone 'UTC') as y", "expression", ["ts"]),
        ("d + interval '1' day as nd", "expression", ["d"]),
        ("interval 3 month as span", "constant", []),
        ("transform(arr, x -> x + k) as t", "expression", ["arr", "k"]),
        ("zip_with(a, b, (x, y) -> x + y) as z", "expression", ["a", "b"]),
        ("j -> 'key' as v", "expression", ["j"]),
        ("flatten(input => v) as f", "expression", ["v"]),
        ("normalize(name, nfd) as n", "expression", ["name"]),
    ],
)
def test_references_and_kind(item, kind, expected):
    source = f"select {item} from t"
    column = parse_trelm(source).query.select.columns[0]
    assert (column.kind, refs(column.references)) == (kind, expected)
    for ref in column.references:
        start, end = ref.span
        assert source[start:end].replace('"', "").endswith(ref.name)


@pytest.mark.parametrize(
    "item, expected, excluded",
    [
        ("*", ["*"], []),
        ("t.*", ["t.*"], []),
        ("* except (a, b)", ["*"], ["a", "b"]),
        ('o.* exclude ("A")', ["o.*"], ["A"]),
        ("* replace (cast(x as int) as x)", ["*", "x"], []),
    ],
)
def test_star_columns(item, expected, excluded):
    column = only_column(item)
    assert (column.kind, refs(column.references), column.excluded) == ("star", expected, excluded)


LINEAGE_MODEL = """\
{{ config(style='table') }}
with orders as (
    select id, customer_id, amount from {{ ref('stg_orders') }}
),
paid as (
    select o.id, sum(p.amount) as paid
    from orders o
    join {{ source('stripe', 'payments') }} as p using (id)
    group by o.id
    having count(*) > 0
)
select
    o.id,
    c.id as customer,
    s.total,
    f.value as tag,
    row_number() over (partition by c.region order by o.amount) as rank_in_region
    {% if var('with_tax') %}, o.amount * 1.2 as gross{% else %}, o.amount as gross{% endif %}
from orders as o
left join orders o2 on o.id = o2.id
join (select customer_id, max(amount) as total from orders group by 1) s on s.customer_id = o.customer_id,
    analytics.customers c,
    lateral flatten(input => c.tags) f
where exists (select 1 from paid where paid.id = o.id) and o.amount > 0
qualify row_number() over (partition by o.customer_id order by o.id) = 1
"""


def test_relations_of_each_kind_with_alias_query_and_span():
    doc = parse_trelm(LINEAGE_MODEL)
    query = doc.query
    found = [(r.kind, r.name, r.alias) for r in query.relations]
    assert found == [
        ("cte", "orders", "o"),
        ("cte", "orders", "o2"),
        ("subquery", "", "s"),
        ("table", "analytics.customers", "c"),
        ("function", "flatten", "f"),
    ]
    orders = query.relations[0]
    assert orders.query == query.cte("orders").query
    assert str(query.relations[2].query).startswith("select customer_id")
    assert [LINEAGE_MODEL[slice(*r.span)] for r in query.relations] == [
        "orders as o",
        "orders o2",
        "(select customer_id, max(amount) as total from orders group by 1) s",
        "analytics.customers c",
        "flatten(input => c.tags) f",
    ]
    paid = query.cte("paid").query
    assert [(r.kind, r.name, r.alias) for r in paid.relations] == [
        ("cte", "orders", "o"),
        ("source", ("stripe", "payments"), "p"),
    ]
    assert [(r.kind, r.name) for r in query.cte("orders").query.relations] == [("ref", "stg_orders")]
    # A CTE name seen from inside a subquery is still a CTE.
    exists_query = next(q for q in doc.queries() if str(q).startswith("select 1 from paid"))
    assert [(r.kind, r.name) for r in exists_query.relations] == [("cte", "paid")]
    assert exists_query.relations[0].query == paid
    assert repr(paid.relations[1]) == "<Relation source ('stripe', 'payments') as p>"
    assert repr(query.relations[0]) == "<Relation cte 'orders' as o>"


@pytest.mark.parametrize(
    "sql, expected",
    [
        # Parenthesised joins: the relations inside are the query's own.
        ("select x from (a join b on a.id = b.id) join c using (id)", [("table", "a", None), ("table", "b", None),
                                                                       ("table", "c", None)]),
        ("select x from ((a join b on a.id = b.id) left join (select 1 as y) s on true)",
         [("table", "a", None), ("table", "b", None), ("subquery", "", "s")]),
        # An alias with its column list.
        ("select t.a from (values (1, 2)) as t(a, b)", [("values", "values", "t")]),
        ("select y from (select 1 as x) as s(y)", [("subquery", "", "s")]),
    ],
)
def test_relations_inside_brackets(sql, expected):
    assert [(r.kind, r.name, r.alias) for r in parse_trelm(sql).query.relations] == expected


def test_filters_carry_their_clause():
    doc = parse_trelm(LINEAGE_MODEL)
    query = doc.query
    assert [(f.clause, str(f)) for f in query.filters] == [
        ("PARTITION BY", "c.region"),
        ("ORDER BY", "o.amount"),
        ("ON", "o.id"),
        ("ON", "o2.id"),
        ("ON", "s.customer_id"),
        ("ON", "o.customer_id"),
        ("WHERE", "o.amount"),
        ("QUALIFY", "o.customer_id"),
        ("QUALIFY", "o.id"),
    ]
    paid = query.cte("paid").query
    assert [(f.clause, str(f)) for f in paid.filters] == [("USING", "id"), ("GROUP BY", "o.id")]
    # The correlated subquery's references are its own.
    exists_query = next(q for q in doc.queries() if str(q).startswith("select 1 from paid"))
    assert [(f.clause, str(f)) for f in exists_query.filters] == [("WHERE", "paid.id"), ("WHERE", "o.id")]
    assert repr(query.filters[0]) == "<ColumnRef c.region in PARTITION BY>"


def test_conditional_columns_are_read_with_their_branch():
    select = parse_trelm(LINEAGE_MODEL).query.select
    assert select.names == ["id", "customer", "total", "tag", "rank_in_region"]
    found = [(c.text, c.name, c.condition, c.kind, refs(c.references)) for c in select.conditional_columns]
    assert found == [
        ("o.amount * 1.2 as gross", "gross", "{% if var('with_tax') %}", "expression", ["o.amount"]),
        ("o.amount as gross", "gross", "{% else %}", "renamed", ["o.amount"]),
    ]
    loop = parse_trelm("select a {% for c in cols %}, {{ c }}{% if x %}, t.b{% endif %}{% endfor %} from t")
    assert [(c.text, c.kind, c.condition) for c in loop.query.select.conditional_columns] == [
        ("{{ c }}", "templated", "{% for c in cols %}"),
        ("t.b", "direct", "{% if x %}"),
    ]


def test_union_branches_self_join_and_ambiguous_names():
    query = parse_trelm("select a.id, x from t a join t b on a.p = b.id union all select id, y from u").query
    assert [[refs(c.references) for c in s.columns] for s in query.selects] == [[["a.id"], ["x"]], [["id"], ["y"]]]
    assert [(r.name, r.alias) for r in query.relations] == [("t", "a"), ("t", "b"), ("u", None)]


def test_values_compare_by_what_they_cover_and_go_stale_with_it():
    doc = parse_trelm("select o.id, amount as amt from orders o where o.x > 1")
    query = doc.query
    first, again = query.select.columns[1].references[0], query.select.columns[1].references[0]
    assert first == again and hash(first) == hash(again) and first != query.select.columns[0].references[0]
    assert query.relations == query.relations and query.filters == query.filters
    assert len({*query.relations, *query.relations}) == 1
    relation = query.relations[0]
    query.select.add("o.extra", 0)
    assert str(doc)[slice(*first.span)] == "amount"
    assert str(doc)[slice(*relation.span)] == "orders o"
    query.select.remove("amt")
    assert first.span is None and first.name == "amount"


def test_long_join_chain_and_huge_expression_read_every_piece():
    n = 2000
    joins = "".join(f" join t{i} on t{i}.k = t{i - 1}.k" for i in range(1, n))
    query = parse_trelm("select a from t0" + joins).query
    assert len(query.relations) == n and len(query.filters) == 2 * (n - 1)
    column = only_column(" + ".join(f"c{i}" for i in range(n)) + " as s")
    assert len(column.references) == n and column.kind == "expression"
    nested = only_column("f(c, " * n + "1" + ")" * n + " as s")
    assert len(nested.references) == n


# ---- The corpus against sqlglot

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
FILES = sorted(CORPUS.rglob("*.sql")) if CORPUS.is_dir() else []
TAG = re.compile(r"\{\{-?\s*(ref|source|config)\s*\((.*?)\)\s*-?\}\}", re.S)
OTHER_JINJA = re.compile(r"\{[{%#]")

# Differences kept, by file and the start of the item's text.
KEPT = {
    # Double quotes quote strings in this file's dialect and identifiers in
    # others; read alone, the file cannot tell which.
    ("rpt_gsheets__csgf_hs_postsec_pathways.sql", "case"),
    ("rpt_gsheets__nsc_enrollment_new.sql", "case"),
    ("rpt_gsheets__people_staff_info_feed_and_links.sql", "replace("),
    # Past four parts sqlglot moves the rest into field access after a
    # four-part column; here every part before the name is its qualifier.
    ("int_google_forms__form__items.sql", "i.question_group_item."),
    ("int_google_forms__form_responses.sql", "a.value.grade."),
    ("int_google_forms__responses__answers.sql", "a.value.grade."),
}
# One file in this many is compared: the whole corpus takes sqlglot too long.
STEP = 5


def plain_text(text):
    def replace(match):
        if match.group(1) == "config":
            return ""
        return "__".join([match.group(1), *re.findall(r"['\"]([^'\"]*)['\"]", match.group(2))])

    out = TAG.sub(replace, text)
    return None if OTHER_JINJA.search(out) else out


def their_selects(tree, exp):
    out = []
    for select in tree.find_all(exp.Select, bfs=False):
        items = []
        for item in select.expressions:
            name = item.alias if isinstance(item, exp.Alias) else item.name if isinstance(item, exp.Column) else None
            found = set()
            for column in item.find_all(exp.Column):
                if isinstance(column.this, exp.Star) or column.find_ancestor(exp.Select) is not select:
                    continue
                found.add((".".join(p.name for p in column.parts[:-1]).lower() or None, column.name.lower()))
            items.append(((name or "").lower() or None, found))
        out.append(items)
    return out


def our_selects(doc):
    out = []
    for query in doc.queries():
        for select in query.selects:
            items = []
            for column in select.columns:
                found = {((r.qualifier or "").lower() or None, r.name.lower()) for r in column.references if r.name != "*"}
                found |= {(None, name.lower()) for name in column.excluded}
                items.append(((column.name or "").lower() or None, found, column.text))
            out.append(items)
    return out


@pytest.mark.skipif(not FILES, reason=f"shared corpus not present at {CORPUS}")
def test_references_agree_with_sqlglot_on_the_corpus():
    sqlglot = pytest.importorskip("sqlglot")
    from sqlglot import exp

    kept_files = {name for name, _ in KEPT}
    files = [p for i, p in enumerate(FILES) if i % STEP == 0 or p.name in kept_files]
    counts = collections.Counter()
    unexplained = []
    for path in files:
        text = path.read_text(encoding="utf-8")
        plain = plain_text(text)
        if plain is None:
            counts["other jinja"] += 1
            continue
        try:
            tree = sqlglot.parse_one(plain, read="bigquery" if "teamster" in path.parts else "snowflake")
        except sqlglot.errors.SqlglotError:
            counts["sqlglot cannot parse"] += 1
            continue
        theirs = collections.defaultdict(list)
        for items in their_selects(tree, exp):
            theirs[tuple(name for name, _ in items)].append(items)
        for items in our_selects(parse_trelm(text)):
            match = theirs.get(tuple(name for name, _, _ in items))
            if not match:
                counts["selects unmatched"] += 1
                continue
            for (_, ours, item_text), (_, found) in zip(items, match.pop(0)):
                counts["items"] += 1
                if ours == found:
                    continue
                if any(path.name == name and item_text.startswith(start) for name, start in KEPT):
                    counts["kept differences"] += 1
                else:
                    unexplained.append((path.name, item_text[:60], sorted(ours ^ found, key=str)))
        counts["files"] += 1
    print("sqlglot comparison:", ", ".join(f"{v} {k}" for k, v in sorted(counts.items())))
    assert counts["items"] > 3000
    assert unexplained == []
