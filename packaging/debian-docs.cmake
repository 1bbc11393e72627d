# Run by CPack before it builds the .deb: gives the staged tree what a
# Debian package carries beside the program, a compressed manual page, its
# changelog and copyright under /usr/share/doc/dravlet, and its lintian
# overrides.
file(GLOB_RECURSE manuals "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/dravlet.1")
foreach(manual ${manuals})
  execute_process(COMMAND gzip -9nf "${manual}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/dravlet")
foreach(binary ${binaries})
  get_filename_component(prefix "${binary}" DIRECTORY)
  get_filename_component(prefix "${prefix}" DIRECTORY)
  set(doc "${prefix}/share/doc/dravlet")
  file(MAKE_DIRECTORY "${doc}")
  file(COPY "${CPACK_DRAVLET_SOURCE_DIR}/packaging/copyright" DESTINATION "${doc}")
  file(COPY "${CPACK_DRAVLET_SOURCE_DIR}/packaging/changelog" DESTINATION "${doc}")
  execute_process(COMMAND gzip -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
  set(overrides "${prefix}/share/lintian/overrides")
  file(MAKE_DIRECTORY "${overrides}")
  file(COPY_FILE "${CPACK_DRAVLET_SOURCE_DIR}/packaging/lintian-overrides" "${overrides}/dravlet")
endforeach()
