# What a package user reads: a man page for every installed program, made from its --help by
# help2man with the sections --help has no room for (data/man/PROGRAM.h2m: the menu entry and the
# launcher, files, environment, exit status), gzipped as Debian installs man pages (where help2man
# is installed and the programs run here); the user part of the README (the blocks between
# "<!-- user -->" and "<!-- /user -->") as the package's README; and its copyright file.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(HELP2MAN AND GZIP AND NOT CMAKE_CROSSCOMPILING)
  set(PARLAVANT_MAN_PAGES)
  foreach(page
      "parlavant|translates the chat messages you receive and send"
      "parlavant-xmpp|signs in to an XMPP account and offers it to Parlavant"
      "parlavant-translator|the stand-in desktop translator"
      "parlavant-chatclient|the stand-in desktop chat client"
      "parlavant-stintf|writes and reads Parlavant's interface-translation files")
    string(REPLACE "|" ";" parts "${page}")
    list(GET parts 0 program)
    list(GET parts 1 what)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    set(more ${PROJECT_SOURCE_DIR}/data/man/${program}.h2m)
    # gzip -n: no name or time stamp inside, so that the same page gives the same bytes.
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${HELP2MAN} --no-info --no-discard-stderr --name "${what}" --include ${more}
              --output ${page} $<TARGET_FILE:${program}>
      COMMAND ${GZIP} -9nf ${page}
      DEPENDS ${program} ${more}
      COMMENT "Writing the man page of ${program}"
      VERBATIM)
    list(APPEND PARLAVANT_MAN_PAGES ${page}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${PARLAVANT_MAN_PAGES})
  install(FILES ${PARLAVANT_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/parlavant)
# A native package's changelog, as Debian keeps it: gzipped, the same bytes every build.
find_program(GZIP gzip)
if(GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/data/changelog > ${PROJECT_BINARY_DIR}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/data/changelog)
  add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/parlavant)
endif()

file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
string(REGEX MATCHALL "<!-- user -->[^<]*(<[^!][^<]*)*<!-- /user -->" blocks "${readme}")
set(user_readme "# Parlavant\n")
foreach(block IN LISTS blocks)
  string(REPLACE "<!-- user -->" "" block "${block}")
  string(REPLACE "<!-- /user -->" "" block "${block}")
  string(APPEND user_readme "${block}")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/README.md "${user_readme}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
install(FILES ${PROJECT_BINARY_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/parlavant)
# The pictures the README shows, where it shows them from.
file(GLOB pictures ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${pictures} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/parlavant/docs)
