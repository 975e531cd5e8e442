#!/usr/bin/env bash
# Checks the C++ code without changing it:
#   (a) the layout of every C++ file under protocols/, pycommon/, pyqelm/, qelmfile/,
#       qelm-inspect/ and tools/ against .clang-format
#       (clang-format --dry-run --Werror; files listed in .clang-format-ignore are skipped);
#   (b) the protocol library's sources (protocols/src) and the extension's (pyqelm/src) with
#       clang-tidy and the checks in .clang-tidy, through a compile_commands.json from a CMake
#       configure in build/check-tidy. The extension needs a Python with NumPy for its include
#       paths: $PYTHON, else .venv/bin/python, else python3; without one only the library is
#       checked. fileio_windows.cpp needs the Windows headers and is left out on other systems.
# Both tools are version 19 from Debian's packages, installed (with CMake) when missing, as root
# or through sudo. The exit status is non-zero when either check finds something.
#
#   tools/check-format.sh            both checks
#   tools/check-format.sh --format   (a) only
#   tools/check-format.sh --tidy     (b) only
#   tools/check-format.sh --fix      rewrite the files of (a) in place instead of checking them
set -euo pipefail
cd "$(dirname "$0")/.."
# Temporary files stay in the checkout, never in the system's /tmp.
export TMPDIR=$PWD/build/tmp
mkdir -p "$TMPDIR"

VERSION=19
CLANG_FORMAT=${CLANG_FORMAT:-clang-format-$VERSION}
CLANG_TIDY=${CLANG_TIDY:-clang-tidy-$VERSION}
RUN_CLANG_TIDY=${RUN_CLANG_TIDY:-run-clang-tidy-$VERSION}

mode=${1:-all}
case $mode in
    all | --format | --tidy | --fix) ;;
    *) echo "usage: $0 [--format | --tidy | --fix]" >&2; exit 2 ;;
esac

install_missing() {
    local packages=()
    command -v "$CLANG_FORMAT" >/dev/null || packages+=("clang-format-$VERSION")
    if [ "$mode" != --format ] && [ "$mode" != --fix ]; then
        command -v "$CLANG_TIDY" >/dev/null || packages+=("clang-tidy-$VERSION")
        command -v cmake >/dev/null || packages+=(cmake)
    fi
    [ ${#packages[@]} -eq 0 ] && return
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    echo "installing ${packages[*]}"
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq "${packages[@]}" >/dev/null
}

# The C++ files of the tree: tracked and new ones in a git checkout, otherwise all of them.
cpp_files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard -- protocols pycommon pyqelm qelmfile qelm-inspect fileguard tools
    else
        find protocols pycommon pyqelm qelmfile qelm-inspect fileguard tools -type f
    fi | grep -E '\.(cpp|hpp|h|cc|hh)$' | sort -u
}

check_format() {
    local files=() changed=() f
    mapfile -t files < <(cpp_files)
    if [ "$mode" = --fix ]; then
        "$CLANG_FORMAT" -i "${files[@]}"
        echo "clang-format: rewrote ${#files[@]} files in place"
        return 0
    fi
    for f in "${files[@]}"; do
        "$CLANG_FORMAT" --dry-run --Werror "$f" >/dev/null 2>&1 || changed+=("$f")
    done
    if [ ${#changed[@]} -eq 0 ]; then
        echo "clang-format: all ${#files[@]} files are formatted"
        return 0
    fi
    echo "clang-format: ${#changed[@]} of ${#files[@]} files would change:"
    for f in "${changed[@]}"; do
        printf '  %-48s %4d lines differ\n' "$f" \
            "$("$CLANG_FORMAT" "$f" | diff "$f" - | grep -c '^[<>]' || true)"
    done
    echo "(to apply: $0 --fix)"
    return 1
}

# The first Python that can import NumPy, or nothing.
python_with_numpy() {
    local candidate
    for candidate in "${PYTHON:-}" .venv/bin/python python3; do
        [ -n "$candidate" ] || continue
        if "$candidate" -c "import numpy" >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    return 0
}

check_tidy() {
    local build=build/check-tidy python module=OFF sources="protocols/src, fileguard/src"
    python=$(python_with_numpy)
    if [ -n "$python" ]; then
        module=ON
        sources="protocols/src, fileguard/src, pyqelm/src and qelmfile/src"
    else
        echo "clang-tidy: no Python with NumPy found, so pyqelm/src is not checked"
    fi
    # Configure only: clang-tidy needs the compile commands, not the objects.
    cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPYQELM_BUILD_MODULE=$module \
        ${python:+-DPython_EXECUTABLE="$python"} -DPYQELM_BUILD_TESTS=OFF \
        -DPYQELM_BUILD_INSPECT=OFF >"$build.log" 2>&1 || {
        cat "$build.log"
        return 1
    }
    local jobs
    jobs=$(nproc 2>/dev/null || echo 2)
    if "$RUN_CLANG_TIDY" -quiet -j "$jobs" -clang-tidy-binary "$(command -v "$CLANG_TIDY")" \
        -p "$build" "$PWD/(protocols|pyqelm|qelmfile|fileguard)/src/.*\\.cpp\$" >"$build/clang-tidy.log" 2>&1; then
        echo "clang-tidy: no findings in $sources"
        return 0
    fi
    grep -E '(warning|error):|^ ' "$build/clang-tidy.log" | grep -v '^ *[0-9]* warnings' || true
    echo "clang-tidy: findings in $sources (full log: $build/clang-tidy.log)"
    return 1
}

install_missing
status=0
if [ "$mode" != --tidy ]; then check_format || status=1; fi
if [ "$mode" = all ] || [ "$mode" = --tidy ]; then check_tidy || status=1; fi
exit $status
