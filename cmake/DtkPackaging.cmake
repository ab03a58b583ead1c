# Debian packages through CPack (scripts/package.sh): libdtk1 (runtime),
# libdtk-dev (development), dtk-agent (agent). The testbed is never packaged.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dtk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "dtk developers")
set(CPACK_PACKAGE_CONTACT "dtk developers <dtk@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL runtime development agent)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://dtk.example.org/")
# Dependencies on the Debian libraries used come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The agent needs libdtkhost.so.1 of libdtk1 (a dependency stated below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(dtk_exact "${DTK_PACKAGE_runtime} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${DTK_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "endpoint agent back-end library (runtime)
libdtk reaches an endpoint-protection agent's back ends: EST enrolment,
management registration, a TLS connection to the cloud lookup service, HTTPS
downloads and proxy discovery. This package holds the shared library, its host
components library and the helper that evaluates PAC files.")
# Its own shlibs file (what others may depend on) and an ldconfig trigger:
# CPack's generated ones call ldconfig from the maintainer scripts instead,
# unless the package brings its own postinst and postrm.
foreach(file shlibs triggers postinst postrm)
  configure_file(${DTK_PACKAGING}/debian/runtime.${file}.in ${CMAKE_BINARY_DIR}/packaging/runtime/${file} @ONLY)
  list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/runtime/${file})
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${DTK_PACKAGE_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${dtk_exact}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "endpoint agent back-end library (development files)
The headers a host builds against (<dtk/...>), the link names, the static
library of the cloud protocol's types, a CMake package (find_package(dtk),
target dtk::dtk) and dtk.pc for pkg-config.")

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME ${DTK_PACKAGE_agent})
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION net)
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "${dtk_exact}")
set(CPACK_COMPONENT_AGENT_DESCRIPTION "endpoint agent host program of the dtk library
dtk-agent loads libdtk and drives it: registration, cloud lookups of files,
policy and file downloads, proxy discovery, and a service (systemd unit
dtk-agent.service, running as the dtk-agent user with its store in
/var/lib/dtk-agent).")
foreach(script conffiles postinst prerm postrm)
  configure_file(${DTK_PACKAGING}/debian/agent.${script}.in ${CMAKE_BINARY_DIR}/packaging/agent/${script} @ONLY)
  list(APPEND CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/agent/${script})
endforeach()
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
