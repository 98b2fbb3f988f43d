# What `cmake --install` lays out, and the packages that CPack makes of it
# (`cpack` in a build tree), in two parts: the plug-in's (the plug-in with
# its header, and the .def file on Windows; the host; a commented sample
# Pelmora.ini; the integrator's guide) and the server side's (the receiver,
# the Wireshark dissector and the protocol guide; on Linux also the MQTT
# gateway, pelmora-cmd and their guides). A ZIP of both for each Windows
# build, a .tar.gz for Linux; and on Linux, where dpkg-shlibdeps is found, a
# Debian package of the server side run as a service: with the systemd unit
# and /etc/pelmora/gateway.conf (the `service` part, which only the package
# installs), its dependencies read from what its programs link.
include(GNUInstallDirs)

# The DLL goes to bin; its MinGW import library stays out (a part of its
# own, in no package): hosts load the plug-in at run time.
install(TARGETS pelmora
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT plugin
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT plugin
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT import_library
          EXCLUDE_FROM_ALL)
install(TARGETS pelmora-host
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT plugin)
install(FILES include/pelmora/pelmora.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pelmora COMPONENT plugin)
if(WIN32)
  install(FILES src/service/pelmora.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT plugin)
endif()
install(FILES docs/Pelmora.ini
  DESTINATION ${CMAKE_INSTALL_DATADIR}/pelmora COMPONENT plugin)
install(FILES docs/integration.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT plugin)

install(TARGETS pelmora-recv
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(FILES tools/wireshark/pelmora.lua
  DESTINATION ${CMAKE_INSTALL_DATADIR}/pelmora/wireshark COMPONENT server)
install(FILES docs/protocol.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT server)
# The MQTT gateway and the command tool, where they are built (Linux, with
# libmosquitto).
if(TARGET pelmora-gateway)
  install(TARGETS pelmora-gateway pelmora-cmd
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
  install(FILES docs/gateway.md docs/sparkplug.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT server)
  # Under the package's /usr; the configuration where an admin looks for
  # it. Never in a plain install, which would write to this machine's /etc.
  install(FILES tools/gateway/service/pelmora-gateway.service
    DESTINATION lib/systemd/system COMPONENT service EXCLUDE_FROM_ALL)
  install(FILES tools/gateway/service/gateway.conf
    DESTINATION /etc/pelmora COMPONENT service EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_VENDOR "Pelmora")
set(CPACK_PACKAGE_CONTACT "Pelmora maintainers <maintainers@pelmora.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Outward-link plug-in: a monitoring host's point values and events to one UDP server")
set(CPACK_STRIP_FILES ON)
# Which parts each kind of package holds (cmake/cpack_parts.cmake).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_parts.cmake)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
  find_program(PELMORA_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(TARGET pelmora-gateway AND PELMORA_DPKG_SHLIBDEPS)
    list(APPEND CPACK_GENERATOR DEB)
  endif()
endif()

set(CPACK_DEBIAN_PACKAGE_NAME pelmora-gateway)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_PELMORA_DEB_SUMMARY
  "Pelmora server side: stations' datagrams into an MQTT broker, as a service")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "pelmora-gateway takes the datagrams of the stations' Pelmora plug-in and
publishes their points, events and status to an MQTT broker (a topic tree,
or Sparkplug B), with an operator's page and metrics for Prometheus. It
runs as pelmora-gateway.service, its settings in /etc/pelmora/gateway.conf.
Also pelmora-recv, which shows what stations send, pelmora-cmd, which
sends one signed command, and the Wireshark dissector.")
# The libraries the programs link, as dpkg-shlibdeps finds them; adduser
# for the service's user.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto, prometheus")
set(PELMORA_DEB_CONFFILES ${CMAKE_BINARY_DIR}/deb/conffiles)
file(WRITE ${PELMORA_DEB_CONFFILES} "/etc/pelmora/gateway.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/tools/gateway/service/postinst
  ${PROJECT_SOURCE_DIR}/tools/gateway/service/prerm
  ${PROJECT_SOURCE_DIR}/tools/gateway/service/postrm
  ${PELMORA_DEB_CONFFILES})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
