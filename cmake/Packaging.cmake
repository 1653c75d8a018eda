# The Debian package quirada-contabil (`cpack -G DEB`, see scripts/package.sh).
#
#   /opt/quirada-contabil/QuiradaContabil     the program; its log and XML files are written here
#   /opt/quirada-contabil/Morvant.ini         -> /etc/quirada-contabil/Morvant.ini
#   /etc/quirada-contabil/Morvant.ini         the INI file, a conffile (commented example)
#   /lib/systemd/system/SrvQuirada.service    the long-running service, enabled on installation
#                                             (started once the INI file names the ERP database)
#   /lib/systemd/system/SrvQuirada-once.*     one cycle per hour, the alternative; shipped disabled
#   /lib/systemd/system/SrvQuirada-metricas.* every 5 minutes, "/INSTANCIAS --prometheus" into
#                                             node_exporter's textfile folder; shipped disabled
#   /lib/systemd/system/SrvQuirada@.service   the template of named instances: "systemctl enable
#                                             --now SrvQuirada@<name>" runs the instance whose
#                                             folder is /var/lib/quirada-contabil/<name> (made by
#                                             systemd, mode 0700, when missing)
#   /usr/share/doc/quirada-contabil/          the operator's guide
#
# The units come from the same template "/INSTALL" writes (service/SrvQuirada.service.in); the
# timer's one-shot service takes its sandbox from there too. The version is the project's.

set(QUIRADA_PACKAGE_HOME /opt/quirada-contabil)
set(QUIRADA_PACKAGE_ETC /etc/quirada-contabil)
set(QUIRADA_PACKAGE_UNITS lib/systemd/system)
set(QUIRADA_PACKAGE_OUT ${CMAKE_BINARY_DIR}/packaging)

# Filled in as "/INSTALL" would for an executable in /opt/quirada-contabil.
set(QUIRADA_EXEC_START ${QUIRADA_PACKAGE_HOME}/QuiradaContabil)
set(QUIRADA_HOME ${QUIRADA_PACKAGE_HOME})
set(QUIRADA_STATE_DIRECTORY "")
set(QUIRADA_DESCRIPTION Quirada)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/service/SrvQuirada.service.in
  ${CMAKE_SOURCE_DIR}/packaging/SrvQuirada-once.service.in)
configure_file(${CMAKE_SOURCE_DIR}/service/SrvQuirada.service.in
  ${QUIRADA_PACKAGE_OUT}/SrvQuirada.service @ONLY)

# The template of named instances: the unit "/INSTALL --instancia <name> --pasta <folder>" would
# write, for the folder /var/lib/quirada-contabil/<name>, which systemd makes when missing.
block()
  set(QUIRADA_EXEC_START
    "${QUIRADA_PACKAGE_HOME}/QuiradaContabil --pasta /var/lib/quirada-contabil/%i --instancia %i")
  set(QUIRADA_HOME /var/lib/quirada-contabil/%i)
  set(QUIRADA_DESCRIPTION "Quirada (%i)")
  set(QUIRADA_STATE_DIRECTORY "StateDirectory=quirada-contabil/%i\nStateDirectoryMode=0700\n")
  configure_file(${CMAKE_SOURCE_DIR}/service/SrvQuirada.service.in
    ${QUIRADA_PACKAGE_OUT}/SrvQuirada@.service @ONLY)
endblock()

file(READ ${CMAKE_SOURCE_DIR}/service/SrvQuirada.service.in quirada_unit)
string(FIND "${quirada_unit}" "# Sandbox." quirada_sandbox_begin)
string(FIND "${quirada_unit}" "\n[Install]" quirada_sandbox_end)
if(quirada_sandbox_begin LESS 0 OR quirada_sandbox_end LESS quirada_sandbox_begin)
  message(FATAL_ERROR "service/SrvQuirada.service.in: no \"# Sandbox.\" block before [Install]")
