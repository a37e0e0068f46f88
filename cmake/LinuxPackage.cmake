# The Linux build installed: `cmake --install <build> --prefix P` puts the three programs and the
# `simbook` command in P/bin, the simulated Wi-Fi service libraries in P/lib/simbook (where the
# stand-in looks when they are not beside the program), and the ready machines and the
# machine-file schema in P/share/simbook, so the programs run from any folder without the build
# tree. `cpack -G DEB` in the build folder makes a Debian package of the same tree under /usr.
install(TARGETS brenvik tolmare sundrel simbook_cli RUNTIME DESTINATION bin)
install(TARGETS simbook_wlanapi simbook_wlanui LIBRARY DESTINATION lib/simbook)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/machines/ DESTINATION share/simbook/machines
        FILES_MATCHING PATTERN "*.json")
install(FILES ${PROJECT_SOURCE_DIR}/docs/machine.schema.json DESTINATION share/simbook)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/notebook-wlan-tools)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME notebook-wlan-tools)
set(CPACK_PACKAGE_VENDOR "Notebook wireless LAN tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Notebook wireless LAN tools over a simulated notebook, for writing service procedures")
# One string: set() with several would join them into a list, with ";" between the parts.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "brenvik, tolmare and sundrel built for Linux over simbook, a simulated notebook (driver, "
    "firmware, Wi-Fi service), with the simbook command to make, change and inspect machine "
    "files and to read traces decoded.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Notebook wireless LAN tools <maintainers@notebook-wlan-tools.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The run-time libraries, from dpkg-shlibdeps (libc6, libssl3, libstdc++6, libgcc-s1).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
