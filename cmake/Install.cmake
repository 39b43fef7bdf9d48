# What `cmake --install` puts where: the three programs in bin/, the desktop
# plug-in in lib/zel-rv7300/, a sample Conf.ini, the Prometheus rules, the
# Grafana dashboard and the documents under share/, the man pages, the systemd
# units for running the gateway and srv_zel as services, and the desktop entry
# and icon for the tray version in a desktop session.
include(GNUInstallDirs)

# Relative: under the prefix (/usr/local/lib/systemd/system is where systemd
# looks for units an admin installed); the Debian package gives /lib/systemd/system.
set(ZEL_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd units are installed")

set(ZEL_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)
set(ZEL_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)
set(ZEL_UNITS zel-rv7300.service srv-zel.service zel-rv7300.desktop)

install(TARGETS ZEL_RV7300 srv_zel rv7300_sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Where the program looks for it (app/CMakeLists.txt).
install(TARGETS zel_rv7300_desktop LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/zel-rv7300)

# The units name the programs by their full path: they are written at install
# time, so that `cmake --install --prefix DIR` gets DIR in them.
install(CODE "
  set(ZEL_BIN_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  foreach(unit ${ZEL_UNITS})
    configure_file(\"${ZEL_PACKAGING}/\${unit}.in\" \"${ZEL_PACKAGING_OUT}/\${unit}\" @ONLY)
  endforeach()
")
install(FILES ${ZEL_PACKAGING}/Conf.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/zel-rv7300)
# A chain's alerting rules and dashboard, to load into its Prometheus and Grafana.
install(FILES ${ZEL_PACKAGING}/prometheus/zel-rv7300.rules.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zel-rv7300/prometheus)
install(FILES ${ZEL_PACKAGING}/grafana/zel-rv7300.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zel-rv7300/grafana)
install(FILES ${ZEL_PACKAGING_OUT}/zel-rv7300.service ${ZEL_PACKAGING_OUT}/srv-zel.service
        DESTINATION ${ZEL_SYSTEMD_UNIT_DIR})
install(FILES ${ZEL_PACKAGING_OUT}/zel-rv7300.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/zel-rv7300.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/install.md
              ${PROJECT_SOURCE_DIR}/docs/app-server-api.md ${PROJECT_SOURCE_DIR}/docs/chain.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
foreach(page ZEL_RV7300.8 srv_zel.8 rv7300_sim.1 zel-rv7300.conf.5)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
