"""Column lineage over a folder of model files (the shared corpus by
default), beside the time of Project.load of the same files: the lineage of
every output column of every model, one model deep, on a freshly loaded
project (its files parsed on the way), then the index of readers behind
Project.impact. With 1 and 2 jobs for the load. Prints figures, wall time
beside the CPU time of the process; asserts nothing. On a shared machine the
best of a few rounds (--rounds) says more than one, and the CPU times more
than the wall times.

    python bench/lineage_throughput.py [--corpus DIR] [--jobs 1 2] [--rounds N]
"""

from __future__ import annotations

import argparse
import collections
import gc
import time
from pathlib import Path

from trelm_cst import LineageStep, Project

DEFAULT_CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def every_column(project: Project) -> list[LineageStep]:
    """The lineage one model deep of every output column of every model: the
    timed work. What the trees hold is counted afterwards, untimed."""
    return [project.lineage(model, column, depth=1) for model in project.models for column in project.columns(model)]


def kinds_of(trees: list[LineageStep]) -> collections.Counter[str]:
    return collections.Counter(step.kind for tree in trees for step in tree.steps)


def clocks() -> tuple[float, float]:
    return time.perf_counter(), time.process_time()


def best(known: tuple[float, float], started: tuple[float, float]) -> tuple[float, float]:
    """The lesser of each of the known wall and CPU times and those since `started`."""
    now = clocks()
    return min(known[0], now[0] - started[0]), min(known[1], now[1] - started[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rounds", type=int, default=1, help="rounds of each; the best time of each step is shown")
    args = parser.parse_args()
    for jobs in args.jobs:
        load = lineage = impact = (float("inf"), float("inf"))
        for _ in range(max(1, args.rounds)):
            # No round pays for the one before: a project and its lineage refer to each other, so only
            # the collector frees them, in whatever later round it happens to run a full pass.
            project = None
            gc.collect()
            started = clocks()
            project = Project.load(args.corpus, jobs=jobs)
            load = best(load, started)

            started = clocks()
            trees = every_column(project)
            lineage = best(lineage, started)
            columns, kinds = len(trees), kinds_of(trees)
            trees = []

            started = clocks()
            project.impact(next(iter(project.models)), "id")  # indexes every column's readers
            impact = best(impact, started)

        assert project is not None
        print(f"jobs {jobs}: {len(project.models)} models, {columns} output columns")
        print(f"  Project.load                  {load[0]:6.3f} s wall {load[1]:6.3f} s CPU")
        for name, spent in (("lineage of every column", lineage), ("then the readers index", impact)):
            times = f"{spent[0] / load[0]:5.1f} x load wall, {spent[1] / load[1]:5.1f} x load CPU"
            print(f"  {name:<29s} {spent[0]:6.3f} s wall {spent[1]:6.3f} s CPU  {times}")
    print("  steps by kind: " + ", ".join(f"{kind} {count}" for kind, count in kinds.most_common()))


if __name__ == "__main__":
    main()
