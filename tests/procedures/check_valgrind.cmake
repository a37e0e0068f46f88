# Runs each of PROGRAMS (comma-separated; brenvik gets /wl:DISABLE /ws:DISABLE) against a copy
# of each of MACHINES under valgrind's memcheck, and fails on any error valgrind reports.
string(REPLACE "," ";" programs "${PROGRAMS}")
string(REPLACE "," ";" machines "${MACHINES}")
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
foreach(machine ${machines})
    foreach(program ${programs})
        configure_file(${machine} ${SCRATCH}/machine.json COPYONLY)
        set(args "")
        if(program MATCHES "brenvik$")
            set(args /wl:DISABLE /ws:DISABLE)
        endif()
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env SIMBOOK=${SCRATCH}/machine.json
                    SIMBOOK_TRACE=${SCRATCH}/trace.jsonl
                    ${VALGRIND} --quiet --error-exitcode=99 --leak-check=full
                    --errors-for-leak-kinds=definite,indirect --suppressions=${SUPPRESSIONS}
                    ${program} ${args}
            RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE err)
        if(result EQUAL 99 OR err MATCHES "==[0-9]+==")
            message(FATAL_ERROR "valgrind: ${program} on ${machine}:\n${err}")
        endif()
    endforeach()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
