# Read by cpack for each kind of package it makes: the archives hold the
# plug-in's part and the server side's, in one top folder named as the
# archive; the Debian package holds the server side and its service under
# /usr and /etc.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL server service)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CPACK_PELMORA_DEB_SUMMARY}")
else()
  set(CPACK_COMPONENTS_ALL plugin server)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
