#!/usr/bin/env bash
# Runs the Python tests once against the extension built with the address and
# undefined-behaviour sanitizers, so that reference-count and lifetime faults
# in the binding show up as reports instead of silent corruption.
#
# The extension goes into its own virtual environment (.venv-asan) and build
# directory (build/py-asan), so the ordinary .venv is never touched. Python
# itself is not instrumented: the sanitizer runtime is preloaded, Python's
# small-object allocator is switched off so freed Python objects reach the
# sanitizer, and leak detection is off because the interpreter leaks at exit
# by design. Every process writes its reports to one folder, subprocesses of
# the tests included; any report there fails the run, even from a child
# whose exit status a test did not look at.
#
#     tools/run_python_asan.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

venv=.venv-asan
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
# What the build needs; the package's dependencies and test extra come with its wheel below.
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja
export PATH="$PWD/$venv/bin:$PATH"

wheels=$(mktemp -d)
reports=$(mktemp -d)
trap 'rm -rf "$wheels" "$reports"' EXIT

"$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$wheels" \
  -C cmake.define.TRELM_SANITIZE=ON -C cmake.define.TRELM_WERROR=ON -C cmake.build-type=RelWithDebInfo \
  "--config-settings=cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" -C build-dir=build/py-asan .
wheel=$(ls "$wheels"/*.whl)
"$venv/bin/python" -m pip install -q "$wheel[test]"
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"

# The extension must really be instrumented, or a clean run proves nothing.
# (Found without importing it: it cannot load before the runtime is preloaded.
# grep reads all of ldd's output: with -q it could exit first and fail the
# pipeline through pipefail.)
native=$("$venv/bin/python" -c '
import glob, importlib.util, os
package = importlib.util.find_spec("trelm_cst").submodule_search_locations[0]
print(next(iter(glob.glob(os.path.join(package, "_native*.so"))), ""))')
if [ -z "$native" ] || ! ldd "$native" | grep libasan >/dev/null; then
  echo "run_python_asan: the installed extension ($native) is not linked with libasan" >&2
  exit 1
fi

libasan=$(g++ -print-file-name=libasan.so)
# The C++ runtime too: the sanitizer finds the real __cxa_throw when it starts,
# and the interpreter itself does not load libstdc++, so without it the first
# exception the module throws stops the process.
libstdcxx=$(g++ -print-file-name=libstdc++.so)
export LD_PRELOAD="$libasan $libstdcxx"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@" || status=$?
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
  echo "run_python_asan: sanitizer reports:" >&2
  for f in "$reports"/*; do
    echo "== $f" >&2
    cat "$f" >&2
  done
  exit 1
fi
exit "$status"
