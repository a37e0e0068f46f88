# Installs the build into a scratch prefix and runs the installed programs from another folder,
# with the build tree out of reach of their lookups: tolmare over a ready machine, sundrel's scan
# (the service libraries found beside the installed tree), `simbook new` from the installed
# machines and `simbook trace` over the run; `man` finding the manual pages through PATH, bash
# completing simbook, simbook's version. Then packages the build with cpack and checks the Debian
# package's file list and fields, and (when LINTIAN is given) that lintian has nothing to say.
#
#   cmake -DBINARY_DIR=<build> -DSOURCE_DIR=<source> -DCPACK=<cpack> -DVERSION=<version>
#         -DPRIVATE_LIBDIR=<lib/...> [-DLINTIAN=<lintian>] [-DBASH_COMPLETION=<its script>]
#         -P check_install.cmake
set(scratch ${BINARY_DIR}/install-check)
file(REMOVE_RECURSE ${scratch})
file(MAKE_DIRECTORY ${scratch}/elsewhere ${scratch}/package)
set(prefix ${scratch}/prefix)
set(problems "")

function(expect text pattern what)
    if(NOT text MATCHES "${pattern}")
        set(problems "${problems}\n${what}: expected /${pattern}/ in:\n${text}" PARENT_SCOPE)
    endif()
endfunction()

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix}
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    file(REMOVE_RECURSE ${scratch})
    message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

# A machine made by the installed simbook from an installed ready machine.
set(machine ${scratch}/elsewhere/machine.json)
set(trace ${scratch}/elsewhere/trace.jsonl)
set(env ${CMAKE_COMMAND} -E env --unset=SIMBOOK_LIBRARY_DIR SIMBOOK=${machine}
        SIMBOOK_TRACE=${trace})
execute_process(COMMAND ${env} ${prefix}/bin/simbook new --from healthy ${machine}
                WORKING_DIRECTORY ${scratch}/elsewhere RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
expect("${rc}" "^0$" "simbook new --from healthy (${err})")

execute_process(COMMAND ${env} ${prefix}/bin/tolmare WORKING_DIRECTORY ${scratch}/elsewhere
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
expect("${out}" "tolmare\\[SUCCESS\\].*WLAN\\[ENABLE\\]" "installed tolmare")

execute_process(COMMAND ${env} ${prefix}/bin/sundrel {c799c725-24b9-464b-b6c7-5e300dce17d6}
                WORKING_DIRECTORY ${scratch}/elsewhere OUTPUT_VARIABLE out RESULT_VARIABLE rc)
expect("${out}" "^sundrel\\[SUCCESS\\]\r?\nHomeNet\r?\n" "installed sundrel") # CMake drops the CRs
expect("${rc}" "^0$" "installed sundrel's exit status")

execute_process(COMMAND ${prefix}/bin/simbook trace ${trace} WORKING_DIRECTORY ${scratch}/elsewhere
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
expect("${out}" "GetSetupItem item 0x8008 selector 0: flags 0x0001 \\(WLAN ENABLE\\)"
       "simbook trace of the installed run")
expect("${out}" "load simbook_wlanapi.so: ok" "simbook trace of the installed run")

execute_process(COMMAND ${prefix}/bin/simbook --version OUTPUT_VARIABLE out RESULT_VARIABLE rc)
expect("${rc} ${out}" "^0 simbook ${VERSION}\n$" "simbook --version")

# man finds an installed prefix's pages through PATH, as for any prefix whose bin is on PATH.
foreach(page brenvik tolmare sundrel simbook "5 simbook-machine")
    separate_arguments(words UNIX_COMMAND "${page}")
    list(GET words -1 name)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=MANPATH PATH=${prefix}/bin:/usr/bin:/bin
                            man -w ${words} OUTPUT_VARIABLE out ERROR_VARIABLE out)
    expect("${out}" "^${prefix}/share/man/man[15]/${name}\\.[15]\\.gz\n$" "man -w ${page}")
endforeach()

if(BASH_COMPLETION)
    set(complete ${CMAKE_COMMAND} -E env XDG_DATA_DIRS=${prefix}/share
        ${SOURCE_DIR}/tests/install/complete.sh ${BASH_COMPLETION} ${prefix}/bin/simbook)
    foreach(case "re|reset" "new;--from;pass|passwords-set" "run;--each;healthy,busy|healthy,busy-firmware"
                 "set;firmware.wlan_fl|firmware.wlan_flags=" "reset;wlan.interfaces[0].s|wlan.interfaces\\[0\\].scan"
                 "trace;--j|--json")
        string(REPLACE "|" ";" parts "${case}")
        list(GET parts -1 wanted)
        list(REMOVE_AT parts -1)
        execute_process(COMMAND ${complete} ${parts} OUTPUT_VARIABLE out ERROR_VARIABLE out)
        expect("${out}" "^${wanted}\n$" "completion of simbook ${parts}")
    endforeach()
endif()

# The Debian package: the same tree under /usr, with its run-time dependencies.
execute_process(COMMAND ${CPACK} -G DEB -B ${scratch}/package --config
                        ${BINARY_DIR}/CPackConfig.cmake
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
file(GLOB debs ${scratch}/package/*.deb)
if(NOT rc EQUAL 0 OR NOT debs)
    set(problems "${problems}\ncpack -G DEB failed (${rc}):\n${out}")
else()
    execute_process(COMMAND dpkg-deb -c ${debs} OUTPUT_VARIABLE listing)
    foreach(file bin/brenvik bin/tolmare bin/sundrel bin/simbook
            ${PRIVATE_LIBDIR}/simbook_wlanapi.so ${PRIVATE_LIBDIR}/simbook_wlanui.so
            share/simbook/machines/healthy.json share/simbook/machine.schema.json
            share/man/man1/simbook.1.gz share/man/man5/simbook-machine.5.gz
            share/bash-completion/completions/simbook share/doc/notebook-wlan-tools/copyright
            share/doc/notebook-wlan-tools/changelog.gz)
        expect("${listing}" "\\./usr/${file}\n" "package file list")
    endforeach()
    execute_process(COMMAND dpkg-deb -f ${debs} Package Version Depends OUTPUT_VARIABLE fields)
    expect("${fields}" "Package: notebook-wlan-tools\nVersion: ${VERSION}\n" "package name")
    expect("${fields}" "libssl3" "package dependencies")
    # The long description is one text (a CMake list given as the text would bring its ";").
    execute_process(COMMAND dpkg-deb -f ${debs} Description OUTPUT_VARIABLE description)
    expect("${description}" "^[^;]*simbook command[^;]*traces decoded\\.\n$" "package description")
    if(LINTIAN)
        # lintian leaves its ELF cache files in TMPDIR: the scratch folder takes them.
        file(MAKE_DIRECTORY ${scratch}/tmp)
        execute_process(COMMAND ${CMAKE_COMMAND} -E env TMPDIR=${scratch}/tmp ${LINTIAN} ${debs}
                        OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0 OR out MATCHES "(^|\n)[EW]: ")
            set(problems "${problems}\nlintian (${rc}):\n${out}${err}")
        endif()
    endif()
endif()

file(REMOVE_RECURSE ${scratch})
if(problems)
    message(FATAL_ERROR "${problems}")
endif()
