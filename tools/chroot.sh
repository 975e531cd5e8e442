#!/usr/bin/env bash
# A small Debian unstable ("sid") root inside the checkout, for what the host's release lacks:
# CPython 3.14, the MinGW-w64 toolchain that links the UCRT (as CPython for Windows does) and
# wine 10. Made once with debootstrap and reused while its package list stays the same.
#
#   bash tools/chroot.sh                  make (or reuse) build/chroot-sid
#   bash tools/chroot.sh run CMD ARGS...  run CMD inside it, the checkout mounted at /src
#
# Inside, pip uses a copy of the host's CA bundle and none of the host's pip settings (they name
# folders that exist only on the host).
set -euo pipefail
cd "$(dirname "$0")/.."
# Temporary files stay in the checkout, never in the system's /tmp.
export TMPDIR=$PWD/build/tmp
mkdir -p "$TMPDIR"

CHROOT=${CHROOT:-$PWD/build/chroot-sid}
# debootstrap's own resolver handles these; the rest goes through apt inside the root, which
# copes with alternatives and the wine packages' split.
BASE_PACKAGES=python3.14-dev,python3.14-venv,g++,make,ca-certificates
EXTRA_PACKAGES="g++-mingw-w64-ucrt64 wine wine64 googletest"
STAMP="$CHROOT/.pyqelm-ready"
WANT="$BASE_PACKAGES $EXTRA_PACKAGES"

SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"

# The first plain Debian mirror the host's apt already uses (one-line or deb822 sources).
mirror() {
  local url
  url=$(grep -hoE '^(deb[[:space:]]+(\[[^]]*\][[:space:]]+)?|URIs:[[:space:]]+)https?://[^[:space:]]+' \
          /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
          2>/dev/null | grep -oE 'https?://[^[:space:]]+' | grep -v -- '-security' | head -n 1 || true)
  echo "${url:-http://deb.debian.org/debian}"
}

make_root() {
  if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$WANT" ]; then return 0; fi
  if ! command -v debootstrap >/dev/null; then
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
    $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq debootstrap >/dev/null
  fi
  local start=$SECONDS
  if [ ! -x "$CHROOT/usr/bin/python3.14" ]; then
    echo "making the sid root in $CHROOT (about four and a half minutes)"
    $SUDO rm -rf "$CHROOT"
    mkdir -p "$(dirname "$CHROOT")"
    $SUDO debootstrap --variant=minbase --include="$BASE_PACKAGES" sid "$CHROOT" "$(mirror)" \
      >"$(dirname "$CHROOT")/debootstrap.log" 2>&1 ||
      { tail -n 30 "$(dirname "$CHROOT")/debootstrap.log"; exit 1; }
  fi
  # The mirror's unstable Release file may be past its Valid-Until date; apt would refuse it.
  echo 'Acquire::Check-Valid-Until "false";' | $SUDO tee "$CHROOT/etc/apt/apt.conf.d/99no-valid-until" >/dev/null
  $SUDO cp /etc/resolv.conf "$CHROOT/etc/resolv.conf"
  # shellcheck disable=SC2086
  run_inside bash -c "export DEBIAN_FRONTEND=noninteractive; apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends $EXTRA_PACKAGES >/dev/null && apt-get clean" \
    >"$(dirname "$CHROOT")/chroot-apt.log" 2>&1 ||
    { tail -n 30 "$(dirname "$CHROOT")/chroot-apt.log"; exit 1; }
  echo "$WANT" | $SUDO tee "$STAMP" >/dev/null
  echo "sid root ready in $((SECONDS - start)) s"
}

# A private mount namespace: the binds vanish with the command and never touch the host's mounts.
run_inside() {
  local ca=/etc/ssl/certs/ca-certificates.crt
  if [ -f "$ca" ]; then
    $SUDO mkdir -p "$CHROOT/etc/pyqelm"
    $SUDO cp "$ca" "$CHROOT/etc/pyqelm/host-ca.crt"
  fi
  $SUDO mkdir -p "$CHROOT/src"
  $SUDO env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM=dumb CI="${CI:-}" QUICK="${QUICK:-}" PYTEST_WORKERS="${PYTEST_WORKERS:-2}" \
    WINDOWS_PYTHONS="${WINDOWS_PYTHONS:-}" WINDOWS_GTEST_ONLY="${WINDOWS_GTEST_ONLY:-}" \
    PIP_CERT=/etc/pyqelm/host-ca.crt SSL_CERT_FILE=/etc/pyqelm/host-ca.crt \
    REQUESTS_CA_BUNDLE=/etc/pyqelm/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-180}" CMAKE_BUILD_PARALLEL_LEVEL=2 \
    unshare -m -p -f --mount-proc="$CHROOT/proc" \
    sh -c 'src=$0 root=$1; shift
           mount --bind "$src" "$root/src" && mount --bind /dev "$root/dev" &&
           mount -t tmpfs tmpfs "$root/dev/shm" && cd / && exec chroot "$root" "$@"' \
    "$PWD" "$CHROOT" "$@"
}

make_root
if [ "${1:-}" = run ]; then
  shift
  run_inside "$@"
fi
