"""Column lineage across a project: references resolved through aliases,
CTEs and subqueries to other models' columns, sources and tables, and what
reads a column downstream."""

import json
from fractions import Fraction
from pathlib import Path

import pytest

from trelm_cst import Project
from trelm_cst._lineage_command import RENDERERS
from trelm_cst.cli import main

FILES = {
    "stg_orders": "{{ config(style='view') }}\nselect id, customer_id, amount from {{ source('shop', 'orders') }}\n",
    "stg_customers": "select id, name, region from raw.customers\n",
    "orders": """\
with base as (
    select id, customer_id, amount as amt from {{ ref('stg_orders') }}
),
enriched as (
    select b.*, c.name from base b join {{ ref('stg_customers') }} c on c.id = b.customer_id
)
select
    e.id,
    e.amt * 2 as double_amount,
    prev.amt as previous_amount,
    s.total,
    sum(e.amt) over (partition by e.customer_id) as running,
    f.value as tag,
    region,
    coalesce(e.amt, {{ var('fallback') }}) as formatted
    {% if var('with_name') %}, e.name as customer_name{% endif %}
from enriched e
left join enriched prev on prev.id = e.id - 1
join (select customer_id, max(amt) as total from base group by 1) s on s.customer_id = e.customer_id
join {{ ref('stg_customers') }} c2 on c2.id = e.customer_id,
    lateral flatten(input => c2.tags) f
where exists (select 1 from {{ ref('stg_customers') }} x where x.id = e.customer_id)
""",
    "pairs": "select id from {{ ref('stg_orders') }} o join {{ ref('stg_customers') }} c on o.customer_id = c.id\n",
    "all_ids": "select id as key, amount from {{ ref('stg_orders') }}\nunion all\nselect id, 0 from {{ ref('stg_customers') }}\n",
    "orders_star": "select * except (customer_id) from {{ ref('stg_orders') }}\n",
    "wide": "select * from {{ ref('orders_star') }}\n",
    "raw_all": "select * from {{ source('shop', 'orders') }}\n",
    "made_by_jinja": "select {{ listed_columns }}, t.id from {{ ref('stg_orders') }} t\n",
    "uses_missing": "select g.x from {{ ref('ghost') }} g\n",
    "nested": "select o.amount.cents, amount.currency as cur from {{ ref('stg_orders') }} o\n",
    "scalar": "select (select max(c.name) from {{ ref('stg_customers') }} c where c.id = o.customer_id) as top\n"
              "from {{ ref('stg_orders') }} o\n",
    "consts": "select t.a from (values (1, 2)) as t(a, b)\n",
    "events": "select e from {{ source('shop', 'orders') }} o cross join unnest(o.tags) as e\n",
    "reads_unnamed": "select s.nope, m.payer, r.anything from {{ ref('stg_orders') }} s, {{ ref('made_by_jinja') }} m,"
                     " {{ ref('raw_all') }} r\n",
    "loop_a": "select * from {{ ref('loop_b') }}\n",
    "loop_b": "select * from {{ ref('loop_a') }}\n",
}


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    root = tmp_path_factory.mktemp("lineage")
    for name, text in FILES.items():
        (root / f"{name}.sql").write_text(text)
    return Project.load(root)


def flat(step, depth=0):
    found = [(depth, step.label, step.kind, step.via)]
    for child in step.steps:
        found += flat(child, depth + 1)
    return found


ORDERS_AMOUNT_DIRECT = [(1, "stg_orders.amount", "direct", ()), (2, "shop.orders.amount", "source", ())]
ORDERS_AMOUNT = [(1, "stg_orders.amount", "direct", ("enriched", "base")), (2, "shop.orders.amount", "source", ())]


