#!/usr/bin/env python3
"""Writes a corpus of realistic model files for the benchmarks.

Each file has a config call, a chain of CTEs reading refs and sources, Jinja
if/for blocks inside SELECT lists and WHERE clauses, comments of every kind
(line, block, Jinja), UNION ALL branches, non-ASCII identifiers in some files
and CRLF line ends in others. Sizes are drawn from a log-normal law clipped
to 200 bytes .. 200 KB with a median of about 3 KB, as in real projects where
most models are small and a few are huge. Deterministic for a given --seed.

    python tools/gen_corpus.py --out DIR [--count N] [--seed S]
"""

from __future__ import annotations

import argparse
import math
import random
from pathlib import Path

MIN_SIZE = 200
MAX_SIZE = 200_000
MEDIAN_SIZE = 3_000

WORDS = [
    "id", "customer", "order", "amount", "status", "created_at", "updated_at", "region",
    "product", "price", "quantity", "discount", "tax", "currency", "channel", "segment",
    "account", "invoice", "payment", "shipment", "warehouse", "supplier", "category", "score",
]
NON_ASCII = ["größe", "straße", "naïve_flag", "café_id", "客户", "金额", "заказ", "δείκτης", "ñandú"]
STYLES = ["table", "view", "append", "ephemeral"]
SOURCES = [("raw", "orders"), ("raw", "customers"), ("stripe", "payments"), ("crm", "accounts")]


