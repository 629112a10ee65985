# How the tool's own code is built, for every target it runs on: no
# exceptions or RTTI (nothing may need libstdc++ at run time), unused code
# dropped, and a position-dependent executable, whose smaller code and
# fewer start-up relocations keep the MIPS binary within its 16 KiB. Its
# own functions stay out of the dynamic symbol table: the MIPS linker
# would export every global of the executable, at some 50 bytes each.
add_library(tool_flags INTERFACE)
target_compile_options(tool_flags INTERFACE
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -ffunction-sections -fdata-sections -fno-pie -fvisibility=hidden)
target_link_options(tool_flags INTERFACE -no-pie -Wl,--gc-sections -Wl,--as-needed)
# On MIPS a call into a library then goes straight to a PLT entry instead
# of loading its address from the GOT and $gp again at every call site;
# with link-time optimisation across the tool's files that saves some
# 2 KiB there. (A compiler without LTO, such as clang without its linker
# plugin, builds the tool without it.)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^mips")
  target_compile_options(tool_flags INTERFACE -mplt)
endif()
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
