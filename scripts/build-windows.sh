#!/usr/bin/env bash
# Cross-builds palvex for 32-bit Windows with Debian's mingw-w64 toolchain: palvex.dll
# (C++ runtime linked in, it needs only system DLLs), its import library libpalvex.dll.a,
# and the static media classes libpalvex_media.a; then lists the DLL's exports.
#   scripts/build-windows.sh [build-dir]     default build/windows
# With PALVEX_WINDOWS_TESTS=ON the unit tests and the host program are built as well
# (GoogleTest from Debian's sources in /usr/src/googletest); run them with ctest, which
# starts them under Wine. PALVEX_BUILD_TYPE chooses the CMake build type (default Release),
# PALVEX_WERROR=ON treats warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
palvex_ensure_packages cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest

dir=${1:-build/windows}
tests=${PALVEX_WINDOWS_TESTS:-OFF}
type=${PALVEX_BUILD_TYPE:-Release}
werror=${PALVEX_WERROR:-OFF}
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake \
  -DCMAKE_BUILD_TYPE="$type" -DPALVEX_BUILD_TOOLS=OFF -DPALVEX_BUILD_TESTS="$tests" \
  -DPALVEX_WERROR="$werror" -DPALVEX_GTEST_SOURCE_DIR=/usr/src/googletest >/dev/null
cmake --build "$dir" -j "$(nproc)"

echo "$dir/palvex.dll imports:" $(i686-w64-mingw32-objdump -p "$dir/palvex.dll" | sed -n 's/^\tDLL Name: //p')
echo "$dir/palvex.dll exports:"
i686-w64-mingw32-objdump -p "$dir/palvex.dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] /  /p'
