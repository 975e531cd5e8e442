#!/usr/bin/env bash
# Runs every test with AddressSanitizer (leak checking included) and UndefinedBehaviorSanitizer:
# the C++ suites built with the sanitizers, then the Python suite against a sanitized build of
# the extension installed into its own venv. Any finding fails the run. Safe to run again; the
# builds are incremental.
#
#   bash tools/test-sanitizers.sh [pytest arguments]
#
# Needs GCC (its libasan and libubsan are preloaded into the interpreter) and, like
# tools/test-all.sh, installs GoogleTest from the system packages when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
# Temporary files stay in the checkout, never in the system's /tmp.
export TMPDIR=$PWD/build/tmp
mkdir -p "$TMPDIR"
ROOT=$PWD

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv-asan}
BUILD=${BUILD:-build/asan}
PYTEST_WORKERS=${PYTEST_WORKERS:-2}
[[ $VENV = /* ]] || VENV=$ROOT/$VENV
[[ $BUILD = /* ]] || BUILD=$ROOT/$BUILD

source tools/setup-venv.sh

# Stop at the first finding, with a stack; leaks are findings too.
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export UBSAN_OPTIONS

# --- one sanitized build: the extension modules and the C++ suites -----------------------------
echo "-- $(date +%H:%M:%S) building the sanitized modules and C++ suites (pip install .[test])"
"$VENV/bin/python" -m pip install -q ".[test]" -C build-dir="$BUILD" \
  -C cmake.build-type=RelWithDebInfo -C cmake.define.PYQELM_SANITIZE=ON \
  -C cmake.define.PYQELM_BUILD_TESTS=ON

# --- the C++ suites --------------------------------------------------------------------------------
# The full log only when something failed; otherwise its summary.
echo "-- $(date +%H:%M:%S) ctest under the sanitizers"
if ! ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1 \
    "$VENV/bin/ctest" --test-dir "$BUILD" --output-on-failure -j2 >"$BUILD/ctest.log" 2>&1; then
  cat "$BUILD/ctest.log"
  exit 1
fi
sed -n '/tests passed/,$p' "$BUILD/ctest.log"

# --- the Python suite ------------------------------------------------------------------------------
# Interpreters from 3.12 on never release their immortal interned strings.
cat tools/lsan.supp >"$BUILD/lsan.supp"
if "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 12))'; then
  cat tools/lsan-py312.supp >>"$BUILD/lsan.supp"
fi

# The interpreter is not instrumented: the sanitizer runtimes must be loaded before it.
# PYTHONMALLOC=malloc turns every Python object into a heap block that AddressSanitizer guards
# and the leak checker traces; full unwinding lets tools/lsan.supp tell NumPy's allocations from
# ours. Child interpreters started by the tests inherit all of it. PYQELM_SANITIZED=1 tells the
# tests that cannot run under the sanitizers (address-space limits, resident-size figures).
# The type checks (marked typecheck) run mypy over the stubs, not the modules, and take minutes
# here; the plain run (tools/test-all.sh) has them. The tests are spread over $PYTEST_WORKERS
# processes.
echo "-- $(date +%H:%M:%S) pytest under the sanitizers, $PYTEST_WORKERS processes; the type checks (marked typecheck) are left to the plain run"
# Every process of the run (pytest, its workers, the children that tests start) writes its
# sanitizer reports to a file of its own in $REPORTS: pytest-xdist does not look at how a worker
# ended, so a leak found as a worker exits would otherwise pass unnoticed. Any report fails the
# run.
REPORTS=$BUILD/sanitizer-reports
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
status=0
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:log_path=$REPORTS/asan" \
LSAN_OPTIONS="suppressions=$BUILD/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$REPORTS/ubsan" \
PYQELM_SANITIZED=1 \
  "$VENV/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" "$ROOT/tests" \
  -m "not typecheck" -n "$PYTEST_WORKERS" "$@" || status=$?

shopt -s nullglob
reports=("$REPORTS"/*)
if [ ${#reports[@]} -gt 0 ]; then
  echo "sanitizer reports from ${#reports[@]} process(es), in ${REPORTS#"$ROOT"/}:"
  for report in "${reports[@]}"; do
    echo "--- ${report##*/}"
    # The lines that name the fault first, then the start of the report.
    grep -hE 'ERROR: [A-Za-z]+Sanitizer|SUMMARY: |runtime error: |Tracer caught signal|has encountered a fatal error' "$report" | head -n 5
    head -n 40 "$report"
  done
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
