# The Debian package "sentro", built with CPack from the install rules.
# The version is the project's (the top CMakeLists.txt); the runtime
# dependencies of the binaries come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sentro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "Norvane Sentro developers <sentro-dev@norvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service lifecycle daemon for server appliances")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Sentro starts the services of an appliance in dependency order, supervises
 them, runs their health commands, applies recovery actions (restart the
 service, restart the machine, fail over to the high-availability peer) and
 answers local clients on a Unix-domain control socket. The package holds the
 daemon, its client sentroctl, the telemetry push helper, the systemd unit and
 the metrics database schema.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# sqlite3 creates the metrics database in postinst; the systemd helpers
# enable and start the unit, whose reload and stop commands are procps's
# /bin/kill (not on a minimal system). The example event publisher is a
# python3 script.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "sqlite3, init-system-helpers (>= 1.52), procps")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gdb")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(debian ${CMAKE_SOURCE_DIR}/packaging/debian)
set(debian_out ${CMAKE_BINARY_DIR}/packaging/debian)
foreach(script postinst prerm postrm)
  configure_file(${debian}/${script} ${debian_out}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
file(WRITE ${debian_out}/conffiles
     "${SENTRO_CONFIG_DIR}/config.json\n${SENTRO_CONFIG_DIR}/profiles.json\n"
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/sentro\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${debian_out}/postinst ${debian_out}/prerm ${debian_out}/postrm ${debian_out}/conffiles)

# Debian's documentation files: copyright, the changelog (gzipped, with the
# package's version) and the lintian overrides.
configure_file(${debian}/changelog.in ${debian_out}/changelog @ONLY)
add_custom_command(
  OUTPUT ${debian_out}/changelog.gz
  COMMAND gzip -9n --force --keep ${debian_out}/changelog
  DEPENDS ${debian_out}/changelog
  VERBATIM)
add_custom_target(sentro_changelog ALL DEPENDS ${debian_out}/changelog.gz)
install(FILES ${debian}/copyright ${debian_out}/changelog.gz DESTINATION ${SENTRO_DOC_DIR})
install(FILES ${debian}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME sentro)

include(CPack)
