# SPDX-License-Identifier: Apache-2.0
# Install layout (GNUInstallDirs): the executables, their man pages made from their own
# --help by help2man, the systemd units, bash completion and, with the window, the desktop
# entry, its AppStream metainfo and the icon. `cmake --install` and the Debian package
# (cmake/Package.cmake) share it.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillet)

install(TARGETS quillet quillet-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages: the options come from --help, the other sections from doc/NAME.h2m.
find_program(QUILLET_HELP2MAN help2man)
find_program(QUILLET_GZIP gzip)
if(QUILLET_HELP2MAN AND QUILLET_GZIP)
  set(pages)
  foreach(program quillet quillet-tool)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${QUILLET_HELP2MAN} --no-info --section=1 --manual "User Commands"
              --source "Quillet ${PROJECT_VERSION}"
              --version-string "${program} ${PROJECT_VERSION}"
              --include ${PROJECT_SOURCE_DIR}/doc/${program}.h2m
              --output ${page} $<TARGET_FILE:${program}>
      # -n: no time stamp in the archive, so that rebuilt packages are identical.
      COMMAND ${QUILLET_GZIP} -9nf ${page}
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/doc/${program}.h2m
      COMMENT "Making the man page of ${program}"
      VERBATIM)
    list(APPEND pages ${page}.gz)
  endforeach()
  add_custom_target(man ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man or gzip not found: no man pages")
endif()

# systemd: the user service, and the door-station system service as an example to copy. Both
# name the installed program, so they are made at install time, when the prefix is final
# (cmake --install --prefix). systemd looks for user units in PREFIX/lib/systemd/user below
# /usr and /usr/local, and in ~/.local/share/systemd/user for a prefix of one's own.
install(CODE "
  set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(CMAKE_INSTALL_FULL_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  set(unit_dir share/systemd/user)
  if(CMAKE_INSTALL_PREFIX STREQUAL /usr OR CMAKE_INSTALL_PREFIX STREQUAL /usr/local)
    set(unit_dir lib/systemd/user)
  endif()
  foreach(unit quillet quillet-station)
    configure_file(${PROJECT_SOURCE_DIR}/data/systemd/\${unit}.service.in
                   ${PROJECT_BINARY_DIR}/data/\${unit}.service @ONLY)
  endforeach()
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${unit_dir}\" TYPE FILE
       FILES ${PROJECT_BINARY_DIR}/data/quillet.service)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/examples\"
       TYPE FILE FILES ${PROJECT_BINARY_DIR}/data/quillet-station.service)
")

# bash loads completions by command name: one script serves both commands.
foreach(program quillet quillet-tool)
  install(FILES ${PROJECT_SOURCE_DIR}/data/bash-completion/quillet
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
endforeach()

# The desktop entry and icon belong to the build with a window.
if(QUILLET_GUI AND EXISTS ${PROJECT_SOURCE_DIR}/data/quillet.desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/data/quillet.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
# Software centres find the program by its AppStream metainfo, which names the desktop entry.
if(QUILLET_GUI AND EXISTS ${PROJECT_SOURCE_DIR}/data/org.quillet.Quillet.metainfo.xml)
  install(FILES ${PROJECT_SOURCE_DIR}/data/org.quillet.Quillet.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
if(QUILLET_GUI AND EXISTS ${PROJECT_SOURCE_DIR}/data/icons/quillet.svg)
  install(FILES ${PROJECT_SOURCE_DIR}/data/icons/quillet.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
