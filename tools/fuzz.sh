#!/usr/bin/env bash
# Builds the decoder fuzz target with clang (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs it for a bounded time on a copy of the seed corpus. Exits non-zero on any
# finding, leaving the crashing input and the log in the printed directory.
#
#   FUZZ_SECONDS   length of the run (default 60)
#   FUZZ_BUILD     build directory (default build/fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
# Temporary files stay in the checkout, never in the system's /tmp.
export TMPDIR=$PWD/build/tmp
mkdir -p "$TMPDIR"

SECONDS_TO_RUN=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD:-build/fuzz}

# clang and its fuzzer and sanitizer runtimes come from the system packages. Debian 12's
# default clang (14) lacks the builtin that std::source_location of GCC 12's library needs;
# clang 16 has it, and its runtimes are packaged separately.
CXX_FUZZ=${CXX_FUZZ:-clang++-16}
fuzzer_links() {
  command -v "$CXX_FUZZ" >/dev/null 2>&1 || return 1
  local probe
  probe=$(mktemp -d)
  cat >"$probe/probe.cpp" <<'CPP'
#include <source_location>
extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) {
    return static_cast<int>(std::source_location::current().line()) - 3;
}
CPP
  "$CXX_FUZZ" -std=c++20 -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1
  local status=$?
  rm -rf "$probe"
  return $status
}
if ! fuzzer_links; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-16 libclang-rt-16-dev >/dev/null
  fuzzer_links || { echo "fuzz.sh: $CXX_FUZZ cannot build a libFuzzer target" >&2; exit 2; }
fi

GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)
cmake -S . -B "$BUILD" "${GENERATOR[@]}" -DCMAKE_CXX_COMPILER="$CXX_FUZZ" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYQELM_FUZZ=ON -DPYQELM_BUILD_MODULE=OFF \
  -DPYQELM_BUILD_INSPECT=OFF -DPYQELM_BUILD_TESTS=OFF -DPYQELM_WERROR=ON >/dev/null
cmake --build "$BUILD" --target decode_fuzzer

# libFuzzer adds what it finds to the first corpus directory: give it a copy, so the tree
# stays as it is.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qelm-fuzz.XXXXXX")
mkdir "$WORK/corpus"
cp protocols/fuzz/corpus/* "$WORK/corpus/"

set +e
# intercept_tls_get_addr=0: see LEAK_OPTIONS in tools/test-sanitizers.sh.
ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:intercept_tls_get_addr=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
"$BUILD/protocols/fuzz/decode_fuzzer" "$WORK/corpus" \
  -max_total_time="$SECONDS_TO_RUN" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$WORK/" >"$WORK/fuzz.log" 2>&1
status=$?
set -e

grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb)' \
  "$WORK/fuzz.log" || true
if [ "$status" -ne 0 ]; then
  tail -n 60 "$WORK/fuzz.log" >&2
  echo "fuzz.sh: finding (exit $status); input and log kept in $WORK" >&2
  exit 1
fi
rm -rf "$WORK"
echo "fuzz.sh: no findings in ${SECONDS_TO_RUN} s"
