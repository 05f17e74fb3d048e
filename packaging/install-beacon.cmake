# Installs the beacon's systemd units and its example configuration, run by
# `cmake --install` and cpack once the prefix is known: the units name the
# program and the configuration where this install puts them. With the
# prefix /usr (the .deb): /usr/bin/uipacer, /etc/uipacer, and the units in
# /usr/lib/systemd/system; with another prefix, such as /usr/local, all of
# them under it (systemd reads /usr/local/lib/systemd/system too).
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(UIPACER_PROGRAM "${prefix}/${UIPACER_BINDIR}/uipacer")
if(prefix STREQUAL "/usr")
  set(UIPACER_CONFIG_DIR /etc/uipacer)
else()
  set(UIPACER_CONFIG_DIR "${prefix}/etc/uipacer")
endif()
foreach(file uipacer-beacon@.service uipacer-beacon@.timer example.conf)
  configure_file("${UIPACER_PACKAGING_DIR}/${file}" "${UIPACER_SCRATCH_DIR}/${file}" @ONLY)
endforeach()
file(INSTALL "${UIPACER_SCRATCH_DIR}/uipacer-beacon@.service"
     "${UIPACER_SCRATCH_DIR}/uipacer-beacon@.timer"
     DESTINATION "${prefix}/lib/systemd/system" FILE_PERMISSIONS OWNER_READ OWNER_WRITE
     GROUP_READ WORLD_READ)
file(INSTALL "${UIPACER_SCRATCH_DIR}/example.conf" DESTINATION "${UIPACER_CONFIG_DIR}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL "${UIPACER_EXAMPLE_BEACON}" DESTINATION "${UIPACER_CONFIG_DIR}"
     RENAME example.txt FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
