#!/usr/bin/env bash
# Sets up this machine and runs every test: the C++ library suites (GoogleTest, through ctest)
# and the Python suite (pytest) against the installed module. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}

source tools/setup-venv.sh
# Warnings are errors in every build the tests run against.
PYQELM_WERROR=ON "$VENV/bin/python" -m pip install -q ".[test]"

"$VENV/bin/cmake" -S . -B build/tests -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
  -DPYQELM_BUILD_TESTS=ON -DPYQELM_BUILD_MODULE=OFF -DPYQELM_WERROR=ON >/dev/null
"$VENV/bin/cmake" --build build/tests
if ! "$VENV/bin/ctest" --test-dir build/tests --output-on-failure -j2 >build/tests/ctest.log 2>&1; then
  cat build/tests/ctest.log
  exit 1
fi
grep -E "tests passed|tests failed" build/tests/ctest.log

# The installed module is tested: the source tree's pyqelm/ folder holds no Python package, so an
# import finds the extension in the venv.
"$VENV/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$PWD" "$PWD/tests"

# The heavier stages. QUICK=1 stops here (the two suites above only).
if [ "${QUICK:-0}" = 1 ]; then exit 0; fi
stage() { echo; echo "=== $1"; shift; local start=$SECONDS; "$@"; echo "=== done in $((SECONDS - start)) s"; }
stage "format and static checks" bash tools/check-format.sh
stage "fuzzing the decoder" bash tools/fuzz.sh
stage "sanitizers (ASan with leak checks, UBSan)" bash tools/test-sanitizers.sh
stage "every CPython from 3.11 up, NumPy 2.x and 1.26, wheel and sdist" bash tools/test-matrix.sh
stage "CPython 3.14 (Debian unstable root)" bash tools/test-py314.sh
stage "64-bit Windows under wine: cross-built suites, win_amd64 wheel, Python suite" bash tools/test-windows.sh
