# Install rules and packages. Components, so that a packager can take them
# apart: program (the binary), manual, readme, licence; the debian component
# holds what a Debian package carries instead of the plain manual and the
# licence text, and is installed only into the .deb. The archives hold what
# a plain install does.
#   Linux tarball  dravlet-VERSION-linux-PROCESSOR.tar.gz  program manual readme licence
#   Debian package dravlet_VERSION_ARCH.deb                program debian readme
#   Windows zip    dravlet-VERSION-windows-PROCESSOR.zip   program manual readme licence
#                  (readme: README.txt and EXAMPLES.txt, the examples in cmd
#                  and PowerShell)
# PROCESSOR is the target's (x86_64), ARCH Debian's name for it (amd64).
# On Windows the program sits beside its documents, at the archive's top.
set(program_dir ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  set(program_dir .)
endif()
install(TARGETS dravlet RUNTIME DESTINATION ${program_dir} COMPONENT program)

if(WIN32)
  # Windows has neither man nor LF line ends: the archive carries the
  # manual as text, a README written for Windows, the examples for cmd and
  # PowerShell and LICENSE with CRLF. They are made when the
  # program is installed, so that only installing and packaging need mandoc.
  set(text_dir ${CMAKE_BINARY_DIR}/windows-text)
  install(CODE "
    file(MAKE_DIRECTORY \"${text_dir}\")
    find_program(MANDOC mandoc)
    if(NOT MANDOC)
      message(FATAL_ERROR \"mandoc is needed for the manual's text: apt-get install mandoc\")
    endif()
    execute_process(COMMAND \${MANDOC} -T ascii \"${manual}\" OUTPUT_VARIABLE manual_text RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"mandoc failed on ${manual}\")
    endif()
    # mandoc marks bold and underlined text by overstriking: a character, a
    # backspace, the character again or an underscore. Plain text keeps the
    # last.
    string(ASCII 8 backspace)
    string(REGEX REPLACE \"[^\n]\${backspace}\" \"\" manual_text \"\${manual_text}\")
    file(READ \"${PROJECT_SOURCE_DIR}/packaging/windows-readme.txt\" readme_text)
    file(READ \"${PROJECT_SOURCE_DIR}/LICENSE\" licence_text)
    file(READ \"${PROJECT_SOURCE_DIR}/packaging/windows-examples.txt\" examples_text)
    # Not named after the components, which the install script compares
    # with quoted names that a variable of the same name would replace.
    foreach(name manual_text readme_text licence_text examples_text)
      string(REPLACE \"\\n\" \"\\r\\n\" \${name} \"\${\${name}}\")
    endforeach()
    file(WRITE \"${text_dir}/dravlet.txt\" \"\${manual_text}\")
    file(WRITE \"${text_dir}/README.txt\" \"\${readme_text}\")
    file(WRITE \"${text_dir}/LICENSE.txt\" \"\${licence_text}\")
    file(WRITE \"${text_dir}/EXAMPLES.txt\" \"\${examples_text}\")
  " COMPONENT manual)
  install(FILES ${text_dir}/dravlet.txt DESTINATION . COMPONENT manual)
  install(FILES ${text_dir}/README.txt ${text_dir}/EXAMPLES.txt DESTINATION . COMPONENT readme)
  install(FILES ${text_dir}/LICENSE.txt DESTINATION . COMPONENT licence)
else()
  install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT readme)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)
endif()

if(DRAVLET_DEBIAN)
  # Debian wants the manual and the changelog compressed, and the licence in
  # its machine-readable copyright file.
  set(debian_dir ${CMAKE_BINARY_DIR}/debian)
  configure_file(packaging/changelog.in ${debian_dir}/changelog @ONLY)
  add_custom_command(OUTPUT ${debian_dir}/dravlet.1.gz ${debian_dir}/changelog.gz
    COMMAND gzip -9nc ${manual} > ${debian_dir}/dravlet.1.gz
    COMMAND gzip -9nc ${debian_dir}/changelog > ${debian_dir}/changelog.gz
    DEPENDS ${manual} ${debian_dir}/changelog VERBATIM)
  add_custom_target(debian_files ALL DEPENDS ${debian_dir}/dravlet.1.gz ${debian_dir}/changelog.gz)
  install(FILES ${debian_dir}/dravlet.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${debian_dir}/changelog.gz packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT debian EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME dravlet)
set(CPACK_PACKAGE_VENDOR "The dravlet authors")
set(CPACK_PACKAGE_CONTACT "The dravlet authors <maintainers@users.noreply.c-seed-677f4946.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy one byte range of a file into a new file")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "dravlet copies one contiguous byte range of an existing file into a new"
  "file: the header of an image, the last blocks of a log, the second half"
  "of a dump. Counts are in bytes or in blocks of a chosen length; the start"
  "is an offset from either end or a percentage of the file. It prints a"
  "report of the range and refuses, with one plain message, anything it"
  "cannot do exactly, such as a destination that is the source itself.")
# The .deb packs its own set of components into one package.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/generators.cmake)
string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_SYSTEM_NAME)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  # The .deb's architecture is Debian's name for the build's (amd64).
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
include(CPack)
