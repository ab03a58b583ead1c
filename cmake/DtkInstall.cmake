# What `cmake --install` puts where, by component:
#   runtime      libdtk.so.1, libdtkhost.so.1, the PAC helper in lib/dtk/
#   development  headers under include/dtk/, the link names, the static
#                library of the cloud protocol's types, the CMake package, dtk.pc
#   agent        dtk-agent, its man page, systemd unit, sysusers.d, tmpfiles.d
#                and /etc/default/dtk-agent
#   testbed      dtk-testbed (never packaged for users)
include(CMakePackageConfigHelpers)

set(DTK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/dtk)
# The PAC helper is private to the library, which looks for it in dtk/ beside
# itself.
set(DTK_INSTALL_HELPERDIR ${CMAKE_INSTALL_LIBDIR}/dtk)

set_target_properties(dtkhost PROPERTIES EXPORT_NAME host)
set_target_properties(dtk_asn1 PROPERTIES EXPORT_NAME asn1)

install(TARGETS dtk dtkhost EXPORT dtkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(TARGETS dtk_asn1 EXPORT dtkTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(TARGETS dtk-pac-eval RUNTIME DESTINATION ${DTK_INSTALL_HELPERDIR} COMPONENT runtime)
install(TARGETS dtk-agent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)
if(TARGET dtk-testbed)
  install(TARGETS dtk-testbed RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT testbed EXCLUDE_FROM_ALL)
endif()

# Headers: the source headers stay where the code includes them from; a host
# gets them as <dtk/...>, <dtk/host/...> and <dtk/asn1/...>.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/dtk ${CMAKE_BINARY_DIR}/include/dtk
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development FILES_MATCHING PATTERN "*.h")
file(GLOB DTK_HOST_HEADERS ${CMAKE_SOURCE_DIR}/src/host/*.h ${CMAKE_SOURCE_DIR}/hostkit/*.h)
install(FILES ${DTK_HOST_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dtk/host COMPONENT development)
get_property(DTK_ASN1_INCLUDE_DIRS GLOBAL PROPERTY DTK_ASN1_INCLUDE_DIRS)
list(GET DTK_ASN1_INCLUDE_DIRS 0 DTK_ASN1_GEN_DIR)
install(DIRECTORY ${DTK_ASN1_GEN_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dtk/asn1
  COMPONENT development FILES_MATCHING PATTERN "*.h")

install(EXPORT dtkTargets NAMESPACE dtk:: DESTINATION ${DTK_INSTALL_CMAKEDIR} COMPONENT development)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/dtkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/dtkConfig.cmake INSTALL_DESTINATION ${DTK_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/dtkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/dtkConfig.cmake ${CMAKE_BINARY_DIR}/cmake/dtkConfigVersion.cmake
  DESTINATION ${DTK_INSTALL_CMAKEDIR} COMPONENT development)
configure_file(${CMAKE_SOURCE_DIR}/cmake/dtk.pc.in ${CMAKE_BINARY_DIR}/cmake/dtk.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cmake/dtk.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The agent's service files (cmake/InstallServiceFiles.cmake.in says where).
set(DTK_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(DTK_SYSTEMD_UNITDIR /lib/systemd/system)
set(DTK_SYSUSERSDIR /usr/lib/sysusers.d)
set(DTK_TMPFILESDIR /usr/lib/tmpfiles.d)
find_package(PkgConfig)
foreach(dir SYSTEMD_UNITDIR:systemdsystemunitdir SYSUSERSDIR:sysusersdir TMPFILESDIR:tmpfilesdir)
  string(REPLACE ":" ";" dir ${dir})
  list(GET dir 0 name)
  list(GET dir 1 variable)
  pkg_get_variable(found systemd ${variable})
  if(found)
    set(DTK_${name} ${found})
  endif()
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/cmake/InstallServiceFiles.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/InstallServiceFiles.cmake @ONLY)
install(SCRIPT ${CMAKE_BINARY_DIR}/cmake/InstallServiceFiles.cmake COMPONENT agent)

# The man page is made from the built program's --help, so it cannot drift
# from the options it describes.
find_program(DTK_HELP2MAN help2man)
if(DTK_HELP2MAN)
  set(DTK_MANPAGE ${CMAKE_BINARY_DIR}/man/dtk-agent.1.gz)
  add_custom_command(OUTPUT ${DTK_MANPAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${DTK_HELP2MAN} --no-info --no-discard-stderr --section=1
      --name=endpoint\ agent\ host\ of\ the\ dtk\ library
      --include=${DTK_PACKAGING}/dtk-agent.h2m
      --output=${CMAKE_BINARY_DIR}/man/dtk-agent.1 $<TARGET_FILE:dtk-agent>
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/dtk-agent.1
    DEPENDS dtk-agent ${DTK_PACKAGING}/dtk-agent.h2m
    COMMENT "help2man: dtk-agent.1")
  add_custom_target(dtk-agent-man ALL DEPENDS ${DTK_MANPAGE})
  install(FILES ${DTK_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT agent)
else()
  message(STATUS "help2man not found: dtk-agent's man page is not built")
endif()

# Debian's documents of each package: copyright (pointing at the system's
# copy of the licence) and the changelog, compressed as policy asks.
set(DTK_PACKAGE_runtime libdtk${PROJECT_VERSION_MAJOR})
set(DTK_PACKAGE_development libdtk-dev)
set(DTK_PACKAGE_agent dtk-agent)
set(DTK_DEBIAN_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${DTK_DEBIAN_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${DTK_PACKAGING}/debian/changelog > ${DTK_DEBIAN_CHANGELOG}
  DEPENDS ${DTK_PACKAGING}/debian/changelog)
add_custom_target(dtk-debian-changelog ALL DEPENDS ${DTK_DEBIAN_CHANGELOG})
foreach(component runtime development agent)
  install(FILES ${DTK_PACKAGING}/debian/copyright ${DTK_DEBIAN_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${DTK_PACKAGE_${component}} COMPONENT ${component})
endforeach()
install(FILES ${DTK_PACKAGING}/debian/libdtk1.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME ${DTK_PACKAGE_runtime} COMPONENT runtime)
