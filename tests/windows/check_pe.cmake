# Checks one Windows executable without running it:
#  - it is a 64-bit (PE32+, x86-64) console program;
#  - it imports only the system DLLs in ALLOWED_DLLS (case-insensitive), so it runs on a bare
#    Windows installation with no MinGW runtime beside it, and it never links the Wi-Fi service
#    libraries, which are loaded at run time;
#  - with EXPECT_LEVEL, it embeds one application manifest as resource 1 of type 24 asking for
#    exactly that execution level.
#
#   cmake -DOBJDUMP=<objdump> -DWINDRES=<windres> -DFILE=<x.exe> -DALLOWED_DLLS=<a,b,...>
#         [-DEXPECT_LEVEL=<level>] -P check_pe.cmake
foreach(var OBJDUMP FILE ALLOWED_DLLS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_pe: ${var} not set")
    endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE headers ERROR_VARIABLE err
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${FILE} failed: ${err}")
endif()

set(failures "")
if(NOT headers MATCHES "file format pei-x86-64")
    string(APPEND failures "\n  not a 64-bit x86-64 PE image")
endif()
if(NOT headers MATCHES "Magic[ \t]+020b")
    string(APPEND failures "\n  optional header is not PE32+")
endif()
if(NOT headers MATCHES "Subsystem[ \t]+00000003")
    string(APPEND failures "\n  not a console (CUI) program")
endif()

string(TOLOWER "${ALLOWED_DLLS}" allowed)
string(REPLACE "," ";" allowed "${allowed}")
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
if(NOT imports)
    string(APPEND failures "\n  no import table found")
endif()
set(names "")
foreach(entry ${imports})
    string(REGEX REPLACE "^DLL Name: " "" name "${entry}")
    string(STRIP "${name}" name)
    string(TOLOWER "${name}" lower)
    list(APPEND names ${name})
    list(FIND allowed ${lower} found)
    if(found EQUAL -1)
        string(APPEND failures "\n  imports ${name}, which is not an allowed system DLL")
    endif()
endforeach()

if(DEFINED EXPECT_LEVEL)
    execute_process(COMMAND ${WINDRES} -J coff -O rc -i ${FILE} OUTPUT_VARIABLE resources
                    ERROR_VARIABLE err RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        string(STRIP "${err}" err)
        string(APPEND failures "\n  resources unreadable: ${err}")
        set(resources "")
    endif()
    # windres writes the manifest as "1 24 /* RT_MANIFEST */", then its lines between BEGIN
    # and END, with every quote doubled.
    string(FIND "${resources}" "\n1 24" start)
    if(start EQUAL -1 AND rc EQUAL 0)
        string(APPEND failures "\n  no manifest resource (id 1, type 24)")
    elseif(NOT start EQUAL -1)
        string(SUBSTRING "${resources}" ${start} -1 manifest)
        string(FIND "${manifest}" "\nEND" stop)
        string(SUBSTRING "${manifest}" 0 ${stop} manifest)
        string(REGEX MATCHALL "requestedExecutionLevel level=\"\"[A-Za-z]+\"\"" levels
                              "${manifest}")
        list(LENGTH levels count)
        if(NOT count EQUAL 1)
            string(APPEND failures "\n  ${count} execution levels in the manifest, expected 1")
        elseif(NOT levels MATCHES "\"\"${EXPECT_LEVEL}\"\"$")
            string(APPEND failures "\n  ${levels}, expected level ${EXPECT_LEVEL}")
        endif()
    endif()
endif()

if(failures)
    message(FATAL_ERROR "${FILE}:${failures}")
endif()
message(STATUS "${FILE}: PE32+ console program, imports ${names}")
