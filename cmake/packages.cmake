# What `cmake --install` puts where, and the packages `cpack` makes of it: a Debian package
# on Linux, a zip of Halvek.exe with its README and license for Windows.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The Halvek developers")
set(CPACK_PACKAGE_CONTACT "The Halvek developers <halvek@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS halvek RUNTIME DESTINATION .)
  # For Windows users: the README with its Windows section first, and both texts with
  # the line ends Windows editors expect.
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(FIND "${readme}" "\n## " intro_end)
  string(FIND "${readme}" "\n## Windows\n" windows_begin)
  math(EXPR windows_heading "${windows_begin} + 1")
  string(SUBSTRING "${readme}" ${windows_heading} -1 from_windows)
  string(FIND "${from_windows}" "\n## " windows_length)
  math(EXPR windows_length "${windows_length} + 1")
  string(SUBSTRING "${from_windows}" 0 ${windows_length} windows_section)
  string(SUBSTRING "${from_windows}" ${windows_length} -1 after_windows)
  math(EXPR before_length "${windows_begin} - ${intro_end}")
  string(SUBSTRING "${readme}" 0 ${intro_end} intro)
  string(SUBSTRING "${readme}" ${intro_end} ${before_length} before_windows)
  file(CONFIGURE OUTPUT README.txt CONTENT "${intro}\n\n${windows_section}${before_windows}\n${after_windows}"
       @ONLY NEWLINE_STYLE CRLF)
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
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # what the program links to: the C library alone
  # Below the summary line, which comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "Halvek takes one cartridge image and writes two files beside it: a copy\n"
         "whose header carries a 64 KiB SRAM save marker and a recomputed complement\n"
         "check, and a blank save of 65,536 zero bytes. It never changes the image,\n"
         "and each file it writes is whole or absent. MIT license.")
endif()

include(CPack)