@pytest.mark.parametrize(
    "model, column, expected",
    [
        # A CTE chain, through `b.*` of one CTE into another.
        ("orders", "id", [(0, "orders.id", "direct", ()), (1, "stg_orders.id", "direct", ("enriched", "base")),
                          (2, "shop.orders.id", "source", ())]),
        ("orders", "double_amount", [(0, "orders.double_amount", "expression", ()), *ORDERS_AMOUNT]),
        # A self-join: the second alias of the same CTE.
        ("orders", "previous_amount", [(0, "orders.previous_amount", "renamed", ()), *ORDERS_AMOUNT]),
        # A subquery in FROM reading a CTE.
        ("orders", "total", [(0, "orders.total", "direct", ()), (1, "stg_orders.amount", "direct", ("s", "base")),
                             (2, "shop.orders.amount", "source", ())]),
        # A window: its PARTITION BY is read too.
        ("orders", "running", [(0, "orders.running", "aggregate", ()), *ORDERS_AMOUNT,
                               (1, "stg_orders.customer_id", "direct", ("enriched", "base")),
                               (2, "shop.orders.customer_id", "source", ())]),
        # A lateral table function.
        ("orders", "tag", [(0, "orders.tag", "renamed", ()), (1, "flatten.value", "function", ())]),
        # Unqualified, but only one relation's known columns have it.
        ("orders", "region", [(0, "orders.region", "direct", ()), (1, "stg_customers.region", "direct", ()),
                              (2, "raw.customers.region", "table", ())]),
        ("orders", "formatted", [(0, "orders.formatted", "templated", ()), *ORDERS_AMOUNT]),
        # Only in an {% if %} branch.
        ("orders", "customer_name", [(0, "orders.customer_name", "renamed", ()),
                                     (1, "stg_customers.name", "direct", ("enriched",)),
                                     (2, "raw.customers.name", "table", ())]),
        # Two relations both have it.
        ("pairs", "id", [(0, "pairs.id", "direct", ()), (1, "?.id", "ambiguous", ())]),
        # A union: each branch's column at the same position.
        ("all_ids", "key", [(0, "all_ids.key", "renamed", ()), (1, "stg_orders.id", "direct", ()),
                            (2, "shop.orders.id", "source", ()), (1, "stg_customers.id", "direct", ()),
                            (2, "raw.customers.id", "table", ())]),
        ("all_ids", "amount", [(0, "all_ids.amount", "direct", ()), (1, "stg_orders.amount", "direct", ()),
                               (2, "shop.orders.amount", "source", ())]),
        # `select *` across three models, one with `* except`.
        ("wide", "amount", [(0, "wide.amount", "star", ()), (1, "orders_star.amount", "star", ()),
                            (2, "stg_orders.amount", "direct", ()), (3, "shop.orders.amount", "source", ())]),
        ("wide", "customer_id", [(0, "wide.customer_id", "unresolved", ())]),
        # From a source the `*` stays one edge, naming the column asked for.
        ("raw_all", "status", [(0, "raw_all.status", "star", ()), (1, "shop.orders.status", "star", ())]),
        ("uses_missing", "x", [(0, "uses_missing.x", "direct", ()), (1, "ghost.x", "missing", ())]),
        # Models whose `*` read each other: the unknown columns stay stars, the cycle stops.
        # Jinja that makes columns may make this one: nothing more is known.
        ("made_by_jinja", "payer", [(0, "made_by_jinja.payer", "templated", ())]),
        # A column after Jinja that makes columns is still read.
        ("made_by_jinja", "id", [(0, "made_by_jinja.id", "direct", ()), (1, "stg_orders.id", "direct", ()),
                                 (2, "shop.orders.id", "source", ())]),
        # Fields of a record column, with and without the relation's name; an unnest's alias is its value.
        ("nested", "cents", [(0, "nested.cents", "direct", ()), *ORDERS_AMOUNT_DIRECT]),
        ("nested", "cur", [(0, "nested.cur", "renamed", ()), *ORDERS_AMOUNT_DIRECT]),
        # A scalar subquery gives what its column reads.
        ("scalar", "top", [(0, "scalar.top", "expression", ()), (1, "stg_customers.name", "direct", ()),
                           (2, "raw.customers.name", "table", ())]),
        ("consts", "a", [(0, "consts.a", "direct", ()), (1, "values.a", "values", ())]),
        ("events", "e", [(0, "events.e", "direct", ()), (1, "unnest.e", "function", ())]),
        ("loop_a", "x", [(0, "loop_a.x", "star", ()), (1, "loop_b.x", "star", ()), (2, "loop_a.x", "star", ())]),
    ],
)
def test_lineage(project, model, column, expected):
    assert flat(project.lineage(model, column)) == expected


