# Installs the build into a scratch prefix and runs the installed programs from another folder,
# with the build tree out of reach of their lookups: tolmare over a ready machine, sundrel's scan
# (the service libraries found beside the installed tree), `simbook new` from the installed
# machines and `simbook trace` over the run, the installed example procedure; the ready machines
# read-only; a copy of the installed tree elsewhere running `simbook run --windows` with its own
# runner; `man` finding the manual pages through PATH, bash
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

# The installed example procedure, run by the installed simbook on an installed ready machine.
set(examples ${prefix}/share/doc/notebook-wlan-tools/examples)
execute_process(COMMAND ${prefix}/bin/simbook run --machine wlan-off -- ${examples}/enable-wireless.sh
                WORKING_DIRECTORY ${scratch}/elsewhere OUTPUT_VARIABLE out ERROR_VARIABLE out
                RESULT_VARIABLE rc)
expect("${rc} ${out}" "^0 .*HomeNet in range.*procedure exit status: 0" "installed example")
foreach(file ${examples}/enable-wireless.cmd ${examples}/enable-wireless.sh.expect.json
        ${prefix}/share/simbook/junit.xsd ${prefix}/share/simbook/lib/wine.sh)
    if(NOT EXISTS ${file})
        set(problems "${problems}
not installed: ${file}")
    endif()
endforeach()
# Ready machines are read-only; the copies simbook new makes of them are not.
file(GLOB ready ${prefix}/share/simbook/machines/*.json)
execute_process(COMMAND stat -c "%a %n" ${ready} ${machine} OUTPUT_VARIABLE modes)
string(REGEX REPLACE "444 [^\n]*/share/simbook/machines/[^/\n]*\\.json\n" "" others "${modes}")
expect("${others}" "^6[0-4][0-4] ${machine}\n$" "modes of the ready machines and of a copy")

# The installed tree on its own: a copy of it elsewhere, whose paths are none the build compiled
# in, finds its ready machines and its Wine runner beside its simbook, never in the source tree.
# The copy's runner finds its library beside itself; then a stand-in that names itself takes its
# place, so that the runner `simbook run --windows` starts is seen.
set(moved ${scratch}/moved)
file(COPY ${prefix}/ DESTINATION ${moved})
execute_process(COMMAND ${moved}/share/simbook/wine-run ERROR_VARIABLE err RESULT_VARIABLE rc)
expect("${rc} ${err}" "^125 wine-run: usage: wine-run" "the installed runner without arguments")
if(err MATCHES "wine\\.sh")
    set(problems "${problems}\nthe installed runner does not find lib/wine.sh:\n${err}")
endif()
file(WRITE ${moved}/share/simbook/wine-run
     "#!/bin/sh\n# wine-run --procedure DIR --status-file FILE -- COMMAND\n"
     "echo \"runner $0\"\necho 7 >\"$4\"\nexit 7\n")
file(CHMOD ${moved}/share/simbook/wine-run PERMISSIONS OWNER_READ OWNER_EXECUTE OWNER_WRITE)
file(COPY_FILE ${prefix}/share/simbook/machines/healthy.json
     ${moved}/share/simbook/machines/only-installed.json)
file(MAKE_DIRECTORY ${scratch}/windows)
file(TOUCH ${scratch}/windows/brenvik.exe ${scratch}/windows/tolmare.exe
     ${scratch}/windows/sundrel.exe ${scratch}/elsewhere/proc.cmd)
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=SIMBOOK_WINE_RUN ${moved}/bin/simbook run
                        --machine only-installed --windows ${scratch}/windows -- proc.cmd
                WORKING_DIRECTORY ${scratch}/elsewhere OUTPUT_VARIABLE out ERROR_VARIABLE out
                RESULT_VARIABLE rc)
expect("${rc} ${out}" "^7 runner ${moved}/share/simbook/wine-run\n.*procedure exit status: 7"
       "simbook run --windows of a moved installed tree")

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
                 "trace;--j|--json" "sta|status")
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
            share/simbook/machine.schema.json share/simbook/junit.xsd share/simbook/lib/wine.sh
            share/doc/notebook-wlan-tools/examples/enable-wireless.cmd
            share/doc/notebook-wlan-tools/examples/enable-wireless.sh.expect.json
            share/man/man1/simbook.1.gz share/man/man5/simbook-machine.5.gz
            share/bash-completion/completions/simbook share/doc/notebook-wlan-tools/copyright
            share/doc/notebook-wlan-tools/changelog.gz)
        expect("${listing}" "\\./usr/${file}\n" "package file list")
    endforeach()
    expect("${listing}" "\n-rwxr-xr-x [^\n]*\\./usr/share/simbook/wine-run\n" "package: the runner")
    expect("${listing}" "\n-rwxr-xr-x [^\n]*/examples/enable-wireless\\.sh\n" "package: example")
    expect("${listing}" "\n-r--r--r-- [^\n]*\\./usr/share/simbook/machines/healthy\\.json\n"
           "package: a ready machine read-only")
    if(listing MATCHES "\n-[^\n]*w[^\n]* \\./usr/share/simbook/machines/")
        set(problems "${problems}\npackage: a ready machine is writable:\n${listing}")
    endif()
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
