# Cross build for the device's processor against musl instead of glibc,
# with Debian's packages only: the mipsel-linux-gnu cross compiler pointed
# at musl-dev:mipsel by musl's specs file (what Debian's
# mipsel-linux-musl-gcc does). Link statically, and the tool runs with
# nothing else installed. The flags go after those a caller gives as
# CMAKE_<LANG>_FLAGS_INIT; CMAKE_<LANG>_FLAGS would take their place.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(musl /usr/include/mipsel-linux-musl)
set(specs -specs=/usr/lib/mipsel-linux-musl/musl-gcc.specs)
# musl's folder has no kernel headers: they come last, from the cross
# compiler's own.
set(kernel_headers "-idirafter /usr/mipsel-linux-gnu/include")
set(CMAKE_C_FLAGS_INIT "$CACHE{CMAKE_C_FLAGS_INIT} -march=mips32r2 ${specs} ${kernel_headers}")
# C++ takes no specs file: libstdc++'s headers (no libstdc++ code is
# linked) must come before musl's, for their #include_next. They were
# configured for glibc, whose version test musl does not have.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
file(GLOB cxx_include /usr/mipsel-linux-gnu/include/c++/*)
set(CMAKE_CXX_FLAGS_INIT "$CACHE{CMAKE_CXX_FLAGS_INIT} -march=mips32r2 -nostdinc -isystem ${cxx_include} -isystem ${cxx_include}/mipsel-linux-gnu -isystem ${musl} -isystem ${gcc_include} ${kernel_headers} '-D__GLIBC_PREREQ(major,minor)=0'")
# The C compiler links (with the specs in its flags).
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
