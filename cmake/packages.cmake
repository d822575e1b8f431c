# What `cmake --install` puts where, and the packages `cpack` makes of it: a Debian package
# on Linux, a zip of Halvek.exe with its README and license for Windows.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The Halvek developers")
set(CPACK_PACKAGE_CONTACT "The Halvek developers <halvek@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# The folders a package makes, as Debian has them, whatever the umask of whoever packages.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

if(WIN32)
  install(TARGETS halvek RUNTIME DESTINATION .)
  # For Windows users: what they need to know as plain text, and both texts with the line ends
  # Windows editors expect.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  file(CONFIGURE OUTPUT LICENSE.txt CONTENT "${license}" @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME "Halvek-${PROJECT_VERSION}-win64")
  else()
    set(CPACK_PACKAGE_FILE_NAME "Halvek-${PROJECT_VERSION}-win32")
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS halvek RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The manual page and the changelog compressed as Debian has them, without a time stamp.
  foreach(text tool/halvek.1 packaging/changelog)
    get_filename_component(name ${text} NAME)
    add_custom_command(OUTPUT ${name}.gz COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${text} > ${name}.gz
                       DEPENDS ${PROJECT_SOURCE_DIR}/${text})
  endforeach()
  add_custom_target(compressed_texts ALL DEPENDS halvek.1.gz changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/halvek.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The README as it ships, in the package and the tarball: beside it are only the license and
  # the manual page, so a link to another file of the source becomes that file's plain name,
  # and the screenshot is left out.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REGEX REPLACE "<img [^>]*>\n\n" "" readme "${readme}")
  string(REGEX REPLACE "\\[([^]]*)\\]\\([^):#]+\\)" "\\1" readme "${readme}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/README.md "${readme}")
  # The copyright file holds the license.
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.md packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME halvek)

  # Release names give the machine as the compiler knows it; Debian has names of its own.
  set(HALVEK_MACHINE ${CMAKE_SYSTEM_PROCESSOR} CACHE STRING "The machine in the tarball's name")
  set(CPACK_GENERATOR DEB)
  if(HALVEK_DEBIAN_ARCHITECTURE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${HALVEK_DEBIAN_ARCHITECTURE})
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The program is static: it depends on nothing.
  # Below the summary line, which comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "Halvek takes one cartridge image and writes two files beside it: a copy\n"
         "whose header carries a 64 KiB SRAM save marker and a recomputed complement\n"
         "check, and a blank save of 65,536 zero bytes. It never changes the image,\n"
         "and each file it writes is whole or absent. MIT license.")
endif()

include(CPack)
