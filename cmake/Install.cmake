# cmake --install rules, in components that scripts/release.sh packs:
#   modules  the format modules
#   tools    cathost, mkcat, catmount, catindex, catfind and catweb (Linux, each where it is
#            built); catweb's and catindex's systemd user units with the system layout
#   docs     licence, changes and installation notes
#
# Linux, two layouts (CATALOGUE_INSTALL_LAYOUT):
#   system    programs in bin/, modules in LIBDIR/catalogue-modules (the Debian package, and
#             a plain cmake --install). The hosts look there, a folder compiled in as
#             CATALOGUE_MODULE_DIR, when no module sits beside their executable.
#   portable  programs and modules together in lib/catalogue-modules, found beside the
#             executable wherever the tree is unpacked; bin/ holds symbolic links to the
#             programs (the tar.gz).
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
  set(CATALOGUE_INSTALL_LAYOUT system CACHE STRING
    "Linux install layout: system (bin/ and LIBDIR/catalogue-modules) or portable (programs beside the modules)")
  set_property(CACHE CATALOGUE_INSTALL_LAYOUT PROPERTY STRINGS system portable)
  if(NOT CATALOGUE_INSTALL_LAYOUT MATCHES "^(system|portable)$")
    message(FATAL_ERROR "CATALOGUE_INSTALL_LAYOUT is system or portable, not '${CATALOGUE_INSTALL_LAYOUT}'")
  endif()

  # The layouts differ in install rules only, so switching between them rebuilds nothing.
  set(CATALOGUE_MODULE_DIR ${CMAKE_INSTALL_FULL_LIBDIR}/catalogue-modules)
  if(TARGET hostdriver)
    target_compile_definitions(hostdriver PRIVATE CATALOGUE_MODULE_DIR="${CATALOGUE_MODULE_DIR}")
  endif()

  set(CATALOGUE_PROGRAMS)
  foreach(program cathost mkcat catmount catindex catfind catweb)
    if(TARGET ${program})
      list(APPEND CATALOGUE_PROGRAMS ${program})
    endif()
  endforeach()

  if(CATALOGUE_INSTALL_LAYOUT STREQUAL "system")
    install(TARGETS ${CATALOGUE_MODULE_TARGETS}
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/catalogue-modules COMPONENT modules)
    if(CATALOGUE_PROGRAMS)
      install(TARGETS ${CATALOGUE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)
    endif()
    # catweb as a systemd user service (systemctl --user enable --now catweb.service), started
    # from where the program is installed.
    if(TARGET catweb)
      file(READ ${CMAKE_SOURCE_DIR}/packaging/systemd/catweb.service unit)
      string(REPLACE "/usr/bin/catweb" "${CMAKE_INSTALL_FULL_BINDIR}/catweb" unit "${unit}")
      file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/catweb.service CONTENT "${unit}"
        @ONLY)
      install(FILES ${CMAKE_BINARY_DIR}/packaging/catweb.service
        DESTINATION lib/systemd/user COMPONENT tools)
    endif()
    # catindex's daily update as a systemd user timer (systemctl --user enable --now
    # catindex.timer): the service runs catindex without PATH, which updates every root.
    if(TARGET catindex)
      file(READ ${CMAKE_SOURCE_DIR}/packaging/systemd/catindex.service unit)
      string(REPLACE "/usr/bin/catindex" "${CMAKE_INSTALL_FULL_BINDIR}/catindex" unit "${unit}")
      file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/catindex.service CONTENT "${unit}"
        @ONLY)
      install(FILES ${CMAKE_BINARY_DIR}/packaging/catindex.service
        ${CMAKE_SOURCE_DIR}/packaging/systemd/catindex.timer
        DESTINATION lib/systemd/user COMPONENT tools)
    endif()
  else()
    set(portable_dir lib/catalogue-modules)
    install(TARGETS ${CATALOGUE_MODULE_TARGETS} LIBRARY DESTINATION ${portable_dir}
      COMPONENT modules)
    if(CATALOGUE_PROGRAMS)
      install(TARGETS ${CATALOGUE_PROGRAMS} RUNTIME DESTINATION ${portable_dir} COMPONENT tools)
      foreach(program ${CATALOGUE_PROGRAMS})
        install(CODE "
          set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
          file(MAKE_DIRECTORY \"\${bin}\")
          file(CREATE_LINK ../${portable_dir}/${program} \"\${bin}/${program}\" SYMBOLIC)
          message(STATUS \"Installing: \${bin}/${program} -> ../${portable_dir}/${program}\")"
          COMPONENT tools)
      endforeach()
    endif()
  endif()
  install(FILES README.md LICENSE CHANGELOG.md
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/catalogue-modules
    COMPONENT docs)
endif()
