# Installs the build into a scratch prefix and runs the installed programs from another folder,
# with the build tree out of reach of their lookups: tolmare over a ready machine, sundrel's scan
# (the service libraries found beside the installed tree), `simbook new` from the installed
# machines and `simbook trace` over the run. Then packages the build with cpack and checks the
# Debian package's file list and fields.
#
#   cmake -DBINARY_DIR=<build> -DSOURCE_DIR=<source> -DCPACK=<cpack> -P check_install.cmake
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

# The Debian package: the same tree under /usr, with its run-time dependencies.
execute_process(COMMAND ${CPACK} -G DEB -B ${scratch}/package --config
                        ${BINARY_DIR}/CPackConfig.cmake
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
file(GLOB debs ${scratch}/package/*.deb)
if(NOT rc EQUAL 0 OR NOT debs)
    set(problems "${problems}\ncpack -G DEB failed (${rc}):\n${out}")
else()
    execute_process(COMMAND dpkg-deb -c ${debs} OUTPUT_VARIABLE listing)
    foreach(file bin/brenvik bin/tolmare bin/sundrel bin/simbook lib/simbook/simbook_wlanapi.so
            lib/simbook/simbook_wlanui.so share/simbook/machines/healthy.json
            share/simbook/machine.schema.json)
        expect("${listing}" "\\./usr/${file}\n" "package file list")
    endforeach()
    execute_process(COMMAND dpkg-deb -f ${debs} Package Depends OUTPUT_VARIABLE fields)
    expect("${fields}" "Package: notebook-wlan-tools" "package name")
    expect("${fields}" "libssl3" "package dependencies")
    # The long description is one text (a CMake list given as the text would bring its ";").
    execute_process(COMMAND dpkg-deb -f ${debs} Description OUTPUT_VARIABLE description)
    expect("${description}" "^[^;]*simbook command[^;]*traces decoded\\.\n$" "package description")
endif()

file(REMOVE_RECURSE ${scratch})
if(problems)
    message(FATAL_ERROR "${problems}")
endif()
