# nlohmann/json is header-only. Native builds take the installed package;
# cross builds copy the same headers into the build tree so that the host's
# /usr/include never lands on the cross compiler's include path.
add_library(telvo_json INTERFACE)
if(TELVO_NLOHMANN_HEADERS)
    set(_staged "${CMAKE_BINARY_DIR}/third_party/include")
    file(COPY "${TELVO_NLOHMANN_HEADERS}" DESTINATION "${_staged}")
    target_include_directories(telvo_json SYSTEM INTERFACE "${_staged}")
else()
    find_package(nlohmann_json 3.10 REQUIRED)
    target_link_libraries(telvo_json INTERFACE nlohmann_json::nlohmann_json)
endif()
