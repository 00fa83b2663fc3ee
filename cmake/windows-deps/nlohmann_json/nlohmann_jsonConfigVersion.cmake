# nlohmann JSON reaches the cross build through the link in sysinclude/; its version is its headers'.
set(_nlohmann_dir "${CMAKE_CURRENT_LIST_DIR}/../../../sysinclude/nlohmann")
set(_nlohmann_header "${_nlohmann_dir}/detail/abi_macros.hpp")
if(NOT EXISTS "${_nlohmann_header}")
  set(_nlohmann_header "${_nlohmann_dir}/json.hpp")
endif()
foreach(_part MAJOR MINOR PATCH)
  file(STRINGS "${_nlohmann_header}" _nlohmann_line
       REGEX "^#define NLOHMANN_JSON_VERSION_${_part} +[0-9]+")
  string(REGEX REPLACE "^#define NLOHMANN_JSON_VERSION_${_part} +([0-9]+).*" "\\1"
         _nlohmann_${_part} "${_nlohmann_line}")
endforeach()
set(PACKAGE_VERSION "${_nlohmann_MAJOR}.${_nlohmann_MINOR}.${_nlohmann_PATCH}")
# Same rule as the library's own package: any later version of the same major one will do.
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION
   OR NOT PACKAGE_FIND_VERSION_MAJOR STREQUAL _nlohmann_MAJOR)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_FIND_VERSION VERSION_EQUAL PACKAGE_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
