#!/usr/bin/env bash
# `pip install .` in a fresh virtual environment that sees the system's
# packages, offline, with the system's build tools; then the installed package,
# imported from outside the source tree, gives the contours program's bits.
# pip builds in the folder it is given, so it is given a copy of the source
# tree: the tree itself, shared by every build directory, stays untouched.
# Exits 77 (skipped) where the interpreter cannot make a virtual environment
# with pip, or lacks setuptools and wheel to build with.
# Usage: pip_install_test.sh PYTHON SOURCE_DIR CONTOURS_EXE DATA_DIR
set -euo pipefail
python=$1
source=$(realpath "$2")
contours=$(realpath "$3")
data=$(realpath "$4")
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

"$python" -m venv --system-site-packages "$work/venv" >"$work/venv.log" 2>&1 ||
  skip "$python cannot make a virtual environment with pip (python3-venv): $(tail -1 "$work/venv.log")"
venv=$work/venv/bin/python
"$venv" -c 'import setuptools, wheel' 2>/dev/null ||
  skip "setuptools and wheel are not installed for $python (python3-setuptools, python3-wheel)"

mkdir "$work/source"
tar -C "$source" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/source" -xf -
(cd "$work" && "$venv" -m pip install --no-build-isolation --no-index --no-cache-dir \
    "$work/source" >"$work/pip.log" 2>&1) ||
  { tail -n 40 "$work/pip.log"; fail "pip install failed"; }

mkdir "$work/run"
(cd "$work/run" && "$contours" "$data/coffee.png" >/dev/null) || fail "contours failed"
cd "$work/run"
"$venv" - "$work/venv" "$data/coffee.png" <<'PYTHON' || fail "the installed package is incomplete or disagrees with contours"
import pathlib, sys
import numpy as np
import contours
package = pathlib.Path(contours.__file__).parent
assert package.is_relative_to(sys.argv[1]), package
assert {"py.typed", "_contours.pyi"} <= {p.name for p in package.iterdir()}, list(package.iterdir())
result = contours.analyse(contours.read(sys.argv[2]))
assert np.array_equal(result.mask, contours.read("GC_res.bmp")[..., 0])
print(f"pip-installed {contours.__version__} in {package}: {result}")
PYTHON
