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
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} platform)
    if(WIN32)
        target_link_options(${name} PRIVATE -municode)
    else()
        target_link_libraries(${name} PRIVATE platform_main)
    endif()
endfunction()
