#!/usr/bin/env bash
# CPython 3.14, from the Debian unstable root that tools/chroot.sh makes inside the checkout.
#
#   bash tools/test-py314.sh          builds the module against 3.14's headers with warnings as
#                                     errors (a deprecated C-API call fails the build) and runs
#                                     the whole Python suite on 3.14 with NumPy 2.x;
#   bash tools/test-py314.sh WHEEL    installs WHEEL (the stable-ABI wheel of tools/build-wheels.sh,
#                                     a file inside the checkout) into a fresh 3.14 venv and runs
#                                     the suite against it.
set -euo pipefail
cd "$(dirname "$0")/.."
# Temporary files stay in the checkout, never in the system's /tmp.
export TMPDIR=$PWD/build/tmp
mkdir -p "$TMPDIR"

if [ "${1:-}" != --inside ]; then
  wheel=""
  if [ -n "${1:-}" ]; then
    wheel=$(realpath "$1")
    case $wheel in
      "$PWD"/*) wheel=/src/${wheel#"$PWD"/} ;;
      *) echo "test-py314.sh: the wheel must lie inside the checkout: $1" >&2; exit 2 ;;
    esac
  fi
  exec bash tools/chroot.sh run bash /src/tools/test-py314.sh --inside "$wheel"
fi

# --- inside the sid root, the checkout at /src ---------------------------------------------------
cd /src
WHEEL=${2:-}
if [ -z "$WHEEL" ]; then
  VENV=build/sid-venv
  python3.14 -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
  echo "-- $(date +%H:%M:%S) building against CPython 3.14 (pip install .[test])"
  PYQELM_WERROR=ON "$VENV/bin/python" -m pip install -q ".[test]"
else
  VENV=build/sid-venv-wheel
  rm -rf "$VENV"
  python3.14 -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
  echo "-- $(date +%H:%M:%S) installing $WHEEL into a fresh 3.14 venv"
  "$VENV/bin/python" -m pip install -q "$WHEEL[test]"
fi
"$VENV/bin/python" -c 'import sys, numpy, pyqelm; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__, "module", pyqelm.__file__)'
# From an empty folder, so that the installed modules are imported.
mkdir -p /tmp/py314-run
cd /tmp/py314-run
echo "-- $(date +%H:%M:%S) pytest, ${PYTEST_WORKERS:-2} processes"
"/src/$VENV/bin/python" -m pytest -q -p no:cacheprovider -n "${PYTEST_WORKERS:-2}" --rootdir /src /src/tests
