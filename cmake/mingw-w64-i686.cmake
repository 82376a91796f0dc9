# Cross toolchain for the 32-bit Windows build, which makes the product: MinGW-w64 for i686,
# with Wine's 32-bit part running whatever the build must execute (see mingw-w64.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PILRO_MINGW_PREFIX i686-w64-mingw32)
set(PILRO_MINGW_PACKAGE g++-mingw-w64-i686-posix)
# /usr/bin/wine: Debian's script, which starts the 32-bit loader wherever wine32 is installed.
set(PILRO_WINE_NAMES wine)
set(PILRO_WINE_PATHS "")
set(PILRO_WINE_PACKAGES
    "dpkg --add-architecture i386 && apt-get update && apt-get install wine wine32:i386")
set(PILRO_WINE_BY_PATH OFF)
set(PILRO_SETUP_SET demo)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
