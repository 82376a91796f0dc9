# Cross toolchain for the 64-bit Windows build: MinGW-w64 for x86-64, with Wine's 64-bit
# loader running whatever the build must execute (see mingw-w64.cmake). It runs the Windows
# code and its tests where 32-bit programs cannot run; the product stays the 32-bit build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PILRO_MINGW_PREFIX x86_64-w64-mingw32)
set(PILRO_MINGW_PACKAGE g++-mingw-w64-x86-64-posix)
# Debian keeps the 64-bit loader out of PATH, and /usr/bin/wine starts the 32-bit one wherever
# wine32 is installed, whether or not the kernel can run it: wine-run is given the loader.
set(PILRO_WINE_NAMES wine64)
set(PILRO_WINE_PATHS /usr/lib/wine)
set(PILRO_WINE_PACKAGES "apt-get install wine wine64")
set(PILRO_WINE_BY_PATH ON)
set(PILRO_SETUP_SET test)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
