# Run by cpack for each package, after it has installed the files into its
# staging directory and before it packs them (CPACK_PRE_BUILD_SCRIPTS).
# The Debian package gets what Debian policy asks of every package: the
# copyright file, a changelog, and the man page compressed. gzip -n leaves
# out the name and time, so the package stays reproducible.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")

file(COPY "${CPACK_STBLOAD_DEBIAN_DIR}/copyright" "${CPACK_STBLOAD_DEBIAN_DIR}/changelog"
  DESTINATION "${doc}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
execute_process(
  COMMAND gzip -9nf "${doc}/changelog" "${root}/share/man/man1/${CPACK_PACKAGE_NAME}.1"
  COMMAND_ERROR_IS_FATAL ANY)
