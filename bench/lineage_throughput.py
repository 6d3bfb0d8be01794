"""Column lineage over a folder of model files (the shared corpus by
default): the lineage of every output column of every model, one model
deep, and the index of readers behind Project.impact, each beside the time
of Project.load of the same files. Prints figures; asserts nothing.

    python bench/lineage_throughput.py [--corpus DIR]
"""

from __future__ import annotations

import argparse
import collections
import time
from pathlib import Path

from trelm_cst import Project

DEFAULT_CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    args = parser.parse_args()
    started = time.perf_counter()
    project = Project.load(args.corpus)
    load = time.perf_counter() - started

    started = time.perf_counter()
    project.impact(next(iter(project.models)), "id")  # parses every file, with threads, and indexes the readers
    impact = time.perf_counter() - started

    started = time.perf_counter()
    kinds: collections.Counter[str] = collections.Counter()
    columns = 0
    for model in project.models:
        for column in project.columns(model):
            columns += 1
            kinds.update(step.kind for step in project.lineage(model, column, depth=1).steps)
    lineage = time.perf_counter() - started

    print(f"{len(project.models)} models, {columns} output columns")
    print(f"  Project.load                  {load:6.2f} s")
    print(f"  readers index (impact)        {impact:6.2f} s  {impact / load:5.1f} x load")
    print(f"  lineage of every column       {lineage:6.2f} s  {lineage / load:5.1f} x load")
    print(f"  both                          {impact + lineage:6.2f} s  {(impact + lineage) / load:5.1f} x load")
    print("  steps by kind: " + ", ".join(f"{kind} {count}" for kind, count in kinds.most_common()))


if __name__ == "__main__":
    main()
