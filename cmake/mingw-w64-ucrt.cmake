# Cross-building for 64-bit Windows with MinGW-w64 on its UCRT flavour: CPython for Windows uses
# the UCRT, so the module shares the interpreter's C runtime (one environment, one set of file
# descriptors, one stderr). The C++ runtime, libgcc and winpthread are linked in statically, so
# the .pyd and .exe need only system DLLs and python3XX.dll.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-ucrt.cmake ...
#
# Programs built here (the GoogleTest suites through ctest) run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PYQELM_MINGW_PREFIX x86_64-w64-mingw32ucrt CACHE STRING "Target triple of the MinGW-w64 UCRT tools")
set(CMAKE_C_COMPILER ${PYQELM_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${PYQELM_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${PYQELM_MINGW_PREFIX}-windres)

# Libraries, headers and packages come from the target's prefixes only (the toolchain's own and
# any given with -DCMAKE_FIND_ROOT_PATH); programs from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${PYQELM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(PYQELM_WINE NAMES wine wine64)
if(PYQELM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PYQELM_WINE})
endif()