def test_lineage_through_a_cycle_is_the_same_whatever_was_asked_before(tmp_path):
    (tmp_path / "ping.sql").write_text("select x from {{ ref('pong') }}\n")
    (tmp_path / "pong.sql").write_text("select x from {{ ref('ping') }}\n")
    expected = [(0, "ping.x", "direct", ()), (1, "pong.x", "direct", ()), (2, "ping.x", "direct", ())]
    assert flat(Project.load(tmp_path).lineage("ping", "x")) == expected
    project = Project.load(tmp_path)
    project.lineage("pong", "x")  # the cycle is cut at pong.x this time
    assert flat(project.lineage("ping", "x")) == expected


class SlotsInOrder:
    __slots__ = ("a", "b", "c")


class SlotsReversed:
    __slots__ = ("c", "b", "a")


class FieldsInDict:
    pass


@pytest.mark.parametrize("shape", [SlotsInOrder, SlotsReversed, FieldsInDict])
def test_native_step_copy_sets_each_field_whatever_the_class_layout(shape):
    from trelm_cst._native import _step_with

    original = shape()
    for name, value in zip("abc", (1, "two", (3,))):
        object.__setattr__(original, name, value)
    copy = _step_with(original, ("a", "b", "c"), "b", None)
    assert type(copy) is shape
    assert [getattr(copy, name) for name in "abc"] == [1, None, (3,)]
    assert [getattr(original, name) for name in "abc"] == [1, "two", (3,)]


def test_lineage_steps_carry_positions_and_depth_counts_models(project):
    step = project.lineage("wide", "amount", depth=1)
    assert [s.label for s in step.steps] == ["orders_star.amount"] and step.steps[0].steps == ()
    found = project.lineage("orders", "total")
    assert (found.line, found.char, found.path.endswith("orders.sql")) == (11, 5, True)
    assert project.lineage("uses_missing", "x").steps[0].missing
    assert project.lineage("pairs", "id").steps[0].reason == "'id' could come from o (stg_orders), c (stg_customers)"
    assert project.lineage("wide", "amount", depth=0).steps == ()
    with pytest.raises(KeyError):
        project.lineage("nothing", "id")
    with pytest.raises(ValueError, match="depth"):
        project.impact("wide", "id", depth=-1)


# Files read a few at a time as asked for, or all in one batch (which also
# makes each column's lineage one model deep).
@pytest.mark.parametrize("separate_batches", [8, 0])
def test_native_resolution_answers_as_the_python_path(project, monkeypatch, separate_batches):
    def answers(found):
        return [
            (m, c, found.lineage(m, c).to_dict(), found.lineage(m, c, depth=1).to_dict(), found.impact(m, c).to_dict())
            for m in found.models
            for c in found.columns(m)
        ]

    root = Path(project.models["orders"].path).parent
    monkeypatch.setattr("trelm_cst._lineage.SEPARATE_BATCHES", separate_batches)
    native = answers(Project.load(root))
    monkeypatch.setattr("trelm_cst._lineage._lineage_files", lambda paths, *_, **__: [None] * len(paths))
    assert answers(Project.load(root)) == native and len(native) > 20


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"keys": ["orders", "extra"]}, ValueError),
        ({"keys": [None]}, TypeError),
        ({"targets": [["not", "a", "dict"]]}, TypeError),
        ({"targets": [{"up": ("model",)}]}, TypeError),  # no origin
        ({"targets": [{"up": (1, "m", None, (), False, None)}]}, TypeError),  # kind not a str
        ({"columns": [{"up": [1]}]}, TypeError),
    ],
)
def test_native_batch_refuses_bad_arguments_and_leaves_the_collector_on(tmp_path, arguments, error):
    import gc

    from trelm_cst._lineage import NativeShapes
    from trelm_cst._native import _lineage_files

    path = tmp_path / "down.sql"
    path.write_text("select id from {{ ref('up') }}\n")
    given = {"keys": ["down"], **arguments}
    with pytest.raises(error):
        _lineage_files([str(path)], 2, NativeShapes, **given)
    assert gc.isenabled()


@pytest.mark.parametrize(
    "arguments",
    [
        (1, ("real",), "real", 2),  # an int is no plain class's instance
        (Fraction(1, 2), ("numerator",), "numerator", 2),
        ("step", (1,), "kind", "x"),  # a field name that is no text
        ("step", ("kind",), 1, "x"),
    ],
)
def test_native_step_copy_refuses_what_is_no_step(arguments):
    from trelm_cst._lineage import LineageStep
    from trelm_cst._native import _step_with

    step = LineageStep("direct", "id", model="m")
    with pytest.raises(TypeError):
        _step_with(*(step if a == "step" else a for a in arguments))


