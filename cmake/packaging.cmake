# What `cmake --install` lays out, and the archive that CPack makes of it
# (`cpack` in a build tree): the plug-in with its header (and the .def file
# on Windows), the host and receiver tools, the Wireshark dissector, a
# commented sample Pelmora.ini and the two guides; on Linux also the MQTT
# gateway and its guide. A ZIP for each Windows
# build, a .tar.gz for Linux.
include(GNUInstallDirs)

# The DLL goes to bin; its MinGW import library stays out: hosts load the
# plug-in at run time.
install(TARGETS pelmora
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} EXCLUDE_FROM_ALL)
install(TARGETS pelmora-host pelmora-recv
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/pelmora/pelmora.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pelmora)
if(WIN32)
  install(FILES src/service/pelmora.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES tools/wireshark/pelmora.lua
  DESTINATION ${CMAKE_INSTALL_DATADIR}/pelmora/wireshark)
install(FILES docs/Pelmora.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/pelmora)
install(FILES docs/protocol.md docs/integration.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The MQTT gateway, where it is built (Linux, with libmosquitto).
if(TARGET pelmora-gateway)
  install(TARGETS pelmora-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/gateway.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_VENDOR "Pelmora")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Outward-link plug-in: a monitoring host's point values and events to one UDP server")
set(CPACK_STRIP_FILES ON)
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
endif()
include(CPack)
