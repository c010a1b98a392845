# Installation layout, where the programs' built-in defaults point:
#   /opt/quellon/kestrel/sbin/{archive,kestreld,kestrel,kestrel-s3}
#   /opt/quellon/etc/kestrel/{defaults,snapshot,send,kestrel.conf.example}
#   /etc/kestrel/kestrel.conf (the example, never over an existing file)
#   /lib/systemd/system/{kestreld.service,kestrel-metrics.service,kestrel-metrics.timer},
#   /etc/init.d/kestreld, /etc/cron.d/kestrel-metrics (commented out),
#   man pages (compressed) under /usr/share/man, the package's documents under
#   /usr/share/doc/kestrel, /usr/sbin/kestreld and /usr/bin/kestrel as links.
# The destinations are absolute on purpose; DESTDIR stages them.
# `cmake --build <dir> --target package` builds the .deb; `make package-check`
# builds it and checks it (lintian, the units, the man pages).

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
install(FILES dist/kestreld.service dist/kestrel-metrics.service dist/kestrel-metrics.timer
        DESTINATION /lib/systemd/system COMPONENT programs)
install(PROGRAMS dist/kestreld.init DESTINATION /etc/init.d RENAME kestreld COMPONENT programs)
install(FILES dist/kestrel-metrics.cron DESTINATION /etc/cron.d RENAME kestrel-metrics
        COMPONENT programs)

# Man pages and the Debian changelog are installed compressed (gzip -9n: no
# name or time stamp, so the same sources give the same package).
set(KS_MAN_PAGES man/kestrel.1 man/kestrel.conf.5 man/kestreld.8 man/kestrel-archive.8)
set(KS_COMPRESSED)
foreach(source ${KS_MAN_PAGES} dist/changelog)
  get_filename_component(name ${source} NAME)
  set(output ${PROJECT_BINARY_DIR}/dist/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/dist
    COMMAND sh -c "gzip -9n -c \"$0\" >\"$1\"" ${PROJECT_SOURCE_DIR}/${source} ${output}
    DEPENDS ${source} VERBATIM)
  list(APPEND KS_COMPRESSED ${output})
endforeach()
add_custom_target(ks_compressed ALL DEPENDS ${KS_COMPRESSED})
foreach(page ${KS_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${name})
  install(FILES ${PROJECT_BINARY_DIR}/dist/${name}.gz DESTINATION /usr/share/man/man${section}
          COMPONENT programs)
endforeach()
install(FILES dist/copyright DESTINATION /usr/share/doc/kestrel COMPONENT programs)
install(FILES ${PROJECT_BINARY_DIR}/dist/changelog.gz DESTINATION /usr/share/doc/kestrel
        RENAME changelog.Debian.gz COMPONENT programs)
install(FILES dist/kestrel.lintian-overrides DESTINATION /usr/share/lintian/overrides
        RENAME kestrel COMPONENT programs)
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
# The Debian revision: the package's changelog (dist/changelog) names
# ${PROJECT_VERSION}-${KS_DEBIAN_REVISION} in its first entry.
set(KS_DEBIAN_REVISION 1)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KS_DEBIAN_REVISION})
file(STRINGS dist/changelog KS_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT KS_CHANGELOG_TOP MATCHES "^kestrel \\(${PROJECT_VERSION}-${KS_DEBIAN_REVISION}\\) ")
  message(WARNING "dist/changelog does not begin with version ${PROJECT_VERSION}-${KS_DEBIAN_REVISION}")
endif()
set(CPACK_PACKAGE_VENDOR "Quellon")
set(CPACK_PACKAGE_CONTACT "Kestrel maintainers <kestrel-maintainers@quellon.org>")
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
# invoke-rc.d --skip-systemd-native in the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gdb, curl, zstd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/dist/postinst;${PROJECT_SOURCE_DIR}/dist/prerm;${PROJECT_SOURCE_DIR}/dist/postrm;${PROJECT_SOURCE_DIR}/dist/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
