# Starts the build's Wine prefix once (the first start makes it, which takes a while) and checks
# that it was made for the build's kind of programs, and that a prefix of the other kind is
# refused before Wine starts in it: the 32-bit and the 64-bit builds never share one.
#   cmake "-DEMULATOR=wine-run;...;prefix" -DARCH=win32|win64 -DDIR=scratch -P wine_prefix.cmake
execute_process(COMMAND ${EMULATOR} cmd /c exit 0 RESULT_VARIABLE started)
if(NOT started EQUAL 0)
    message(FATAL_ERROR "Wine did not start in its prefix (status ${started})")
endif()
list(GET EMULATOR -1 prefix)
file(STRINGS "${prefix}/system.reg" made_for REGEX "^#arch=" LIMIT_COUNT 1)
if(NOT made_for STREQUAL "#arch=${ARCH}")
    message(FATAL_ERROR "${prefix} was made for ${made_for}, not for ${ARCH} programs")
endif()

if(ARCH STREQUAL win32)
    set(other win64)
else()
    set(other win32)
endif()
file(REMOVE_RECURSE "${DIR}")
file(WRITE "${DIR}/other/system.reg" "WINE REGISTRY Version 2\n#arch=${other}\n")
list(REMOVE_AT EMULATOR -1)
execute_process(COMMAND ${EMULATOR} "${DIR}/other" cmd /c exit 0 RESULT_VARIABLE refused
                ERROR_VARIABLE said)
if(refused EQUAL 0 OR NOT said MATCHES "was made for ${other} programs")
    message(FATAL_ERROR "a prefix made for ${other} programs was not refused (${refused}): ${said}")
endif()
file(GLOB left RELATIVE "${DIR}/other" "${DIR}/other/*")
if(NOT left STREQUAL "system.reg")
    message(FATAL_ERROR "Wine started in the prefix made for ${other} programs: ${left}")
endif()
file(REMOVE_RECURSE "${DIR}")
