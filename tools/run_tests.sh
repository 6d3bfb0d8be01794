#!/usr/bin/env bash
# Runs every test: the C++ tests (GoogleTest, through CTest, under
# sanitizers) and the Python tests (pytest, one worker per processor, against
# the wheel installed under every CPython 3.10 to 3.13 found here). Installs
# what it needs when it is missing: Debian packages with apt-get, Python
# packages into the local virtual environments.
#
# The run is a sequence of stages; it stops at the first that fails, naming
# it, and otherwise ends with the line `N passed, 0 failed`.
set -euo pipefail
cd "$(dirname "$0")/.."

stages_passed=0
stage_name=""
stage_started=$SECONDS
# Ends the stage running, if any, with the time it took.
end_stage() {
  [ -n "$stage_name" ] || return 0
  stages_passed=$((stages_passed + 1))
  echo "== $stage_name: passed in $((SECONDS - stage_started)) s"
}
# Starts the next stage, which also means the one before it passed.
stage() {
  end_stage
  stage_name=$1
  stage_started=$SECONDS
  echo "== $stage_name"
}
finish() {
  end_stage
  stage_name=""
  echo "$stages_passed passed, 0 failed in $SECONDS s"
}
report_failure() {
  local status=$?
  if [ "$status" -ne 0 ] && [ -n "$stage_name" ]; then
    echo "stage failed: $stage_name (exit status $status)" >&2
    echo "$stages_passed passed, 1 failed"
  fi
}
trap report_failure EXIT

stage "tools and packages"

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null || missing+=(g++)
python3 -c 'import venv, ensurepip' 2>/dev/null || missing+=(python3-venv)
# Graphviz draws the SVG that `trelm-cst graph --format svg` is tested to give.
command -v dot >/dev/null || missing+=(graphviz)
# A --diff is tested to apply with git apply and GNU patch; ignores are compared with git's.
command -v patch >/dev/null || missing+=(patch)
command -v git >/dev/null || missing+=(git)
# clang builds the sanitizer tests and the libFuzzer targets in one build.
command -v clang++ >/dev/null || missing+=(clang)
# A headless Neovim is the real editor the language server is tested in.
command -v nvim >/dev/null || missing+=(neovim)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" cmake
fi

[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q cmake ninja
export PATH="$PWD/.venv/bin:$PATH"

jobs=$(nproc 2>/dev/null || echo 2)
stage "C++ tests under sanitizers"
# The C++ tests, under the address and undefined-behaviour sanitizers, built
# with clang and libFuzzer's coverage, so that the same build also gives the
# fuzz targets of the last stage. (g++ builds the thread-sanitizer tests and
# the wheel, both with warnings as errors.) Line tables are all the reports
# need of debug information, and they build faster.
CXX=clang++ cmake -S . -B build/sanitize -G Ninja -DTRELM_BUILD_TESTS=ON -DTRELM_BUILD_FUZZ=ON -DTRELM_LIBFUZZER=ON \
  -DTRELM_SANITIZE=ON -DTRELM_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG"
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

stage "C++ lock tests under the thread sanitizer"
# Only the tests where threads share a tree: the reader/writer lock itself,
# and prints and reads that overlap edits.
cmake -S . -B build/tsan -G Ninja -DTRELM_BUILD_TESTS=ON -DTRELM_SANITIZE_THREAD=ON -DTRELM_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs"

# One wheel, built the way a user builds it, serves the Python tests and the
# package check below.
stage "wheel"
rm -rf build/dist
.venv/bin/python -m pip wheel -q --no-deps -C cmake.define.TRELM_WERROR=ON -w build/dist .
wheel=$(echo build/dist/*.whl)

# The wheel is tagged abi3: one file for every CPython from 3.10 on. The
# Python tests run against it under each such CPython found here, each in its
# own virtual environment, kept between runs: .venv for the version it was made
# with, build/venv-3.X for the others.
venv_version() {
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}
# Prints a CPython of that version that can make virtual environments, if any:
# pyenv's, then the one on the PATH.
find_python() {
  local version=$1 candidate
  for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" 2>/dev/null |
                       sort -V -r) $(command -v "python$version"); do
    if [ "$(venv_version "$candidate")" = "$version" ] && "$candidate" -c 'import venv, ensurepip' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
main_version=$(venv_version .venv/bin/python || true)
versions_run=()
for version in 3.10 3.11 3.12 3.13; do
  venv=.venv
  if [ "$version" != "$main_version" ]; then
    venv=build/venv-$version
    if [ "$(venv_version "$venv/bin/python")" != "$version" ]; then
      if ! python=$(find_python "$version"); then
        echo "== Python tests under CPython $version: skipped, no CPython $version found"
        continue
      fi
      rm -rf "$venv"
      "$python" -m venv "$venv"
    fi
  fi
  stage "Python tests under CPython $version ($("$venv/bin/python" -c 'import platform; print(platform.python_version())'))"
  "$venv/bin/python" -m pip install -q "$wheel[test]"
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider -n "$jobs"
  versions_run+=("$version")
done
if [ ${#versions_run[@]} -eq 0 ]; then
  stage "Python tests"
  echo "no CPython 3.10 to 3.13 found to run the Python tests" >&2
  exit 1
fi
echo "Python tests ran under CPython ${versions_run[*]}"

# The package around the module: its types (the stub against the module, the
# package's own code, and a typed example that is also run), then the wheel and
# source distribution as a user builds them.
# The mypy pin is the one of the `typing` extra in pyproject.toml.
stage "types"
.venv/bin/python -m pip install -q "mypy==2.4.1"
.venv/bin/python -m mypy.stubtest trelm_cst._native
.venv/bin/python -m mypy --strict --cache-dir build/mypy python/trelm_cst
.venv/bin/python -m mypy --strict --cache-dir build/mypy tests/typing
.venv/bin/python tests/typing/usage.py >/dev/null
stage "package"
WHEEL="$wheel" ./tools/check_package.sh

# Hardening: the Python tests against the sanitizer build, a short leak run
# and the pathological inputs; then every fuzz target for a bounded time.
stage "hardening"
./tools/run_hardening.sh -n "$jobs"
stage "fuzzing"
TRELM_FUZZ_BUILD=build/sanitize ./tools/run_fuzz.sh
finish
