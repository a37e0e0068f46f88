# nwt_strict_warnings(<target>)
#
# The product code's stricter warnings on top of the project-wide -Wall -Wextra -Wpedantic:
# shadowed names and implicit conversions that may change a value or its sign. With NWT_WERROR
# (the presets' setting) they are errors like every other warning. C++ sources only: a program's
# resource script goes through windres, which takes no such options.
function(nwt_strict_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE
            "$<$<COMPILE_LANGUAGE:CXX>:-Wshadow;-Wconversion;-Wsign-conversion>")
    endif()
endfunction()
