"""Repeats every operation of the Python module, error paths included, and
fails when memory or the reference counts of the module's types drift.

    python tools/leak_check.py                      # 100,000 rounds
    python tools/leak_check.py --iterations 3000    # the short run for CI

After a warm-up (caches, interned strings and allocator pools settle there),
three measures are taken and compared at the end:
- resident memory (/proc/self/statm): must not grow by more than --rss-mb;
- bytes in use on the C heap (glibc's mallinfo2, where available), which sees
  a lost tree node long before it shows in resident memory;
- blocks held by Python's object allocator (sys.getallocatedblocks), which
  sees a single Python object lost per round;
and the reference count of every type the module exports must come back to
exactly where it was (each instance holds one, so a lost instance or a lost
reference to a type shows here). When a measure drifts, each group of
operations is run on its own to name the one that leaks.

Exit status 0 when nothing drifts, 1 with a message otherwise.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import sys
from collections.abc import Callable

import trelm_cst
from trelm_cst import Document, TrelmSyntaxError, parse_trelm, render_literal

MODEL = """{{ config(style='table', tags=['a', 'b'], persist=var('p'), opts={'x': [1, 2.5, none, true]}) }}
-- a model
with orders as (
    select id, amount from {{ ref('orders') }}
), {{ name }} as (
    select 1 from {{ source('raw', 'payments') }}
)
select
    o.id,
    o.amount * 2 as doubled,  -- a comment
    {% for c in cols %}{{ c }},{% endfor %}
    (select max(x) from t) as "Quoted",
    {{ trelm_utils.star(ref('pkg', 'customers')) }}