def test_native_batch_keeps_filters_until_asked_and_still_notes_their_refs(tmp_path):
    from trelm_cst._lineage import NativeShapes, Origin
    from trelm_cst._native import _lineage_files, _lineage_kept

    path = tmp_path / "m.sql"
    path.write_text("select t.a from t join {{ ref('x') }} as x on t.id = x.id\n")
    for targets, resolved, kind in (({}, False, "ref"), ({"x": Origin("model", "x", None, ())}, True, "model")):
        found = _lineage_files([str(path)], 1, NativeShapes, ["m"], targets=[targets])[0]
        assert found[4] is resolved  # the ref is read in a filter only
        [(rest, filters)] = _lineage_kept([(found[2], found[3], targets)], NativeShapes)
        assert [(text, [o.kind for o in origins]) for text, _, _, _, origins in filters] == [
            ("t.id", ["table"]), ("x.id", [kind])
        ]
        assert [o.kind for o in rest[0]["a"]] == ["table"]
    with pytest.raises(ValueError):
        _lineage_kept([(object(), None, {})], NativeShapes)


def test_what_the_native_batch_keeps_outlives_its_other_values(tmp_path):
    import gc

    from trelm_cst._lineage import NativeShapes
    from trelm_cst._native import _lineage_files, _lineage_kept

    path = tmp_path / "m.sql"
    path.write_text("with renamed_cte as (select amount_paid as total_paid from payments_table)\n"
                    "select total_paid as grand_total from renamed_cte\n")
    kept = _lineage_files([str(path)], 1, NativeShapes, ["model_key"], targets=[{}])[0][2]
    gc.collect()  # the texts its columns read now live through it alone
    [(rest, _)] = _lineage_kept([(kept, None, {})], NativeShapes)
    [origin] = rest[0]["grand_total"]
    assert (origin.kind, origin.name, origin.column, origin.via) == ("table", "payments_table", "amount_paid",
                                                                     ("renamed_cte",))
    assert (rest[1]["grand_total"].model, rest[1]["grand_total"].path) == ("model_key", str(path))


@pytest.mark.parametrize("columns", [4, 12])  # compared with each other; through a table
def test_native_batch_merges_origins_of_two_ref_names_that_read_one_model(tmp_path, columns):
    from trelm_cst._lineage import NativeShapes, Origin
    from trelm_cst._native import _lineage_files, _lineage_kept

    path = tmp_path / "m.sql"
    total = " + ".join(f"{side}.c{i}" for i in range(columns) for side in "xy")
    path.write_text(f"select {total} as total from {{{{ ref('a') }}}} as x join {{{{ ref('b') }}}} as y on true\n")
    targets = {name: Origin("model", "shared", None, ()) for name in "ab"}
    found = _lineage_files([str(path)], 1, NativeShapes, ["m"], targets=[targets])[0]
    [(rest, _)] = _lineage_kept([(found[2], None, targets)], NativeShapes)
    assert [(o.name, o.column) for o in rest[0]["total"]] == [("shared", f"c{i}") for i in range(columns)]


def test_native_batch_reads_a_file_again_once_its_refs_models_are_decided(tmp_path):
    from trelm_cst._lineage import NativeShapes, Origin
    from trelm_cst._native import _lineage_files

    files = {
        "top": "select * from {{ ref('middle') }}\n",  # listed before what it reads
        "middle": "select m.*, 1 as one from {{ ref('base') }} m\n",
        "base": "select x, y from raw.t\n",
        "itself": "select * from {{ ref('itself') }}\n",
        "outside": "select * from {{ ref('elsewhere') }}\n",
    }
    for name, text in files.items():
        (tmp_path / f"{name}.sql").write_text(text)
    reads = {"top": "middle", "middle": "base", "itself": "itself", "outside": "elsewhere"}
    targets = [
        {reads[key]: Origin("model", reads[key], None, ())} if key in reads else {} for key in files
    ]
    paths = [str(tmp_path / f"{name}.sql") for name in files]
    found = dict(zip(files, _lineage_files(paths, 2, NativeShapes, list(files), targets=targets)))
    assert [entry.name for entry in found["top"][1]] == ["x", "y", "one"]
    assert [entry.name for entry in found["middle"][1]] == ["x", "y", "one"]
    # Reading itself, or a model the batch does not hold: left to the caller.
    assert found["itself"] == found["outside"] == "the columns of a ref's model"


