"""Project.load and `check --project` over real files: the corpus repeated,
and the real repositories as their authors lay them out.

    python bench/project_load.py [--corpus ../shared/corpus] [--projects ../shared/projects]
                                 [--repeat 4] [--rounds 3] [--jobs 2]

The corpus is copied `--repeat` times into a temporary folder (removed
afterwards). For it and for each repository: the stages of Project.load
timed apart (walking for model files, and with the layout found on the
way and its YAML property files read, the native read, parse and scan
into records with one thread and with `--jobs`, the same batch by batch
as Project.load reads them, the graph), Project.load with one job and
with `--jobs`, and `trelm-cst check` against `check --project`
as separate processes. Each figure is the best of `--rounds` runs, wall time
beside the CPU time of the process (its workers included for the command
line); the load average is printed, since other work on the cores shows in
the wall times. Prints figures; asserts nothing.
"""

from __future__ import annotations

import argparse
import gc
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

from trelm_cst._files import find_model_files
from trelm_cst._layout import Layout, LayoutSearch
from trelm_cst._native import _scan_model_files
from trelm_cst._project import Model, Project, Ref, read_files

HERE = pathlib.Path(__file__).resolve().parent
RUNNER = "import sys\nfrom trelm_cst import cli\nsys.exit(cli.main(sys.argv[1:], prog='trelm-cst'))\n"


def best(work: Callable[[], Any], rounds: int) -> tuple[float, float, Any]:
    """Wall and CPU seconds of the fastest of `rounds` runs, and the last run's
    result. Each result is let go of and collected before the next run, so
    that no run pays for freeing the one before (a project's parts refer to
    each other: only the collector frees them)."""
    fastest = (float("inf"), 0.0)
    result = None
    for _ in range(rounds):
        result = None
        gc.collect()
        cpu, start = time.process_time(), time.perf_counter()
        result = work()
        fastest = min(fastest, (time.perf_counter() - start, time.process_time() - cpu))
    return fastest[0], fastest[1], result


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def best_command(argv: list[str], rounds: int) -> tuple[float, float]:
    fastest = (float("inf"), 0.0)
    for _ in range(rounds):
        cpu, start = children_cpu(), time.perf_counter()
        subprocess.run([sys.executable, "-c", RUNNER, *argv], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        fastest = min(fastest, (time.perf_counter() - start, children_cpu() - cpu))
    return fastest


def line(label: str, wall: float, cpu: float, extra: str = "") -> None:
    print(f"  {label:<30} {wall:7.3f} s wall {cpu:7.3f} s CPU{extra}", flush=True)


def measure(root: str, jobs: int, rounds: int) -> None:
    wall, cpu, files = best(lambda: find_model_files([root], lambda _: None, each_file_once=False), rounds)
    line("walk for model files", wall, cpu, f"  ({len(files):,} files)")

    def walk_and_layout() -> tuple[list[str], Layout]:
        search = LayoutSearch()
        found = find_model_files([root], lambda _: None, (), False, None, search.visitor)
        return found, search.layout()

    wall, cpu, (_, layout) = best(walk_and_layout, rounds)
    line("walk, layout and YAML files", wall, cpu, f"  ({len(layout.property_files):,} YAML files)")
    for count in sorted({1, jobs}):
        wall, cpu, (records, _) = best(lambda: _scan_model_files(files, count, Model, Ref), rounds)
        line(f"read, parse, scan: {count} thread{'s' if count > 1 else ''}", wall, cpu,
             f"  ({sum(record is None for record in records):,} files left to Python)")  # fmt: skip
    del records
    wall, cpu, models = best(lambda: read_files(files, jobs), rounds)
    line("records in batches", wall, cpu, f"  ({jobs} threads, as Project.load reads them)")
    wall, cpu, _ = best(lambda: Project(models, layout), rounds)
    line("graph", wall, cpu)
    del models
    for count in sorted({1, jobs}):
        wall, cpu, project = best(lambda: Project.load(root, jobs=count), rounds)
        line(f"Project.load, {count} job{'s' if count > 1 else ''}", wall, cpu, f"  ({len(project.files):,} models)")
        del project
    for count in sorted({1, jobs}):
        plain = best_command(["check", "-j", str(count), "--no-progress", root], rounds)
        whole = best_command(["check", "--project", "-j", str(count), "--no-progress", root], rounds)
        line(f"check -j {count}", *plain)
        line(f"check --project -j {count}", *whole, f"  ({whole[0] / plain[0]:.2f} times check)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=pathlib.Path, default=HERE.parents[1] / "shared" / "corpus")
    parser.add_argument("--projects", type=pathlib.Path, default=HERE.parents[1] / "shared" / "projects")
    parser.add_argument("--repeat", type=int, default=4, help="copies of the corpus (default 4)")
    parser.add_argument("--rounds", type=int, default=3, help="runs per figure; the fastest is kept")
    parser.add_argument("--jobs", type=int, default=2, help="the larger job count (default 2)")
    args = parser.parse_args()

    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    if args.corpus.is_dir():
        with tempfile.TemporaryDirectory(prefix="project-load-") as temp:
            for copy in range(args.repeat):
                shutil.copytree(args.corpus, pathlib.Path(temp) / f"copy{copy}")
            print(f"corpus {args.repeat} times over", flush=True)
            measure(temp, args.jobs, args.rounds)
    else:
        print(f"{args.corpus} not present: corpus not measured")
    repositories = sorted(p for p in args.projects.iterdir() if p.is_dir()) if args.projects.is_dir() else []
    for repository in repositories:
        print(f"repository {repository.name}", flush=True)
        measure(str(repository), args.jobs, args.rounds)
    if not repositories:
        print(f"{args.projects} not present: repositories not measured")
    load_after = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"load average before/after: {load_before} / {load_after} on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
