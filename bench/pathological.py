"""Times the module on adversarial inputs at one size and at four times that
size, and fails when any case grows faster than near-linearly.

    python bench/pathological.py            # full sizes (deep nesting to 1,000,000 levels)
    python bench/pathological.py --quick    # smaller sizes for CI, still 1x against 4x
    python bench/pathological.py --big      # also a 100 MB model file: MB/s and peak memory
    python bench/pathological.py -k refs    # only the cases whose name contains "refs"

Each case builds its input outside the clock, then times one operation on
it (parsing, a query, a run of edits) and checks the result where that is
cheap: the text prints back, the error has the offset the lexer defines,
the edit lands where it should. The best of a few repeats is kept, to damp
the noise of a shared machine. A ratio of 4x time over 1x time above
--max-ratio (default 8) fails: linear work gives about 4, quadratic 16.

Exit status 0 when every case is near-linear and correct, 1 otherwise.
"""

from __future__ import annotations

import argparse
import gc
import resource
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

from trelm_cst import TrelmSyntaxError, parse_trelm, render_literal


class WrongResult(Exception):
    pass


def check(condition: bool, what: str) -> None:
    if not condition:
        raise WrongResult(what)


# ---------------------------------------------------------------- operations
# Each takes the prepared input and does the timed work, checks included.


def parse_and_print(text: str) -> None:
    doc = parse_trelm(text)
    check(str(doc) == text, "prints back")
    repr(doc)  # counts every query: a full walk of the tree


def diagnose(text: str) -> None:
    parse_trelm(text).diagnostics()


def parse_fails_at(offset: int) -> Callable[[str], None]:
    def run(text: str) -> None:
        try:
            parse_trelm(text)
        except TrelmSyntaxError as e:
            check(e.offset == offset, f"error offset {e.offset}, expected {offset}")
            return
        raise WrongResult("parsed without error")

    return run


def refs_count(expected: Callable[[int], int], n: int) -> Callable[[str], None]:
    def run(text: str) -> None:
        doc = parse_trelm(text)
        found = len(doc.refs) + len(doc.sources)
        check(found == expected(n), f"{found} refs and sources, expected {expected(n)}")

    return run


EDITS = 20


def column_references(expected: int) -> Callable[[str], None]:
    def run(text: str) -> None:
        column = parse_trelm(text).query.select.columns[0]
        check(len(column.references) == expected, f"{len(column.references)} references, expected {expected}")
        check(column.kind == "expression", f"kind {column.kind}")

    return run


def query_reads(n: int) -> Callable[[str], None]:
    def run(text: str) -> None:
        query = parse_trelm(text).query
        check(len(query.relations) == n, f"{len(query.relations)} relations, expected {n}")
        check(len(query.filters) == 2 * (n - 1), f"{len(query.filters)} filters, expected {2 * (n - 1)}")

    return run


def edit_select_ends(text: str) -> None:
    """Edits at both ends of one long list; each edit may be linear in the
    list, so a fixed number of them keeps the case linear overall."""
    doc = parse_trelm(text)
    s = doc.query.select
    n = len(s)
    for i in range(EDITS):
        s.add(f"new_{i}")
        s.add(f"first_{i}", 0)
        s.columns[-1].text = f"last_{i} as l"
        check(s.remove(f"first_{i}"), "remove at the front")
    check(s.names[-1] == "l" and len(s) == n + EDITS, "edited list")
    check(s.index("l") == n and s.columns[n].text == "last_0 as l", "lookups past the old end")
    check(str(parse_trelm(str(doc))) == str(doc), "reparses")


def edit_last_cte(text: str) -> None:
    doc = parse_trelm(text)
    q = doc.query
    ctes = q.ctes
    last = q.cte(ctes[-1].name)
    check(last.name == ctes[-1].name, "finds the last CTE by name")
    s = last.query.select
    for i in range(EDITS):
        s.add(f"x_{i}")
    check(len(s) == EDITS + 1 and str(parse_trelm(str(doc))) == str(doc), "edited CTE")


def config_deep_value(depth: int) -> Callable[[str], None]:
    def run(text: str) -> None:
        doc = parse_trelm(text)
        c = doc.config
        value = c["k"]
        for _ in range(depth - 1):
            value = value[0]
        check(value == [], "deepest list")
        check(c.keys() == ["k"] and len(c.raw("k")) == 2 * depth, "keys and raw source")
        c["other"] = 1
        check(c["other"] == 1, "set next to a deep value")

    return run


