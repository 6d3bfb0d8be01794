"""Parsing a corpus with a pool of threads: 1 thread against N.

    python bench/thread_scaling.py --corpus ../shared/corpus [--threads 2] [--rounds 5]

The texts are read first; each round hands every thread an equal share of the
files (one task per thread, so the pool's own cost per task does not count)
and measures the wall time of parsing them all (`--print`: parse and str()).
Rounds of the pool sizes take turns, so that a burst of other work on the
machine falls on both alike, and the best round of each size is kept. The
machine's load average is printed beside the figures: other work on the
cores lowers the speed-up. Prints figures; asserts nothing.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import pathlib
import time

from trelm_cst import TrelmSyntaxError, parse_trelm


def read_corpus(root: pathlib.Path) -> list[str]:
    texts = []
    for path in sorted(root.rglob("*.sql")):
        try:
            texts.append(path.read_text(encoding="utf-8"))
        except (UnicodeDecodeError, OSError):
            continue
    return texts


def parse_all(texts: list[str], also_print: bool) -> int:
    done = 0
    for text in texts:
        try:
            doc = parse_trelm(text)
        except TrelmSyntaxError:
            continue
        if also_print:
            str(doc)
        done += 1
    return done


def timed_round(pool: concurrent.futures.Executor, shares: list[list[str]], also_print: bool) -> tuple[float, float]:
    """The wall time of one round, and the process's CPU time in it: CPU time
    above the wall time shows threads running at once."""
    start, cpu_start = time.perf_counter(), time.process_time()
    list(pool.map(parse_all, shares, [also_print] * len(shares)))
    return time.perf_counter() - start, time.process_time() - cpu_start


def shares_of(texts: list[str], n: int) -> list[list[str]]:
    # Interleaved, so that every share has a like mix of small and large files.
    return [texts[i::n] for i in range(n)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=pathlib.Path, required=True)
    parser.add_argument("--threads", type=int, default=2, help="the larger pool (default 2)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per pool size; the best is kept")
    parser.add_argument("--repeat", type=int, default=4, help="times the corpus is repeated per round")
    parser.add_argument("--print", dest="also_print", action="store_true", help="also str() every document")
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures here (for bench/compare.py)")
    args = parser.parse_args()

    texts = read_corpus(args.corpus) * args.repeat
    megabytes = sum(len(t.encode()) for t in texts) / 1e6
    load_before = os.getloadavg()
    sizes = sorted({1, args.threads})
    pools = {n: concurrent.futures.ThreadPoolExecutor(max_workers=n) for n in sizes}
    best = {n: (float("inf"), 0.0) for n in sizes}
    for _ in range(args.rounds):
        for n in sizes:
            best[n] = min(best[n], timed_round(pools[n], shares_of(texts, n), args.also_print))
    for pool in pools.values():
        pool.shutdown()
    rates = {}
    for n in sizes:
        seconds, cpu = best[n]
        rates[n] = megabytes / seconds
        print(f"{n} thread{'s' if n > 1 else ''}: {rates[n]:.1f} MB/s ({len(texts):,} files, {megabytes:.1f} MB, "
              f"best of {args.rounds}: {seconds:.3f} s wall, {cpu:.3f} s CPU)")
    load_after = os.getloadavg()
    speedup = rates[args.threads] / rates[1]
    load = " ".join(f"{x:.2f}" for x in load_before) + " / " + " ".join(f"{x:.2f}" for x in load_after)
    print(f"speed-up with {args.threads} threads: {speedup:.2f}x")
    print(f"load average before/after: {load} on {os.cpu_count()} CPUs")
    if args.json:
        figures = {"threads": args.threads, "rates": {str(n): r for n, r in rates.items()}, "speedup": speedup,
                   "files": len(texts), "megabytes": megabytes, "load": load}
        args.json.write_text(json.dumps(figures), encoding="utf-8")


if __name__ == "__main__":
    main()
