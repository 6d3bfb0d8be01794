#!/usr/bin/env bash
# Runs every test: the C++ tests (GoogleTest, through CTest) and the Python
# tests (pytest, against the package installed into .venv). Installs what it
# needs when it is missing: Debian packages with apt-get, Python packages into
# the local virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null || missing+=(g++)
python3 -c 'import venv, ensurepip' 2>/dev/null || missing+=(python3-venv)
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
cmake -S . -B build/tests -G Ninja -DTRELM_BUILD_TESTS=ON -DTRELM_BUILD_FUZZ=ON -DTRELM_WERROR=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

# The same C++ tests again under the address and undefined-behaviour
# sanitizers.
cmake -S . -B build/sanitize -G Ninja -DTRELM_BUILD_TESTS=ON -DTRELM_BUILD_FUZZ=ON -DTRELM_SANITIZE=ON -DTRELM_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

# One wheel, built the way a user builds it, serves the Python tests and the
# package check below.
rm -rf build/dist
.venv/bin/python -m pip wheel -q --no-deps -C cmake.define.TRELM_WERROR=ON -w build/dist .
wheel=$(echo build/dist/*.whl)
.venv/bin/python -m pip install -q "$wheel[test]"
.venv/bin/python -m pip install -q --force-reinstall --no-deps "$wheel"
.venv/bin/python -m pytest -q

# The package around the module: its types (the stub against the module, the
# package's own code, and a typed example that is also run), then the wheel and
# source distribution as a user builds them.
# The mypy pin is the one of the `typing` extra in pyproject.toml.
.venv/bin/python -m pip install -q "mypy==2.4.1"
.venv/bin/python -m mypy.stubtest trelm_cst._native
.venv/bin/python -m mypy --strict --cache-dir build/mypy python/trelm_cst
.venv/bin/python -m mypy --strict --cache-dir build/mypy tests/typing
.venv/bin/python tests/typing/usage.py >/dev/null
WHEEL="$wheel" ./tools/check_package.sh

# Hardening: the Python tests against the sanitizer build, a short leak run
# and the pathological inputs; then every fuzz target for a bounded time.
./tools/run_hardening.sh
./tools/run_fuzz.sh