@pytest.mark.parametrize(
    "sql",
    [
        'select "it\'s" from raw.t join raw.u on true\n',  # in double quotes, as Python writes it
        'select "no\'""" from raw.t join raw.u on true\n',  # both quotes: the single one escaped
        'with c as (select 1 as a) select "back\\slash", "tab\tin", "bell\x07" from c\n',
        'select "odd\'".x from raw.t join raw.u on true\n',
    ],
)
def test_native_reasons_quote_names_as_the_python_path(tmp_path, monkeypatch, sql):
    from trelm_cst._lineage import NativeShapes
    from trelm_cst._native import _lineage_files

    (tmp_path / "quoting.sql").write_text(sql)
    path = str(tmp_path / "quoting.sql")
    assert isinstance(_lineage_files([path], 1, NativeShapes, ["quoting"])[0], tuple)  # decided natively
    project = Project.load(tmp_path)
    native = [project.lineage("quoting", c).to_dict() for c in project.columns("quoting")]
    monkeypatch.setattr("trelm_cst._lineage._lineage_files", lambda paths, *_, **__: [None] * len(paths))
    project = Project.load(tmp_path)
    assert [project.lineage("quoting", c).to_dict() for c in project.columns("quoting")] == native


def test_columns_expand_stars_and_stop_at_cycles(project):
    assert project.columns("wide") == ["id", "amount"]
    assert project.columns("orders")[-2:] == ["formatted", "customer_name"]
    assert project.columns("raw_all") == [] and project.columns("loop_a") == []


def test_impact_lists_readers_and_filters(project):
    step = project.impact("stg_orders", "amount")
    assert sorted({(d, label, kind) for d, label, kind, _ in flat(step)}) == [
        (0, "stg_orders.amount", "direct"),
        (1, "all_ids.amount", "direct"),
        (1, "nested.cents", "direct"),
        (1, "nested.cur", "renamed"),
        (1, "orders.double_amount", "expression"),
        (1, "orders.formatted", "templated"),
        (1, "orders.previous_amount", "renamed"),
        (1, "orders.running", "aggregate"),
        (1, "orders.total", "direct"),
        (1, "orders_star.amount", "star"),
        (2, "wide.amount", "star"),
    ]
    filters = {
        (s.model, s.clause, s.column) for s in project.impact("stg_orders", "customer_id").steps if s.kind == "filter"
    }
    assert filters == {
        ("orders", "ON", "b.customer_id"),
        ("orders", "ON", "s.customer_id"),
        ("orders", "ON", "e.customer_id"),
        ("orders", "WHERE", "e.customer_id"),  # from the correlated subquery
        ("orders", "PARTITION BY", "e.customer_id"),
        ("pairs", "ON", "o.customer_id"),
        ("scalar", "WHERE", "o.customer_id"),  # a correlated subquery's
    }
    assert [s.label for s in project.impact("stg_orders", "amount", depth=1).steps if s.steps]  == []


@pytest.mark.parametrize(
    "arguments, expected",
    [
        (
            ["orders.total"],
            "orders.total [direct] {root}/orders.sql:11:5\n"
            "└── stg_orders.amount [direct] {root}/stg_orders.sql:2:25 via s > base\n"
            "    └── shop.orders.amount [source]\n",
        ),
        (
            ["wide.id", "--depth", "1"],
            "wide.id [star] {root}/wide.sql:1:8\n└── orders_star.id [star] {root}/orders_star.sql:1:8\n",
        ),
        (
            ["stg_orders.id", "--downstream", "--format", "mermaid"],
            'flowchart LR\n  n0["stg_orders.id [direct]"]\n  n1["all_ids.key [renamed]"]\n'
            '  n2["made_by_jinja.id [direct]"]\n  n3["orders.id [direct]"]\n'
            '  n4["orders: prev.id [filter ON]"]\n  n5["orders: e.id [filter ON]"]\n'
            '  n6["orders_star.id [star]"]\n  n7["wide.id [star]"]\n'
            "  n0 --> n1\n  n0 --> n2\n  n0 --> n3\n  n0 --> n4\n  n0 --> n5\n  n6 --> n7\n  n0 --> n6\n",
        ),
        (
            ["orders.tag", "--format", "dot"],
            'digraph lineage {\n  rankdir=LR;\n  n0 [label="orders.tag [renamed]"];\n'
            '  n1 [label="flatten.value [function]"];\n  n1 -> n0;\n}\n',
        ),
    ],
)
def test_command_prints_the_tree(project, capsys, arguments, expected):
    root = str(project.files[0].path).rsplit("/", 1)[0]
    assert main(["lineage", arguments[0], root, *arguments[1:]]) == 0
    assert capsys.readouterr().out == expected.replace("{root}", root)


