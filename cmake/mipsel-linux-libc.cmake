# Cross build for the device's processor against a C library other than
# glibc (musl, uClibc-ng), with Debian's mipsel-linux-gnu cross compiler
# pointed at that library, linked statically: the tool runs with nothing
# else installed. Give the library's folders:
#   LIBC_INCLUDE_DIR   its headers
#   LIBC_LIBRARY_DIR   libc.a and its start files crt1.o, crti.o, crtn.o
#   LINUX_INCLUDE_DIR  the kernel's headers (linux/, asm/, asm-generic/)
#                      and nothing of another C library
# A cross compiler built for its C library (an SDK's, Buildroot's) finds
# all of these itself and takes cmake/mipsel-linux-gnu.cmake. The flags go
# after those a caller gives as CMAKE_<LANG>_FLAGS_INIT; CMAKE_<LANG>_FLAGS
# would take their place.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# The checks' test projects read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LIBC_INCLUDE_DIR LIBC_LIBRARY_DIR LINUX_INCLUDE_DIR)
foreach(dir LIBC_INCLUDE_DIR LIBC_LIBRARY_DIR LINUX_INCLUDE_DIR)
  if(NOT IS_DIRECTORY "${${dir}}")
    message(FATAL_ERROR "${dir} is '${${dir}}', not a folder")
  endif()
endforeach()

function(gcc_file var name)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${var} ${path} PARENT_SCOPE)
endfunction()
gcc_file(gcc_include include)
gcc_file(crtbegin crtbeginT.o)
gcc_file(crtend crtend.o)
gcc_file(libgcc libgcc.a)

# The C library's headers, then the compiler's own, then the kernel's;
# never glibc's.
set(c_include "-nostdinc -isystem ${LIBC_INCLUDE_DIR} -isystem ${gcc_include} -idirafter ${LINUX_INCLUDE_DIR}")
set(CMAKE_C_FLAGS_INIT "$CACHE{CMAKE_C_FLAGS_INIT} -march=mips32r2 ${c_include}")
# libstdc++'s headers (no libstdc++ code is linked) come first, for their
# #include_next. They were configured for glibc and test its version: a C
# library that does not stand in for glibc (musl) answers no.
file(GLOB cxx_include /usr/mipsel-linux-gnu/include/c++/*)
set(cxx_flags "-isystem ${cxx_include} -isystem ${cxx_include}/mipsel-linux-gnu ${c_include}")
file(STRINGS ${LIBC_INCLUDE_DIR}/features.h stands_in REGEX "define[ \t]+__GLIBC_PREREQ")
if(NOT stands_in)
  string(APPEND cxx_flags " '-D__GLIBC_PREREQ(major,minor)=0'")
endif()
file(STRINGS ${LIBC_INCLUDE_DIR}/stdlib.h quick_exit REGEX "quick_exit")
if(NOT quick_exit)
  set(cxx_flags "-isystem ${CMAKE_CURRENT_LIST_DIR}/no-quick-exit ${cxx_flags}")
endif()
set(CMAKE_CXX_FLAGS_INIT "$CACHE{CMAKE_CXX_FLAGS_INIT} -march=mips32r2 ${cxx_flags}")

# Linked as gcc links a static program, with this library's start files
# and libc.a; whatever the language, nothing of libstdc++ or glibc.
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> -static -nostdlib ${LIBC_LIBRARY_DIR}/crt1.o ${LIBC_LIBRARY_DIR}/crti.o ${crtbegin} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> -Wl,--start-group ${LIBC_LIBRARY_DIR}/libc.a ${libgcc} -Wl,--end-group ${crtend} ${LIBC_LIBRARY_DIR}/crtn.o")
endforeach()

# Libraries and headers are never the host's, nor glibc's: iniparser is
# named, or found under a root added to CMAKE_FIND_ROOT_PATH.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
