# Builds SOURCES against a copy of the iniparser headers in INCLUDE laid out
# as iniparser 4.2 lays out its dictionary (size_t size, unsigned n), with
# the suite's warnings as errors: both releases ship as libiniparser.so.1.
#   cmake -DCXX=... -DINCLUDE=... -DDIRS=... "-DSOURCES=a.cpp;b.cpp" -P iniparser_layout.cmake
set(copy ${CMAKE_CURRENT_BINARY_DIR}/iniparser-4.2)
file(COPY ${INCLUDE}/iniparser.h DESTINATION ${copy})
file(READ ${INCLUDE}/dictionary.h dict)
string(REGEX REPLACE "ssize_t([ \t]+size[ \t]*;)" "size_t\\1" dict "${dict}")
string(REGEX REPLACE "int([ \t]+n[ \t]*;)" "unsigned\\1" dict "${dict}")
file(WRITE ${copy}/dictionary.h "${dict}")
list(TRANSFORM DIRS PREPEND -I)
foreach(src ${SOURCES})
  execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Wshadow
                  -Wconversion -Werror -D_FILE_OFFSET_BITS=64 -I${copy} ${DIRS} ${src}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${src} does not build against iniparser 4.2's dictionary")
  endif()
endforeach()
