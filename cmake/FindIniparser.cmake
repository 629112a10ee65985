# Finds the iniparser library (Debian's libiniparser-dev ships no CMake
# package or pkg-config file).
#
#   Iniparser_FOUND, Iniparser_INCLUDE_DIR, Iniparser_LIBRARY
#   Iniparser::Iniparser  imported target
#   Iniparser_LOAD_FILE   the library loads from a stream (iniparser_load_file,
#                         4.2 and later), so it can be handed a descriptor
#
# Headers live in <prefix>/include/iniparser; the library is libiniparser.

find_path(Iniparser_INCLUDE_DIR iniparser.h PATH_SUFFIXES iniparser)
find_library(Iniparser_LIBRARY NAMES iniparser)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Iniparser
  REQUIRED_VARS Iniparser_LIBRARY Iniparser_INCLUDE_DIR)

if(Iniparser_FOUND AND NOT TARGET Iniparser::Iniparser)
  add_library(Iniparser::Iniparser UNKNOWN IMPORTED)
  set_target_properties(Iniparser::Iniparser PROPERTIES
    IMPORTED_LOCATION "${Iniparser_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Iniparser_INCLUDE_DIR}")
endif()
if(Iniparser_FOUND)
  include(CMakePushCheckState)
  include(CheckSymbolExists)
  cmake_push_check_state(RESET)
  set(CMAKE_REQUIRED_INCLUDES ${Iniparser_INCLUDE_DIR})
  set(CMAKE_REQUIRED_LIBRARIES ${Iniparser_LIBRARY})
  set(CMAKE_REQUIRED_QUIET ON)
  check_symbol_exists(iniparser_load_file iniparser.h Iniparser_LOAD_FILE)
  cmake_pop_check_state()
endif()
mark_as_advanced(Iniparser_INCLUDE_DIR Iniparser_LIBRARY)
