# What a user gets: the Windows resources of stbload.exe, `cmake --install`,
# and the packages that `cpack` makes (scripts/release makes them all).
#
#   POSIX:   bin/stbload, share/doc/stbload/{README.md,LICENSE,CHANGELOG.md},
#            share/man/man1/stbload.1; packages: .tar.gz, and .deb on Linux
#   Windows: stbload.exe, README.txt, LICENSE.txt side by side (Windows line
#            ends), to unpack anywhere; package: .zip
include(GNUInstallDirs)

# Directories made by the installation get these modes whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(STBLOAD_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md)

# "Copyright (c) YEAR the stbload authors", written once, in LICENSE.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE STBLOAD_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
if(NOT STBLOAD_COPYRIGHT)
  message(FATAL_ERROR "LICENSE has no Copyright line")
endif()

# The date of the man page and of the Debian changelog entry. string(TIMESTAMP)
# takes SOURCE_DATE_EPOCH when it is set, as scripts/release sets it (to the
# time of the last commit); without it, today.
string(TIMESTAMP STBLOAD_RELEASE_DATE "%Y-%m-%d" UTC)

# Copies a text file with its line ends made CR LF.
function(stbload_crlf_copy source destination)
  file(READ ${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${destination} "${text}")
endfunction()

# ---------------------------------------------------------------------------
# Windows: version information (Explorer, Properties > Details) and the
# application manifest, built into stbload.exe.
if(WIN32)
  enable_language(RC)
  set(STBLOAD_MANIFEST_PATH ${STBLOAD_PACKAGING_DIR}/stbload.exe.manifest)
  configure_file(${STBLOAD_PACKAGING_DIR}/stbload.rc.in ${PROJECT_BINARY_DIR}/stbload.rc @ONLY)
  target_sources(stbload PRIVATE ${PROJECT_BINARY_DIR}/stbload.rc)
  if(MSVC)
    # The MSVC linker writes the manifest itself, merged with this one, which
    # already asks for the caller's rights (asInvoker).
    target_sources(stbload PRIVATE ${STBLOAD_MANIFEST_PATH})
    target_link_options(stbload PRIVATE /MANIFESTUAC:NO)
  else()
    set_source_files_properties(${PROJECT_BINARY_DIR}/stbload.rc PROPERTIES
      COMPILE_DEFINITIONS STBLOAD_MANIFEST
      OBJECT_DEPENDS ${STBLOAD_MANIFEST_PATH})
  endif()
endif()

# ---------------------------------------------------------------------------
# Installation.
if(WIN32)
  stbload_crlf_copy(${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/README.txt)
  stbload_crlf_copy(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/LICENSE.txt)
  install(TARGETS stbload RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  install(TARGETS stbload RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  configure_file(${PROJECT_SOURCE_DIR}/doc/stbload.1.in ${PROJECT_BINARY_DIR}/stbload.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/stbload.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# ---------------------------------------------------------------------------
# Packages.
set(CPACK_PACKAGE_NAME stbload)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the stbload authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download firmware into a set-top box over a serial port")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME stbload-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME stbload-${PROJECT_VERSION}-win32)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME stbload-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(STBLOAD_DEB_MAINTAINER "stbload maintainers <maintainers@users.noreply.c-seed-1a0c109b.example>"
    CACHE STRING "The Maintainer field of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${STBLOAD_DEB_MAINTAINER}")
  # Dependencies as dpkg-shlibdeps finds them (the C++ runtime is linked in).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  # Debian's copyright file (the licence from LICENSE) and changelog, which
  # packaging/debian/stage.cmake adds to the package alone.
  string(REGEX REPLACE "^Copyright \\([cC]\\) " "" STBLOAD_DEB_COPYRIGHT "${STBLOAD_COPYRIGHT}")
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(FIND "${license}" "Permission is hereby granted" start)
  string(SUBSTRING "${license}" ${start} -1 license)
  string(STRIP "${license}" license)
  string(REPLACE "\n\n" "\n.\n" license "${license}")
  string(REPLACE "\n" "\n " STBLOAD_DEB_LICENSE_TEXT " ${license}")
  string(TIMESTAMP STBLOAD_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${STBLOAD_PACKAGING_DIR}/debian/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
  configure_file(${STBLOAD_PACKAGING_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
  set(CPACK_STBLOAD_DEBIAN_DIR ${PROJECT_BINARY_DIR}/debian)
  set(CPACK_PRE_BUILD_SCRIPTS ${STBLOAD_PACKAGING_DIR}/debian/stage.cmake)
  # The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
stbload writes a firmware image, given as an Intel HEX file, into the flash
of a set-top box whose resident boot loader takes downloads over an RS-232
line at 115200 baud. The operator starts the tool and powers on the box; the
tool answers the loader's update request, sends the image and waits until
the box reports that it has written its flash.

Serial ports are named by COM number, as on Windows: on Linux, COMn is
/dev/ttyS(n-1) or the device that the environment variable STBLOAD_COMn
names, such as a USB serial adapter.]])
endif()

include(CPack)
