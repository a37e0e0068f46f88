# nwt_add_program(<name> SOURCES <files...> LIBRARIES <targets...>)
#
# One of the three console programs. On Linux it links the stand-in's `main`, which calls the
# program's `wmain`. On Windows it is a -municode console program, and when the program's folder
# holds <name>.rc (the resource script embedding <name>.manifest) that script is compiled in.
function(nwt_add_program name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    set(sources ${ARG_SOURCES})
    if(WIN32 AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name}.rc)
        list(APPEND sources ${CMAKE_CURRENT_SOURCE_DIR}/${name}.rc)
        set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/${name}.rc APPEND PROPERTY
                     OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}.manifest)
    endif()
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
    nwt_use_platform_runtime(${name})
    if(WIN32)
        target_link_options(${name} PRIVATE -municode)
    else()
        target_link_libraries(${name} PRIVATE platform_main)
    endif()
endfunction()

# nwt_use_platform_runtime(<target>)
#
# Links the platform's implementation into a program or test: the Windows system libraries, or
# on Linux the Win32 stand-in over simbook. Libraries never call this: they link `platform`,
# the contract alone.
function(nwt_use_platform_runtime target)
    set_property(TARGET ${target} PROPERTY NWT_PLATFORM_RUNTIME ON)
    target_link_libraries(${target} PRIVATE platform)
endfunction()
