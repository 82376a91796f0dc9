# Several processes append to one log through one module file at the same moment; the log
# must hold every entry of every process, whole.
#   cmake -DCHILD=... -DMODULE=... -DDIR=... -DPROCESSES=4 -DCOUNT=250
#         [-DEMULATOR=wine-run;prefix] [-DPATH_PREFIX=Z:] -P stress.cmake
file(REMOVE_RECURSE "${DIR}")
file(MAKE_DIRECTORY "${DIR}")
get_filename_component(module_name "${MODULE}" NAME)
file(COPY "${MODULE}" DESTINATION "${DIR}")
set(module "${PATH_PREFIX}${DIR}/${module_name}")
set(log "${PATH_PREFIX}${DIR}/pilro.txt")

# The commands of one execute_process run side by side (as a pipeline); none reads its input.
set(commands)
math(EXPR last "${PROCESSES} - 1")
foreach(id RANGE ${last})
    list(APPEND commands COMMAND ${EMULATOR} "${CHILD}" "${module}" "${id}" "${COUNT}")
endforeach()
execute_process(${commands} RESULTS_VARIABLE results ERROR_VARIABLE errors)
# Wine's server kills a process (SIGKILL) that is still there a second after its last thread
# ended, which under an emulator on a busy machine one now and then is. Its work is done by
# then, its detach entry written: the log's check below tells that from a process killed any
# earlier, which fails it.
set(killed_late 0)
foreach(result IN LISTS results)
    if(result STREQUAL "Subprocess killed" AND DEFINED ENV{PILRO_EMULATED})
        math(EXPR killed_late "${killed_late} + 1")
    elseif(NOT result EQUAL 0)
        message(FATAL_ERROR "a stress process failed (${results}; the log is kept in ${DIR}):\n${errors}")
    endif()
endforeach()

execute_process(COMMAND ${EMULATOR} "${CHILD}" --verify "${log}" ${PROCESSES} ${COUNT}
                RESULT_VARIABLE verified OUTPUT_VARIABLE summary ERROR_VARIABLE problems)
message(STATUS "${summary}")
if(NOT verified EQUAL 0)
    if(killed_late)
        message(FATAL_ERROR "${killed_late} stress processes were killed before they had ended, "
                            "and the log lost or mixed entries (kept in ${DIR}):\n${problems}")
    endif()
    message(FATAL_ERROR "the log lost or mixed entries (kept in ${DIR}):\n${problems}")
endif()
if(killed_late)
    message(STATUS "${killed_late} stress processes were killed as they ended, each after its "
                   "detach entry: Wine's server ends a process that is slow to go once its "
                   "threads have ended, as under the emulator ($ENV{PILRO_EMULATED}) it can be. "
                   "The emulator's slowness, not the module's fault.")
endif()
file(REMOVE_RECURSE "${DIR}")