def config_deep_dict(depth: int) -> Callable[[str], None]:
    def run(text: str) -> None:
        doc = parse_trelm(text)
        value = doc.config["k"]
        for _ in range(depth):
            value = value["a"]
        check(value == 1 and str(doc) == text, "deepest value")

    return run


def write_deep_value(text: str) -> None:
    # The input is just the depth; the value is built outside the clock by
    # the case's maker, so here only conversion and rendering are timed.
    doc = parse_trelm("{{ config(a=1) }}\nselect 1")
    c = doc.config
    c["deep"] = DEEP_VALUES[text]
    check(c.raw("deep") == render_literal(DEEP_VALUES[text], "\""), "written as rendered")


DEEP_VALUES: dict[str, object] = {}


def deep_value(n: int) -> str:
    value: object = "leaf"
    for i in range(n):
        value = {"k": [value]} if i % 2 else [value]
    key = f"deep{n}"
    DEEP_VALUES[key] = value
    return key


# ---------------------------------------------------------------- inputs


def many_refs(n: int) -> str:
    refs = " join ".join(f"{{{{ ref('model_{i}') }}}}" for i in range(n))
    sources = " join ".join(f"{{{{ source('raw', 't{i}') }}}}" for i in range(n))
    return f"select 1 from {refs} join {sources}"


def repeated_refs(n: int) -> str:
    # The same few calls many times: the duplicates are dropped.
    return "select 1 from " + " join ".join(f"{{{{ ref('m{i % 5}') }}}}" for i in range(n))


def select_list(n: int) -> str:
    return "select\n    " + ",\n    ".join(f"t.col_{i} as c_{i}" for i in range(n)) + "\nfrom t\n"


def with_list(n: int) -> str:
    ctes = ",\n".join(f"c{i} as (\n    select {i} as v from t{i}\n)" for i in range(n))
    return f"with {ctes}\nselect * from c0\n"


@dataclass
class Case:
    name: str
    make: Callable[[int], str]
    run: Callable[[str], None] | Callable[[int], Callable[[str], None]]
    size: int  # the 1x size of the full run
    sized_run: bool = False  # run is a factory taking the size

    def operation(self, n: int) -> Callable[[str], None]:
        return self.run(n) if self.sized_run else self.run  # type: ignore[call-arg, return-value]


DEEP = 250_000

