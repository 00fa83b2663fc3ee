# Header-only nlohmann JSON for the cross build, found through the sysinclude/ link rather than
# /usr/include.
get_filename_component(_nlohmann_sysinclude "${CMAKE_CURRENT_LIST_DIR}/../../../sysinclude"
                       ABSOLUTE)
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_nlohmann_sysinclude}")
endif()
set(nlohmann_json_FOUND TRUE)
