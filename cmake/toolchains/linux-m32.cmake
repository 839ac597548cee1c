# 32-bit x86 Linux build on an x86-64 machine with gcc-multilib/g++-multilib, to run the
# library and its tests with 32-bit pointers and layouts.
#   cmake -S . -B build/m32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-m32.cmake \
#         -DPALVEX_GTEST_SOURCE_DIR=/usr/src/googletest
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(FIND_LIBRARY_USE_LIB32_PATHS ON)

# Only i386 packages may be offered; the x86-64 ones do not link.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
