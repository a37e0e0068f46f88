# Runs a procedure over every ready machine with simbook run --each all (two rows at a time on
# Linux), its expectations and JUnit XML (WINDOWS: the Windows build's programs under Wine, in a Wine cache of its own), and
# fails unless every row passed, the JUnit file validates, and the ready machines are unchanged.
file(GLOB machine_files ${MACHINES}/*.json)
set(before "")
foreach(f ${machine_files})
    file(SHA256 ${f} sum)
    list(APPEND before "${f}=${sum}")
endforeach()

# On Linux the rows run two at a time, as CI runs them: the table must pass all the same.
set(windows_args -j 2)
set(env "")
if(WINDOWS)
    set(windows_args --windows ${WINDOWS})
    set(env ${CMAKE_COMMAND} -E env XDG_CACHE_HOME=${CACHE})
endif()
file(REMOVE ${JUNIT})
execute_process(COMMAND ${env} ${SIMBOOK} run --each all --expect ${EXPECT} --junit ${JUNIT}
                        ${windows_args} -- ${PROCEDURE}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "simbook run --each all exited with ${result}")
endif()

find_program(XMLLINT xmllint REQUIRED)
execute_process(COMMAND ${XMLLINT} --noout --schema ${XSD} ${JUNIT}
                RESULT_VARIABLE valid ERROR_VARIABLE why)
if(NOT valid EQUAL 0)
    message(FATAL_ERROR "${JUNIT} is not valid JUnit XML: ${why}")
endif()

set(after "")
foreach(f ${machine_files})
    file(SHA256 ${f} sum)
    list(APPEND after "${f}=${sum}")
endforeach()
if(NOT before STREQUAL after)
    message(FATAL_ERROR "a ready machine file changed")
endif()
