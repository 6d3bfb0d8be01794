"""Select list edit throughput: edits per second on a 200-column SELECT list,
for add (at the end and at the front), remove and re-text, in trailing- and
leading-comma layouts; and the time to grow a list to 10,000 columns one add
at a time. Prints figures; asserts nothing.

    python bench/edit_throughput.py
"""

from __future__ import annotations

import time

from trelm_cst import parse_trelm

COLUMNS = 200


def document(leading: bool) -> str:
    cols = [f"t.col_{i} as c_{i}" for i in range(COLUMNS)]
    sep = "\n    , " if leading else ",\n    "
    return "select\n    " + sep.join(cols) + "\nfrom {{ ref('t') }} t\nwhere x > 1\n"


def rate(label: str, fn, n: int) -> None:
    t0 = time.perf_counter()
    fn(n)
    dt = time.perf_counter() - t0
    print(f"  {label:<24} {n / dt:>10,.0f} per second")


def main() -> None:
    for leading in (False, True):
        print("leading commas" if leading else "trailing commas", f"({COLUMNS} columns)")

        def add_end(n):
            s = parse_trelm(document(leading)).query.select
            for i in range(n):
                s.add(f"x_{i}")
                s.remove(f"x_{i}")

        def add_front(n):
            s = parse_trelm(document(leading)).query.select
            for i in range(n):
                s.add(f"y_{i}", 0)
                s.remove(s.columns[0])

        def retext(n):
            s = parse_trelm(document(leading)).query.select
            cols = s.columns
            for i in range(n):
                cols[i % COLUMNS].text = f"t.other_{i} as c_{i % COLUMNS}"

        rate("add+remove pairs, end", add_end, 5000)
        rate("add+remove pairs, front", add_front, 5000)
        rate("re-text", retext, 20000)

    s = parse_trelm("select\n    a\nfrom t").query.select
    t0 = time.perf_counter()
    for i in range(10_000):
        s.add(f"c_{i}")
    print(f"10,000 appends one by one: {time.perf_counter() - t0:.2f} s")


if __name__ == "__main__":
    main()
