# What `cmake --install` installs and CPack packs. The Windows build: the
# program, a README.txt with CR LF line ends and SHA256SUMS of both, as a ZIP.
# The native build: the program (stripped), its manual page and the Debian
# documentation files, as a TGZ and a DEB.
#
# The packages are reproducible: scripts/release.sh sets SOURCE_DATE_EPOCH to
# the time of the last commit, which CPack uses for every time stamp in the
# archives and string(TIMESTAMP) for the changelog's date; file modes are fixed
# here rather than taken from the umask.

set(PACKAGE_MAINTAINER "tavikmigrate developers <tavikmigrate@example.org>")
set(CPACK_PACKAGE_NAME tavikmigrate)
set(CPACK_PACKAGE_VENDOR "${TAVIK_COPYRIGHT_HOLDER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move the Tavik emulator's settings from Tavik.ini into the registry")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(program_permissions
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(file_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(WIN32)
  configure_file(packaging/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  set(sums ${CMAKE_CURRENT_BINARY_DIR}/SHA256SUMS)
  add_custom_command(OUTPUT ${sums}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${sums}
      -DFILES=$<TARGET_FILE:tavikmigrate>$<SEMICOLON>${CMAKE_CURRENT_BINARY_DIR}/README.txt
      -P ${CMAKE_SOURCE_DIR}/cmake/sha256sums.cmake
    DEPENDS tavikmigrate ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_SOURCE_DIR}/cmake/sha256sums.cmake
    VERBATIM)
  add_custom_target(packaging_files ALL DEPENDS ${sums})

  install(TARGETS tavikmigrate RUNTIME DESTINATION . PERMISSIONS ${program_permissions})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${sums} DESTINATION . PERMISSIONS ${file_permissions})
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tavikmigrate-${PROJECT_VERSION}-windows-x86)
else()
  set(CMAKE_INSTALL_DOCDIR share/doc/tavikmigrate)
  include(GNUInstallDirs)
  # gzip -n: no name and no time stamp in the compressed files.
  find_program(GZIP gzip REQUIRED)
  configure_file(docs/tavikmigrate.1 tavikmigrate.1 @ONLY)
  string(TIMESTAMP RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(packaging/changelog.in changelog @ONLY)
  set(compressed "")
  foreach(file tavikmigrate.1 changelog)
    add_custom_command(OUTPUT ${file}.gz
      COMMAND ${GZIP} -9 -n -c ${file} > ${file}.gz
      DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${file})
    list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz)
  endforeach()
  add_custom_target(packaging_files ALL DEPENDS ${compressed})

  install(TARGETS tavikmigrate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} PERMISSIONS ${program_permissions})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tavikmigrate.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 PERMISSIONS ${file_permissions})
  install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR} PERMISSIONS ${file_permissions})
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    install(FILES packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME tavikmigrate
      PERMISSIONS ${file_permissions})
  endif()

  set(CPACK_GENERATOR TGZ DEB)
  string(TOLOWER ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} system)
  set(CPACK_PACKAGE_FILE_NAME tavikmigrate-${PROJECT_VERSION}-${system})
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The first line of the description is the summary above.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The Tavik emulator of older versions kept its settings in Tavik.ini in the
Windows directory. tavikmigrate copies them, without running Wine, into the
registry of a Wine prefix (its user.reg), where the emulator run under Wine
reads them.")
endif()
include(CPack)
