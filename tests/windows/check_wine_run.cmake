# Runs a Windows program through scripts/wine-run on a machine file of its own and checks the
# runner's contract: the exact standard output bytes, the exit status (low byte), the trace's
# first line naming the run and its arguments and its final exit line with the full status, standard error, what the machine file holds afterwards,
# and that the run left no wineserver behind.
#
#   cmake -DRUNNER=<scripts/wine-run> -DPROGRAM=<bin/x.exe> [-DARGS=a|b] -DSCRATCH=<dir>
#         -DCACHE=<XDG_CACHE_HOME> [-DMACHINE=<json text>] -DEXPECT_STATUS=<signed decimal>
#         -DEXPECT_STDOUT_HEX=<hex> [-DEXPECT_STDERR=<regex>] [-DEXPECT_MACHINE=<regex>]
#         -P check_wine_run.cmake
foreach(var RUNNER PROGRAM SCRATCH CACHE EXPECT_STATUS EXPECT_STDOUT_HEX)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_wine_run: ${var} not set")
    endif()
endforeach()

file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
set(machine ${SCRATCH}/machine.json)
set(trace ${SCRATCH}/trace.jsonl)
if(DEFINED MACHINE)
    file(WRITE ${machine} "${MACHINE}")
else()
    file(WRITE ${machine} "{}")
endif()
string(REPLACE "|" ";" args "${ARGS}")

execute_process(COMMAND ${CMAKE_COMMAND} -E env SIMBOOK=${machine} SIMBOOK_TRACE=${trace}
                        XDG_CACHE_HOME=${CACHE} XDG_STATE_HOME=${SCRATCH}/state
                        ${RUNNER} ${PROGRAM} ${args}
                OUTPUT_FILE ${SCRATCH}/stdout ERROR_VARIABLE stderr RESULT_VARIABLE rc
                INPUT_FILE /dev/null)
file(READ ${SCRATCH}/stdout stdout_hex HEX)
# Preparing the prefix announces itself once; that line is the runner's, not the program's.
string(REGEX REPLACE "wine-run: preparing the Wine prefix[^\n]*\n" "" stderr "${stderr}")

set(failures "")
math(EXPR low_byte "(${EXPECT_STATUS}) & 255")
if(NOT rc EQUAL low_byte)
    string(APPEND failures "\n  exit status: expected ${low_byte}, got ${rc}")
endif()
if(NOT stdout_hex STREQUAL "${EXPECT_STDOUT_HEX}")
    string(APPEND failures "\n  stdout: expected [${EXPECT_STDOUT_HEX}]\n          got      [${stdout_hex}]")
endif()
if(NOT DEFINED EXPECT_STDERR)
    set(EXPECT_STDERR "^$")
endif()
if(NOT stderr MATCHES "${EXPECT_STDERR}")
    string(APPEND failures "\n  stderr: expected to match ${EXPECT_STDERR}, got [${stderr}]")
endif()
set(first "")
set(last "")
if(EXISTS ${trace})
    file(STRINGS ${trace} lines)
    list(GET lines 0 first)
    list(GET lines -1 last)
endif()
get_filename_component(name ${PROGRAM} NAME_WE)
string(TOLOWER "${name}" name)
set(args_json "")
foreach(arg ${args})
    string(REPLACE "\\" "\\\\" arg "${arg}")
    string(REPLACE "\"" "\\\"" arg "${arg}")
    list(APPEND args_json "\"${arg}\"")
endforeach()
list(JOIN args_json "," args_json)
set(start "{\"op\":\"start\",\"run\":1,\"program\":\"${name}\",\"args\":[${args_json}]}")
if(NOT first STREQUAL start)
    string(APPEND failures "\n  trace: expected the start line ${start}, first line [${first}]")
endif()
if(NOT last STREQUAL "{\"op\":\"exit\",\"run\":1,\"status\":${EXPECT_STATUS}}")
    string(APPEND failures "\n  trace: expected the exit line with ${EXPECT_STATUS}, last line [${last}]")
endif()
if(DEFINED EXPECT_MACHINE)
    file(READ ${machine} machine_text)
    if(NOT machine_text MATCHES "${EXPECT_MACHINE}")
        string(APPEND failures "\n  machine file: expected to match ${EXPECT_MACHINE}:\n${machine_text}")
    endif()
endif()
# A running wineserver keeps a socket in <the temporary folder>/wine-XXXXXX/server-<dev>-<inode
# of the prefix> (or .wine-<uid>/...); the runner removes the folder when the server has ended.
execute_process(COMMAND stat -c "%d %i" ${CACHE}/simbook-wine/prefix
                OUTPUT_VARIABLE ids OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(ids)
list(GET ids 0 dev)
list(GET ids 1 ino)
math(EXPR dev "${dev}" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR ino "${ino}" OUTPUT_FORMAT HEXADECIMAL)
string(REPLACE "0x" "" dev "${dev}")
string(REPLACE "0x" "" ino "${ino}")
set(tmp /tmp)
if("$ENV{TMPDIR}" MATCHES "^/")
    set(tmp $ENV{TMPDIR})
endif()
file(GLOB left ${tmp}/wine-*/server-${dev}-${ino} ${tmp}/.wine-*/server-${dev}-${ino})
if(left)
    string(APPEND failures "\n  a wineserver's folder is left for ${CACHE}/simbook-wine/prefix: ${left}")
endif()

if(failures)
    message(FATAL_ERROR "wine-run ${PROGRAM} ${args}:${failures}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
