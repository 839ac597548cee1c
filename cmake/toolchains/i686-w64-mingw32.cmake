# Cross build for 32-bit Windows with Debian's mingw-w64 toolchain (g++-mingw-w64-i686).
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
# The C++ runtime (libstdc++, libgcc, winpthread) is linked statically, so that the DLL
# and the programs need nothing beyond the DLLs that come with Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(PALVEX_MINGW_PREFIX i686-w64-mingw32)
# The posix thread model: GCC 12's win32 model has no std::mutex, which GoogleTest needs.
# winpthread is linked statically like the rest of the runtime.
set(CMAKE_C_COMPILER ${PALVEX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PALVEX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PALVEX_MINGW_PREFIX}-windres)
set(CMAKE_AR ${PALVEX_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PALVEX_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${PALVEX_MINGW_PREFIX}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${PALVEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine.
find_program(PALVEX_WINE wine)
if(PALVEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PALVEX_WINE})
endif()

# pkg-config would otherwise offer the build machine's Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_FIND_ROOT_PATH}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
