# Cross build for the device's processor against musl instead of glibc,
# with Debian's packages only: mipsel-linux-musl-gcc (musl-dev:mipsel) is
# the mipsel-linux-gnu cross compiler pointed at musl. Link statically, and
# the tool runs with nothing else installed. The flags go after those a
# caller gives as CMAKE_<LANG>_FLAGS_INIT; CMAKE_<LANG>_FLAGS would take
# their place.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

# The C compiler also links the tool, as musl's.
set(CMAKE_C_COMPILER mipsel-linux-musl-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
# musl's folder has no kernel headers: they come last, from the cross
# compiler's own.
set(kernel_headers "-idirafter /usr/mipsel-linux-gnu/include")
set(CMAKE_C_FLAGS_INIT "$CACHE{CMAKE_C_FLAGS_INIT} -march=mips32r2 ${kernel_headers}")
# C++ is compiled by the plain cross compiler: libstdc++'s headers (no
# libstdc++ code is linked) must come before musl's, for their
# #include_next. They were configured for glibc, whose version test musl
# does not have.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
file(GLOB cxx_include /usr/mipsel-linux-gnu/include/c++/*)
set(CMAKE_CXX_FLAGS_INIT "$CACHE{CMAKE_CXX_FLAGS_INIT} -march=mips32r2 -nostdinc -isystem ${cxx_include} -isystem ${cxx_include}/mipsel-linux-gnu -isystem /usr/include/mipsel-linux-musl -isystem ${gcc_include} ${kernel_headers} '-D__GLIBC_PREREQ(major,minor)=0'")
set(CMAKE_EXE_LINKER_FLAGS_INIT "$CACHE{CMAKE_EXE_LINKER_FLAGS_INIT} -static")
# What compiles against musl links with it, not against glibc's C++ library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Libraries and headers are never the host's, nor glibc's: iniparser is
# named, or found under a root added to CMAKE_FIND_ROOT_PATH.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
