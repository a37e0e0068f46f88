# Builds the release zip with cpack into a scratch directory and checks that it holds exactly
# the three programs, the README and SHA256SUMS, under one top-level folder, with CR LF line ends
# in the README and every other file's right sum in SHA256SUMS.
#
#   cmake -DBINARY_DIR=<build dir> -DSCRATCH=<dir> -DPACKAGE=<file name without .zip>
#         -P check_package.cmake
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -B ${SCRATCH}
                WORKING_DIRECTORY ${BINARY_DIR} OUTPUT_VARIABLE out ERROR_VARIABLE out
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack failed (${rc}):\n${out}")
endif()
set(zip ${SCRATCH}/${PACKAGE}.zip)
if(NOT EXISTS ${zip})
    message(FATAL_ERROR "cpack made no ${zip}:\n${out}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing
                RESULT_VARIABLE rc)
string(STRIP "${listing}" listing)
string(REPLACE "\n" ";" entries "${listing}")
list(SORT entries)
set(expected ${PACKAGE}/README.txt ${PACKAGE}/SHA256SUMS ${PACKAGE}/brenvik.exe
             ${PACKAGE}/sundrel.exe ${PACKAGE}/tolmare.exe)
if(NOT entries STREQUAL expected)
    message(FATAL_ERROR "zip holds [${entries}], expected [${expected}]")
endif()

file(MAKE_DIRECTORY ${SCRATCH}/unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${SCRATCH}/unpacked)
file(READ ${SCRATCH}/unpacked/${PACKAGE}/README.txt text HEX)
# Every LF (0a) comes after a CR (0d): no bare line feeds.
string(REGEX MATCHALL "([0-9a-f][0-9a-f])" bytes "${text}")
set(previous "")
foreach(byte ${bytes})
    if(byte STREQUAL "0a" AND NOT previous STREQUAL "0d")
        message(FATAL_ERROR "README.txt has a line feed without a carriage return")
    endif()
    set(previous ${byte})
endforeach()
file(READ ${SCRATCH}/unpacked/${PACKAGE}/README.txt text)
foreach(topic "%ERRORLEVEL%" "$LASTEXITCODE" "0x00010000" "brenvik[FAILURE]")
    string(FIND "${text}" "${topic}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "README.txt does not mention ${topic}")
    endif()
endforeach()

file(STRINGS ${SCRATCH}/unpacked/${PACKAGE}/SHA256SUMS lines)
set(summed "")
foreach(line IN LISTS lines)
    if(NOT line MATCHES "^([0-9a-f]+)  ([^ ]+)$")
        message(FATAL_ERROR "SHA256SUMS: not a \"<sum>  <name>\" line: ${line}")
    endif()
    set(name ${CMAKE_MATCH_2})
    file(SHA256 ${SCRATCH}/unpacked/${PACKAGE}/${name} actual)
    if(NOT actual STREQUAL CMAKE_MATCH_1)
        message(FATAL_ERROR "SHA256SUMS: ${name} has ${actual}, the file says ${CMAKE_MATCH_1}")
    endif()
    list(APPEND summed ${PACKAGE}/${name})
endforeach()
list(APPEND summed ${PACKAGE}/SHA256SUMS)
list(SORT summed)
if(NOT summed STREQUAL entries)
    message(FATAL_ERROR "SHA256SUMS covers [${summed}], the zip holds [${entries}]")
endif()
file(REMOVE_RECURSE ${SCRATCH})
message(STATUS "${zip}: ${entries}")
