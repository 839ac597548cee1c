#!/usr/bin/env bash
# The 32-bit targets: the library and its unit tests built with -m32 and run on Linux;
# palvex.dll and the unit tests cross-built with mingw-w64 and run under Wine; and one
# H.264 + AAC clip's frames muxed by a host program through palvex.dll under Wine, through
# the -m32 libpalvex.so and through the native one, and by a host built for the Visual C++
# ABI (clang and lld-link, no Visual C++ runtime) through palvex.dll under Wine, whose
# outputs must be equal byte for byte.
#   scripts/test-32bit.sh [native-build-dir]   default build/release, built with the tools
# Build trees: build/m32 and build/windows (PALVEX_M32_BUILD, PALVEX_WINDOWS_BUILD).
# Warnings are errors unless PALVEX_WERROR=OFF.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
palvex_ensure_i386
palvex_ensure_packages "${PALVEX_32BIT_PACKAGES[@]}"

JOBS=$(nproc)
native=${1:-build/release}
m32=${PALVEX_M32_BUILD:-build/m32}
win=${PALVEX_WINDOWS_BUILD:-build/windows}
export PALVEX_WERROR=${PALVEX_WERROR:-ON}
# Each step says when it starts, in seconds since this script began.
step() { echo "-- $1 (at ${SECONDS} s)"; }

step "Linux -m32: library and unit tests"
# RelWithDebInfo as the other test builds (GCC 12 at -O3 reports a bogus
# -Wfree-nonheap-object in std::vector copies of the tests).
cmake -S . -B "$m32" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-m32.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALVEX_BUILD_TOOLS=OFF -DPALVEX_WERROR="$PALVEX_WERROR" \
  -DPALVEX_GTEST_SOURCE_DIR=/usr/src/googletest >/dev/null
cmake --build "$m32" -j "$JOBS" >/dev/null
# The install check builds a consumer for the build machine, which cannot link 32-bit code.
ctest --test-dir "$m32" --output-on-failure -j "$JOBS" -LE 'soak|install' | tail -n 12

step "Windows: palvex.dll, unit tests under Wine"
PALVEX_WINDOWS_TESTS=ON PALVEX_BUILD_TYPE=RelWithDebInfo bash scripts/build-windows.sh "$win" | grep -v '^\[\|^-- ' || true
# A prefix of its own, made before any test runs; no Mono/Gecko installers, no debug noise.
export WINEPREFIX=$PWD/$win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i >/dev/null 2>&1
ctest --test-dir "$win" --output-on-failure -j "$JOBS" | tail -n 12

step "one clip through palvex.dll under Wine, the -m32 and the native libpalvex.so"
cmake --build "$native" -j "$JOBS" --target palvex palvex-host palvex-dump-frames >/dev/null
work=$win/host-check
mkdir -p "$work"
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -t 4 -c:v libx264 -profile:v high -bf 3 -g 50 -pix_fmt yuv420p -c:a aac -b:a 96k "$work/clip.mp4"
"$native/tests/windows/palvex-dump-frames" "$work/clip.mp4" "$work/frames.bin"
"$native/tests/windows/palvex-host" "$native/libpalvex.so" "$work/frames.bin" "$work/native.ts" | grep -v '^call stop'
"$m32/tests/windows/palvex-host" "$m32/libpalvex.so" "$work/frames.bin" "$work/m32.ts" | grep -v '^call stop'
wine "$win/tests/windows/palvex-host.exe" "$win/palvex.dll" "$work/frames.bin" "$work/windows.ts" |
  tr -d '\r' | grep -v '^call stop'
# The Visual C++-ABI host: compiled freestanding (it declares kernel32 and the interfaces
# itself), linked against an import library made from kernel32.def, without any C runtime.
msvc=$win/msvc-host
mkdir -p "$msvc"
werror=()
if [ "$PALVEX_WERROR" = ON ]; then werror=(-Werror); fi
clang --target=i686-pc-windows-msvc -std=c++17 -O2 -ffreestanding -nostdinc -fno-exceptions -fno-rtti \
  -Wall -Wextra "${werror[@]}" -c tests/windows/visual_cpp_host.cc -o "$msvc/host.obj"
llvm-dlltool -m i386 -k -d tests/windows/kernel32.def -l "$msvc/kernel32.lib"
lld-link /nologo /nodefaultlib /entry:HostEntry /subsystem:console /out:"$msvc/palvex-msvc-host.exe" \
  "$msvc/host.obj" "$msvc/kernel32.lib"
wine "$msvc/palvex-msvc-host.exe" "$win/palvex.dll" "$work/frames.bin" "$work/msvc.ts" |
  tr -d '\r' | grep -v '^call stop'
size=$(stat -c %s "$work/native.ts")
if [ "$size" -lt $((188 * 200)) ]; then
  echo "the native host wrote only $size bytes" >&2
  exit 1
fi
cmp "$work/native.ts" "$work/m32.ts"
cmp "$work/native.ts" "$work/windows.ts"
cmp "$work/native.ts" "$work/msvc.ts"
echo "equal byte for byte: $size bytes, md5 $(md5sum < "$work/windows.ts" | cut -d' ' -f1)"
