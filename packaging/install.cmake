# Install rules and archives. Components, so that a packager can take them
# apart: program (the binary), manual, readme, licence. The archives hold
# what a plain install does; the Debian package is built from debian/.
#   Linux tarball  dravlet-VERSION-linux-PROCESSOR.tar.gz  program manual readme licence
#   Windows zip    dravlet-VERSION-windows-PROCESSOR.zip   program manual readme licence
#                  (readme: README.txt and EXAMPLES.txt, the examples in cmd
#                  and PowerShell)
# PROCESSOR is the target's (x86_64).
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
      message(FATAL_ERROR \"mandoc is needed for the manual's text: apt-get build-dep -P pkg.dravlet.windows ./\")
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

set(CPACK_PACKAGE_NAME dravlet)
set(CPACK_PACKAGE_VENDOR "The dravlet authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy one byte range of a file into a new file")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_SYSTEM_NAME)
# The archive's name, and a folder of that name at its top.
set(CPACK_PACKAGE_FILE_NAME "dravlet-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)
