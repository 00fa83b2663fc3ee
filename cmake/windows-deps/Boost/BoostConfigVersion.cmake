# Boost's headers reach the cross build through the link in sysinclude/; its version is theirs.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../../../sysinclude/boost/version.hpp" _boost_line
     REGEX "^#define BOOST_VERSION [0-9]+")
string(REGEX MATCH "[0-9]+$" _boost_number "${_boost_line}")
math(EXPR _boost_major "${_boost_number} / 100000")
math(EXPR _boost_minor "${_boost_number} / 100 % 1000")
math(EXPR _boost_patch "${_boost_number} % 100")
set(PACKAGE_VERSION "${_boost_major}.${_boost_minor}.${_boost_patch}")
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_FIND_VERSION VERSION_EQUAL PACKAGE_VERSION
     OR PACKAGE_FIND_VERSION STREQUAL "${_boost_major}.${_boost_minor}")
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
