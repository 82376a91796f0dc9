# Cross toolchain for the 32-bit Windows build: MinGW-w64 for i686, posix thread model (the
# test framework needs std::mutex), with Wine running whatever the build must execute.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(PILRO_MINGW_PREFIX i686-w64-mingw32)
find_program(PILRO_MINGW_CXX NAMES ${PILRO_MINGW_PREFIX}-g++-posix)
find_program(PILRO_MINGW_CC NAMES ${PILRO_MINGW_PREFIX}-gcc-posix)
find_program(PILRO_MINGW_RC NAMES ${PILRO_MINGW_PREFIX}-windres)
if(NOT PILRO_MINGW_CXX OR NOT PILRO_MINGW_CC OR NOT PILRO_MINGW_RC)
    message(FATAL_ERROR
        "The MinGW-w64 i686 cross compiler (posix thread model) was not found. "
        "Install it with: apt-get install g++-mingw-w64-i686-posix (or run scripts/setup demo).")
endif()
set(CMAKE_C_COMPILER ${PILRO_MINGW_CC})
set(CMAKE_CXX_COMPILER ${PILRO_MINGW_CXX})
set(CMAKE_RC_COMPILER ${PILRO_MINGW_RC})

set(CMAKE_FIND_ROOT_PATH /usr/${PILRO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(PILRO_WINE NAMES wine)
if(NOT PILRO_WINE)
    message(FATAL_ERROR "Wine was not found; the Windows build runs its tests under it. "
        "Install it with: dpkg --add-architecture i386 && apt-get update && "
        "apt-get install wine wine32:i386 (or run scripts/setup demo).")
endif()
# The Wine prefix the build's programs run in: a quiet, private one, made by its first start.
# Each takes half a gigabyte, most of it system DLLs, so the presets give the Windows trees of
# a checkout one between them (build/wineprefix); elsewhere it lies inside the build tree.
if(NOT PILRO_WINEPREFIX)
    set(PILRO_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
endif()
set(PILRO_WINEPREFIX "${PILRO_WINEPREFIX}" CACHE PATH "Wine prefix for the build's programs")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;${PILRO_WINEPREFIX}")
