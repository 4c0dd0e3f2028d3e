# CMake toolchain file: Windows x86-64 with Debian's mingw-w64 cross compiler
# (g++-mingw-w64-x86-64-posix: GCC with the POSIX thread model, so that
# std::thread and std::mutex work; GCC 12 has no <format>).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=platform/mingw-w64.cmake
# Everything is linked statically (libgcc, libstdc++, winpthreads): the
# executable and the packages need only the system's DLLs. Packages built
# elsewhere must use the same compiler and runtime (see plugins/TelvaneSdk.h).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TELVANE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TELVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TELVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TELVANE_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TELVANE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# localtime_r and gmtime_r (on top of localtime_s) from mingw's <time.h>.
set(CMAKE_C_FLAGS_INIT "-D_POSIX_THREAD_SAFE_FUNCTIONS")
set(CMAKE_CXX_FLAGS_INIT "-D_POSIX_THREAD_SAFE_FUNCTIONS")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
