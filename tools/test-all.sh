#!/usr/bin/env bash
# Sets up this machine and runs every test, stage by stage:
#
#   1. suites          GoogleTest (ctest) and pytest on the default CPython, against the module
#                      built from source with warnings as errors into .venv
#   2. docs            the documentation site (tools/build-docs.sh): the examples drawn with
#                      qelm-inspect --plot, mkdocs build --strict into build/site; the pages'
#                      code blocks run in stage 1 (tests/test_docs.py)
#   3. format          clang-format and clang-tidy (tools/check-format.sh)
#   4. fuzz            the decoder under libFuzzer for 60 s (tools/fuzz.sh)
#   5. sanitizers      every C++ and Python test under ASan (leaks included) and UBSan
#   6. cpython 3.14    the module built against 3.14 with warnings as errors, the Python suite
#                      on 3.14 (tools/test-py314.sh, in a Debian unstable root)
#   7. wheels          the release files (tools/build-wheels.sh): manylinux wheels for 3.11 and
#                      3.12+ (abi3) each tested on its interpreters (3.11 to 3.14), the
#                      win_amd64 wheels for 3.11 and 3.12+ (abi3) with the cross-built suites
#                      and the Python suite under wine on Windows CPython 3.11, 3.12 and 3.13
#                      (tools/test-windows.sh), and the sdist
#
# Before stage 1, the system packages of every stage are installed in one apt-get run, and the
# Debian root of stages 6 and 7 (tools/chroot.sh) is made in the background. After stage 1,
# stages 6 and 7 run in the background beside stages 2 to 5 (see start_beside). Each pytest run
# spreads its tests over $PYTEST_WORKERS processes (the core count, at most 4).
#
# QUICK=1 runs stage 1 only; STAGES="suites sanitizers" (say) runs the stages named. Each stage
# says when it starts and ends, with its time and the counts of its test runs, skipped cases
# included; a stage that fails says why (the failing tests, else the lines that name the fault,
# and its log). A summary closes the run. System packages (GoogleTest, clang, the tools for the
# Debian root) are installed with apt-get as root or through sudo. Everything the run makes,
# temporary files included, stays inside the checkout (build/, .venv*, dist/).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
# pytest spreads its tests over this many processes (pytest-xdist); at most 4.
PYTEST_WORKERS=${PYTEST_WORKERS:-$(n=$(nproc 2>/dev/null || echo 2); echo $((n > 4 ? 4 : n)))}
export PYTEST_WORKERS

suites() {
    source tools/setup-venv.sh
    # One build for the module and the GoogleTest suites, so the library compiles once; warnings
    # are errors in every build the tests run against.
    echo "-- $(date +%H:%M:%S) building the modules and the GoogleTest suites (pip install .[test])"
    PYQELM_WERROR=ON "$VENV/bin/python" -m pip install -q ".[test]" -C build-dir=build/suites \
        -C cmake.define.PYQELM_BUILD_TESTS=ON
    echo "-- $(date +%H:%M:%S) ctest"
    if ! "$VENV/bin/ctest" --test-dir build/suites --output-on-failure -j2 >build/suites/ctest.log 2>&1; then
        cat build/suites/ctest.log
        return 1
    fi
    sed -n "/tests passed\|tests failed/,\$p" build/suites/ctest.log
    # The installed module is tested: the source tree's pyqelm/ and qelmfile/ folders hold no
    # Python package, so an import finds the extensions in the venv.
    echo "-- $(date +%H:%M:%S) pytest, $PYTEST_WORKERS processes"
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider -n "$PYTEST_WORKERS" --rootdir "$PWD" "$PWD/tests"
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
FAILED_NAMES=()

# The counts of every test runner's closing line in log $1, one line each; "passed failed
# skipped" of each also goes to $TOTALS for the summary. ctest counts a skipped case among the
# passed ones and lists it under "did not run" after its closing line: those are moved over.
tally() {
    local line n kind total bad pending=""
    flush_ctest() {
        [ -n "$pending" ] || return 0
        local passed failed skipped
        read -r passed failed skipped <<<"$pending"
        echo "$passed $failed $skipped" >>"$TOTALS"
        echo "  ctest: $passed passed, $skipped skipped, $failed failed"
        pending=""
    }
    while IFS= read -r line; do
        case $line in
            *"tests passed"*" out of "*)  # ctest
                flush_ctest
                total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
                bad=$(grep -oE '[0-9]+ tests failed' <<<"$line" | grep -oE '^[0-9]+' || echo 0)
                pending="$((total - bad)) $bad 0" ;;
            *"(Skipped)"*)  # a case in ctest's "did not run" list
                [ -n "$pending" ] && read -r total bad n <<<"$pending" &&
                    pending="$((total - 1)) $bad $((n + 1))" ;;
            *"[  PASSED  ] "*|*"[ PASSED ] "*)  # a GoogleTest binary run alone (under wine)
                flush_ctest
                n=$(grep -oE '[0-9]+ tests?' <<<"$line" | grep -oE '^[0-9]+')
                echo "$n 0 0" >>"$TOTALS"
                line=${line#"${line%%[![:space:]]*}"}
                echo "  ${line%%: \[*}: $n passed" ;;
            *)  # pytest
                flush_ctest
                local c=()
                for kind in passed failed error skipped; do
                    c+=("$(grep -oE "[0-9]+ $kind" <<<"$line" | grep -oE '^[0-9]+' || echo 0)")
                done
                echo "${c[0]} $((c[1] + c[2])) ${c[3]}" >>"$TOTALS"
                local label=pytest
                [[ $line =~ ^[[:space:]]*(.*):\ [0-9]+\ (passed|failed|error) ]] && label=${BASH_REMATCH[1]}
                local deselected
                deselected=$(grep -oE '[0-9]+ deselected' <<<"$line" | grep -oE '^[0-9]+' || true)
                echo "  $label: ${c[0]} passed, ${c[3]} skipped, ${c[1]} failed, ${c[2]} errors${deselected:+, $deselected deselected}" ;;
        esac
    done < <(grep -hE '[0-9]+ (passed|failed|error)(, [0-9]+ [a-z]+)* in [0-9.]+s|tests passed.* out of [0-9]+|^[[:space:]]*[0-9]+ - .*\(Skipped\)$|_tests: \[ *PASSED *\]' "$1" || true)
    flush_ctest
}

