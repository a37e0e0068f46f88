# Fails when a house rule of the layering is broken:
#  - product code (crypto, channel, settings, the three programs) includes a platform or
#    system header other than src/platform/win32.h (standard C++ headers are fine);
#  - a product layer includes a header of a layer above it, or of another program: crypto is
#    below channel, channel below settings, settings below the three programs;
#  - simbook includes a product header or a platform header: its models stand free of the
#    Win32 surfaces that host them (src/platform/linux, src/platform/wlansvc, the Wine host),
#    and its portable core (src/simbook/*) does not reach into the driver models.
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
# The product's layers, bottom up; a file may include its own folder and the layers below.
set(layer_common/crypto 1)
set(layer_common/channel 2)
set(layer_common/settings 3)
set(layer_brenvik 4)
set(layer_tolmare 4)
set(layer_sundrel 4)
function(product_folder path out)
    if(path MATCHES "(common/[a-z]+|brenvik|tolmare|sundrel)/")
        set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
    else()
        set(${out} "" PARENT_SCOPE)
    endif()
endfunction()

foreach(f ${product_files})
    file(RELATIVE_PATH rel ${SOURCE_DIR}/src ${f})
    product_folder(${rel} own)
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
            else()
                product_folder(${h} other)
                if(other AND NOT other STREQUAL own AND
                   NOT layer_${other} LESS layer_${own})
                    list(APPEND violations "${f}: ${other} is not below ${own}: ${h}")
                endif()
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
        elseif(line MATCHES "\"platform/")
            list(APPEND violations "${f}: platform header in simbook: ${line}")
        elseif(line MATCHES "\"simbook/driver/" AND NOT f MATCHES "/src/simbook/[a-z]+/")
            list(APPEND violations "${f}: simbook's core reaches into the driver models: ${line}")
        endif()
    endforeach()
endforeach()

list(LENGTH product_files n)
if(violations)
    list(JOIN violations "\n  " text)
    message(FATAL_ERROR "layering broken:\n  ${text}")
endif()
message(STATUS "layering ok (${n} product files checked)")
