# Cross build for 64-bit Windows with MinGW-w64 (posix thread model) from
# Debian. Pass the Qt built for it as RUDIREZE_WINDOWS_QT (scripts/build-windows.sh
# does, from scripts/build-windows-qt.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw}-windres)

if(NOT RUDIREZE_WINDOWS_QT)
    set(RUDIREZE_WINDOWS_QT $ENV{RUDIREZE_WINDOWS_QT})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${mingw} ${RUDIREZE_WINDOWS_QT})
set(CMAKE_PREFIX_PATH ${RUDIREZE_WINDOWS_QT})
set(Qt5_DIR ${RUDIREZE_WINDOWS_QT}/lib/cmake/Qt5)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe each: the MinGW runtime (libstdc++, libgcc, winpthread) linked in,
# so nothing needs its DLLs beside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and tools built here run under Wine.
find_program(RUDIREZE_WINE wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(RUDIREZE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${RUDIREZE_WINE})
endif()
