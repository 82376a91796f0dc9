# What scripts/setup would bring onto a minimal Debian, set by set, as apt-get simulates it
# (scripts/setup --simulate, whose package state holds only the packages of priority
# required and their dependencies; the packages of the machine running this hide nothing). The
# demo's set must resolve and bring none of the test tools and no locale, even through
# dependencies; the test set must bring every one of them and the locales, and the emulator for
# machines that run no 32-bit programs (qemu-user, fetched from the release's backports).
#   cmake -DSETUP=path/to/scripts/setup -P setup_sets.cmake
cmake_minimum_required(VERSION 3.23)
set(test_tools googletest libbenchmark-dev clang libclang-rt-14-dev valgrind locales file
               g++-mingw-w64-x86-64-posix wine64 chromium python3 "locale ja_JP.UTF-8"
               "locale ja_JP.EUC-JP" qemu-user)

# The packages (and the locale) that scripts/setup --simulate SET would install.
function(simulate set result)
    execute_process(COMMAND bash "${SETUP}" --simulate ${set} OUTPUT_VARIABLE out
                    ERROR_VARIABLE err RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "the set ${set} does not resolve:\n${out}${err}")
    endif()
    string(REGEX MATCHALL "\n(Inst [^ \n]+|Generate locale [^ \n]+|Fetch [^ \n]+)" lines "\n${out}")
    set(installs "")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^\n(Inst |Generate |Fetch )" "" line "${line}")
        list(APPEND installs "${line}")
    endforeach()
    set(${result} "${installs}" PARENT_SCOPE)
endfunction()

set(problems "")
simulate(demo demo)
if(NOT demo MATCHES "(^|;)wine32:i386(;|$)")
    string(APPEND problems "the demo's set brings no 32-bit Wine (wine32:i386)\n")
endif()
foreach(tool IN LISTS test_tools)
    if(tool IN_LIST demo)
        string(APPEND problems "the demo's set brings ${tool}\n")
    endif()
endforeach()

simulate(test test)
foreach(tool IN LISTS test_tools)
    if(NOT tool IN_LIST test)
        string(APPEND problems "the test set lacks ${tool}\n")
    endif()
endforeach()

if(problems)
    message(FATAL_ERROR "${problems}")
endif()
message(STATUS "setup: the demo's set brings no test tools, the test set all of them")