class Model:
    """Builds one model file from random parts until it reaches a target size."""

    def __init__(self, rng: random.Random, index: int, target: int) -> None:
        self.rng = rng
        self.index = index
        self.target = target
        self.unicode = rng.random() < 0.15

    def name(self) -> str:
        if self.unicode and self.rng.random() < 0.2:
            return self.rng.choice(NON_ASCII)
        return self.rng.choice(WORDS) + (f"_{self.rng.randint(1, 99)}" if self.rng.random() < 0.4 else "")

    def config(self) -> str:
        rng = self.rng
        args = [f"style='{rng.choice(STYLES)}'"]
        if rng.random() < 0.5:
            args.append(f"key='{self.name()}'")
        if rng.random() < 0.5:
            args.append("tags=[" + ", ".join(f"'{rng.choice(WORDS)}'" for _ in range(rng.randint(1, 3))) + "]")
        if rng.random() < 0.3:
            args.append("schema=var('target_schema', 'analytics')")
        if rng.random() < 0.3:
            args.append("enabled=true")
        if rng.random() < 0.4:
            return "{{\n    config(\n        " + ",\n        ".join(args) + ",\n    )\n}}\n\n"
        return "{{ config(" + ", ".join(args) + ") }}\n\n"

    def comment(self) -> str:
        rng = self.rng
        r = rng.random()
        if r < 0.4:
            return f"-- {rng.choice(WORDS)} {rng.choice(WORDS)} note"
        if r < 0.7:
            return f"/* {rng.choice(WORDS)}:\n       kept for {rng.choice(WORDS)} */"
        return f"{{# todo: {rng.choice(WORDS)} #}}"

    def column(self) -> str:
        rng = self.rng
        a, b = self.name(), self.name()
        r = rng.random()
        if r < 0.3:
            col = f"t.{a}"
        elif r < 0.45:
            col = f"t.{a} as {b}"
        elif r < 0.55:
            col = f"sum(t.{a}) / 100.0 as {b}_total"
        elif r < 0.65:
            col = f"case when t.{a} > {rng.randint(0, 500)} then 'high' else 'low' end as {b}_band"
        elif r < 0.72:
            col = f"coalesce(t.{a}, t.{b}, 0)::numeric(12, 2) as {a}_value"
        elif r < 0.78:
            col = f'"{a.title()} {b.title()}"'
        elif r < 0.84:
            col = f"{{{{ macros.safe_divide('t.{a}', 't.{b}') }}}} as {a}_ratio"
        elif r < 0.9:
            col = f"cast(t.{a} as varchar) as {a}_text"
        else:
            col = f"row_number() over (partition by t.{a} order by t.{b} desc) as rn"
        if rng.random() < 0.08:
            col += f"  /* {rng.choice(WORDS)} */"
        return col

    def select_list(self, count: int) -> str:
        rng = self.rng
        items = [self.column() for _ in range(count)]
        if rng.random() < 0.35:
            # A loop over column names, the commonest Jinja shape in a SELECT list.
            items.insert(
                rng.randint(0, len(items)),
                "{% for c in ['" + "', '".join(rng.sample(WORDS, 3)) + "'] %}\n"
                "        sum(case when t.kind = '{{ c }}' then t.amount end) as {{ c }}_amount"
                "{% if not loop.last %},{% endif %}\n    {% endfor %}",
            )
        if rng.random() < 0.25:
            items.insert(
                rng.randint(0, len(items)),
                "{% if target.name == 'prod' %}\n        t.audit_id,\n    {% endif %}\n    t.load_ts",
            )
        leading = rng.random() < 0.2
        sep = "\n    , " if leading else ",\n    "
        return "    " + sep.join(items)

    def where(self) -> str:
        rng = self.rng
        parts = [f"t.{self.name()} is not null"]
        if rng.random() < 0.4:
            parts.append(f"t.{self.name()} in ('a', 'b', 'c')")
        text = "where " + "\n  and ".join(parts)
        if rng.random() < 0.4:
            text += (
                "\n{% if is_backfill() %}\n"
                "  and t.updated_at > (select max(updated_at) from {{ this }})\n"
                "{% endif %}"
            )
        return text

    def source_of(self, ctes: list[str]) -> str:
        rng = self.rng
        if ctes and rng.random() < 0.6:
            return rng.choice(ctes)
        if rng.random() < 0.5:
            schema, table = rng.choice(SOURCES)
            return f"{{{{ source('{schema}', '{table}') }}}}"
        return f"{{{{ ref('{rng.choice(WORDS)}_{rng.randint(1, 40)}') }}}}"

    def body(self, ctes: list[str], columns: int) -> str:
        rng = self.rng
        text = f"select\n{self.select_list(columns)}\nfrom {self.source_of(ctes)} as t"
        if rng.random() < 0.4:
            text += f"\nleft join {self.source_of(ctes)} as d\n    on d.id = t.id"
        if rng.random() < 0.8:
            text += "\n" + self.where()
        if rng.random() < 0.3:
            text += "\ngroup by 1, 2"
        if rng.random() < 0.15:
            text += f"\n\nunion all\n\nselect\n{self.select_list(columns)}\nfrom {self.source_of(ctes)} as t"
        return text

    def build(self) -> str:
        if self.target < 600:
            return self.small()
        rng = self.rng
        parts = [self.config()] if rng.random() < 0.9 else []
        if rng.random() < 0.5:
            parts.append(self.comment() + "\n\n")
        size = sum(len(p) for p in parts)
        ctes: list[str] = []
        cte_texts: list[str] = []
        # CTEs until the file is near its size; each one reads an earlier CTE,
        # a ref or a source.
        while size < self.target * 0.8 or not cte_texts:
            name = f"{rng.choice(WORDS)}_{len(ctes)}"
            text = f"{name} as (\n\n" + self.body(ctes, rng.randint(2, 25)) + "\n\n)"
            if rng.random() < 0.3:
                text = self.comment() + "\n" + text
            ctes.append(name)
            cte_texts.append(text)
            size += len(text) + 4
        parts.append("with " + ",\n\n".join(cte_texts) + "\n\n")
        parts.append(f"select * from {ctes[-1]}\n")
        return "".join(parts)


    def small(self) -> str:
        # The smallest real models: a config call or none, and one short query.
        head = "{{ config(style='view') }}\n\n" if self.rng.random() < 0.5 else ""
        columns = self.rng.randint(1, 3)
        text = head + self.body([], columns) + "\n"
        while len(text.encode()) < max(MIN_SIZE, self.target * 0.7):
            columns += 1
            text = head + self.body([], columns) + "\n"
        return text


def file_size(rng: random.Random) -> int:
    size = int(MEDIAN_SIZE * math.exp(rng.gauss(0.0, 1.3)))
    return max(MIN_SIZE, min(MAX_SIZE, size))


def model_text(rng: random.Random, index: int) -> str:
    target = file_size(rng)
    text = Model(rng, index, target).build()
    # The last CTE can overshoot the target; aim lower rather than cut a file
    # in the middle of a Jinja tag.
    while len(text.encode()) > MAX_SIZE:
        target = int(target * 0.9)
        text = Model(rng, index, target).build()
    if rng.random() < 0.12:
        text = text.replace("\n", "\r\n")
    return text


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", type=Path, required=True)
    ap.add_argument("--count", type=int, default=600)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    args.out.mkdir(parents=True, exist_ok=True)
    for old in args.out.glob("model_*.sql"):
        old.unlink()
    total = 0
    for i in range(args.count):
        data = model_text(rng, i).encode()
        (args.out / f"model_{i:05d}.sql").write_bytes(data)
        total += len(data)
    print(f"{args.count} files, {total / 1e6:.2f} MB in {args.out}")


if __name__ == "__main__":
    main()
