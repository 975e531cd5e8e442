#!/usr/bin/env bash
# Sets up this machine and runs every test, stage by stage:
#
#   1. suites          GoogleTest (ctest) and pytest on the default CPython, against the module
#                      built from source with warnings as errors into .venv
#   2. format          clang-format and clang-tidy (tools/check-format.sh)
#   3. fuzz            the decoder under libFuzzer for 60 s (tools/fuzz.sh)
#   4. sanitizers      every C++ and Python test under ASan (leaks included) and UBSan
#   5. cpython 3.14    the module built against 3.14 with warnings as errors, the Python suite
#                      on 3.14 (tools/test-py314.sh, in a Debian unstable root)
#   6. wheels          the release files (tools/build-wheels.sh): manylinux wheels for 3.11 and
#                      3.12+ (abi3) each tested on its interpreters (3.11 to 3.14), the
#                      win_amd64 wheel with the cross-built suites and the Python suite under
#                      wine (tools/test-windows.sh), and the sdist
#
# QUICK=1 runs stage 1 only. Each stage says when it starts and ends, with its time and the
# counts of its test runs; a summary closes the run. System packages (GoogleTest, clang, the
# tools for the Debian root) are installed with apt-get as root or through sudo. Everything the
# run makes, temporary files included, stays inside the checkout (build/, .venv*, dist/).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}

suites() {
    source tools/setup-venv.sh
    # Warnings are errors in every build the tests run against.
    PYQELM_WERROR=ON "$VENV/bin/python" -m pip install -q ".[test]"
    "$VENV/bin/cmake" -S . -B build/tests -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
        -DPYQELM_BUILD_TESTS=ON -DPYQELM_BUILD_MODULE=OFF -DPYQELM_WERROR=ON >/dev/null
    "$VENV/bin/cmake" --build build/tests
    if ! "$VENV/bin/ctest" --test-dir build/tests --output-on-failure -j2 >build/tests/ctest.log 2>&1; then
        cat build/tests/ctest.log
        return 1
    fi
    grep -E "tests passed|tests failed" build/tests/ctest.log
    # The installed module is tested: the source tree's pyqelm/ and qelmfile/ folders hold no
    # Python package, so an import finds the extensions in the venv.
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$PWD" "$PWD/tests"
}

if [ "${1:-}" = --suites ]; then
    suites
    exit
fi

LOGS=$ROOT/build/test-all
rm -rf "$LOGS"
mkdir -p "$LOGS" "$ROOT/build/tmp"
export TMPDIR=$ROOT/build/tmp
export PIP_DISABLE_PIP_VERSION_CHECK=1
# pip keeps its downloads in the checkout too; a second run reuses them.
export PIP_CACHE_DIR=${PIP_CACHE_DIR:-$ROOT/build/pip-cache}

TOTALS=$LOGS/totals
: >"$TOTALS"
SUMMARY=()
FAILED_STAGES=0

# The counts of every test runner's closing line in log $1, one line each; "passed failed
# skipped" of each also goes to $TOTALS for the summary.
tally() {
    local line n kind total bad
    while IFS= read -r line; do
        case $line in
            *"tests passed"*" out of "*)  # ctest
                total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
                bad=$(grep -oE '[0-9]+ tests failed' <<<"$line" | grep -oE '^[0-9]+' || echo 0)
                echo "$((total - bad)) $bad 0" >>"$TOTALS"
                echo "  ctest: $((total - bad)) passed, $bad failed" ;;
            *"[  PASSED  ] "*|*"[ PASSED ] "*)  # a GoogleTest binary run alone (under wine)
                n=$(grep -oE '[0-9]+ tests?' <<<"$line" | grep -oE '^[0-9]+')
                echo "$n 0 0" >>"$TOTALS"
                line=${line#"${line%%[![:space:]]*}"}
                echo "  ${line%%: \[*}: $n passed" ;;
            *)  # pytest
                local c=()
                for kind in passed failed error skipped; do
                    c+=("$(grep -oE "[0-9]+ $kind" <<<"$line" | grep -oE '^[0-9]+' || echo 0)")
                done
                echo "${c[0]} $((c[1] + c[2])) ${c[3]}" >>"$TOTALS"
                local label=pytest
                [[ $line =~ ^[[:space:]]*(.*):\ [0-9]+\ (passed|failed|error) ]] && label=${BASH_REMATCH[1]}
                echo "  $label: ${c[0]} passed, ${c[3]} skipped, ${c[1]} failed, ${c[2]} errors" ;;
        esac
    done < <(grep -hE '[0-9]+ (passed|failed|error)(, [0-9]+ [a-z]+)* in [0-9.]+s|tests passed.* out of [0-9]+|_tests: \[ *PASSED *\]' "$1" || true)
}

# stage NAME COMMAND...: runs the command with its output shown and kept in a log, then prints
# the stage's time and the counts of the test runs it made.
stage() {
    local name=$1 log
    shift
    log=$LOGS/$(tr -c 'a-zA-Z0-9\n' _ <<<"$name" | head -c 60).log
    echo
    echo "=== $name: started $(date +%H:%M:%S)"
    local start=$SECONDS status=ok
    "$@" 2>&1 | tee "$log" || status=FAILED
    local took=$((SECONDS - start))
    echo "=== $name: $status in $((took / 60)) min $((took % 60)) s"
    local counts
    counts=$(tally "$log")
    [ -n "$counts" ] && echo "$counts"
    SUMMARY+=("$(printf '%-16s %-7s %3d:%02d' "$name" "$status" $((took / 60)) $((took % 60)))")
    while IFS= read -r line; do [ -n "$line" ] && SUMMARY+=("                 $line"); done <<<"$counts"
    if [ "$status" != ok ]; then
        FAILED_STAGES=$((FAILED_STAGES + 1))
        # The first stage builds what the others stand on.
        [ "$name" = suites ] && finish
    fi
    return 0
}

finish() {
    echo
    echo "=== summary ($((SECONDS / 60)) min $((SECONDS % 60)) s in all; logs in build/test-all/)"
    printf '  %s\n' "${SUMMARY[@]}"
    echo
    local passed failed skipped
    read -r passed failed skipped < <(awk '{p += $1; f += $2; s += $3} END {print p + 0, f + 0, s + 0}' "$TOTALS")
    echo "all stages: $passed passed, $failed failed, $skipped skipped"
    [ "$FAILED_STAGES" = 0 ] && [ "$failed" = 0 ] && exit 0
    exit 1
}

stage suites bash "$ROOT/tools/test-all.sh" --suites
[ "${QUICK:-0}" = 1 ] && finish
stage format bash tools/check-format.sh
stage fuzz bash tools/fuzz.sh
stage sanitizers bash tools/test-sanitizers.sh
stage "cpython 3.14" bash tools/test-py314.sh
stage wheels bash tools/build-wheels.sh
finish
