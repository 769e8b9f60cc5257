# The Debian package of a Linux build, made by CPack from the install rules
# (tools/package: cpack -G DEB). Its dependencies are computed from the
# binaries by dpkg-shlibdeps; the library's shlibs entry comes with it.
if(WIN32)
  return()
endif()

# What Debian asks of every package: the copyright, a changelog, manual pages
# compressed (docs/man does that), stripped binaries.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME tolvan-terminal)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${CMAKE_BINARY_DIR}/changelog
  COMMAND gzip -9 -n -f ${CMAKE_BINARY_DIR}/changelog
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvan-terminal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tolvan-terminal developers <developers@tolvan-terminal.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console terminal for the JTAG UART of a target board")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"tolvan-terminal connects through a JTAG cable to the JTAG UART of a
processor on a target board, switches the console to raw input and relays
bytes both ways; it can carve a gmon.out profile out of the target's output.
.
The package also holds the JTAG UART access library libjtag_corvex with its
header, CMake package and pkg-config file, jtag-server, the local JTAG server
with simulated cables, boards and targets, and chainprobe, which lists and
changes what the server has. Manual pages, bash and zsh completion and systemd
units for jtag-server come with it.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_STRIP_FILES ON)
# The library's ldconfig run is a trigger, not a call in the scripts.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
