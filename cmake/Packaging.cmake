# Linux: see LinuxPackage.cmake. The Windows release: `cpack` (or `cmake --build <dir> --target package`) in a Windows build
# directory makes notebook-wlan-tools-<version>-win64.zip with the three programs and
# README.txt, which tells a technician how to run them and a service procedure how to read their
# verdicts and exit codes, and SHA256SUMS with the sums of those four files.
if(NOT WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/LinuxPackage.cmake)
    return()
endif()
foreach(program brenvik tolmare sundrel)
    if(NOT TARGET ${program})
        message(STATUS "Packaging: ${program} is not built here, no package")
        return()
    endif()
endforeach()

install(TARGETS brenvik tolmare sundrel RUNTIME DESTINATION . COMPONENT programs)
# Line ends for Notepad and for `type` in a command prompt.
configure_file(${CMAKE_CURRENT_LIST_DIR}/package/README.txt.in
               ${CMAKE_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt DESTINATION . COMPONENT programs)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME notebook-wlan-tools)
set(CPACK_PACKAGE_VENDOR "Notebook wireless LAN tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Console programs that switch, report and scan a notebook's wireless LAN")
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package/checksums.cmake)
include(CPack)
