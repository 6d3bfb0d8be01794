#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers) and runs each one over generated seeds and the committed
# regression inputs. Any crash or failed invariant fails.
#
#   tools/run_fuzz.sh            a fixed number of runs per target, from a fixed
#                                random seed: the same inputs on every machine,
#                                so the test command is repeatable (about a minute)
#   tools/run_fuzz.sh SECONDS    each target for that long, from a fresh seed
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-}
# Runs per target for the repeatable mode: about a minute in all on one core.
declare -A runs=([parse]=30000 [select_item]=200000 [edit]=4000 [jinja]=40000 [config]=1500 [jinja_check]=40000)
if ! command -v clang++ >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang
fi
python=python3
[ -x .venv/bin/python ] && python=.venv/bin/python

# TRELM_FUZZ_BUILD names a build folder configured already with libFuzzer
# targets (the test command's sanitizer build); otherwise one of its own.
out=${TRELM_FUZZ_BUILD:-build/fuzz-ci}
if [ -z "${TRELM_FUZZ_BUILD:-}" ]; then
  CXX=clang++ cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELM_BUILD_FUZZ=ON \
    -DTRELM_LIBFUZZER=ON -DTRELM_WERROR=ON -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
fi
cmake --build "$out" -j "$(nproc 2>/dev/null || echo 2)" \
  --target parse_fuzz select_item_fuzz edit_fuzz jinja_fuzz config_fuzz jinja_check_fuzz

rm -rf "$out/seeds" "$out/work"
"$python" tools/gen_fuzz_seeds.py "$out/seeds"
for target in parse select_item edit jinja config jinja_check; do
  mkdir -p "$out/work/$target"
  corpora=("$out/work/$target" "$out/seeds/$target")
  [ -d "fuzz/corpus/$target" ] && corpora+=("fuzz/corpus/$target")
  if [ -n "$seconds" ]; then
    bound=(-max_total_time="$seconds")
    echo "fuzzing $target for ${seconds}s"
  else
    bound=(-seed=1 -runs="${runs[$target]}" -max_total_time=120)
    echo "fuzzing $target for ${runs[$target]} runs"
  fi
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$out/fuzz/${target}_fuzz" "${corpora[@]}" \
    "${bound[@]}" -timeout=20 -rss_limit_mb=4096 -max_len=4096 \
    -artifact_prefix="$out/work/${target}-" -print_final_stats=1 2>&1 | grep -E "^(stat::number_of_executed_units|stat::new_units_added)|ERROR|SUMMARY|Test unit written" || true
  if ls "$out/work/${target}-"* >/dev/null 2>&1; then
    echo "fuzz target $target failed; inputs kept in $out/work" >&2
    exit 1
  fi
done