from orders o
where o.id in (select id from {{ ref('pkg', 'customers') }})
union all
select 1, 2, 3, 4, 5 from dual
"""

BROKEN = [
    "select {{ a",
    "select {% if x",
    "{# never closed",
    "{% raw %} select",
    "select 'a {{ b' {{ c",
]


class Drift(Exception):
    pass


def expect(exc: type[BaseException], fn: Callable[[], object]) -> None:
    """Runs `fn`, which must raise `exc`: an error path that stopped raising
    would no longer be exercised, so that is a failure too."""
    try:
        fn()
    except exc:
        return
    raise Drift(f"expected {exc.__name__} from {fn}")


def check(condition: bool, what: str) -> None:
    if not condition:
        raise Drift(f"wrong result: {what}")


def parsing() -> None:
    doc = parse_trelm(MODEL)
    check(str(doc) == MODEL and doc.to_string() == MODEL, "print back")
    check(str(Document.parse(MODEL)) == MODEL, "Document.parse")
    repr(doc)
    for text in BROKEN:
        try:
            parse_trelm(text)
        except TrelmSyntaxError as e:
            (e.line, e.column, e.offset, str(e), e.args)
        else:
            raise Drift(f"{text!r} parsed")
    expect(TypeError, lambda: parse_trelm(b"select 1"))
    expect(TypeError, lambda: parse_trelm())
    expect(TypeError, lambda: Document.parse(None))
    expect(TypeError, lambda: Document())
    check(parse_trelm("").query is None and parse_trelm("").queries() == [], "empty document")


def document_reads() -> None:
    doc = parse_trelm(MODEL)
    check(len(doc.queries()) == 5, "query count")
    check(doc.refs[0] == ("orders",) and ("pkg", "customers") in doc.refs, "refs")
    check(doc.sources == [("raw", "payments")], "sources")
    check(doc.config is not None and parse_trelm("select 1").config is None, "config presence")
    q = doc.query
    check(q == doc.queries()[0] and not (q != doc.query) and hash(q) == hash(doc.query), "query identity")
    check((q == "select 1") is False and (q != 1) is True, "foreign comparison")
    expect(TypeError, lambda: q < q)
    {q: 1}[doc.query]
    found = parse_trelm("{% if a %}{{ a b }}\nselect (1").diagnostics()
    check([(d.code, d.severity, d.span, d.line, d.column) for d in found][0] == ("unclosed-block", "error", (0, 10), 1, 1),
          "diagnostics")
    check(all(d.message and repr(d) for d in found), "diagnostic messages")


def query_members() -> None:
    doc = parse_trelm(MODEL)
    for q in doc.queries():
        for clause in q.clauses:
            (clause.name, repr(clause), str(clause))
        for s in q.selects:
            repr(s)
        q.select
        for cte in q.ctes:
            (cte.name, cte.query, str(cte), repr(cte))
    q = doc.query
    check(q.cte("ORDERS").name == "orders" and q.cte("missing") is None, "cte lookup")
    check(q.cte(name="orders") is not None, "cte keyword argument")
    expect(TypeError, lambda: q.cte(1))
    expect(TypeError, lambda: q.cte())
    expect(TypeError, lambda: q.cte("a", "b"))
    expect(AttributeError, lambda: setattr(q, "select", None))


def select_reads() -> None:
    doc = parse_trelm(MODEL)
    s = doc.query.select
    check(len(s) == 4 and len(s.columns) == 4 and len(list(s)) == 4, "column count")
    check(s.names == ["id", "doubled", "Quoted", None], "names")
    check(s.find("DOUBLED").text == "o.amount * 2 as doubled" and s.find("nope") is None, "find")
    check(s.index("quoted") == 2 and s.index("nope") is None, "index")
    check("id" in s and "o.id" not in s, "membership")
    expect(TypeError, lambda: s.find(1))
    expect(TypeError, lambda: s.index(None))
    expect(TypeError, lambda: 1 in s)
    expect(TypeError, lambda: s.columns[0] in s)
    expect(TypeError, lambda: s < s)
    check(s == doc.query.select and s != doc.queries()[1].select, "select identity")
    (repr(s), str(s))
    for col in s:
        (col.text, col.expr, col.alias, col.name, col.is_templated, col.select, str(col), repr(col))
        check(col == col and col != s, "column identity")


def select_edits() -> None:
    doc = parse_trelm("select\n    a,\n    b\nfrom t")
    s = doc.query.select
    x = s.add("x")
    s.add("y", 0)
    s.add(text="z", index=99)
    s.add("w + 1 as w", None)
    check(s.names == ["y", "a", "b", "x", "z", "w"], "after add")
    x.text = "x2 as renamed"
    check(x.name == "renamed" and x.alias == "renamed" and x.expr == "x2", "re-text")
    check(s.remove("renamed") is True and s.remove("renamed") is False, "remove by name")
    y = s.find("y")
    check(s.remove(y) is True and s.remove(y) is False and y.detach() is False, "remove a column")
    check(y.text == "y", "removed column still reads")
    check(s.find("z").detach() is True, "detach")
    other = parse_trelm("select q, r").query.select
    check(s.remove(other.columns[0]) is False, "column of another select")
    for bad in ["a, b", "", "x from y", "{{ c", "a;"]:
        expect(TrelmSyntaxError, lambda bad=bad: s.add(bad))
        expect(TrelmSyntaxError, lambda bad=bad: setattr(s.columns[0], "text", bad))
    expect(TypeError, lambda: s.add(1))
    expect(TypeError, lambda: s.add("v", "0"))
    expect(OverflowError, lambda: s.add("v", -1))
    expect(TypeError, lambda: s.remove(1))
    expect(TypeError, lambda: setattr(s.columns[0], "text", 1))
    expect((AttributeError, TypeError), lambda: delattr(s.columns[0], "text"))
    expect(TypeError, lambda: s.add())
    check(str(doc) == "select\n    a,\n    b,\n    w + 1 as w\nfrom t", "after edits")
    one = parse_trelm("select only from t").query.select
    expect(ValueError, lambda: one.remove("only"))
    expect(ValueError, lambda: one.columns[0].detach())
    expect(ValueError, lambda: one.remove(one.columns[0]))
    check(parse_trelm(str(doc)).query.select.names == ["a", "b", "w"], "reparse")


def handles_outlive_documents() -> None:
    doc = parse_trelm(MODEL)
    q, s = doc.query, doc.query.select
    col, cte, clause, config = s.columns[1], q.ctes[0], q.clauses[0], doc.config
    del doc
    check(col.text == "o.amount * 2 as doubled" and cte.name == "orders" and clause.name == "WITH", "orphans")
    check(config["style"] == "table" and s.columns[0].select == s, "orphan config and select")
    col.detach()
    s.add("n")


def config_reads() -> None:
    doc = parse_trelm(MODEL)
    c = doc.config
    check(c["style"] == "table" and c["tags"] == ["a", "b"], "literals")
    check(c["opts"] == {"x": [1, 2.5, None, True]}, "nested literal")
    check(c.get("missing", 5) == 5 and c.get("missing") is None and c.get(key="style") == "table", "get")
    check(c.raw("persist") == "var('p')" and c.raw("missing") is None, "raw")
    check("tags" in c and "Tags" not in c and len(c) == 4, "membership and length")
    check(c.keys() == list(c) == ["style", "tags", "persist", "opts"], "keys")
    check(str(c).startswith("{{ config(") and repr(c) == "<Config style, tags, persist, opts>", "text")
    expect(KeyError, lambda: c["missing"])
    expect(ValueError, lambda: c["persist"])
    expect(ValueError, lambda: c.get("persist"))
    expect(TypeError, lambda: c[1])
    expect(TypeError, lambda: c.raw(None))
    expect(TypeError, lambda: c.get())
    expect(TypeError, lambda: 1 in c)
    unhashable = parse_trelm("{{ config(k={[1]: 2}) }}").config
    expect(TypeError, lambda: unhashable["k"])


def config_edits() -> None:
    doc = parse_trelm(MODEL)
    c = doc.config
    c["style"] = "view"
    c["tags"] = ("x", "y")
    c["new_key"] = None
    c["n"] = {"a": [1, -2, 3.5, False, "s"], "b": {}}
    c["big"] = 2**63 - 1
    c.set_raw("schema", '  var("s")  ')
    check(c.raw("schema") == 'var("s")' and c["tags"] == ["x", "y"], "set values")
    del c["new_key"]
    del c["schema"]
    expect(KeyError, lambda: c.__delitem__("new_key"))
    expect(KeyError, lambda: c.__delitem__("bad-key"))
    expect(ValueError, lambda: c.__setitem__("bad-key", 1))
    expect(ValueError, lambda: c.__setitem__("", 1))
    expect(ValueError, lambda: c.set_raw("1x", "1"))
    for refused in ["1) }} {{ (", "'", "x, y=2", "}}", "("]:
        expect(ValueError, lambda refused=refused: c.set_raw("k", refused))
    expect(TypeError, lambda: c.__setitem__("x", {1, 2}))
    expect(TypeError, lambda: c.__setitem__("x", [1, b"bytes"]))
    expect(TypeError, lambda: c.__setitem__("x", {"k": object()}))
    c["x"] = 2**63
    check(c["x"] == 2**63, "an int past 64 bits written and read back")
    del c["x"]
    expect(TypeError, lambda: c.set_raw("x", 1))
    expect(TypeError, lambda: c.__setitem__(1, 1))
    looped: list = [1]
    looped.append(looped)
    expect(RecursionError, lambda: c.__setitem__("x", looped))
    check(parse_trelm(str(doc)).config.keys() == ["style", "tags", "persist", "opts", "n", "big"], "reparse")
    silent = parse_trelm("select 1")
    check(silent.config is None, "no config")


def render() -> None:
    check(render_literal({"a": [1, None]}) == '{"a": [1, None]}', "render")
    check(render_literal({"a": [1, None]}, "'") == "{'a': [1, None]}", "render single quote")
    for value in ["s'\"\\\n", 1, -1.5, 1e300, True, None, ["x", ("y",)], {"k": {"n": []}}]:
        render_literal(value)
    expect(ValueError, lambda: render_literal(1, "`"))
    expect(TypeError, lambda: render_literal(1, "''"))
    expect(TypeError, lambda: render_literal(1, 1))
    expect(TypeError, lambda: render_literal(object()))
    check(render_literal(-(2**64)) == str(-(2**64)), "an int past 64 bits rendered")
    expect(TypeError, lambda: render_literal())


def tree_api() -> None:
    doc = parse_trelm(MODEL)
    stack = [doc.root]
    while stack:
        node = stack.pop()
        (node.kind, node.span, str(node), hash(node), repr(node))
        for child in node.children:
            (child.kind, child.span, str(child))
            if isinstance(child, trelm_cst.Node):
                stack.append(child)
    for token in doc.tokens():
        (token.text, token.span, repr(token))
    for call in doc.calls():
        (call.name, call.args, call.kwargs, call.span, call.tag_span, str(call), repr(call))
    doc.calls("ref")
    q = doc.query
    check(q is not None and q.select is not None and doc.config is not None, "query, select and config")
    (q.span, q.node, str(q), q.clauses[0].span, str(q.clauses[0]), q.ctes[0].span, q.select.span)
    (q.select.columns[0].span, q.select.columns[0].node, doc.config.span, doc.location(len(MODEL)))
    expect(IndexError, lambda: doc.location(-1))
    expect(TypeError, lambda: doc.location("0"))
    check(doc.rename_ref("orders", "o2") == 1 and doc.rename_source(("raw", "payments"), ("r", "p")) == 1, "rename")
    expect(TypeError, lambda: doc.rename_source("raw.payments", ("r", "p")))
    expect(TypeError, lambda: doc.calls(1))
    check(trelm_cst.parse_literal("['a', {1: none}]") == ["a", {1: None}], "parse_literal")
    expect(ValueError, lambda: trelm_cst.parse_literal("var('x')"))


def lineage_reads() -> None:
    doc = parse_trelm(MODEL)
    q = doc.query
    relations = q.relations
    check([r.kind for r in relations] == ["cte", "table"], "relations of both branches of the union")
    (relations[0].name, relations[0].alias, relations[0].query, relations[0].span, repr(relations[0]))
    check(relations == q.relations and len({*relations, *q.relations}) == 2, "relation identity")
    filters = q.filters
    check([(f.clause, str(f)) for f in filters] == [("WHERE", "o.id")], "filters")
    for column in q.select.columns:
        for ref in column.references:
            (ref.qualifier, ref.name, ref.clause, ref.span, str(ref), repr(ref), hash(ref))
        (column.kind, column.excluded)
    check(q.select.columns[1].references == q.select.columns[1].references, "reference identity")
    loop = parse_trelm("select a {% if x %}, t.b as c, * except (d){% endif %} from t").query.select
    for item in loop.conditional_columns:
        (item.text, item.name, item.condition, item.kind, item.references, item.excluded, item.span, repr(item))
    check([c.kind for c in loop.conditional_columns] == ["renamed", "star"], "conditional columns")
    expect(TypeError, lambda: relations[0] < relations[0])


GROUPS: dict[str, Callable[[], None]] = {
    f.__name__: f
    for f in [
        parsing,
        document_reads,
        query_members,
        select_reads,
        select_edits,
        handles_outlive_documents,
        config_reads,
        config_edits,
        render,
        tree_api,
        lineage_reads,
    ]
}


def module_types() -> list[type]:
    return [getattr(trelm_cst._native, name) for name in dir(trelm_cst._native) if isinstance(getattr(trelm_cst._native, name), type)]


PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use_reader() -> Callable[[], int] | None:
    """Bytes allocated from malloc and not freed, or None without glibc 2.33."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    return lambda: (lambda m: m.uordblks + m.hblkhd)(mallinfo2())