# Why the stage of log $1 failed, for the summary: the failing tests by name, else the lines
# that name the fault (a sanitizer report, a crash, a timeout), else the log's last lines.
reason() {
    local log=$1 tests faults
    tests=$(grep -hE '^(FAILED|ERROR) [^ ]|^[[:space:]]*[0-9]+ - .*\((Failed|SEGFAULT|Timeout|Subprocess aborted|Child aborted|Exception|Not Run)\)$|^\[  FAILED  \] [^0-9 ]|^[^ ]+ +FAILED +[0-9]+:[0-9]+' "$log" |
        sed -E 's/^[[:space:]]+//' | awk '!seen[$0]++' | head -n 12 || true)
    # A step of tools/build-wheels.sh that failed ("NAME   FAILED   17s") and the log it names
    # come first.
    faults=$(grep -hE '[[:space:]]FAILED[[:space:]]+[0-9]+s$|^---- last lines of |ERROR: (Address|Leak|UndefinedBehavior|Thread|Memory)Sanitizer|LeakSanitizer has encountered|Tracer caught signal|SUMMARY: [A-Za-z]+Sanitizer|runtime error: |Segmentation fault|core dumped|Aborted|Fatal Python error|[Tt]imed? ?out|node down|crashed worker|No space left|Killed|exit status [0-9]+|^[a-z0-9_.-]+(\.sh)?: .*(finding|cannot|failed|error)' "$log" |
        sed -E 's/^[[:space:]]+//' | awk '!seen[$0]++' | head -n 8 || true)
    if [ -n "$tests" ]; then
        echo "failing tests:"
        sed 's/^/  /' <<<"$tests"
        [ -n "$faults" ] && sed 's/^/  /' <<<"$faults"
    else
        local counts_green=$2
        if [ "$counts_green" = yes ]; then
            echo "all tests passed, then:"
        else
            echo "failed:"
        fi
        if [ -n "$faults" ]; then
            sed 's/^/  /' <<<"$faults"
        else
            grep -v '^[[:space:]]*$' "$log" | tail -n 6 | sed 's/^/  /'
        fi
    fi
    echo "log: ${log#"$ROOT"/}"
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
    local counts before green=yes why=""
    before=$(wc -l <"$TOTALS")
    counts=$(tally "$log")
    [ -n "$counts" ] && echo "$counts"
    # Green counts: at least one test run, none with a failure.
    tail -n +"$((before + 1))" "$TOTALS" | awk '$2 > 0 {bad = 1} END {exit bad || NR == 0}' || green=no
    SUMMARY+=("$(printf '%-16s %-7s %3d:%02d' "$name" "$status" $((took / 60)) $((took % 60)))")
    while IFS= read -r line; do [ -n "$line" ] && SUMMARY+=("                 $line"); done <<<"$counts"
    if [ "$status" != ok ]; then
        why=$(reason "$log" "$green")
        echo "=== $name: why it failed"
        echo "$why"
        while IFS= read -r line; do SUMMARY+=("                 ! $line"); done <<<"$why"
        FAILED_NAMES+=("$name")
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
    read -r passed failed skipped < <(awk '{p += $1; f += $2; s += $3} END {print p + 0, f + 0, s + 0}' "$LOGS"/totals*)
    [ "$FAILED_STAGES" = 0 ] || echo "failed stages: $(IFS=,; echo "${FAILED_NAMES[*]}" | sed 's/,/, /g') (see above)"
    echo "all stages: $passed passed, $failed failed, $skipped skipped"
    if [ "$FAILED_STAGES" = 0 ] && [ "$failed" = 0 ]; then
        # The tests' temporary files go with a passing run; after a failure they are kept.
        rm -rf "$ROOT/build/tmp"
        exit 0
    fi
    exit 1
}

