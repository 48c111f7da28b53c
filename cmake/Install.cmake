# cmake --install rules, in components that scripts/release.sh packs:
#   modules  the format modules
#   tools    cathost, mkcat, catmount, catindex and catfind (Linux, each where it is built)
#   docs     licence, changes and installation notes
#
# Linux: programs and modules sit together in lib/catalogue-modules, because cathost loads the
# modules that sit beside its own executable; bin/ holds symbolic links to the programs.
# Windows: the DLLs and the notes at the top of the prefix, for copying into the host's folder.
include(GNUInstallDirs)

set(CATALOGUE_MODULE_TARGETS zex_fmt)
if(TARGET mur_fmt)
  list(APPEND CATALOGUE_MODULE_TARGETS mur_fmt)
endif()

if(WIN32)
  install(TARGETS ${CATALOGUE_MODULE_TARGETS} RUNTIME DESTINATION . COMPONENT modules)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/INSTALL-windows.txt.in
    ${CMAKE_BINARY_DIR}/packaging/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/INSTALL.txt DESTINATION . COMPONENT docs)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT docs)
  install(FILES CHANGELOG.md DESTINATION . COMPONENT docs)
else()
  set(CATALOGUE_PROGRAM_DIR ${CMAKE_INSTALL_LIBDIR}/catalogue-modules)
  install(TARGETS ${CATALOGUE_MODULE_TARGETS} LIBRARY DESTINATION ${CATALOGUE_PROGRAM_DIR}
    COMPONENT modules)
  set(CATALOGUE_PROGRAMS)
  foreach(program cathost mkcat catmount catindex catfind)
    if(TARGET ${program})
      list(APPEND CATALOGUE_PROGRAMS ${program})
    endif()
  endforeach()
  if(CATALOGUE_PROGRAMS)
    install(TARGETS ${CATALOGUE_PROGRAMS} RUNTIME DESTINATION ${CATALOGUE_PROGRAM_DIR}
      COMPONENT tools)
    foreach(program ${CATALOGUE_PROGRAMS})
      install(CODE "
        set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        file(MAKE_DIRECTORY \"\${bin}\")
        file(CREATE_LINK ../${CATALOGUE_PROGRAM_DIR}/${program} \"\${bin}/${program}\" SYMBOLIC)
        message(STATUS \"Installing: \${bin}/${program} -> ../${CATALOGUE_PROGRAM_DIR}/${program}\")"
        COMPONENT tools)
    endforeach()
  endif()
  install(FILES README.md LICENSE CHANGELOG.md
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/catalogue-modules
    COMPONENT docs)
endif()
