# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# Run by CPack on the staged files of the Debian package, before it is made:
# adds /usr/share/doc/kxrwebserver (copyright, changelog.gz) and compresses
# the man pages, as Debian wants them.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
foreach(file IN LISTS CPACK_KXR_DOC_FILES)
  get_filename_component(name "${file}" NAME)
  file(COPY_FILE "${file}" "${doc}/${name}")
endforeach()
if(NOT CPACK_KXR_MAN_DIR)
  message(FATAL_ERROR "CPACK_KXR_MAN_DIR is not set")
endif()
file(GLOB_RECURSE compress "${root}/${CPACK_KXR_MAN_DIR}/*")
list(APPEND compress "${doc}/changelog")
foreach(file IN LISTS compress)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
file(CHMOD_RECURSE "${root}/share/doc" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