endif()
math(EXPR quirada_sandbox_length "${quirada_sandbox_end} - ${quirada_sandbox_begin}")
string(SUBSTRING "${quirada_unit}" ${quirada_sandbox_begin} ${quirada_sandbox_length} QUIRADA_SANDBOX)
string(STRIP "${QUIRADA_SANDBOX}" QUIRADA_SANDBOX)
file(READ ${CMAKE_SOURCE_DIR}/packaging/SrvQuirada-once.service.in quirada_once_unit)
string(CONFIGURE "${quirada_once_unit}" quirada_once_unit @ONLY)
# The sandbox brings its own placeholders (the service's folder).
string(CONFIGURE "${quirada_once_unit}" quirada_once_unit @ONLY)
file(WRITE ${QUIRADA_PACKAGE_OUT}/SrvQuirada-once.service.tmp "${quirada_once_unit}")
file(COPY_FILE ${QUIRADA_PACKAGE_OUT}/SrvQuirada-once.service.tmp
  ${QUIRADA_PACKAGE_OUT}/SrvQuirada-once.service ONLY_IF_DIFFERENT)

# The metrics timer's service: the same sandbox, the one folder it writes node_exporter's.
block()
  set(QUIRADA_METRICS_DIR /var/lib/prometheus/node-exporter)
  set(QUIRADA_METRICS_FILE ${QUIRADA_METRICS_DIR}/quirada.prom)
  set(QUIRADA_HOME ${QUIRADA_METRICS_DIR})
  file(READ ${CMAKE_SOURCE_DIR}/packaging/SrvQuirada-metricas.service.in quirada_metrics_unit)
  string(CONFIGURE "${quirada_metrics_unit}" quirada_metrics_unit @ONLY)
  string(CONFIGURE "${quirada_metrics_unit}" quirada_metrics_unit @ONLY)
  file(WRITE ${QUIRADA_PACKAGE_OUT}/SrvQuirada-metricas.service.tmp "${quirada_metrics_unit}")
  file(COPY_FILE ${QUIRADA_PACKAGE_OUT}/SrvQuirada-metricas.service.tmp
    ${QUIRADA_PACKAGE_OUT}/SrvQuirada-metricas.service ONLY_IF_DIFFERENT)
endblock()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/packaging/SrvQuirada-metricas.service.in)

# The INI file seen from the executable's folder, where the program looks for it.
file(CREATE_LINK ${QUIRADA_PACKAGE_ETC}/Morvant.ini ${QUIRADA_PACKAGE_OUT}/Morvant.ini SYMBOLIC)

install(TARGETS QuiradaContabil RUNTIME DESTINATION opt/quirada-contabil)
install(FILES ${QUIRADA_PACKAGE_OUT}/Morvant.ini DESTINATION opt/quirada-contabil)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/Morvant.ini DESTINATION etc/quirada-contabil
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES
  ${QUIRADA_PACKAGE_OUT}/SrvQuirada.service
  ${QUIRADA_PACKAGE_OUT}/SrvQuirada@.service
  ${QUIRADA_PACKAGE_OUT}/SrvQuirada-once.service
  ${CMAKE_SOURCE_DIR}/packaging/SrvQuirada-once.timer
  ${QUIRADA_PACKAGE_OUT}/SrvQuirada-metricas.service
  ${CMAKE_SOURCE_DIR}/packaging/SrvQuirada-metricas.timer
  DESTINATION ${QUIRADA_PACKAGE_UNITS}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${CMAKE_SOURCE_DIR}/LEIAME.md DESTINATION usr/share/doc/quirada-contabil
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quirada-contabil)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quirada Contábil")
set(CPACK_PACKAGE_CONTACT "Quirada Contábil <suporte@quirada.com.br>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Envia XMLs fiscais do banco Firebird do ERP para a plataforma contábil Quirada")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Serviço systemd (SrvQuirada) que, a cada hora, lê os documentos fiscais pendentes
(NF-e, NFC-e, CF-e SAT e cancelamentos) no banco Firebird do ERP, envia-os por HTTPS
à plataforma contábil e registra cada envio aceito em QUIRADA_ENVIOS_XML.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/postinst
  ${CMAKE_SOURCE_DIR}/packaging/prerm
  ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
