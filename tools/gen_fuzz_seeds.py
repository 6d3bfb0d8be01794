#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets: small model files, select item
texts and Jinja expressions built from the shapes the parser and the Jinja
reader care about. Deterministic for a given --seed.

    python tools/gen_fuzz_seeds.py OUT_DIR [--count N] [--seed S]

writes OUT_DIR/<target>/<n>.txt for every fuzz target.
"""

from __future__ import annotations

import argparse
import random
from pathlib import Path

STRINGS = ["'a'", '"b"', "'it\\'s'", "'x\\\\y'", "'\\n'", "'ünï'", "'}}'", '"%}"']
NUMBERS = ["0", "42", "-7", "1.5", "1e5", "-0.0", "99999999999999999999", "0x1F", "1.2.3", "1_000"]
NAMES = ["true", "False", "none", "None", "x", "var('v')", "ref('m')"]


def literal(rng: random.Random, depth: int = 0) -> str:
    r = rng.random()
    if depth > 3 or r < 0.5:
        return rng.choice(STRINGS + NUMBERS + NAMES)
    items = [literal(rng, depth + 1) for _ in range(rng.randint(0, 3))]
    trailing = "," if items and rng.random() < 0.3 else ""
    if r < 0.7:
        return "[" + ", ".join(items) + trailing + "]"
    if r < 0.8:
        return "(" + ", ".join(items) + trailing + ")"
    pairs = [f"{rng.choice(STRINGS)}: {v}" for v in items]
    return "{" + ", ".join(pairs) + trailing + "}"


KEYS = ["a", "style", "tags", "k", "enabled"]


def laid_out(rng: random.Random, items: list[str]) -> str:
    """Items inline, one per line (trailing or leading commas), LF or CRLF."""
    if rng.random() < 0.4 and items:
        indent = "\n    " if rng.random() < 0.5 else "\r\n  "
        end = indent[:-4] if indent.startswith("\n") else "\r\n"
        if rng.random() < 0.3:
            return indent + (indent + ", ").join(items) + end
        return indent + ("," + indent).join(items) + ("," if rng.random() < 0.5 else "") + end
    return ", ".join(items) + ("," if items and rng.random() < 0.2 else "")


def call(rng: random.Random, name: str) -> str:
    args = []
    for _ in range(rng.randint(0, 4)):
        value = literal(rng)
        if rng.random() < 0.6:
            args.append(f"{rng.choice(KEYS)}{rng.choice(['=', ' = '])}{value}")
        else:
            args.append(value)
    return f"{name}({laid_out(rng, args)})"


def dict_call(rng: random.Random, name: str) -> str:
    """A call whose one argument is a dict, sometimes with a keyword beside it."""
    quote = rng.choice(["'", '"'])
    entries = [f"{quote}{rng.choice(KEYS)}{quote}{rng.choice([': ', ' : ', ':'])}{literal(rng)}"
               for _ in range(rng.randint(0, 4))]
    extra = ", style='view'" if rng.random() < 0.1 else ""
    return f"{name}({{{laid_out(rng, entries)}}}{extra})"


def select_item(rng: random.Random) -> str:
    return rng.choice([
        "a",
        "t.col as c",
        "count(*) as n",
        "{{ col }}",
        "case when x then 1 else 0 end as flag",
        "a + b -- sum",
        "/* c */ x",
        "'open",
        "a, b",
        "x from t",
        "{% if y %}z{% endif %}",
        "\"Quoted\" AS q",
        "{{ col",
        "",
    ])


def model(rng: random.Random) -> str:
    parts = []
    for _ in range(1 if rng.random() < 0.9 else 2):
        if rng.random() < 0.7:
            make = dict_call if rng.random() < 0.4 else call
            parts.append("{{ " + make(rng, "config") + " }}\n")
    ctes = [f"c{i} as (\n    select * from {{{{ ref('m{i}') }}}}\n)" for i in range(rng.randint(0, 2))]
    if ctes:
        parts.append("with " + ",\n".join(ctes) + "\n")
    items = [select_item(rng) for _ in range(rng.randint(1, 4))]
    items = [i for i in items if i and "," not in i and "from" not in i and "{{ col" != i] or ["a"]
    if rng.random() < 0.3:
        items.insert(1, "{% if x %}\n    extra,\n    {% endif %}")
    sep = rng.choice([",\n    ", "\n    , ", ", "])
    parts.append("select\n    " + sep.join(items) + "\n")
    parts.append(rng.choice([
        "from {{ source('raw', 'orders') }}\n",
        "from t -- {{ ref('in_comment') }}\n",
        "from $$ {{ ref('dollar') }} $$\n",
        "from t where x = '{{ var(\"s\") }}'\nunion all\nselect b from u\n",
    ]))
    text = "".join(parts)
    return text.replace("\n", "\r\n") if rng.random() < 0.2 else text


def expression(rng: random.Random) -> str:
    return rng.choice([
        lambda: literal(rng),
        lambda: call(rng, "f"),
        lambda: call(rng, "config"),
        lambda: f"f({literal(rng)}, x.f(1), f(,a), f(a,,b))",
        lambda: "-" * rng.randint(1, 3) + rng.choice(NUMBERS),
    ])()


TARGETS = {
    "parse": model,
    "edit": model,
    "config": model,
    "select_item": select_item,
    "jinja": expression,
    "jinja_check": lambda rng: rng.choice([expression, model])(rng),
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--count", type=int, default=64)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    for target, make in TARGETS.items():
        folder = args.out / target
        folder.mkdir(parents=True, exist_ok=True)
        for n in range(args.count):
            (folder / f"{n:03}.txt").write_bytes(make(rng).encode())


if __name__ == "__main__":
    main()
