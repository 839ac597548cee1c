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
# The clips ffmpeg makes for the tests, made once for the plain and the sanitizer runs.
export PALVEX_TEST_CLIPS=$PWD/build/test-clips
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
# Every build here treats warnings as errors, the 32-bit and Windows ones as well.
export PALVEX_WERROR=ON

# Each "==" line starts a phase and says when (seconds since the start); the end lists how
# long each phase took, so that a CI log shows where the time goes.
phase_name=""
phase_start=0
phase_times=()
phase() {
  if [ -n "$phase_name" ]; then
    phase_times+=("$(printf '%5d s  %s' $((SECONDS - phase_start)) "$phase_name")")
  fi
  phase_name=$1
  phase_start=$SECONDS
  if [ -n "$1" ]; then echo "== $1 (at ${SECONDS} s)"; fi
}

phase "plain build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALVEX_BUILD_BENCH=ON -DPALVEX_WERROR=ON >/dev/null
cmake --build build/release -j "$JOBS"
phase "plain tests"
ctest --test-dir build/release --output-on-failure -j "$JOBS" -LE soak

phase "AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DPALVEX_SANITIZE=ON -DPALVEX_BUILD_TOOLS=ON \
  -DPALVEX_WERROR=ON >/dev/null
cmake --build build/asan -j "$JOBS"
phase "AddressSanitizer + UndefinedBehaviorSanitizer tests"
# The operator matrix and the short soak run in the plain build only: they drive the same
# code paths as the live and reload rows the sanitizers do run, for minutes of wall time.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS" -LE soak -E '^(Operators|Soak)/'

# The interface target drives the whole exported interface and gets a minute of its own;
# the others run FUZZ_SECONDS each, JOBS targets at a time. Each target's output goes to
# its own log, printed as one block when the target ends: the final stats when it passed,
# the whole log (the crash report) when it failed.
declare -A FUZZ_SECONDS_OF=([interface_fuzzer]=${INTERFACE_FUZZ_SECONDS:-60})
phase "fuzz build"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPALVEX_BUILD_FUZZ=ON -DPALVEX_BUILD_TESTS=OFF -DPALVEX_BUILD_TOOLS=OFF -DPALVEX_WERROR=ON >/dev/null
fuzz_targets=$(for f in fuzz/*_fuzzer.cc; do basename "$f" .cc; done)
# shellcheck disable=SC2086
cmake --build build/fuzz -j "$JOBS" --target $fuzz_targets
phase "fuzz targets, ${FUZZ_SECONDS} s each (interface_fuzzer ${FUZZ_SECONDS_OF[interface_fuzzer]} s), $JOBS at a time"
mkdir -p build/fuzz/logs build/fuzz/artifacts
declare -A fuzz_name_of=()
fuzz_running=0
fuzz_failed=0
# Prints the block of the target that ended (process id $1, exit status $2).
fuzz_report() {
  local name=${fuzz_name_of[$1]} log=build/fuzz/logs/${fuzz_name_of[$1]}.log
  if [ "$2" = 0 ]; then
    echo "-- $name, ${FUZZ_SECONDS_OF[$name]:-$FUZZ_SECONDS} s"
    tail -n 4 "$log"
  else
    echo "-- $name FAILED (exit status $2):"
    cat "$log"
    fuzz_failed=1
  fi
}
fuzz_wait() {
  local ended=0 status=0
  wait -n -p ended || status=$?
  fuzz_running=$((fuzz_running - 1))
  fuzz_report "$ended" "$status"
}
# The longest target first, so that the others run beside it.
for name in interface_fuzzer $(echo "$fuzz_targets" | grep -vx interface_fuzzer); do
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  while [ "$fuzz_running" -ge "$JOBS" ]; do fuzz_wait; done
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build/fuzz/fuzz/"$name" \
    -max_total_time="${FUZZ_SECONDS_OF[$name]:-$FUZZ_SECONDS}" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/ "$work" >build/fuzz/logs/"$name".log 2>&1 &
  fuzz_name_of[$!]=$name
  fuzz_running=$((fuzz_running + 1))
done
while [ "$fuzz_running" -gt 0 ]; do fuzz_wait; done
if [ "$fuzz_failed" != 0 ]; then
  echo "a fuzz target failed; its input is in build/fuzz/artifacts/" >&2
  exit 1
fi

phase "32-bit: Linux -m32 and Windows under Wine"
bash scripts/test-32bit.sh build/release
phase ""
echo "== time per phase (${SECONDS} s in all)"
printf '%s\n' "${phase_times[@]}"
echo "all tests passed"