def test_command_json_and_failures(project, capsys):
    root = str(project.files[0].path).rsplit("/", 1)[0]
    assert main(["lineage", "orders.region", root, "--format", "json"]) == 0
    found = json.loads(capsys.readouterr().out)
    assert [found["model"], found["steps"][0]["model"], found["steps"][0]["steps"][0]["table"]] == [
        "orders",
        "stg_customers",
        "raw.customers",
    ]
    assert main(["lineage", "wide.customer_id", root]) == 1
    assert "no column 'customer_id' in wide" in capsys.readouterr().err
    assert main(["lineage", "nothing.id", root]) == 2
    assert "no model named 'nothing'" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        main(["lineage", "orders", root])


def test_a_chain_longer_than_the_recursion_limit_is_followed(tmp_path):
    # Each model reads the one before, every other one through `select *`.
    (tmp_path / "m0.sql").write_text("select 1 as id")
    for i in range(1, 1500):
        item = "*" if i % 2 else "id"
        (tmp_path / f"m{i}.sql").write_text(f"select {item} from {{{{ ref('m{i - 1}') }}}}")
    chain = Project.load(tmp_path)
    assert chain.columns("m1499") == ["id"]
    step, labels = chain.lineage("m1499", "id"), []
    while step.steps:
        (step,) = step.steps
        labels.append((step.label, step.kind))
    assert len(labels) == 1499 and labels[:2] == [("m1498.id", "direct"), ("m1497.id", "star")]
    assert labels[-1] == ("m0.id", "constant")
    assert len(chain.lineage("m1499", "id", depth=3).steps) == 1
    impact = step = chain.impact("m0", "id")
    for _ in range(1499):
        (step,) = step.steps
    assert (step.label, step.steps) == ("m1499.id", ())
    assert len(RENDERERS["text"](chain.lineage("m1499", "id"), False).splitlines()) == 1500
    assert len(RENDERERS["mermaid"](impact, True).splitlines()) == 1 + 1500 + 1499
    # Deeper than the JSON encoder's own limit (its output grows with the square of the depth).
    out = RENDERERS["json"](chain.lineage("m600", "id"), False)
    assert out.count('"kind": "direct"') == 300 and out.endswith("]\n}\n")


def test_a_chain_of_ctes_longer_than_the_recursion_limit_is_followed(tmp_path):
    (tmp_path / "base.sql").write_text("select 1 as id")
    ctes = ["c0 as (select id from {{ ref('base') }})"]
    ctes += [f"c{i} as (select {'*' if i % 2 else 'id'} from c{i - 1})" for i in range(1, 600)]
    (tmp_path / "m.sql").write_text("with " + ",\n".join(ctes) + "\nselect id from c599")
    chain = Project.load(tmp_path)
    assert chain.columns("m") == ["id"]
    (step,) = chain.lineage("m", "id").steps
    assert (step.label, len(step.via), step.via[:2]) == ("base.id", 600, ("c599", "c598"))
    assert [s.label for s in chain.impact("base", "id").steps] == ["m.id"]


@pytest.mark.parametrize(
    "sql",
    [
        FILES["orders"],
        "select * except (a, \"B\"), t.x as y, 1 from t union all select u.*, v.a, {{ c }} from u, v",
        "select  é.x, (select max(z) from w where w.k = é.k) as m from é",
    ],
)
def test_select_lineage_reads_what_the_column_handles_read(sql):
    from trelm_cst import parse_trelm
    from trelm_cst._native import select_lineage

    doc = parse_trelm(sql)
    doc.query.select.add("q.late as added", 0)  # spans after an edit follow it
    for query in doc.queries():
        for select in query.selects:
            expected = [
                (c.name, c.kind, c.span, tuple((r.qualifier, r.name, r.span) for r in c.references), tuple(c.excluded))
                for c in select.columns
            ]
            assert select_lineage(select) == expected
    with pytest.raises(TypeError):
        select_lineage(doc.query)
