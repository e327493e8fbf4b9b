# Installation and the Debian package.
#
#   cmake -S . -B BUILD -DCMAKE_INSTALL_PREFIX=/usr && cmake --install BUILD
#   scripts/build-package.sh                   (cpack -G DEB in its build tree)
#
# DESTDIR is honoured. The daemon's own files keep the places it expects: the
# configuration in SYSCONFDIR/norvane/norvane-sentro, the data directory in
# LOCALSTATEDIR/lib/norvane/norvane-sentro, its log in LOCALSTATEDIR/log/norvane.
# With the prefix /usr those are the system's /etc and /var (and the unit goes
# to /lib/systemd/system, where Debian keeps units until its /usr move is
# done); with any other prefix everything stays under the prefix.
include(GNUInstallDirs)

set(SENTRO_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/norvane/norvane-sentro)
set(SENTRO_DATA_PARENT ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/norvane)
set(SENTRO_DATA_DIR ${SENTRO_DATA_PARENT}/norvane-sentro)
set(SENTRO_LOG_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/norvane)
set(SENTRO_LIBEXEC_DIR ${CMAKE_INSTALL_LIBEXECDIR}/sentro)
set(SENTRO_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/sentro)
set(SENTRO_SYSTEMD_DATA_DIR ${CMAKE_INSTALL_PREFIX}/lib)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(sentro_unit_dest /lib/systemd/system)
  set(sentro_sysconf_dest ${CMAKE_INSTALL_FULL_SYSCONFDIR})
else()
  set(sentro_unit_dest lib/systemd/system)
  set(sentro_sysconf_dest ${CMAKE_INSTALL_SYSCONFDIR})
endif()
set(sentro_config_dest ${sentro_sysconf_dest}/norvane/norvane-sentro)

# The unit, the tmpfiles entry and the maintainer scripts name the configured
# paths, so a prefix given only at install time (cmake --install --prefix)
# would install files that point elsewhere, or system files outside it.
install(CODE "
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    message(FATAL_ERROR \"Sentro was configured for the prefix ${CMAKE_INSTALL_PREFIX}: \"
                        \"configure with -DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX} instead \"
                        \"of giving --prefix to cmake --install\")
  endif()")

# The daemon runs the telemetry push helper from LIBEXEC, relative to its own
# directory, so that an unpacked or relocated tree works as well.
file(RELATIVE_PATH push_helper_dir ${CMAKE_INSTALL_FULL_SBINDIR}
     ${CMAKE_INSTALL_PREFIX}/${SENTRO_LIBEXEC_DIR})
target_compile_definitions(sentro_telemetry PRIVATE
                           TELEMETRY_PUSH_INSTALLED_DIR="${push_helper_dir}")

install(TARGETS sentro DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS sentroctl DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS sentro-telemetry-push DESTINATION ${SENTRO_LIBEXEC_DIR})

# The metrics schema and its install script, in the layout the script expects
# (its schema in ../share beside it).
install(FILES share/telemetry-schema.sql DESTINATION ${SENTRO_SHARE_DIR}/share)
install(PROGRAMS scripts/install-telemetry-db.sh DESTINATION ${SENTRO_SHARE_DIR}/scripts)

# systemd: the daemon's unit, its user and its directories.
set(packaging ${CMAKE_SOURCE_DIR}/packaging)
set(generated ${CMAKE_BINARY_DIR}/packaging)
configure_file(${packaging}/sentro.service ${generated}/sentro.service @ONLY)
configure_file(${packaging}/sentro.tmpfiles ${generated}/sentro.tmpfiles @ONLY)
install(FILES ${generated}/sentro.service DESTINATION ${sentro_unit_dest})
install(FILES ${packaging}/sentro.sysusers DESTINATION lib/sysusers.d
        RENAME sentro.conf)
install(FILES ${generated}/sentro.tmpfiles DESTINATION lib/tmpfiles.d
        RENAME sentro.conf)
install(FILES ${packaging}/sentroctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME sentroctl)

# The operator's configuration: installed only where there is none yet, so
# that a reinstall never replaces an edited file (the package marks them as
# conffiles instead; its staging tree is always empty).
set(sentro_config_files
    ${packaging}/etc/config.json:${SENTRO_CONFIG_DIR}
    ${packaging}/etc/profiles.json:${SENTRO_CONFIG_DIR}
    ${packaging}/default.sentro:${CMAKE_INSTALL_FULL_SYSCONFDIR}/default)
foreach(entry ${sentro_config_files})
  string(REPLACE ":" ";" pair ${entry})
  list(GET pair 0 source)
  list(GET pair 1 dir)
  get_filename_component(name ${source} NAME)
  if(name STREQUAL "default.sentro")
    set(name sentro)
  endif()
  install(CODE "
    set(target \"\$ENV{DESTDIR}${dir}/${name}\")
    if(EXISTS \"\${target}\")
      message(STATUS \"Kept: \${target}\")
    else()
      file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${dir}\")
      file(COPY_FILE \"${source}\" \"\${target}\")
      message(STATUS \"Installing: \${target}\")
    endif()")
endforeach()
install(DIRECTORY DESTINATION ${SENTRO_CONFIG_DIR}/svcCfgfiles)
install(DIRECTORY DESTINATION ${SENTRO_CONFIG_DIR}/muxServerInstanceCfgfiles)

# The example appliance and the reference event publisher.
set(SENTRO_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/sentro)
install(DIRECTORY examples/ DESTINATION ${SENTRO_DOC_DIR}/examples
        PATTERN "bin/*" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
        GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(PROGRAMS tools/publisher/sentroEventPublisher.py
        DESTINATION ${SENTRO_DOC_DIR}/examples/publisher)

include(${CMAKE_CURRENT_LIST_DIR}/Docs.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
