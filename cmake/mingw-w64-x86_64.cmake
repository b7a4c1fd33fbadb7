# Cross-compiling for 64-bit Windows with MinGW-w64 (Debian's packages), the
# tests running under Wine through CTest's emulator setting.
#
#   cmake -S . -B build-win --toolchain cmake/mingw-w64-x86_64.cmake
#
# The posix threading flavour of the compilers is used: GCC 12's win32 flavour
# has no std::thread / std::mutex, which the tests use. The library itself
# calls the Windows API directly and needs neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_psp_mingw x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${_psp_mingw}-gcc-posix ${_psp_mingw}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_psp_mingw}-g++-posix ${_psp_mingw}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_psp_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_psp_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL carry their own copies of the GCC runtime, the C++
# library and winpthreads, so nothing but Windows' own DLLs must be found at
# run time, under Wine or on a Windows machine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Tests run under Wine in a prefix of the build tree's own (made on first
# use), quiet, with the build tree on the DLL search path so the test
# programs find psp.dll. Wine's debugger is kept from starting on a crash (it
# can hang there): a crashed program just ends with its exception code.
find_program(PSP_WINE NAMES wine64 wine)
find_program(PSP_WINESERVER NAMES wineserver PATHS /usr/lib/wine)
if(PSP_WINE AND PSP_WINESERVER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env
      "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" WINEDEBUG=-all
      "WINEPATH=${CMAKE_BINARY_DIR}" WINEDLLOVERRIDES=mscoree,mshtml,winedbg.exe=d
      "PSP_WINE=${PSP_WINE}" "WINESERVER=${PSP_WINESERVER}"
      sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
