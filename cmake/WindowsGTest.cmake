# GoogleTest for the Windows build, compiled from Debian's sources (/usr/src/googletest) with
# the same MinGW-w64 toolchain as our code. Provides GTest::gtest, GTest::gtest_main,
# GTest::gmock and GTest::gmock_main, as find_package(GTest) does on Linux.
#
# Included from tests/CMakeLists.txt on WIN32. Our warning flags (-Wall -Wextra -Wpedantic
# -Werror) are directory options inherited by subdirectories; they are cleared while
# GoogleTest's directory is added, so its own sources build with its own flags only.

set(NWT_GOOGLETEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources used for the Windows build")
if(NOT EXISTS ${NWT_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${NWT_GOOGLETEST_SOURCE_DIR} "
                        "(install Debian's googletest package or set NWT_GOOGLETEST_SOURCE_DIR)")
endif()

if(NOT TARGET GTest::gtest)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)

    get_directory_property(nwt_saved_options COMPILE_OPTIONS)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
    add_subdirectory(${NWT_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${nwt_saved_options}")
    unset(nwt_saved_options)

    # GoogleTest's headers are system headers for our tests: their warnings are not ours.
    foreach(lib gtest gtest_main gmock gmock_main)
        if(TARGET ${lib})
            get_target_property(dirs ${lib} INTERFACE_INCLUDE_DIRECTORIES)
            set_target_properties(${lib} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${dirs}")
        endif()
    endforeach()
endif()

# Tests are listed when CTest runs (under Wine, with the wineserver already up), not during the
# build, which then needs no Wine at all.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