CASES = [
    # Deep nesting of every bracket and block kind, closed and left open.
    Case("parens closed", lambda n: "select " + "(" * n + "1" + ")" * n, parse_and_print, DEEP),
    Case("parens open", lambda n: "(" * n, parse_and_print, DEEP),
    Case("brackets closed", lambda n: "[" * n + "]" * n, parse_and_print, DEEP),
    Case("brackets open", lambda n: "select [" * n, parse_and_print, DEEP // 2),
    Case("if blocks", lambda n: "{% if x %}" * n + "select a" + "{% endif %}" * n, parse_and_print, DEEP // 4),
    Case("if blocks open", lambda n: "{% if x %}" * n + "select a {% endif %}", parse_and_print, DEEP // 4),
    Case("for blocks with else",
         lambda n: "{% for x in y %}(" * n + "select a" + "){% else %}b{% endfor %}" * n, parse_and_print, DEEP // 8),
    Case("other blocks", lambda n: "{% macro m() %}{% call c() %}" * n + "select 1" + "{% endcall %}{% endmacro %}" * n,
         parse_and_print, DEEP // 8),
    Case("subqueries", lambda n: "select " + "(select " * n + "1" + ")" * n, parse_and_print, DEEP // 2),
    Case("subqueries with aliases", lambda n: "select * from " + "(select a, b from " * n + "t" + ") s" * n,
         parse_and_print, DEEP // 4),
    # Unmatched closers and end tags against deep stacks of open frames: a
    # search of the whole stack per token would be quadratic.
    Case("parens then bracket closers", lambda n: "(" * n + "]" * n, parse_and_print, DEEP // 2),
    Case("brackets then paren closers", lambda n: "select " + "[" * n + ")" * n, parse_and_print, DEEP // 2),
    Case("ifs then foreign end tags", lambda n: "{% if x %}" * n + "{% endfor %}" * n + "{% for a in b %}{% endfor %}",
         parse_and_print, DEEP // 8),
    Case("fors then elifs", lambda n: "{% for x in y %}" * n + "{% elif z %}" * n + "{% endfor %}", parse_and_print,
         DEEP // 8),
    Case("ifs and brackets then paren closers", lambda n: "{% if x %}[" * n + ")" * n + "{% endif %}",
         parse_and_print, DEEP // 8),
    Case("parens then end tags", lambda n: "{% if x %}" + "(" * n + "{% endif %}" * n, parse_and_print, DEEP // 4),
    # The Jinja checker over the same shapes: nesting inside one tag is
    # refused at a bound, and end tags find their block without a search.
    Case("diagnostics of deep parens in a tag", lambda n: "{{ " + "(" * n + "x" + ")" * n + " }}", diagnose, DEEP),
    Case("diagnostics of deep nots in a tag", lambda n: "{{ " + "not " * n + "x }}", diagnose, DEEP // 2),
    Case("diagnostics of ifs then foreign end tags",
         lambda n: "{% if x %}" * n + "{% endfor %}" * n + "{% for a in b %}{% endfor %}", diagnose, DEEP // 8),
    Case("diagnostics of unpaired brackets", lambda n: "select " + "(" * n + "]" * n, diagnose, DEEP // 2),
    # The bracket walk over a deep tree: its stack must grow by doubling.
    Case("diagnostics of closed parens", lambda n: "select " + "(" * n + "1" + ")" * n, diagnose, DEEP),
    Case("diagnostics of if blocks", lambda n: "{% if x %}(" * n + "select 1" + "){% endif %}" * n, diagnose,
         DEEP // 4),
    Case("diagnostics of a long flat file", lambda n: "select a, {{ ref('b') }} from t where x in (1, 2) -- c\n" * n,
         diagnose, DEEP // 4),
    # Jinja constructs that never close: syntax errors, at the opener.
    Case("unclosed tag in a string", lambda n: "select 'a " + "{{ (" * n + "'", parse_fails_at(10), DEEP),
    Case("unclosed tag in a comment", lambda n: "select 1 -- " + "{% [ " * n, parse_fails_at(12), DEEP),
    Case("unclosed comment after tags", lambda n: "select " + "'{{ x }}' " * n + "{# x",
         lambda n: parse_fails_at(7 + 10 * n), DEEP // 4, sized_run=True),
    Case("raw block never ended", lambda n: "{% raw %}" + "{% x {{ " * n, parse_fails_at(0), DEEP // 4),
    Case("raw block of open tags", lambda n: "{% raw %}" + "{% (" * n + "{% endraw %}", parse_and_print, DEEP // 4),
    Case("unclosed expression in a tag's quotes", lambda n: "{{ '" + "}} " * n, parse_fails_at(0), DEEP),
    # Embedded tags read by doc.refs, in strings and comments: every opener
    # whose scan never closes must not rescan the rest of the text.
    # (Each string also holds a real ref call, so the scan cannot be skipped.)
    Case("dollar string of tags", lambda n: "select $$" + "{{ x }}{% if y %}{# $$ #}" * n + "{{ ref('a') }}$$",
         lambda n: refs_count(lambda _: 1, n), DEEP // 4, sized_run=True),
    # A dollar delimiter inside a Jinja construct closes nothing: each one
    # found there must not send the search back over the tags before it.
    Case("dollar delimiters hidden in tags", lambda n: "select $a$" + "{{ '$a$' }}" * n + "$a$",
         parse_and_print, DEEP // 4),
    Case("dollar openers closed only in a tag",
         lambda n: "select " + "".join(f"$t{i}$ " for i in range(n)) + "{{ '" + "".join(f"$t{i}$" for i in range(n))
         + "' }}", parse_and_print, DEEP // 8),
    Case("unclosed tag in a dollar string", lambda n: "select $$" + "{{ (" * n + "$$", parse_fails_at(9), DEEP),
    # Comments cannot hold an unclosed tag (that is a syntax error), but
    # they can hold any number of lone braces.
    Case("block comment of lone braces", lambda n: "select 1 /* {{ ref('a') }} " + "{ {[ }" * n + " */",
         lambda n: refs_count(lambda _: 1, n), DEEP // 4, sized_run=True),
    Case("comment of nested tags", lambda n: "select 1 -- " + "{{ (" * n + ")}}" * n + " {{ ref('c') }}",
         lambda n: refs_count(lambda _: 1, n), DEEP // 4, sized_run=True),
    # Calls nested in calls: reading each call's arguments afresh would
    # walk the rest of the tag once per call.
    Case("nested ref calls", lambda n: "select {{ " + "ref(" * n + "'a'" + ")" * n + " }} from t",
         lambda n: refs_count(lambda _: 1, n), DEEP // 8, sized_run=True),
    Case("nested ref calls after a string", lambda n: "select {{ " + "ref('a' ~ " * n + "'a'" + ")" * n + " }} from t",
         lambda n: refs_count(lambda _: 0, n), DEEP // 8, sized_run=True),
    Case("nested ref calls closed by brackets", lambda n: "select 1 -- {{ " + "ref(x, " * n + "'a'" + "]" * n + " }}",
         lambda n: refs_count(lambda _: 0, n), DEEP // 8, sized_run=True),
    # Many calls: deduplication must not compare each with all the others.
    Case("refs with many distinct calls", many_refs, lambda n: refs_count(lambda k: 2 * k, n), 20_000,
         sized_run=True),
    Case("refs repeated", repeated_refs, lambda n: refs_count(lambda _: 5, n), 20_000, sized_run=True),
    # Long lists, and editing at their ends.
    Case("huge select list", select_list, parse_and_print, 50_000),
    Case("huge select list edits", select_list, edit_select_ends, 20_000),
    Case("huge with list", with_list, parse_and_print, 20_000),
    Case("huge with list edits", with_list, edit_last_cte, 20_000),
    # Lineage reads: one long expression, calls nested deep, a long join chain.
    Case("references of a huge expression", lambda n: "select " + " + ".join(f"c{i}" for i in range(n)) + " as s",
         lambda n: column_references(n), 50_000, sized_run=True),
    Case("references of nested calls", lambda n: "select " + "f(c, " * n + "1" + ")" * n + " as s",
         lambda n: column_references(n), DEEP // 4, sized_run=True),
    Case("relations of a long join chain",
         lambda n: "select a from t0" + "".join(f" join t{i} on t{i}.k = t{i - 1}.k" for i in range(1, n)),
         query_reads, 20_000, sized_run=True),
    # Config values nested deep.
    Case("config list nested deep", lambda n: "{{ config(k=" + "[" * n + "]" * n + ") }}\nselect 1",
         config_deep_value, DEEP // 4, sized_run=True),
    Case("config dict nested deep", lambda n: "{{ config(k=" + "{'a': " * n + "1" + "}" * n + ") }}\nselect 1",
         config_deep_dict, DEEP // 4, sized_run=True),
    Case("config value written deep", deep_value, write_deep_value, DEEP // 8),
]


def best_time(run: Callable[[str], None], text: str, repeats: int) -> float:
    best, spent = float("inf"), 0.0
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        run(text)
        took = time.perf_counter() - start
        best, spent = min(best, took), spent + took
        if spent > 3.0:  # slow enough that noise does not matter
            break
    return best


@dataclass
class Timing:
    n: int  # the smaller size of the judged pair
    t1: float
    t4: float

    @property
    def ratio(self) -> float:
        return self.t4 / self.t1 if self.t1 > 0 else float("inf")


# A step whose successor would likely take longer than this ends the ladder.
STEP_BUDGET = 60.0


def time_case(case: Case, n: int, repeats: int, floor: float, max_bytes: int, max_ratio: float) -> Timing:
    """Times the case on a ladder of sizes, each four times the last, from
    n/16 up to 4n, and returns the pair to judge: the last one, which is the
    first whose growth is above `max_ratio` when there is one. Below `floor`
    a time is mostly noise, so while the times stay under it the ladder goes
    on past 4n, as long as the input stays under `max_bytes`. Stopping at
    the first superlinear step, or before a step that would take too long,
    catches a quadratic case on small inputs instead of hanging the run."""
    def timed(size: int, repeats: int) -> tuple[float, int]:
        text = case.make(size)
        return best_time(case.operation(size), text, repeats), len(text)

    base = max(1, n // 16)
    size = base
    steps: list[tuple[int, float]] = []
    while True:
        t, length = timed(size, repeats)
        steps.append((size, t))
        if len(steps) >= 2:
            t0 = steps[-2][1]
            if t0 >= floor and (t / t0 > max_ratio or size >= 64 * base):
                break
        if length * 4 > max_bytes or t * 16 > STEP_BUDGET or size >= 1024 * base:
            break
        size *= 4
    if len(steps) == 1:
        return Timing(size, steps[0][1], steps[0][1])
    (small, t0), (large, t) = steps[-2:]
    if t / t0 > max_ratio and t < STEP_BUDGET / 4:
        # One more look before calling it superlinear: a burst of load on
        # a shared machine can slow a single step.
        t0 = min(t0, timed(small, 2 * repeats)[0])
        t, length = timed(large, 2 * repeats)
        t = min(t, steps[-1][1])
        if t / t0 > max_ratio and length * 4 <= max_bytes and t * 16 < STEP_BUDGET:
            # A step whose working set leaves the processor's caches grows
            # faster than the work does, once; growth that is really
            # superlinear goes on at the next step too.
            t_next = timed(large * 4, repeats)[0]
            if t_next / t <= max_ratio:
                return Timing(large, t, t_next)
    return Timing(small, t0, t)


BIG_CHUNK = """{{{{ config(style='append', key='id', tags=['nightly']) }}}}
-- model {i}
with src_{i} as (
    select id, amount, created_at, '{{ a lone brace' as s, $$ {{{{ ref('in_dollar') }}}} $$ as d
    from {{{{ source('raw', 'payments_{i}') }}}}
    where created_at > '2020-01-01' /* a {{{{ "comment" }}}} */
), joined as (
    select p.id, p.amount * 2 as doubled, o.status, (select max(x) from t where t.id = p.id) as mx
    from src_{i} p
    left join {{{{ ref('orders') }}}} o on o.id = p.id
    {{% if is_backfill() %}}
    where p.created_at > (select max(created_at) from {{{{ this }}}})
    {{% endif %}}
)
select
    id,
    {{% for c in ['a', 'b'] %}}sum({{{{ c }}}}) as {{{{ c }}}}_total,{{% endfor %}}
    doubled,
    status
from joined
group by 1, 3, 4
union all
select 1, 2, 3, 4 from dual;
"""


def big_file(megabytes: int) -> None:
    """Parses a file of the given size made of varied model chunks and
    reports throughput and peak resident memory. Figures only, no limits."""
    parts, size, i = [], 0, 0
    while size < megabytes * 2**20:
        chunk = BIG_CHUNK.format(i=i)
        parts.append(chunk)
        size += len(chunk)
        i += 1
    text = "".join(parts)
    del parts
    mb = len(text.encode()) / 2**20
    start = time.perf_counter()
    doc = parse_trelm(text)
    parsed = time.perf_counter()
    same = str(doc) == text
    printed = time.perf_counter()
    queries = len(doc.queries())
    refs = doc.refs
    walked = time.perf_counter()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"big file: {mb:.1f} MB in {i:,} chunks; parse {mb / (parsed - start):.1f} MB/s, "
          f"print {mb / (printed - parsed):.1f} MB/s, queries+refs {walked - printed:.2f} s "
          f"({queries:,} queries, {len(refs)} distinct refs); peak RSS {peak:,.0f} MB; "
          f"prints back {'unchanged' if same else 'CHANGED'}")
    if not same:
        raise WrongResult("the big file does not print back")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="sizes a tenth of the full run, for CI")
    parser.add_argument("--big", action="store_true", help="also parse a 100 MB file")
    parser.add_argument("--max-ratio", type=float, default=8.0, help="largest accepted 4x/1x time ratio")
    parser.add_argument("--repeats", type=int, default=None, help="repeats per size (best kept)")
    parser.add_argument("-k", dest="only", default="", help="only cases whose name contains this")
    args = parser.parse_args(argv)
    divisor = 10 if args.quick else 1
    repeats = args.repeats or (3 if args.quick else 5)
    floor = 0.01 if args.quick else 0.03
    max_bytes = (16 if args.quick else 64) * 2**20

    failures: list[str] = []
    unjudged: list[str] = []
    print(f"{'case':<40} {'1x size':>9} {'1x s':>9} {'4x s':>9} {'ratio':>6}")
    for case in CASES:
        if args.only not in case.name:
            continue
        n = max(1, case.size // divisor)
        try:
            timing = time_case(case, n, repeats, floor, max_bytes, args.max_ratio)
        except Exception as e:  # a wrong answer of any kind is a finding, not a crash of the script
            print(f"{case.name:<40} {n:>9,} WRONG RESULT: {type(e).__name__}: {e}")
            failures.append(f"{case.name}: wrong result: {e}")
            continue
        if timing.t1 < floor:
            verdict = "  (too fast to judge)"
            unjudged.append(case.name)
        elif timing.ratio > args.max_ratio:
            verdict = "  SUPERLINEAR"
            failures.append(f"{case.name}: 4x the input took {timing.ratio:.1f} times as long "
                            f"({timing.t1:.4f} s -> {timing.t4:.4f} s at {timing.n:,} -> {4 * timing.n:,})")
        else:
            verdict = ""
        print(f"{case.name:<40} {timing.n:>9,} {timing.t1:>9.4f} {timing.t4:>9.4f} {timing.ratio:>6.1f}{verdict}",
              flush=True)
    if args.big:
        try:
            big_file(100)
        except WrongResult as e:
            failures.append(str(e))
    if failures:
        print("pathological: FAILED:")
        for f in failures:
            print("  " + f)
        return 1
    if unjudged:
        print(f"pathological: too fast to time even at the largest size tried: {', '.join(unjudged)}")
    print("pathological: every case near-linear and correct")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
