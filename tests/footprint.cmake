# What the tool costs the device, checked against fixed budgets:
#   cmake -DCHECK=deps -DBINARY=... -P footprint.cmake
#   CHECK=deps     the binary needs exactly the C library (libc.so.6 of glibc,
#                  libc.so of musl) and libiniparser.so.1; with STATIC, nothing,
#                  and none of libstdc++ is in it (its link map is MAP)
#   CHECK=lfs      the binary calls the 64-bit file and time interfaces (a
#                  32-bit stat() fails with EOVERFLOW on 64-bit inode numbers)
#   CHECK=arch     `file` says the binary is ELF for MATCH (a regex)
#   CHECK=size     stripped with STRIP, at most LIMIT bytes
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
  elseif(NOT needed MATCHES "^Shared library: \\[libc\\.so(\\.[0-9]+)?\\];Shared library: \\[libiniparser\\.so\\.1\\]$")
    fail("dynamic dependencies are ${needed}, not the C library and libiniparser.so.1")
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
  file(SIZE ${stripped} size)
  message(STATUS "stripped: ${size} bytes, budget ${LIMIT}")
  if(size GREATER LIMIT)
    fail("stripped binary is ${size} bytes, over ${LIMIT}")
  endif()

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
  if(lint MATCHES "(^|\n)E: ")
    fail("lintian reports errors")
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
