#!/usr/bin/env bash
# Builds and tests the module on every CPython from 3.11 up that this machine has:
#
#   for each interpreter:  pip wheel .  (into build/matrix/wheels/<tag>, CMake build directory
#                          build/matrix-<tag>, kept between runs so a rerun only rebuilds what
#                          changed), then the pytest suite in a fresh venv with NumPy 2.x (and
#                          mypy, so the stub checks run too), and again with NumPy 1.26 where
#                          that interpreter has wheels for it;
#   once:                  an sdist (python -m build --sdist) installed into a fresh venv and
#                          checked with an import and a save.
#
# Interpreters are looked up as python3.N on PATH and under ~/.pyenv/versions/*/bin; PYTHONS
# (space-separated paths) overrides the search. pip's cache is used throughout. Logs go to
# build/matrix/logs; the summary at the end lists every step with its time. The exit status is
# non-zero if any step failed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/matrix
LOGS=$WORK/logs
rm -rf "$LOGS" "$WORK/venvs" "$WORK/wheels" "$WORK/sdist"
mkdir -p "$LOGS" "$WORK/venvs" "$WORK/wheels" "$WORK/sdist"

export PIP_DISABLE_PIP_VERSION_CHECK=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

START=$SECONDS
SUMMARY=()
FAILED=0

# Runs "$@" with its output in $LOGS/<name>.log and records the outcome and the time taken.
step() {
    local name=$1
    shift
    local t0=$SECONDS status=ok
    printf '%-34s ' "$name"
    if ! "$@" >"$LOGS/$name.log" 2>&1; then
        status=FAILED
        FAILED=1
    fi
    local line
    line=$(printf '%-34s %-7s %4ds' "$name" "$status" $((SECONDS - t0)))
    echo "${line#"$name"}" | sed 's/^ *//'
    SUMMARY+=("$line")
    if [ "$status" = FAILED ]; then
        echo "---- last lines of $LOGS/$name.log"
        grep -v "^WARNING: Location" "$LOGS/$name.log" | tail -n 25
        echo "----"
        return 1
    fi
}

skip() {
    printf '%-34s %s\n' "$1" "skipped: $2"
    SUMMARY+=("$(printf '%-34s skipped (%s)' "$1" "$2")")
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

# A fresh venv at $1 made by interpreter $2.
fresh_venv() {
    rm -rf "$1"
    "$2" -m venv "$1"
}

# Runs the pytest suite with the venv's Python from an empty directory, so that the installed
# module, not the source tree, is imported.
run_suite() {
    local python=$1 tmp
    tmp=$(mktemp -d)
    (cd "$tmp" && "$python" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" "$ROOT/tests")
    local rc=$?
    rm -rf "$tmp"
    return $rc
}

smoke() {
    "$1" - <<'EOF'
import os, tempfile
import pyqelm
p = pyqelm.Protocol()
p.add_sine_signal(1.0, 10.0)
path = os.path.join(tempfile.mkdtemp(), "smoke.qelm")
p.save(path)
assert os.path.getsize(path) == 225, os.path.getsize(path)
print("import and save ok:", pyqelm.__file__)
EOF
}

# Interpreter tags such as cp312.
tag_of() {
    "$1" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")'
}

if [ -n "${PYTHONS:-}" ]; then
    read -r -a INTERPRETERS <<<"$PYTHONS"
else
    mapfile -t INTERPRETERS < <(find_pythons)
fi
if [ ${#INTERPRETERS[@]} -eq 0 ]; then
    echo "no CPython 3.11 or newer found" >&2
    exit 1
fi
echo "interpreters:"
for py in "${INTERPRETERS[@]}"; do echo "  $("$py" -VV | head -n 1) ($py)"; done

for py in "${INTERPRETERS[@]}"; do
    tag=$(tag_of "$py")
    wheels=$WORK/wheels/$tag
    venv2=$WORK/venvs/$tag-numpy2
    venv1=$WORK/venvs/$tag-numpy1.26

    step "$tag: pip wheel ." "$py" -m pip wheel --no-deps -w "$wheels" "$ROOT" \
        -C "build-dir=build/matrix-$tag" || continue
    wheel=$(ls "$wheels"/pyqelm-*.whl)

    step "$tag: venv, NumPy 2.x" sh -c "
        rm -rf '$venv2' && '$py' -m venv '$venv2' &&
        '$venv2/bin/pip' install -q 'numpy>=2,<3' pytest mypy '$wheel'" || continue
    step "$tag: pytest, NumPy 2.x" run_suite "$venv2/bin/python" || true

    # NumPy 1.26 ships wheels only up to CPython 3.12; a source build is not attempted.
    if "$py" -m pip install -q --dry-run --ignore-installed --no-deps --only-binary=:all: \
        'numpy==1.26.*' >/dev/null 2>&1; then
        step "$tag: venv, NumPy 1.26" sh -c "
            rm -rf '$venv1' && '$py' -m venv '$venv1' &&
            '$venv1/bin/pip' install -q --only-binary=:all: 'numpy==1.26.*' pytest '$wheel'" ||
            continue
        step "$tag: pytest, NumPy 1.26" run_suite "$venv1/bin/python" || true
    else
        skip "$tag: NumPy 1.26" "no wheel for this interpreter"
    fi
done

# The sdist, built and installed with the first interpreter in fresh virtual environments.
py=${INTERPRETERS[0]}
tools=$WORK/venvs/sdist-tools
target=$WORK/venvs/sdist-install
if step "sdist: python -m build --sdist" sh -c "
        rm -rf '$tools' && '$py' -m venv '$tools' && '$tools/bin/pip' install -q build &&
        '$tools/bin/python' -m build --sdist --outdir '$WORK/sdist' '$ROOT'"; then
    sdist=$(ls "$WORK"/sdist/pyqelm-*.tar.gz)
    step "sdist: install in a fresh venv" sh -c "
        rm -rf '$target' && '$py' -m venv '$target' && '$target/bin/pip' install -q '$sdist'" &&
        step "sdist: import and save" smoke "$target/bin/python" || true
fi

echo
echo "summary ($((SECONDS - START)) s in all):"
printf '  %s\n' "${SUMMARY[@]}"
exit $FAILED
