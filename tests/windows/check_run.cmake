# Runs a Windows program through capture_run and compares its full exit code and the exact
# bytes of its standard output (and, when EXPECT_STDERR_HEX is given, of its standard error).
#
#   cmake -DEMULATOR=<wine> -DLAUNCHER=<capture_run.exe> -DPROGRAM=<name.exe>
#         -DARGS=<arg;arg...> -DEXPECT_EXIT=<signed decimal> -DEXPECT_STDOUT_HEX=<hex>
#         [-DEXPECT_STDERR_HEX=<hex>] -DWORKING_DIRECTORY=<dir> -P check_run.cmake
#
# ARGS entries may not be empty (a CMake list cannot carry an empty element through -D).
foreach(var LAUNCHER PROGRAM EXPECT_EXIT WORKING_DIRECTORY)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_run: ${var} not set")
    endif()
endforeach()

string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${EMULATOR} ${LAUNCHER} ${PROGRAM} ${args}
                WORKING_DIRECTORY ${WORKING_DIRECTORY}
                OUTPUT_VARIABLE report
                ERROR_VARIABLE diagnostics
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "capture_run failed (${rc}) running ${PROGRAM} ${args}:\n"
                        "${report}${diagnostics}")
endif()

if(NOT report MATCHES "^exit=(-?[0-9]+) \\(0x[0-9a-f]+\\)\nstdout=([0-9a-f]*)\nstderr=([0-9a-f]*)\n$")
    message(FATAL_ERROR "unreadable report from capture_run:\n${report}")
endif()
set(exit_code ${CMAKE_MATCH_1})
set(stdout_hex "${CMAKE_MATCH_2}")
set(stderr_hex "${CMAKE_MATCH_3}")

set(failures "")
if(NOT exit_code EQUAL EXPECT_EXIT)
    string(APPEND failures "\n  exit code: expected ${EXPECT_EXIT}, got ${exit_code}")
endif()
if(NOT stdout_hex STREQUAL "${EXPECT_STDOUT_HEX}")
    string(APPEND failures "\n  stdout: expected [${EXPECT_STDOUT_HEX}]\n          got      [${stdout_hex}]")
endif()
if(DEFINED EXPECT_STDERR_HEX AND NOT stderr_hex STREQUAL "${EXPECT_STDERR_HEX}")
    string(APPEND failures "\n  stderr: expected [${EXPECT_STDERR_HEX}]\n          got      [${stderr_hex}]")
endif()
if(failures)
    message(FATAL_ERROR "${PROGRAM} ${args}:${failures}")
endif()
message(STATUS "${PROGRAM} ${args}: exit ${exit_code}, stdout [${stdout_hex}]")
