# Installation layout, where the programs' built-in defaults point:
#   /opt/quellon/kestrel/sbin/{archive,kestreld,kestrel,kestrel-s3}
#   /opt/quellon/etc/kestrel/{defaults,snapshot,send,kestrel.conf.example}
#   /etc/kestrel/kestrel.conf (the example, never over an existing file)
#   /lib/systemd/system/kestreld.service, man pages under /usr/share/man,
#   /usr/sbin/kestreld and /usr/bin/kestrel as links.
# The destinations are absolute on purpose; DESTDIR stages them.
# `cmake --build <dir> --target package` builds the .deb.

set(KS_INSTALL_SBIN /opt/quellon/kestrel/sbin)
set(KS_INSTALL_ETC /opt/quellon/etc/kestrel)
set(KS_INSTALL_CONF /etc/kestrel)

install(TARGETS kestreld kestrel kestrel-s3 RUNTIME DESTINATION ${KS_INSTALL_SBIN} COMPONENT programs)
if(TARGET archive)
  install(TARGETS archive RUNTIME DESTINATION ${KS_INSTALL_SBIN} COMPONENT programs)
endif()
install(PROGRAMS examples/defaults examples/snapshot examples/send
        DESTINATION ${KS_INSTALL_ETC} COMPONENT programs)
install(FILES examples/kestrel.conf DESTINATION ${KS_INSTALL_ETC}
        RENAME kestrel.conf.example COMPONENT programs)
install(FILES examples/crash.c DESTINATION /opt/quellon/kestrel/share/examples COMPONENT programs)
install(FILES dist/kestreld.service DESTINATION /lib/systemd/system COMPONENT programs)
install(FILES man/kestrel.1 DESTINATION /usr/share/man/man1 OPTIONAL COMPONENT programs)
install(FILES man/kestrel.conf.5 DESTINATION /usr/share/man/man5 COMPONENT programs)
install(FILES man/kestreld.8 man/archive.8 DESTINATION /usr/share/man/man8 COMPONENT programs)
install(CODE "
  foreach(link usr/sbin/kestreld usr/bin/kestrel)
    get_filename_component(name \${link} NAME)
    get_filename_component(dir \"\$ENV{DESTDIR}/\${link}\" DIRECTORY)
    file(MAKE_DIRECTORY \"\${dir}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}/\${link}\")
    file(CREATE_LINK ${KS_INSTALL_SBIN}/\${name} \"\$ENV{DESTDIR}/\${link}\" SYMBOLIC)
  endforeach()" COMPONENT programs)

# The administrator's configuration is never replaced. The package leaves
# this component out: its postinst copies the example when there is none.
install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}${KS_INSTALL_CONF}/kestrel.conf\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}${KS_INSTALL_CONF}/kestrel.conf\")
  else()
    file(INSTALL DESTINATION ${KS_INSTALL_CONF} TYPE FILE
         RENAME kestrel.conf FILES \"${PROJECT_SOURCE_DIR}/examples/kestrel.conf\")
  endif()" COMPONENT configuration)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quellon")
set(CPACK_PACKAGE_CONTACT "Kestrel maintainers <kestrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "crash capture service: core dumps to snapshots, shipped")
set(CPACK_PACKAGE_DESCRIPTION "Kestrel registers a crash archiver as the kernel's core-dump handler,
turns every crash into a snapshot (a gdb report) and ships it into an outbox
directory, to a central collector, or into an S3-compatible bucket.")
# Only the programs' component: the package's postinst handles the configuration.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};programs;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gdb, curl, zstd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/dist/postinst;${PROJECT_SOURCE_DIR}/dist/prerm;${PROJECT_SOURCE_DIR}/dist/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
