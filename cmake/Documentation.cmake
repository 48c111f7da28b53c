# Manual pages and bash completion for the Linux programs.
#
# The pages are written once, in scdoc (docs/man/PROGRAM.1.scd), and made into man(7) source
# at build time: build/man/PROGRAM.1, installed to share/man/man1 (component docs), left
# uncompressed for the packager to compress. Without scdoc the build goes on without pages.
# Completions (docs/completion/PROGRAM) are installed where bash-completion loads them on
# demand (component tools). The docs tests check the pages against each program's --help
# and run the completions in bash.
#
# Run as a script (cmake -P), this file makes one page: SCDOC, INPUT, OUTPUT, MODULE_DIR and
# VERSION are given with -D. scdoc reads standard input and writes standard output, which a
# build rule cannot redirect portably.
if(CMAKE_SCRIPT_MODE_FILE)
  file(READ "${INPUT}" source)
  string(REPLACE "@CATALOGUE_MODULE_DIR@" "${MODULE_DIR}" source "${source}")
  string(REPLACE "@CATALOGUE_VERSION@" "${VERSION}" source "${source}")
  file(WRITE "${OUTPUT}.scd" "${source}")
  execute_process(COMMAND "${SCDOC}" INPUT_FILE "${OUTPUT}.scd" OUTPUT_FILE "${OUTPUT}.tmp"
    RESULT_VARIABLE result)
  file(REMOVE "${OUTPUT}.scd")
  if(NOT result EQUAL 0)
    file(REMOVE "${OUTPUT}.tmp")
    message(FATAL_ERROR "scdoc failed on ${INPUT}: ${result}")
  endif()
  # scdoc asks for no hyphenation (.nh) before .TH, which turns it on again: asked once more
  # after it, option names and paths are never broken at a hyphenation point.
  file(READ "${OUTPUT}.tmp" page)
  string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n" page "${page}")
  file(WRITE "${OUTPUT}.tmp" "${page}")
  file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
  return()
endif()

if(WIN32 OR NOT CATALOGUE_BUILD_TOOLS OR NOT CATALOGUE_PROGRAMS)
  return()
endif()

set(CATALOGUE_DOCS_DIR ${CMAKE_SOURCE_DIR}/docs)
# The folder the pages name for the installed modules: the one the hosts search.
if(NOT CATALOGUE_MODULE_DIR)
  set(CATALOGUE_MODULE_DIR ${CMAKE_INSTALL_FULL_LIBDIR}/catalogue-modules)
endif()

find_program(SCDOC_EXECUTABLE scdoc)
mark_as_advanced(SCDOC_EXECUTABLE)
set(CATALOGUE_MAN_PAGES)
if(SCDOC_EXECUTABLE)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
  foreach(program ${CATALOGUE_PROGRAMS})
    set(source ${CATALOGUE_DOCS_DIR}/man/${program}.1.scd)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DSCDOC=${SCDOC_EXECUTABLE} -DINPUT=${source} -DOUTPUT=${page}
        -DMODULE_DIR=${CATALOGUE_MODULE_DIR}
        -DVERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_FILE}
      DEPENDS ${source} ${CMAKE_CURRENT_LIST_FILE}
      COMMENT "Manual page ${program}(1)"
      VERBATIM)
    list(APPEND CATALOGUE_MAN_PAGES ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${CATALOGUE_MAN_PAGES})
  install(FILES ${CATALOGUE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT docs)
else()
  message(STATUS "Manual pages not made: scdoc is missing (Debian package scdoc)")
endif()

foreach(program ${CATALOGUE_PROGRAMS})
  install(FILES ${CATALOGUE_DOCS_DIR}/completion/${program}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions COMPONENT tools)
endforeach()

# The tests: the pages against --help (skipped without scdoc or man), the completions in bash
# (skipped without bash-completion). 77 is their "skipped".
if(CATALOGUE_BUILD_TESTS)
  if(SCDOC_EXECUTABLE)
    set(pages_made 1)
  else()
    set(pages_made 0)
  endif()
  add_test(NAME man_pages
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/docs/check_pages.sh ${CMAKE_BINARY_DIR} ${pages_made}
      ${CATALOGUE_PROGRAMS})
  add_test(NAME bash_completion
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/docs/check_completion.sh ${CMAKE_BINARY_DIR}
      ${CATALOGUE_DOCS_DIR}/completion ${CATALOGUE_PROGRAMS})
  set_tests_properties(man_pages bash_completion PROPERTIES LABELS docs SKIP_RETURN_CODE 77)
  # The README's journey, run as written, where every program it calls is built.
  set(journey_programs mkcat catindex catfind catmount catweb)
  list(REMOVE_ITEM journey_programs ${CATALOGUE_PROGRAMS})
  if(NOT journey_programs)
    add_test(NAME readme_journey
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/docs/check_journey.sh ${CMAKE_BINARY_DIR}
        ${CMAKE_SOURCE_DIR})
    set_tests_properties(readme_journey PROPERTIES LABELS docs SKIP_RETURN_CODE 77
      RUN_SERIAL TRUE TIMEOUT 120)
  endif()
endif()
