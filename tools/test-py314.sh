#!/usr/bin/env bash
# CPython 3.14: builds the module against 3.14's headers with warnings as errors (a deprecated
# C-API call fails the build) and runs the whole Python suite on 3.14 with NumPy 2.x. 3.14 comes
# from the Debian unstable root that tools/chroot.sh makes inside the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
  exec bash tools/chroot.sh run bash /src/tools/test-py314.sh --inside
fi

# --- inside the sid root, the checkout at /src ---------------------------------------------------
cd /src
VENV=build/sid-venv
python3.14 -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
PYQELM_WERROR=ON "$VENV/bin/python" -m pip install -q ".[test]"
"$VENV/bin/python" -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)'
"$VENV/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$PWD" "$PWD/tests"
