# Cross build for the device: 32-bit little-endian MIPS32r2, glibc, with
# Debian's cross compiler and Debian's mipsel iniparser
# (dpkg --add-architecture mipsel; apt-get install g++-mipsel-linux-gnu
# libiniparser-dev:mipsel). For a vendor SDK, point the compilers and
# CMAKE_SYSROOT at the SDK instead; nothing else changes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_C_FLAGS_INIT "-march=mips32r2")
set(CMAKE_CXX_FLAGS_INIT "-march=mips32r2")

# Debian keeps mipsel libraries in /usr/lib/mipsel-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

# The loader and libraries are Debian's mipsel packages at their own paths;
# qemu's -L would also send the tool's own walk from "/" into its prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
