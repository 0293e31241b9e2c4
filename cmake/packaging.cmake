# What `cmake --install` installs and CPack packs. The Windows build: the
# program, README.txt, LICENSE.txt, NOTICES.txt (what static linking put into
# the program, and under which licences) with CR LF line ends, and SHA256SUMS
# of them all, as a ZIP. The native build, statically linked (TAVIK_STATIC):
# the program and its manual page, with a README, LICENSE and NOTICES at the
# top of a TGZ; linked dynamically on Linux: the program, its manual page and
# the Debian documentation files, as a DEB.
#
# The packages are reproducible: scripts/release.sh sets SOURCE_DATE_EPOCH to
# the time of the last commit, which CPack uses for every time stamp in the
# archives and string(TIMESTAMP) for the changelog's date; file modes are fixed
# here rather than taken from the umask; the notices depend only on the
# program's link map and the installed Debian packages.

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
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  set(texts ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
    ${CMAKE_CURRENT_BINARY_DIR}/NOTICES.txt)
  add_custom_command(OUTPUT NOTICES.txt
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/notices.sh tavikmigrate.exe LICENSE.txt
      ${CMAKE_CURRENT_BINARY_DIR}/tavikmigrate.map NOTICES.txt --crlf
    DEPENDS tavikmigrate ${CMAKE_SOURCE_DIR}/cmake/notices.sh
    VERBATIM)
  set(sums ${CMAKE_CURRENT_BINARY_DIR}/SHA256SUMS)
  add_custom_command(OUTPUT ${sums}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${sums} "-DFILES=$<TARGET_FILE:tavikmigrate>;${texts}"
      -P ${CMAKE_SOURCE_DIR}/cmake/sha256sums.cmake
    DEPENDS tavikmigrate ${texts} ${CMAKE_SOURCE_DIR}/cmake/sha256sums.cmake
    VERBATIM)
  add_custom_target(packaging_files ALL DEPENDS ${sums})

  install(TARGETS tavikmigrate RUNTIME DESTINATION . PERMISSIONS ${program_permissions})
  install(FILES ${texts} ${sums} DESTINATION . PERMISSIONS ${file_permissions})
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tavikmigrate-${PROJECT_VERSION}-windows-x86)
else()
  set(CMAKE_INSTALL_DOCDIR share/doc/tavikmigrate)
  include(GNUInstallDirs)
  set(debian_package OFF)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT TAVIK_STATIC)
    set(debian_package ON)
  endif()
  # gzip -n: no name and no time stamp in the compressed files.
  find_program(GZIP gzip REQUIRED)
  # The manual page carries its version and date itself, so that it reads the
  # same from the source tree; its version must be that of project().
  file(STRINGS docs/tavikmigrate.1 manual_title REGEX "^\\.TH ")
  if(NOT manual_title MATCHES "^\\.TH TAVIKMIGRATE 1 [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] \"tavikmigrate ${PROJECT_VERSION}\" ")
    message(FATAL_ERROR "docs/tavikmigrate.1: its .TH line must carry a date (YYYY-MM-DD) and \"tavikmigrate "
      "${PROJECT_VERSION}\", the version of project(): ${manual_title}")
  endif()
  configure_file(docs/tavikmigrate.1 tavikmigrate.1 COPYONLY)
  set(compressed tavikmigrate.1)
  if(debian_package)
    string(TIMESTAMP RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
    configure_file(packaging/changelog.in changelog @ONLY)
    list(APPEND compressed changelog)
  endif()
  set(packaging_files "")
  foreach(file ${compressed})
    add_custom_command(OUTPUT ${file}.gz
      COMMAND ${GZIP} -9 -n -c ${file} > ${file}.gz
      DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${file})
    list(APPEND packaging_files ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz)
  endforeach()

  install(TARGETS tavikmigrate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} PERMISSIONS ${program_permissions})
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # Stripped as Debian strips programs: no symbols, and not the compilers'
    # names either (.comment).
    install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavikmigrate\" COMMAND_ERROR_IS_FATAL ANY)")
  else()
    set(CPACK_STRIP_FILES ON)
  endif()
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tavikmigrate.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 PERMISSIONS ${file_permissions})
  string(TOLOWER ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} system)
  set(CPACK_PACKAGE_FILE_NAME tavikmigrate-${PROJECT_VERSION}-${system})
  if(debian_package)
    install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DOCDIR} PERMISSIONS ${file_permissions})
    set(CPACK_GENERATOR DEB)
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
  else()
    # At the top of the archive only: the component is left out of a plain
    # `cmake --install`, and CPack installs it beside the rest.
    configure_file(packaging/README.in README @ONLY)
    set(top_files ${CMAKE_CURRENT_BINARY_DIR}/README LICENSE)
    # The notices come from Debian's package database; a static build made on
    # a system without one (only the release, made on Debian, ships the TGZ)
    # goes without them rather than failing.
    find_program(DPKG_QUERY dpkg-query)
    if(TAVIK_STATIC AND NOT DPKG_QUERY)
      message(WARNING "dpkg-query not found: no NOTICES for the static program; make releases on Debian")
    endif()
    if(TAVIK_STATIC AND DPKG_QUERY)
      add_custom_command(OUTPUT NOTICES
        COMMAND ${CMAKE_SOURCE_DIR}/cmake/notices.sh tavikmigrate LICENSE
          ${CMAKE_CURRENT_BINARY_DIR}/tavikmigrate.map NOTICES
        DEPENDS tavikmigrate ${CMAKE_SOURCE_DIR}/cmake/notices.sh
        VERBATIM)
      list(APPEND packaging_files ${CMAKE_CURRENT_BINARY_DIR}/NOTICES)
      list(APPEND top_files ${CMAKE_CURRENT_BINARY_DIR}/NOTICES)
    endif()
    install(FILES ${top_files} DESTINATION . PERMISSIONS ${file_permissions}
      COMPONENT archive_top EXCLUDE_FROM_ALL)
    set(CPACK_INSTALL_CMAKE_PROJECTS
      "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/" "${CMAKE_BINARY_DIR};${PROJECT_NAME};archive_top;/")
    set(CPACK_GENERATOR TGZ)
  endif()
  add_custom_target(packaging_files ALL DEPENDS ${packaging_files})
endif()
include(CPack)
