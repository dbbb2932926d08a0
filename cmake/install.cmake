# Installation layout: the two programs, the desktop entry and the icon.
# Included from the top-level CMakeLists.txt after both executables are defined.
include(GNUInstallDirs)

install(TARGETS pixelmote pixelmote-batch
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../data/pixelmote.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../data/pixelmote.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
