"""Parse and print throughput, in MB/s.

    python bench/parse_throughput.py            # 10 MB generated model text
    python bench/parse_throughput.py --corpus DIR

The generated text is a deterministic mix of model-file shapes: a config
call, CTEs with refs, long SELECT lists with aliases and comments, Jinja
loops and conditionals, joins and subqueries. Prints figures; asserts nothing.
"""

from __future__ import annotations

import argparse
import pathlib
import random
import time

from trelm_cst import parse_trelm


def model(rng: random.Random, i: int) -> str:
    cols = []
    for c in range(rng.randint(5, 40)):
        kind = rng.randint(0, 5)
        if kind == 0:
            cols.append(f"t{c % 3}.col_{c}")
        elif kind == 1:
            cols.append(f"sum(t.amount_{c}) / 100.0 as amount_{c}_dollars")
        elif kind == 2:
            cols.append(f"case when x_{c} > {c} then 'yes' else 'no' end as flag_{c}  -- derived")
        elif kind == 3:
            cols.append(f'"Quoted Col {c}"')
        elif kind == 4:
            cols.append(f"coalesce(a_{c}, b_{c}, 0)::numeric(10, 2) as v_{c}")
        else:
            cols.append(f"{{{{ trelm_utils.star(ref('m_{c}')) }}}}")
    select = ",\n    ".join(cols)
    return f"""{{{{ config(style='append', key='id_{i}', tags=['a', 'b']) }}}}

with source_{i} as (
    select * from {{{{ source('raw', 'table_{i}') }}}}
    {{% if is_backfill() %}}
    where updated_at > (select max(updated_at) from {{{{ this }}}})
    {{% endif %}}
),

renamed as (
    select
    {select}
    from source_{i} as t
    left join {{{{ ref('dim_{i}') }}}} d on d.id = t.id
    /* block comment
       over lines */
)

select
    {{% for c in ['a', 'b', 'c'] %}}
    {{{{ c }}}}_total,
    {{% endfor %}}
    r.*
from renamed r
where r.id in (select id from {{{{ ref('keep') }}}}) and r.note <> $$it's$$
order by 1
"""


def generated(size: int) -> str:
    rng = random.Random(7)
    parts, total, i = [], 0, 0
    while total < size:
        m = model(rng, i)
        parts.append(m)
        total += len(m.encode())
        i += 1
    return "\n".join(parts)


def best_of(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-mb", type=float, default=10.0)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--corpus", type=pathlib.Path)
    args = ap.parse_args()

    if args.corpus:
        texts = [p.read_text(encoding="utf-8") for p in sorted(args.corpus.rglob("*.sql"))]
        mb = sum(len(t.encode()) for t in texts) / 1e6
        secs = best_of(lambda: [parse_trelm(t) for t in texts], args.repeat)
        print(f"corpus: {len(texts)} files, {mb:.2f} MB, parse {mb / secs:.1f} MB/s ({secs * 1e3:.1f} ms)")
        return

    text = generated(int(args.size_mb * 1e6))
    mb = len(text.encode()) / 1e6
    doc = parse_trelm(text)
    assert str(doc) == text
    parse_s = best_of(lambda: parse_trelm(text), args.repeat)
    print_s = best_of(lambda: str(doc), args.repeat)
    queries = len(doc.queries())
    print(f"generated: {mb:.2f} MB, {queries} queries")
    print(f"parse: {mb / parse_s:.1f} MB/s ({parse_s * 1e3:.1f} ms)")
    print(f"print: {mb / print_s:.1f} MB/s ({print_s * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()