# The system packages of every stage in one apt-get run (each script would otherwise update the
# package lists again for its own).
system_packages() {
    local wanted=(libgtest-dev clang-16 libclang-rt-16-dev clang-format-19 clang-tidy-19 debootstrap ccache)
    command -v cmake >/dev/null || wanted+=(cmake)
    local package missing=()
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        echo "all present: ${wanted[*]}"
        return
    fi
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    echo "installing ${missing[*]}"
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        "${missing[@]}" >/dev/null
}

# The Debian root of the 3.14 and Windows stages is mostly downloading and unpacking: it is made
# in the background, in a session of its own, while the first stages run.
CHROOT_PID=""
start_chroot() {
    setsid bash tools/chroot.sh >"$LOGS/chroot.log" 2>&1 </dev/null &
    CHROOT_PID=$!
    trap '[ -n "$CHROOT_PID" ] && kill -- -"$CHROOT_PID" 2>/dev/null; true' EXIT
}
wait_chroot() {
    [ -n "$CHROOT_PID" ] || return 0
    local status=0
    wait "$CHROOT_PID" || status=$?
    CHROOT_PID=""
    echo "Debian root (made in the background, exit $status):"
    sed 's/^/  /' "$LOGS/chroot.log"
}

# The 3.14 and wheels stages need the Debian root and nothing that the other stages make: they
# run one after the other in the background, beside docs, format, fuzz and sanitizers, in a
# process group of their own. Much of either side waits (on pip, wine, the linker, a single
# fuzzing process), so the two sides together take less time than one after the other. Their
# output goes to build/test-all/beside.log and is shown when the sanitizers stage is over; their
# times, counts and failures join the summary.
BESIDE_PID=""
start_beside() {
    wanted py314 || wanted wheels || return 0
    wait_chroot
    echo
    echo "=== cpython 3.14 and wheels: started $(date +%H:%M:%S) beside the stages that follow; their output comes after those"
    set -m
    (
        SUMMARY=() FAILED_NAMES=() FAILED_STAGES=0 TOTALS=$LOGS/totals-beside
        : >"$TOTALS"
        wanted py314 && stage "cpython 3.14" bash tools/test-py314.sh
        wanted wheels && stage wheels bash tools/build-wheels.sh
        printf '%s\n' "${SUMMARY[@]}" >"$LOGS/beside.summary"
        printf '%s\n' "${FAILED_NAMES[@]}" >"$LOGS/beside.failed"
    ) >"$LOGS/beside.log" 2>&1 </dev/null &
    BESIDE_PID=$!
    set +m
    trap '[ -n "$CHROOT_PID" ] && kill -- -"$CHROOT_PID" 2>/dev/null; [ -n "$BESIDE_PID" ] && kill -- -"$BESIDE_PID" 2>/dev/null; true' EXIT
}
finish_beside() {
    [ -n "$BESIDE_PID" ] || return 0
    local status=0 line
    wait "$BESIDE_PID" || status=$?
    BESIDE_PID=""
    cat "$LOGS/beside.log"
    if [ "$status" != 0 ] || [ ! -f "$LOGS/beside.summary" ]; then
        SUMMARY+=("cpython 3.14, wheels: ended without their report (exit $status); log: build/test-all/beside.log")
        FAILED_NAMES+=("cpython 3.14, wheels")
        FAILED_STAGES=$((FAILED_STAGES + 1))
        return 0
    fi
    while IFS= read -r line; do [ -n "$line" ] && SUMMARY+=("$line"); done <"$LOGS/beside.summary"
    while IFS= read -r line; do
        [ -n "$line" ] || continue
        FAILED_NAMES+=("$line")
        FAILED_STAGES=$((FAILED_STAGES + 1))
    done <"$LOGS/beside.failed"
}

# STAGES (words from: packages suites docs format fuzz sanitizers py314 wheels) runs those stages
# only, with the same reports and summary; QUICK=1 is STAGES=suites.
[ "${QUICK:-0}" = 1 ] && STAGES=suites
wanted() { [ -z "${STAGES:-}" ] || [[ " $STAGES " == *" $1 "* ]]; }

if wanted packages; then
    stage "system packages" system_packages
fi
if wanted py314 || wanted wheels; then
    start_chroot
fi
if wanted suites; then
    stage suites bash "$ROOT/tools/test-all.sh" --suites
fi
start_beside
wanted docs && stage docs bash tools/build-docs.sh
wanted format && stage format bash tools/check-format.sh
wanted fuzz && stage fuzz bash tools/fuzz.sh
wanted sanitizers && stage sanitizers bash tools/test-sanitizers.sh
finish_beside
finish
