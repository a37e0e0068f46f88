# The Windows programs' simulated notebook under Wine (see scripts/wine-run): the relay kernel
# driver, its setup tool and the launcher, cross-compiled like the programs, and the device
# server, a Winelib program over the Linux simbook models, built by a native sub-build. All of
# them land beside the programs, where the runner looks for them. Windows build only.
if(NOT WIN32)
    return()
endif()
add_subdirectory(src/simbook/wine/relay)
add_subdirectory(src/simbook/wine/setup)
add_subdirectory(src/simbook/wine/launch)

find_program(NWT_WINEGXX wineg++)
if(NOT NWT_WINEGXX)
    message(STATUS "WineHost: no wineg++ (Debian's wine64-tools); the device server is left out")
    return()
endif()
include(ExternalProject)
# Native compilers, not the cross toolchain: the server runs the Linux models with Linux
# OpenSSL. BUILD_ALWAYS lets the sub-build see changes in simbook's sources.
ExternalProject_Add(simbook_wine_host
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/src/simbook/wine/host
    BINARY_DIR ${CMAKE_BINARY_DIR}/wine-host
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=cc -DCMAKE_CXX_COMPILER=c++
               -DNWT_HOST_OUTPUT=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    BUILD_ALWAYS TRUE
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD FALSE)
