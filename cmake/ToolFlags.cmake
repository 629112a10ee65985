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
# Each flag is added only where a program that needs it links, not only
# compiles: a C library may lack what a flag calls (uClibc-ng has no stack
# protector unless built with one). What is left out is said, and why.
function(hardening_check flag have why)
  if(${have})
    target_compile_options(hardening INTERFACE ${flag})
  else()
    message(STATUS "Hardening: ${flag} left out: ${why}")
  endif()
endfunction()
function(debug_hardening)
  # A local array the stack protector guards, handed to another function.
  set(CMAKE_REQUIRED_FLAGS -fstack-protector-strong)
  check_c_source_compiles("int f(char *p) { return p[0]; }
int main(int argc, char **argv) { char b[64]; b[0] = argv[0][argc]; return f(b); }"
    have_stack_protector)
  unset(CMAKE_REQUIRED_FLAGS)
  hardening_check(-fstack-protector-strong have_stack_protector
    "a program it guards does not link (the C library has no __stack_chk_fail)")
  check_c_compiler_flag(-fstack-clash-protection have_stack_clash)
  hardening_check(-fstack-clash-protection have_stack_clash "the compiler has it not")
  check_linker_flag(C -Wl,-z,relro have_relro)
  if(have_relro)
    target_link_options(hardening INTERFACE -Wl,-z,relro)
  else()
    message(STATUS "Hardening: -z relro left out: the linker has it not")
  endif()
  # FORTIFY checks only optimised code; where the caller or the compiler
  # already sets a level, in either language, that level stands. 3 where the
  # C library takes it, else 2, where a program with a checked call links.
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -O2)
  set(probe "#include <stdio.h>
#ifdef _FORTIFY_SOURCE
#error set
#endif
int main(void) { return 0; }")
  check_c_source_compiles("${probe}" fortify_unset_c)
  check_cxx_source_compiles("${probe}" fortify_unset_cxx)
  set(checked "#include <string.h>
char b[8];
int main(int argc, char **argv) { memcpy(b, argv[0], (size_t)argc); return b[0]; }")
  set(CMAKE_REQUIRED_DEFINITIONS -D_FORTIFY_SOURCE=3)
  check_c_source_compiles("#include <stdio.h>
#if !defined __USE_FORTIFY_LEVEL || __USE_FORTIFY_LEVEL < 3
#error no level 3
#endif
${checked}" fortify3_links)
  set(CMAKE_REQUIRED_DEFINITIONS -D_FORTIFY_SOURCE=2)
  check_c_source_compiles("${checked}" fortify2_links)
  unset(CMAKE_REQUIRED_DEFINITIONS)
  unset(CMAKE_REQUIRED_FLAGS)
  if(fortify_unset_c AND fortify_unset_cxx)
    if(fortify3_links)
      set(fortify 3)
    elseif(fortify2_links)
      set(fortify 2)
    endif()
    if(fortify)
      target_compile_definitions(hardening INTERFACE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=${fortify}>)
    else()
      message(STATUS "Hardening: _FORTIFY_SOURCE left out: a program with a checked call does not link")
    endif()
  endif()
endfunction()
debug_hardening()
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