def snapshot(heap: Callable[[], int] | None) -> dict[str, int]:
    gc.collect()
    state = {"rss": rss_bytes(), "blocks": sys.getallocatedblocks()}
    if heap is not None:
        state["heap"] = heap()
    for t in module_types():
        state[f"refcount {t.__name__}"] = sys.getrefcount(t)
    return state


def run(groups: list[Callable[[], None]], rounds: int) -> None:
    for _ in range(rounds):
        for group in groups:
            group()


def drifts(before: dict[str, int], after: dict[str, int], limits: dict[str, int]) -> list[str]:
    found = []
    for key, value in after.items():
        grown = value - before[key]
        if grown > limits.get(key, 0) or (key.startswith("refcount") and grown != 0):
            found.append(f"{key} grew by {grown:,} (from {before[key]:,} to {value:,})")
    return found


def measure(groups: list[Callable[[], None]], warmup: int, rounds: int, limits: dict[str, int],
            heap: Callable[[], int] | None, progress: bool) -> tuple[list[str], dict[str, int], dict[str, int]]:
    run(groups, warmup)
    before = snapshot(heap)
    done = 0
    step = max(1, rounds // 10)
    while done < rounds:
        n = min(step, rounds - done)
        run(groups, n)
        done += n
        if progress:
            now = snapshot(heap)
            print(f"  {done:>9,} rounds: rss {now['rss'] / 2**20:8.1f} MB, "
                  f"heap {now.get('heap', 0) / 2**20:8.2f} MB, blocks {now['blocks']:,}", flush=True)
    after = snapshot(heap)
    return drifts(before, after, limits), before, after


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=100_000, help="rounds of every operation (default 100,000)")
    parser.add_argument("--warmup", type=int, default=None, help="rounds before the first measure (default: a third)")
    parser.add_argument("--rss-mb", type=float, default=4.0, help="allowed growth of resident memory, MB")
    args = parser.parse_args(argv)
    # Python's object allocator settles over the first several hundred rounds.
    warmup = args.warmup if args.warmup is not None else max(200, args.iterations // 3)
    rounds = max(1, args.iterations - warmup) if args.warmup is None else args.iterations
    heap = heap_in_use_reader()
    # The heap and block counts are exact, but caches of the interpreter
    # (method caches, free lists, dict resizes) still move them by a little,
    # once, and not with the number of rounds: a leak of one object or one
    # node per round over the short run is far above these.
    limits = {"rss": int(args.rss_mb * 2**20), "heap": 64 * 1024, "blocks": 200}

    try:
        problems, before, after = measure(list(GROUPS.values()), warmup, rounds, limits, heap, progress=True)
    except Drift as e:
        print(f"leak_check: FAILED: {e}")
        return 1
    print(f"leak_check: {warmup:,} warm-up rounds, then {rounds:,} rounds of {len(GROUPS)} groups; "
          f"rss {before['rss'] / 2**20:.1f} -> {after['rss'] / 2**20:.1f} MB, "
          f"heap {before.get('heap', 0):,} -> {after.get('heap', 0):,} bytes, "
          f"blocks {before['blocks']:,} -> {after['blocks']:,}")
    if not problems:
        print("leak_check: no drift")
        return 0
    print("leak_check: FAILED:")
    for p in problems:
        print("  " + p)
    # Name the culprit: each group alone for as many rounds, with how much
    # each drifting measure moved.
    keys = [p.split(" grew")[0] for p in problems]
    for name, group in GROUPS.items():
        _, alone_before, alone_after = measure([group], warmup, rounds, limits, heap, progress=False)
        moved = ", ".join(f"{k} {alone_after[k] - alone_before[k]:+,}" for k in keys)
        print(f"  {name:<26} alone: {moved}")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
