#!/usr/bin/env bash
# The whole benchmark in one command: sets up build/bench-venv (the package
# built from this tree, sqlparse, sqlglot and its compiled extra, tree-sitter's
# SQL grammar and sqlfmt where they install), generates the corpus, builds
# core_bench in build/bench, runs the core benchmark and the Python comparison
# pinned to one core, a thread pool on every core over the real files,
# Project.load and check --project over the real files and repositories, the
# peak memory of one large file, and writes docs/performance.md. Installs
# Debian packages it needs with apt-get.
#
#   bench/run_bench.sh [--quick]     # --quick: shorter runs, for trying it out
set -euo pipefail
cd "$(dirname "$0")/.."

min_time=2
repeat=5
peer_mb=1.0
big_mb=100
if [ "${1:-}" = "--quick" ]; then
  min_time=0.3
  repeat=1
  peer_mb=0.2
  big_mb=20
fi

missing=()
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
python3 -c 'import venv, ensurepip' 2>/dev/null || missing+=(python3-venv)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

venv=build/bench-venv
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q sqlparse sqlglot
# The compiled sqlglot, where a wheel for this machine exists; without it the
# pure-Python sqlglot is the fastest variant and is measured alone.
"$venv/bin/python" -m pip install -q "sqlglot[c]" || echo "note: sqlglot's compiled extra did not install; measuring plain sqlglot"
# The other peers, each measured only where it installs.
for peer in "tree-sitter tree-sitter-sql" shandy-sqlfmt; do
  # shellcheck disable=SC2086 # a peer may be two packages
  "$venv/bin/python" -m pip install -q $peer || echo "note: $peer did not install; not measured"
done
# This tree's package, built in its own folder so that no other build is disturbed.
rm -rf build/bench-wheel
"$venv/bin/python" -m pip wheel -q --no-deps -w build/bench-wheel --config-settings=build-dir=build/bench-skbuild .
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps build/bench-wheel/*.whl

python3 tools/gen_corpus.py --out build/bench/generated --count 600 --seed 1
corpora=(build/bench/generated)
[ -d ../shared/corpus ] && corpora+=(../shared/corpus)

cmake -S . -B build/bench -G Ninja -DTRELM_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench --target core_bench

# Both runs on the last core, the one least likely to take interrupts first.
cpu=$(( $(nproc) - 1 ))
core_args=()
for c in "${corpora[@]}"; do core_args+=("--corpus=$c"); done
taskset -c "$cpu" build/bench/bench/core_bench "${core_args[@]}" \
  --benchmark_min_time="$min_time" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out=build/bench/core.json --benchmark_out_format=json | tee build/bench/core.txt

# Not pinned: these use every core, or their figure is memory.
rm -f build/bench/threads.json build/bench/memory.json build/bench/cli_jobs.json
if [ -d ../shared/corpus ]; then
  "$venv/bin/python" bench/thread_scaling.py --corpus ../shared/corpus --threads "$(nproc)" \
    --rounds "$repeat" --json build/bench/threads.json
  "$venv/bin/python" bench/cli_jobs.py --corpus ../shared/corpus --jobs 2 --repeat 4 \
    --rounds "$repeat" --json build/bench/cli_jobs.json
  # Project.load and check --project, over the corpus four times over and the real repositories.
  "$venv/bin/python" bench/project_load.py --corpus ../shared/corpus --projects ../shared/projects --jobs 2 \
    --repeat 4 --rounds "$repeat" | tee build/bench/project_load.txt
fi
"$venv/bin/python" bench/memory_peak.py --megabytes "$big_mb" --json build/bench/memory.json

py_args=()
for c in "${corpora[@]}"; do py_args+=(--corpus "$c"); done
"$venv/bin/python" bench/compare.py "${py_args[@]}" --core-json build/bench/core.json --build-dir build/bench \
  --threads-json build/bench/threads.json --memory-json build/bench/memory.json \
  --cli-jobs-json build/bench/cli_jobs.json \
  --repeat "$repeat" --peer-mb "$peer_mb" --cpu "$cpu" --out docs/performance.md
