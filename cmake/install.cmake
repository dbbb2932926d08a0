# Installation layout: the two programs, their manual pages, the desktop
# entry, icons and AppStream data, the bash completion and the start values
# for all users. Included from the top-level CMakeLists.txt after both
# executables are defined.
include(GNUInstallDirs)
set(PIXELMOTE_DATA ${CMAKE_CURRENT_LIST_DIR}/../data)

install(TARGETS pixelmote pixelmote-batch
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PIXELMOTE_DATA}/pixelmote.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PIXELMOTE_DATA}/org.pixelmote.Pixelmote.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PIXELMOTE_DATA}/pixelmote.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 48 256)
  install(FILES ${PIXELMOTE_DATA}/icons/pixelmote-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME pixelmote.png)
endforeach()
install(FILES ${PIXELMOTE_DATA}/pixelmote-batch.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME pixelmote-batch)
# /etc/xdg for the /usr prefix, <prefix>/etc/xdg otherwise.
install(FILES ${PIXELMOTE_DATA}/xdg/pixelmote/pixelmote.ini
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/pixelmote)

# Manual pages made from the programs' own --help and --version, with the
# sections --help lacks from data/NAME.h2m, so the two cannot drift apart.
if(PIXELMOTE_MAN_PAGES)
  find_program(HELP2MAN help2man REQUIRED)
  set(pixelmote_man_pages)
  foreach(program pixelmote pixelmote-batch)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --section=1 --include=${PIXELMOTE_DATA}/${program}.h2m
              --output=${page} $<TARGET_FILE:${program}>
      DEPENDS ${program} ${PIXELMOTE_DATA}/${program}.h2m
      COMMENT "Manual page ${program}(1)" VERBATIM)
    list(APPEND pixelmote_man_pages ${page})
  endforeach()
  add_custom_target(man-pages ALL DEPENDS ${pixelmote_man_pages})
  install(FILES ${pixelmote_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
