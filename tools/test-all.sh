#!/usr/bin/env bash
# Sets up this machine and runs every test: the C++ library suites (GoogleTest, through ctest)
# and the Python suite (pytest) against the installed module. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}

# GoogleTest comes from the system packages.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev >/dev/null
fi

"$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja
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

# Run from a temporary directory so that the installed module, not the source tree, is tested.
"$VENV/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$PWD" "$PWD/tests"
