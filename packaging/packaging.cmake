# Installation and packages.
#
#   cmake --install <build> --prefix <dir>    korvel, korvel-devsim, manual pages
#   cpack --config <build>/CPackConfig.cmake  a .deb on Linux, a .zip on Windows
#
# Included from the top-level CMakeLists.txt after every target is defined.

include(GNUInstallDirs)

set(KORVEL_PACKAGE_MAINTAINER "korvel developers <korvel@localhost>"
  CACHE STRING "Maintainer field of the Debian package")

if(WIN32)
  # The zip is what a technician unpacks on a Windows machine: korvel.exe
  # at its top, next to the README. There is no simulated device on Windows.
  install(TARGETS korvel RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(TARGETS korvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET korvel-devsim)
    install(TARGETS korvel-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/docs/korvel.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(TARGET korvel-devsim AND EXISTS ${PROJECT_SOURCE_DIR}/docs/korvel-devsim.1)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/korvel-devsim.1
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
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
device. korvel-devsim plays such a device on a pseudo-terminal, so korvel
and scripts around it can be tried without hardware.")
# Packages land in the build tree, wherever cpack is run from.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

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
