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
# The leak check runs as each process exits. The runtime of GCC 12 (and clang up to 16) guesses
# the bounds of a dynamic thread-local block (an extension module's thread_local state) from
# the glibc of before 2.25: on this glibc, a block that lands 16 bytes past a page boundary is
# taken for one with a header, and the checker scans the range that header would name, which
# is not mapped. The checker then dies ("Tracer caught signal 11 ... LeakSanitizer has
# encountered a fatal error") after every test passed, in runs where the allocator's addresses
# fall that way: more often on a loaded machine. Not intercepting __tls_get_addr removes the
# guess; nothing is lost, since glibc now allocates those blocks with malloc and the checker
# reaches them from each thread's static block like any other heap block (the canary below
# checks both).
LEAK_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0

# --- one sanitized build: the extension modules and the C++ suites -----------------------------
echo "-- $(date +%H:%M:%S) building the sanitized modules and C++ suites (pip install .[test])"
"$VENV/bin/python" -m pip install -q ".[test]" -C build-dir="$BUILD" \
  -C cmake.build-type=RelWithDebInfo -C cmake.define.PYQELM_SANITIZE=ON \
  -C cmake.define.PYQELM_BUILD_TESTS=ON

# --- the C++ suites --------------------------------------------------------------------------------
# The full log only when something failed; otherwise its summary.
echo "-- $(date +%H:%M:%S) ctest under the sanitizers"
if ! ASAN_OPTIONS=$LEAK_OPTIONS:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1 \
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
# ours (the interpreter and NumPy keep no frame pointers, so the fast unwinder stops inside the
# interpreter). It costs a stack walk per allocation: ten frames reach the allocating module on
# every path of the suite, and take a third of the time of the default thirty. Child
# interpreters started by the tests inherit all of it. PYQELM_SANITIZED=1 tells the tests that
# cannot run under the sanitizers (address-space limits, resident-size figures).
# The type checks (marked typecheck) run mypy over the stubs, not the modules, and take minutes
# here; the plain run (tools/test-all.sh) has them. The tests are spread over $PYTEST_WORKERS
# processes.
# Every process of a run (pytest, its workers, the children that tests start) writes its
# sanitizer reports to a file of its own in the folder given: pytest-xdist does not look at how
# a worker ended, so a leak found as a worker exits would otherwise pass unnoticed.
sanitized() {  # REPORT-FOLDER COMMAND...
  local reports=$1
  shift
  rm -rf "$reports"
  mkdir -p "$reports"
  LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS="$LEAK_OPTIONS:fast_unwind_on_malloc=0:malloc_context_size=10:log_path=$reports/asan" \
  LSAN_OPTIONS="suppressions=$BUILD/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" \
  PYQELM_SANITIZED=1 \
    "$@"
}

# The leak check checks itself first: under the same runtimes and options, a lost block must be
# reported, and blocks kept in the thread-local variables of 64 live threads must neither be
# reported nor crash the checker.
echo "-- $(date +%H:%M:%S) the leak check on a planted leak (tools/leak-check)"
gcc -shared -fPIC -O0 -o "$BUILD/libcanary.so" tools/leak-check/canary.c
canary_status=0
sanitized "$BUILD/canary-reports" "$VENV/bin/python" tools/leak-check/canary.py \
  "$BUILD/libcanary.so" || canary_status=$?
canary=$(cat "$BUILD"/canary-reports/* 2>/dev/null || true)
if [ "$canary_status" -eq 0 ] || ! grep -q 'Direct leak of 3001 byte(s) in 1 object(s)' <<<"$canary" ||
  ! grep -q 'SUMMARY: AddressSanitizer: 3001 byte(s) leaked in 1 allocation(s)' <<<"$canary"; then
  echo "the leak check did not report exactly the planted leak (exit $canary_status):"
  echo "${canary:-(no report)}" | head -n 40
  exit 1
fi
echo "the leak check reported the planted 3001-byte block and nothing else"

echo "-- $(date +%H:%M:%S) pytest under the sanitizers, $PYTEST_WORKERS processes; the type checks (marked typecheck) are left to the plain run"
REPORTS=$BUILD/sanitizer-reports
status=0
sanitized "$REPORTS" "$VENV/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" \
  "$ROOT/tests" -m "not typecheck" -n "$PYTEST_WORKERS" "$@" || status=$?

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
