# Install layout and the Debian package: the tool in sbin, its man page, an
# example configuration. Nothing goes under /quarn_etc: the device owns it.
include(GNUInstallDirs)

set(man_gz ${CMAKE_BINARY_DIR}/debug.8.gz)
add_custom_command(OUTPUT ${man_gz}
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/cli/debug.8 > ${man_gz}
  DEPENDS ${CMAKE_SOURCE_DIR}/cli/debug.8)
set(changelog_gz ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(docs ALL DEPENDS ${man_gz} ${changelog_gz})

install(TARGETS debug RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES examples/debug.cfg DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES packaging/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "mips")
  set(deb_arch mipsel)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME debug)
set(CPACK_PACKAGE_CONTACT "The debug developers <debug@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "show and set the device's debug settings")
set(CPACK_PACKAGE_DESCRIPTION
  "debug prints the three debug type numbers kept in /quarn_etc/debug.cfg and\n stores a new debug type 1, changing nothing else in the file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_FILE_NAME debug_${PROJECT_VERSION}_${deb_arch}.deb)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libiniparser1 (>= 4.1)")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Reproducible packages: unless the caller sets SOURCE_DATE_EPOCH, every
# time inside them is that of the last changelog entry, as Debian does.
file(STRINGS packaging/changelog trailer REGEX "^ -- .*>  " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*>  " "" changelog_date "${trailer}")
execute_process(COMMAND date -d "${changelog_date}" +%s OUTPUT_VARIABLE changelog_epoch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackEpoch.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
  "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n  set(ENV{SOURCE_DATE_EPOCH} ${changelog_epoch})\nendif()\n")
include(CPack)
