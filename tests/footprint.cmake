# What the tool costs the device, checked against fixed budgets:
#   cmake -DCHECK=deps -DBINARY=... -P footprint.cmake
#   CHECK=deps     the binary needs exactly the C library (libc.so.6 of glibc,
#                  libc.so of musl) and libiniparser.so.1 (SONAME, if given),
#                  and maybe the loader ld.so.1, where glibc's MIPS stack
#                  protector reads its guard; with STATIC, nothing, and none
#                  of libstdc++ is in it (its link map is MAP)
#   CHECK=lfs      the binary calls the 64-bit file and time interfaces (a
#                  32-bit stat() fails with EOVERFLOW on 64-bit inode numbers)
#   CHECK=arch     `file` says the binary is ELF for MATCH (a regex)
#   CHECK=size     stripped with STRIP, what the device loads (text, data
#                  and bss) is at most LIMIT bytes; the file's size and its
#                  size compressed are reported
#   CHECK=hardening  the binary is a PIE, calls the stack protector and
#                  FORTIFY's checked functions, and has RELRO (with NOW,
#                  full RELRO: bound at start)
#   CHECK=startup  whole-process instructions of `debug read x` (callgrind,
#                  in a private root holding EXAMPLE) at most RATIO times
#                  those of the FLOOR program
#   CHECK=install  `cmake --install BUILD` with DESTDIR puts exactly the
#                  files named in EXPECT
#   CHECK=deb      cpack in BUILD makes debug_*_ARCH.deb, lintian finds no error,
#                  and SOURCE configured with CONFIGURE in another folder, built
#                  and packed, makes the very same bytes

function(fail)
  message(FATAL_ERROR ${ARGN})
endfunction()

if(CHECK STREQUAL "deps")
  execute_process(COMMAND readelf -dlW ${BINARY} OUTPUT_VARIABLE dyn COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dyn}")
  list(SORT needed)
  if(STATIC)
    # A static link fails on no stray use of the C++ library, as a dynamic
    # one's dependencies would show it: the link map must name none of it.
    file(STRINGS ${MAP} cxx REGEX "lib(std|sup)c\\+\\+")
    if(needed OR dyn MATCHES "INTERP" OR cxx)
      fail("a static binary needs ${needed}, or links the C++ library: ${cxx}")
    endif()
  else()
    if(NOT SONAME)
      set(SONAME libiniparser.so.1)
    endif()
    list(FILTER needed EXCLUDE REGEX "\\[ld\\.so\\.1\\]")
    string(REPLACE "." "\\." soname "${SONAME}")
    if(NOT needed MATCHES "^Shared library: \\[libc\\.so(\\.[0-9]+)?\\];Shared library: \\[${soname}\\]$")
      fail("dynamic dependencies are ${needed}, not the C library and ${SONAME}")
    endif()
  endif()

elseif(CHECK STREQUAL "lfs")
  execute_process(COMMAND readelf --dyn-syms -W ${BINARY} OUTPUT_VARIABLE syms
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL " (open|stat|fstat|lstat|fstatat)@[A-Z_0-9.]+" narrow "${syms}")
  if(narrow)
    fail("calls 32-bit file interfaces:${narrow}")
  endif()

elseif(CHECK STREQUAL "arch")
  execute_process(COMMAND file -b ${BINARY} OUTPUT_VARIABLE kind COMMAND_ERROR_IS_FATAL ANY)
  if(NOT kind MATCHES "${MATCH}")
    fail("file says '${kind}', not ${MATCH}")
  endif()

