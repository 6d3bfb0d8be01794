#!/usr/bin/env bash
# The hardening checks of the Python module, bounded for CI: the Python
# tests against the sanitizer build, a short leak run, and the pathological
# inputs at their quick sizes (with room for a noisy machine: a quadratic
# case grows 16 times from 1x to 4x). The leak and pathological checks use the
# package installed in .venv (tools/run_tests.sh installs it).
#
#     tools/run_hardening.sh [pytest arguments of the sanitizer run]
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
tools/run_python_asan.sh "$@" || status=1
.venv/bin/python tools/leak_check.py --iterations 3000 || status=1
.venv/bin/python bench/pathological.py --quick --max-ratio 11 || status=1
exit "$status"
