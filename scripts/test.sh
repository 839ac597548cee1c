#!/usr/bin/env bash
# Builds palvex and runs every test: the suite plain, the suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer, each fuzz target for a few seconds, and the
# 32-bit builds: Linux -m32, and palvex.dll with its tests under Wine (scripts/test-32bit.sh).
# Installs what is missing on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
palvex_ensure_packages "${PALVEX_BUILD_PACKAGES[@]}"
palvex_ensure_vlc_user

JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
# Every build here treats warnings as errors, the 32-bit and Windows ones as well.
export PALVEX_WERROR=ON

echo "== plain build and tests"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALVEX_BUILD_BENCH=ON -DPALVEX_WERROR=ON >/dev/null
cmake --build build/release -j "$JOBS"
ctest --test-dir build/release --output-on-failure -j "$JOBS" -LE soak

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DPALVEX_SANITIZE=ON -DPALVEX_BUILD_TOOLS=ON \
  -DPALVEX_WERROR=ON >/dev/null
cmake --build build/asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS" -LE soak

# The interface target drives the whole exported interface and gets a minute of its own;
# the others run FUZZ_SECONDS each.
declare -A FUZZ_SECONDS_OF=([interface_fuzzer]=${INTERFACE_FUZZ_SECONDS:-60})
echo "== fuzz targets, ${FUZZ_SECONDS} s each (interface_fuzzer ${FUZZ_SECONDS_OF[interface_fuzzer]} s)"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPALVEX_BUILD_FUZZ=ON -DPALVEX_BUILD_TESTS=OFF -DPALVEX_BUILD_TOOLS=OFF -DPALVEX_WERROR=ON >/dev/null
fuzz_targets=$(for f in fuzz/*_fuzzer.cc; do basename "$f" .cc; done)
# shellcheck disable=SC2086
cmake --build build/fuzz -j "$JOBS" --target $fuzz_targets
for fuzzer in build/fuzz/fuzz/*_fuzzer; do
  name=$(basename "$fuzzer")
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  seconds=${FUZZ_SECONDS_OF[$name]:-$FUZZ_SECONDS}
  echo "-- $name, $seconds s"
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$work" 2>&1 | tail -n 4
done

echo "== 32-bit: Linux -m32 and Windows under Wine"
bash scripts/test-32bit.sh build/release
echo "all tests passed"
