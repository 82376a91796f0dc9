# What the MinGW-w64 toolchains share: the posix thread model's compilers (the test framework
# needs std::mutex), the target's own libraries and headers, and a Wine to run whatever the
# build must execute, in a prefix of the build's. The toolchain that includes this names:
#   PILRO_MINGW_PREFIX   the compilers' prefix, e.g. i686-w64-mingw32
#   PILRO_MINGW_PACKAGE  the Debian package that brings them
#   PILRO_WINE_NAMES     the Wine loader's names, PILRO_WINE_PATHS where else to look for it
#   PILRO_WINE_PACKAGES  the command that installs Wine for this target
#   PILRO_WINE_BY_PATH   ON where cmake/wine-run must start the loader found (--loader)
#   PILRO_SETUP_SET      the set of scripts/setup that installs both
# and leaves PILRO_WINE_OPTIONS: what cmake/wine-run and cmake/wine-clone take before the prefix.
set(CMAKE_SYSTEM_NAME Windows)

find_program(PILRO_MINGW_CXX NAMES ${PILRO_MINGW_PREFIX}-g++-posix)
find_program(PILRO_MINGW_CC NAMES ${PILRO_MINGW_PREFIX}-gcc-posix)
find_program(PILRO_MINGW_RC NAMES ${PILRO_MINGW_PREFIX}-windres)
if(NOT PILRO_MINGW_CXX OR NOT PILRO_MINGW_CC OR NOT PILRO_MINGW_RC)
    message(FATAL_ERROR
        "The MinGW-w64 cross compiler ${PILRO_MINGW_PREFIX}-g++-posix (posix thread model) "
        "was not found. "
        "Install it with: apt-get install ${PILRO_MINGW_PACKAGE} (or run scripts/setup ${PILRO_SETUP_SET}).")
endif()
set(CMAKE_C_COMPILER ${PILRO_MINGW_CC})
set(CMAKE_CXX_COMPILER ${PILRO_MINGW_CXX})
set(CMAKE_RC_COMPILER ${PILRO_MINGW_RC})

set(CMAKE_FIND_ROOT_PATH /usr/${PILRO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(PILRO_WINE NAMES ${PILRO_WINE_NAMES} PATHS ${PILRO_WINE_PATHS})
if(NOT PILRO_WINE)
    message(FATAL_ERROR "Wine (${PILRO_WINE_NAMES}) was not found; the Windows build runs its "
        "tests under it. Install it with: ${PILRO_WINE_PACKAGES} (or run scripts/setup ${PILRO_SETUP_SET}).")
endif()
# The Wine prefix the build's programs run in: a quiet, private one, made by its first start.
# Each takes half a gigabyte, most of it system DLLs, so the presets give the Windows trees of
# a checkout one between them for each word size (build/wineprefix, build/wineprefix64: Wine
# makes a prefix for the loader that first starts in it); elsewhere it lies inside the build
# tree.
if(NOT PILRO_WINEPREFIX)
    set(PILRO_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
endif()
set(PILRO_WINEPREFIX "${PILRO_WINEPREFIX}" CACHE PATH "Wine prefix for the build's programs")
set(PILRO_WINE_OPTIONS "")
if(PILRO_WINE_BY_PATH)
    list(APPEND PILRO_WINE_OPTIONS --loader "${PILRO_WINE}")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run" ${PILRO_WINE_OPTIONS} "${PILRO_WINEPREFIX}")
