"""Column lineage over a folder of model files (the shared corpus by
default), beside the time of Project.load of the same files: the lineage of
every output column of every model, one model deep, on a freshly loaded
project (its files parsed on the way), then the index of readers behind
Project.impact. With 1 and 2 jobs for the load. Prints figures; asserts
nothing. On a shared machine the best of a few rounds (--rounds) says more
than one.

    python bench/lineage_throughput.py [--corpus DIR] [--jobs 1 2] [--rounds N]
"""

from __future__ import annotations

import argparse
import collections
import time
from pathlib import Path

from trelm_cst import Project

DEFAULT_CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def every_column(project: Project) -> tuple[int, collections.Counter[str]]:
    kinds: collections.Counter[str] = collections.Counter()
    columns = 0
    for model in project.models:
        for column in project.columns(model):
            columns += 1
            kinds.update(step.kind for step in project.lineage(model, column, depth=1).steps)
    return columns, kinds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rounds", type=int, default=1, help="rounds of each; the best time of each step is shown")
    args = parser.parse_args()
    for jobs in args.jobs:
        load = lineage = impact = float("inf")
        for _ in range(max(1, args.rounds)):
            started = time.perf_counter()
            project = Project.load(args.corpus, jobs=jobs)
            load = min(load, time.perf_counter() - started)

            started = time.perf_counter()
            columns, kinds = every_column(project)
            lineage = min(lineage, time.perf_counter() - started)

            started = time.perf_counter()
            project.impact(next(iter(project.models)), "id")  # indexes every column's readers
            impact = min(impact, time.perf_counter() - started)

        print(f"jobs {jobs}: {len(project.models)} models, {columns} output columns")
        print(f"  Project.load                  {load:6.2f} s")
        print(f"  lineage of every column       {lineage:6.2f} s  {lineage / load:5.1f} x load")
        print(f"  then the readers index        {impact:6.2f} s  {impact / load:5.1f} x load")
    print("  steps by kind: " + ", ".join(f"{kind} {count}" for kind, count in kinds.most_common()))


if __name__ == "__main__":
    main()
