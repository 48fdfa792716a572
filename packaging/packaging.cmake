# Installation and packages.
#
#   cmake --install <build> --prefix <dir> [--strip]
#       korvel, korvel-devsim, korvel-check, korvel-ports, korvel-gang,
#       manual pages, bash completion, documents (the README and the
#       manual's pages of docs/)
#   cpack --config <build>/CPackConfig.cmake  a .deb on Linux, a .zip on Windows
#
# Included from the top-level CMakeLists.txt after every target is defined.

include(GNUInstallDirs)

set(KORVEL_PACKAGE_MAINTAINER "korvel developers <korvel-dev@example.org>"
  CACHE STRING "Maintainer field of the Debian package")
# A tree configured before would keep the former default, an address at
# localhost that Debian's checks refuse.
if(KORVEL_PACKAGE_MAINTAINER STREQUAL "korvel developers <korvel@localhost>")
  set_property(CACHE KORVEL_PACKAGE_MAINTAINER PROPERTY VALUE
    "korvel developers <korvel-dev@example.org>")
endif()

if(WIN32)
  # The zip is what a technician unpacks on a Windows machine: korvel.exe
  # at its top, next to the README and the licence, and the manual in docs/
  # (its pages and the manual pages they point to, where the README's links
  # find them). There is no simulated device on Windows.
  install(TARGETS korvel RUNTIME DESTINATION .)
  # korvel-check.exe, korvel-ports.exe and korvel-gang.exe beside it,
  # where they were built (the gang runs the korvel.exe in its own folder).
  foreach(companion korvel-check korvel-ports korvel-gang)
    if(TARGET ${companion})
      install(TARGETS ${companion} RUNTIME DESTINATION .)
    endif()
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs
    FILES_MATCHING PATTERN "*.md" PATTERN "*.1")
else()
  install(TARGETS korvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(korvel_pages korvel.1)
  # The simulated device and the companions, where they were built.
  # korvel-gang runs the korvel in its own folder: both go to the same one.
  foreach(program korvel-devsim korvel-check korvel-ports korvel-gang)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
      list(APPEND korvel_pages ${program}.1)
    endif()
  endforeach()

  # Manual pages and the changelog are installed compressed, as Debian
  # wants them: gzip -9, without name or time stamp (-n), so that the same
  # sources give the same bytes.
  find_program(KORVEL_GZIP gzip REQUIRED)
  set(korvel_packaging_dir ${CMAKE_BINARY_DIR}/packaging)
  set(korvel_compressed)
  foreach(source IN ITEMS ${korvel_pages} changelog)
    if(source STREQUAL "changelog")
      set(source_path ${PROJECT_SOURCE_DIR}/packaging/changelog)
    else()
      set(source_path ${PROJECT_SOURCE_DIR}/docs/${source})
    endif()
    set(copy ${korvel_packaging_dir}/${source})
    add_custom_command(OUTPUT ${copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source_path} ${copy}
      COMMAND ${KORVEL_GZIP} -9nf ${copy}
      DEPENDS ${source_path}
      COMMENT "Compressing ${source}"
      VERBATIM)
    list(APPEND korvel_compressed ${copy}.gz)
  endforeach()
  add_custom_target(korvel_compressed_docs ALL DEPENDS ${korvel_compressed})
  foreach(page IN LISTS korvel_pages)
    install(FILES ${korvel_packaging_dir}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # The copyright file in Debian's machine-readable form, from LICENSE: its
  # copyright line, then its terms as the licence text ("Expat" is Debian's
  # name for the MIT licence).
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE korvel_license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" korvel_copyright_line "${korvel_license}")
  set(korvel_copyright_holder ${CMAKE_MATCH_1})
  string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" korvel_terms "${korvel_license}")
  string(REGEX REPLACE "\n+$" "" korvel_terms "${korvel_terms}")
  string(REGEX REPLACE "\n\n" "\n.\n" korvel_terms "${korvel_terms}")
  string(REGEX REPLACE "\n" "\n " korvel_terms "${korvel_terms}")
  file(CONFIGURE OUTPUT ${korvel_packaging_dir}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: korvel
Upstream-Contact: ${KORVEL_PACKAGE_MAINTAINER}

Files: *
Copyright: ${korvel_copyright_holder}
License: Expat
 ${korvel_terms}
")
  install(FILES ${korvel_packaging_dir}/copyright ${korvel_packaging_dir}/changelog.gz
    ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The manual's pages beside the README, in docs/ as in the source, so
  # that the README's links to them lead somewhere.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
    FILES_MATCHING PATTERN "*.md")

  # Completion of ports, image files and command words in bash; the
  # bash-completion package loads it on the first "korvel <Tab>", and by
  # the same name for the companions.
  foreach(command korvel korvel-check korvel-ports)
    if(command STREQUAL "korvel" OR TARGET ${command})
      install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvel-completion.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${command})
    endif()
  endforeach()
endif()

# --- CPack ------------------------------------------------------------------

set(CPACK_PACKAGE_NAME korvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KORVEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "write firmware or EEPROM contents into a serial-attached device")
set(CPACK_PACKAGE_DESCRIPTION
  "korvel writes a new firmware image into the flash memory, or new contents
into the EEPROM, of a small serial-attached device through the bootloader
that lives in the device: it wakes the bootloader, erases, programs the
image block by block with acknowledged framed messages and resets the
device. korvel-check tells what a run with given arguments would do
without touching a port, and korvel-ports lists the serial ports and
whether korvel recognises each as an adapter. korvel-gang flashes many
devices at once, one korvel run per port, with per-port logs, a summary
and JSON and JUnit reports, or as a station that flashes each port as it
appears. korvel-devsim plays such a device on a pseudo-terminal, so korvel
and scripts around it can be tried without hardware.")
# Packages land in the build tree, wherever cpack is run from.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Binaries go into the package without their debugging information.
set(CPACK_STRIP_FILES ON)
# Debian's permissions for what the package creates, whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME korvel-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME korvel-${PROJECT_VERSION}-win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KORVEL_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The library dependencies (libc, libstdc++, libgcc) are read from the
  # binaries where the Debian tool for that is there; without it the
  # package declares none.
  find_program(KORVEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(KORVEL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
endif()

include(CPack)
