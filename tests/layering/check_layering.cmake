# Fails when a house rule of the layering is broken:
#  - product code (crypto, channel, settings, the three programs) includes a platform or
#    system header other than src/platform/win32.h (standard C++ headers are fine);
#  - simbook includes a product header.
# Run as: cmake -DSOURCE_DIR=<repo> -P check_layering.cmake
if(NOT SOURCE_DIR)
    message(FATAL_ERROR "SOURCE_DIR not set")
endif()

set(standard_headers
    algorithm array atomic bit cassert cctype cerrno cinttypes climits clocale cmath cstdarg
    cstddef cstdint cstdio cstdlib cstring ctime cwchar cwctype exception functional initializer_list
    iterator limits memory mutex new optional string string_view type_traits utility vector
    span stdexcept tuple)

set(violations "")
file(GLOB_RECURSE product_files
     ${SOURCE_DIR}/src/common/*.h ${SOURCE_DIR}/src/common/*.cpp
     ${SOURCE_DIR}/src/brenvik/*.h ${SOURCE_DIR}/src/brenvik/*.cpp
     ${SOURCE_DIR}/src/tolmare/*.h ${SOURCE_DIR}/src/tolmare/*.cpp
     ${SOURCE_DIR}/src/sundrel/*.h ${SOURCE_DIR}/src/sundrel/*.cpp)
foreach(f ${product_files})
    file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${lines})
        if(line MATCHES "<([^>]+)>")
            set(h ${CMAKE_MATCH_1})
            list(FIND standard_headers ${h} found)
            if(found EQUAL -1)
                list(APPEND violations "${f}: system header <${h}> (use platform/win32.h)")
            endif()
        elseif(line MATCHES "\"([^\"]+)\"")
            set(h ${CMAKE_MATCH_1})
            if(h MATCHES "^platform/" AND NOT h STREQUAL "platform/win32.h")
                list(APPEND violations "${f}: platform header ${h}")
            elseif(h MATCHES "^simbook/")
                list(APPEND violations "${f}: simbook header ${h}")
            endif()
        endif()
    endforeach()
endforeach()

file(GLOB_RECURSE simbook_files ${SOURCE_DIR}/src/simbook/*.h ${SOURCE_DIR}/src/simbook/*.cpp)
foreach(f ${simbook_files})
    file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${lines})
        if(line MATCHES "\"(common|brenvik|tolmare|sundrel)/")
            list(APPEND violations "${f}: product header in simbook: ${line}")
        endif()
    endforeach()
endforeach()

list(LENGTH product_files n)
if(violations)
    list(JOIN violations "\n  " text)
    message(FATAL_ERROR "layering broken:\n  ${text}")
endif()
message(STATUS "layering ok (${n} product files checked)")
