"""Parse model files, check that each prints back byte for byte, and show
what was found in it.

    python -m trelm_cst examples/orders.sql
"""

from __future__ import annotations

import sys

from trelm_cst import TrelmSyntaxError, parse_trelm


def describe(path: str) -> bool:
    with open(path, encoding="utf-8", newline="") as f:
        source = f.read()
    try:
        doc = parse_trelm(source)
    except TrelmSyntaxError as e:
        print(f"{path}: {e}")
        return False
    same = str(doc) == source
    print(f"{path}: {len(source.encode())} bytes, prints back {'unchanged' if same else 'CHANGED'}; {doc!r}")
    query = doc.query
    if query is not None:
        print("  clauses:", ", ".join(c.name for c in query.clauses))
        for cte in query.ctes:
            print(f"  cte {cte.name}")
        if query.select is not None:
            for col in query.select:
                print(f"  column {col.name!s:<16} {col.text}")
    return same


def main(argv: list[str]) -> int:
    if not argv:
        print(__doc__.strip())
        return 2
    ok = all([describe(p) for p in argv])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
