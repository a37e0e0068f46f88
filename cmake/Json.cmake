# nwt::json: nlohmann/json, header-only. On Linux Debian's package config; for MinGW-w64 the
# same headers, from a folder that holds nothing but them (the Linux include folder itself
# must not reach the cross compiler).
if(TARGET nwt::json)
    return()
endif()
add_library(nwt_json INTERFACE)
add_library(nwt::json ALIAS nwt_json)
if(WIN32)
    find_path(NWT_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
              REQUIRED)
    set(json_dir ${CMAKE_BINARY_DIR}/json-include)
    file(MAKE_DIRECTORY ${json_dir})
    file(CREATE_LINK ${NWT_JSON_INCLUDE}/nlohmann ${json_dir}/nlohmann SYMBOLIC)
    target_include_directories(nwt_json SYSTEM INTERFACE ${json_dir})
else()
    find_package(nlohmann_json 3 REQUIRED)
    target_link_libraries(nwt_json INTERFACE nlohmann_json::nlohmann_json)
endif()
