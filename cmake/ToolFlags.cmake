# How the tool's own code is built, for every target it runs on: no
# exceptions or RTTI (nothing may need libstdc++ at run time), unused code
# dropped, and its own functions out of the dynamic symbol table (the MIPS
# linker would export every global of the executable, at some 50 bytes
# each).
add_library(tool_flags INTERFACE)
target_compile_options(tool_flags INTERFACE
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -ffunction-sections -fdata-sections -fvisibility=hidden)
target_link_options(tool_flags INTERFACE -Wl,--gc-sections -Wl,--as-needed)

# Hardened as distributions build their packages: the tool runs as root on
# a file another account may own. Only what the caller's flags and the
# compiler's defaults lack is added, and nothing is ever turned off, so a
# distribution's own hardening (Debian's, Buildroot's, Yocto's, OpenWrt's)
# stays in force. Binding at start (-z now) is left to the caller, as in
# Debian: it resolves at every start the symbols only a write uses.
include(CheckCCompilerFlag)
include(CheckCSourceCompiles)
include(CheckLinkerFlag)
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_library(hardening INTERFACE)
foreach(flag -fstack-protector-strong -fstack-clash-protection)
  string(MAKE_C_IDENTIFIER "have${flag}" have)
  check_c_compiler_flag(${flag} ${have})
  if(${have})
    target_compile_options(hardening INTERFACE ${flag})
  endif()
endforeach()
check_linker_flag(C -Wl,-z,relro have_relro)
if(have_relro)
  target_link_options(hardening INTERFACE -Wl,-z,relro)
endif()
# FORTIFY checks only optimised code; where the caller or the compiler
# already sets a level, in either language, that level stands. 3 where the
# C library takes it.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS -O2)
set(probe "#include <stdio.h>
#ifdef _FORTIFY_SOURCE
#error set
#endif
int main(void) { return 0; }")
check_c_source_compiles("${probe}" fortify_unset_c)
check_cxx_source_compiles("${probe}" fortify_unset_cxx)
set(CMAKE_REQUIRED_DEFINITIONS -D_FORTIFY_SOURCE=3)
check_c_source_compiles("#include <stdio.h>
#if !defined __USE_FORTIFY_LEVEL || __USE_FORTIFY_LEVEL < 3
#error no level 3
#endif
int main(void) { return 0; }" fortify3)
unset(CMAKE_REQUIRED_DEFINITIONS)
unset(CMAKE_REQUIRED_FLAGS)
if(fortify_unset_c AND fortify_unset_cxx)
  if(fortify3)
    set(fortify 3)
  else()
    set(fortify 2)
  endif()
  target_compile_definitions(hardening INTERFACE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=${fortify}>)
endif()
target_link_libraries(tool_flags INTERFACE hardening)

include(CheckIPOSupported)
check_ipo_supported(RESULT lto LANGUAGES C CXX)
# For set_target_properties() of the tool's own targets. Debug builds go
# without: AddressSanitizer writes LTO's temporary file names into them.
set(DEBUG_LTO INTERPROCEDURAL_OPTIMIZATION ${lto} INTERPROCEDURAL_OPTIMIZATION_DEBUG OFF)
# The same sources built in any folder make the same binary, debug builds
# included: the build folder would otherwise reach the build ID.
target_compile_options(tool_flags INTERFACE -fdebug-prefix-map=${CMAKE_BINARY_DIR}=.)
target_link_options(tool_flags INTERFACE -fdebug-prefix-map=${CMAKE_BINARY_DIR}=.)
# 32-bit targets: stat() on 64-bit inode numbers, times past 2038.
target_compile_definitions(tool_flags INTERFACE _FILE_OFFSET_BITS=64 _TIME_BITS=64)
