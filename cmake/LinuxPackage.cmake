# The Linux build installed: `cmake --install <build> --prefix P` puts the three programs and the
# `simbook` command in P/bin, the simulated Wi-Fi service libraries in a private folder of P/lib
# (NWT_PRIVATE_LIBDIR, where the stand-in looks when they are not beside the program), the ready
# machines (read-only), the machine-file schema, the JUnit schema of `simbook run --junit` and the
# Wine runner of `simbook run --windows` (wine-run with its lib/wine.sh) in P/share/simbook, the
# example procedures in P/share/doc/notebook-wlan-tools/examples, the manual pages in P/share/man
# and simbook's bash completion in P/share/bash-completion/completions, so the programs and
# simbook run from any folder without the build or the source tree. `cpack -G DEB` in the build folder makes a Debian package of the
# same tree under /usr, with the copyright file and changelog Debian asks for.
set(doc_dir share/doc/notebook-wlan-tools)

install(TARGETS brenvik tolmare sundrel simbook_command RUNTIME DESTINATION bin)
install(TARGETS simbook_wlanapi simbook_wlanui LIBRARY DESTINATION ${NWT_PRIVATE_LIBDIR})
# Ready machines are read, never written: `simbook new --from NAME` makes a copy to change.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/machines/ DESTINATION share/simbook/machines
        FILE_PERMISSIONS OWNER_READ GROUP_READ WORLD_READ FILES_MATCHING PATTERN "*.json")
install(FILES ${PROJECT_SOURCE_DIR}/docs/machine.schema.json
        ${PROJECT_SOURCE_DIR}/tests/procedures/junit.xsd DESTINATION share/simbook)
# simbook finds the runner beside itself (../share/simbook/wine-run); the runner finds its library
# beside itself (lib/wine.sh).
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/wine-run DESTINATION share/simbook)
install(FILES ${PROJECT_SOURCE_DIR}/scripts/lib/wine.sh DESTINATION share/simbook/lib)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${doc_dir}/examples
        USE_SOURCE_PERMISSIONS)
# lintian is told that the ready machines' mode is meant.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/package/lintian-overrides
        DESTINATION share/lintian/overrides RENAME notebook-wlan-tools)
install(FILES ${PROJECT_SOURCE_DIR}/src/simbook/cli/simbook.bash
        DESTINATION share/bash-completion/completions RENAME simbook)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/package/copyright
        DESTINATION ${doc_dir})
# The README's links to docs/ lead to the same pages beside it.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${doc_dir}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN man EXCLUDE)

# Manual pages and the changelog go in compressed, as Debian keeps them: gzip -9n, so that the
# same text always gives the same bytes.
find_program(GZIP_PROGRAM gzip REQUIRED)
configure_file(${CMAKE_CURRENT_LIST_DIR}/package/changelog.in ${CMAKE_BINARY_DIR}/package/changelog
               @ONLY)
set(compressed "")
# Compresses `source` into the build's package folder and installs it in `destination`.
function(install_compressed source destination)
    get_filename_component(name ${source} NAME)
    set(output ${CMAKE_BINARY_DIR}/package/${name}.gz)
    add_custom_command(OUTPUT ${output} COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${output}
                       DEPENDS ${source} VERBATIM)
    install(FILES ${output} DESTINATION ${destination})
    set(compressed ${compressed} ${output} PARENT_SCOPE)
endfunction()
install_compressed(${CMAKE_BINARY_DIR}/package/changelog ${doc_dir})
foreach(page brenvik.1 tolmare.1 sundrel.1 simbook.1 simbook-machine.5)
    string(REGEX REPLACE ".*\\." "" section ${page})
    install_compressed(${PROJECT_SOURCE_DIR}/docs/man/${page} share/man/man${section})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME notebook-wlan-tools)
set(CPACK_PACKAGE_VENDOR "Notebook wireless LAN tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "notebook wireless LAN tools on a simulated notebook")
# One string: set() with several would join them into a list, with ";" between the parts. Lines
# end where Debian's control file wants them, under 80 columns.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "brenvik switches a notebook's wireless LAN device and wireless switch in the\n"
    "firmware setup, tolmare reports five firmware-setup items and sundrel scans for\n"
    "wireless networks. Built for Linux, they run over simbook, a simulated notebook\n"
    "(driver, firmware, Wi-Fi service), so that service procedures can be written\n"
    "and tested without the hardware. The simbook command makes, changes and shows\n"
    "machine files, runs whole procedures against them and reads traces decoded.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Notebook wireless LAN tools <maintainers@notebook-wlan-tools.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The run-time libraries, from dpkg-shlibdeps (libc6, libssl3, libpcre2-8-0, libstdc++6,
# libgcc-s1).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
