"""The command line over a corpus repeated: files per second with -j 1 against -j N.

    python bench/cli_jobs.py --corpus ../shared/corpus [--jobs 2] [--repeat 4] [--rounds 3]

The corpus is copied `--repeat` times into a temporary folder (removed
afterwards), and `trelm-cst inspect` and `trelm-cst check` run over it as
separate processes, output thrown away, with -j 1 and -j N. Each figure is
the best wall time of `--rounds` runs, interpreter start included, beside the
CPU time of the run and its workers; the machine's load average is printed
with them, since other work on the cores lowers what a second job gains. Prints figures; asserts nothing.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import time

RUNNER = "import sys\nfrom trelm_cst import cli\nsys.exit(cli.main(sys.argv[1:], prog='trelm-cst'))\n"


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def best_run(argv: list[str], rounds: int) -> tuple[float, float]:
    """The wall time of the fastest run, and the CPU time of that run (its
    workers included)."""
    best = (float("inf"), 0.0)
    for _ in range(rounds):
        cpu = children_cpu()
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", RUNNER, *argv], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        best = min(best, (time.perf_counter() - start, children_cpu() - cpu))
    return best


def load_average() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=pathlib.Path, required=True)
    parser.add_argument("--jobs", type=int, default=2, help="the larger job count (default 2)")
    parser.add_argument("--repeat", type=int, default=4, help="copies of the corpus (default 4)")
    parser.add_argument("--rounds", type=int, default=3, help="runs per figure; the fastest is kept")
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures here (for bench/compare.py)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="cli-jobs-") as temp:
        for copy in range(args.repeat):
            shutil.copytree(args.corpus, pathlib.Path(temp) / f"copy{copy}")
        files = sum(1 for _ in pathlib.Path(temp).rglob("*.sql"))
        load_before = load_average()
        runs = ["1", str(args.jobs)]
        rates: dict[str, dict[str, float]] = {}
        for command in ("inspect", "check"):
            rates[command] = {}
            for jobs in runs:
                seconds, cpu = best_run([command, "-j", jobs, "--no-progress", temp], args.rounds)
                rates[command][jobs] = files / seconds
                print(f"{command:<8} -j {jobs:<10} {files / seconds:8,.0f} files/s  ({files:,} files, best of "
                      f"{args.rounds}: {seconds:.2f} s wall, {cpu:.2f} s CPU)", flush=True)
            gain = rates[command][str(args.jobs)] / rates[command]["1"]
            print(f"{command:<8} -j {args.jobs} against -j 1: {gain:.2f}x")
        load = f"{load_before} / {load_average()}"
    print(f"load average before/after: {load} on {os.cpu_count()} CPUs")
    if args.json:
        figures = {"jobs": args.jobs, "files": files, "repeat": args.repeat, "rates": rates, "load": load}
        args.json.write_text(json.dumps(figures), encoding="utf-8")


if __name__ == "__main__":
    main()