elseif(CHECK STREQUAL "size")
  set(stripped ${CMAKE_CURRENT_BINARY_DIR}/debug.stripped)
  execute_process(COMMAND ${STRIP} -o ${stripped} ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "strip$" "size" size_tool ${STRIP})
  execute_process(COMMAND ${size_tool} ${stripped} OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
  if(NOT table MATCHES "\n *[0-9]+[ \t]+[0-9]+[ \t]+[0-9]+[ \t]+([0-9]+)")
    fail("${size_tool} gave no total: ${table}")
  endif()
  set(loaded ${CMAKE_MATCH_1})
  file(SIZE ${stripped} bytes)
  execute_process(COMMAND xz -9 -c ${stripped} COMMAND wc -c OUTPUT_VARIABLE xz
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  message(STATUS "stripped: ${loaded} bytes loaded (budget ${LIMIT}), file ${bytes}, xz ${xz}")
  if(loaded GREATER LIMIT)
    fail("the device loads ${loaded} bytes of the stripped binary, over ${LIMIT}")
  endif()

elseif(CHECK STREQUAL "hardening")
  execute_process(COMMAND readelf -hdlW --dyn-syms ${BINARY} OUTPUT_VARIABLE elf
                  COMMAND_ERROR_IS_FATAL ANY)
  set(missing)
  if(NOT elf MATCHES "Type: +DYN" OR NOT elf MATCHES "Flags:[^\n]* PIE")
    list(APPEND missing PIE)
  endif()
  if(NOT elf MATCHES " __stack_chk_fail@")
    list(APPEND missing "stack protector")
  endif()
  if(NOT elf MATCHES " __[a-z]+_chk@")
    list(APPEND missing FORTIFY)
  endif()
  if(NOT elf MATCHES "GNU_RELRO")
    list(APPEND missing RELRO)
  endif()
  set(now)
  if(NOW)
    set(now ", bound at start")
    if(NOT elf MATCHES "Flags:[^\n]* NOW")
      list(APPEND missing "binding at start")
    endif()
  endif()
  if(missing)
    fail("the binary lacks: ${missing}")
  endif()
  message(STATUS "PIE, stack protector, FORTIFY, RELRO${now}: all there")

elseif(CHECK STREQUAL "startup")
  set(etc ${CMAKE_CURRENT_BINARY_DIR}/startup-etc)
  file(MAKE_DIRECTORY ${etc})
  configure_file(${EXAMPLE} ${etc}/debug.cfg COPYONLY)
  function(instructions program out)
    get_filename_component(dir ${program} DIRECTORY)
    get_filename_component(name ${program} NAME)
    execute_process(
      COMMAND ${SANDBOX} ${etc} ${dir} --unsetenv LD_LIBRARY_PATH valgrind --tool=callgrind --callgrind-out-file=/dev/null /opt/bin/${name} ${ARGN}
      OUTPUT_QUIET ERROR_VARIABLE log)
    if(NOT log MATCHES "Collected : ([0-9]+)")
      fail("callgrind gave no count for ${program}: ${log}")
    endif()
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  endfunction()
  instructions(${BINARY} tool read x)
  instructions(${FLOOR} floor)
  math(EXPR limit "${floor} * ${RATIO_PERCENT} / 100")
  message(STATUS "debug read x: ${tool} instructions, floor ${floor}, budget ${limit}")
  if(tool GREATER limit)
    fail("debug read x takes ${tool} instructions, over ${limit}")
  endif()

elseif(CHECK STREQUAL "install")
  set(root ${CMAKE_CURRENT_BINARY_DIR}/install-root)
  file(REMOVE_RECURSE ${root})
  set(ENV{DESTDIR} ${root})
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE files RELATIVE ${root} ${root}/*)
  list(SORT files)
  if(NOT files STREQUAL EXPECT)
    fail("installed ${files}, not ${EXPECT}")
  endif()

elseif(CHECK STREQUAL "deb")
  execute_process(COMMAND cpack -G DEB WORKING_DIRECTORY ${BUILD}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB debs ${BUILD}/debug_*_${ARCH}.deb)
  if(NOT debs)
    fail("cpack made no debug_*_${ARCH}.deb")
  endif()
  execute_process(COMMAND dpkg-deb -f ${debs} Architecture OUTPUT_VARIABLE arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND dpkg-deb -f ${debs} Depends OUTPUT_VARIABLE depends
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  message(STATUS "${debs}: Architecture ${arch}; Depends ${depends}")
  if(NOT arch STREQUAL ARCH OR NOT depends MATCHES "(^|, )libc6( |,|$)"
     OR NOT depends MATCHES "(^|, )libiniparser1( |,|$)")
    fail("package is for ${arch}, depending on ${depends}")
  endif()
  execute_process(COMMAND lintian --no-tag-display-limit ${debs} OUTPUT_VARIABLE lint ERROR_VARIABLE lint)
  message(STATUS "lintian: ${lint}")
  if(lint MATCHES "(^|\n)E: " OR lint MATCHES ": hardening-")
    fail("lintian reports errors, or hardening missing")
  endif()
  set(again ${CMAKE_CURRENT_BINARY_DIR}/package-again)
  file(REMOVE_RECURSE ${again})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${again} ${CONFIGURE} -DDEBUG_TESTS=OFF
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${again} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND cpack -G DEB WORKING_DIRECTORY ${again} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  get_filename_component(name ${debs} NAME)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${debs} ${again}/${name}
                  RESULT_VARIABLE differ)
  if(differ)
    fail("${name} built in ${again} differs from ${debs}: the package is not reproducible")
  endif()

else()
  fail("unknown CHECK '${CHECK}'")
endif()
