# SPDX-License-Identifier: GPL-3.0-or-later
# Run by CPack on the installed files before it makes the Debian package: the man pages
# and the changelog compressed, the licence given as Debian's copyright file (the GPL's
# text is on every Debian system), and the changelog in Debian's form, pointing to
# CHANGELOG.md. Reads VARNO_DEBIAN_DIR and VARNO_CHANGELOG from the project's CPack file.
set(varno_root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${varno_root}/bin")
  message(FATAL_ERROR "finish-package.cmake: no installed files in ${varno_root}")
endif()
set(varno_doc "${varno_root}/share/doc/${CPACK_PACKAGE_NAME}")

file(GLOB varno_pages "${varno_root}/share/man/man1/*.1")
foreach(varno_page IN LISTS varno_pages)
  execute_process(COMMAND gzip -9nf "${varno_page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

file(REMOVE "${varno_doc}/LICENSE")
file(COPY "${VARNO_DEBIAN_DIR}/copyright" DESTINATION "${varno_doc}")

# The date of this version's entry in CHANGELOG.md ("## 1.2.1 (2026-12-08)").
file(STRINGS "${VARNO_CHANGELOG}" varno_heading REGEX "^## ${CPACK_PACKAGE_VERSION} \\(")
string(REGEX MATCH "[0-9]+-[0-9]+-[0-9]+" varno_date "${varno_heading}")
if(NOT varno_date)
  message(FATAL_ERROR "CHANGELOG.md has no entry \"## ${CPACK_PACKAGE_VERSION} (YYYY-MM-DD)\"")
endif()
execute_process(COMMAND date -u -R -d "${varno_date} 12:00" OUTPUT_VARIABLE varno_date
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
file(WRITE "${varno_doc}/changelog"
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Version ${CPACK_PACKAGE_VERSION}; CHANGELOG.md in this folder lists the changes.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${varno_date}\n")
execute_process(COMMAND gzip -9nf "${varno_doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
