# SPDX-License-Identifier: MIT
# Run by cpack -G DEB on the staged files before they are packed: what Debian's policy
# adds to an install, the copyright file and compressed manual pages.
set(root "${CPACK_TEMPORARY_DIRECTORY}")
file(COPY "${CPACK_RESOURCE_FILE_LICENSE}" DESTINATION "${root}/usr/share/doc/menuhold"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(RENAME "${root}/usr/share/doc/menuhold/LICENSE" "${root}/usr/share/doc/menuhold/copyright")
file(GLOB pages "${root}/usr/share/man/man*/*")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9n "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
