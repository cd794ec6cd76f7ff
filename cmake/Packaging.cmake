# Debian packages, made with `cpack -G DEB` in a build tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr:
#   tarvo-logger      the programs, the plug-in and the host library (dependencies from
#                     dpkg-shlibdeps)
#   tarvo-logger-dev  headers, CMake package and pkg-config file; depends on the exact
#                     runtime version and on the Boost development headers its interface uses
set(CPACK_PACKAGE_NAME tarvo-logger)
set(CPACK_PACKAGE_VENDOR "Tarvo logger developers")
set(CPACK_PACKAGE_CONTACT "Tarvo logger developers <tarvo-logger@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No package-wide summary (empty, not unset): CPack would put it before each package's own first
# line. Each description below is its summary line, then the text, which CPack indents by one.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/tarvo-logger")
# MIT, as the Debian copyright file, made from the same LICENSE, says for every file.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# A tree configured for another prefix than /usr makes no Debian package (cmake/PackagePrefix.cmake).
set(CPACK_LOGGER_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackagePrefix.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME tarvo-logger)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# Beside the libraries dpkg-shlibdeps finds: what the service's unit runs (/bin/kill for a
# reload), and the rotation its logrotate file sets up.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "procps")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "logrotate")
# The shlibs file names the host library, the one library others link; CPack's own would list
# every shared object and warn that the plug-in, loaded by path, has no soname.
configure_file(${PROJECT_SOURCE_DIR}/packaging/shlibs.in ${PROJECT_BINARY_DIR}/generated/shlibs
               @ONLY)
# The dynamic linker's cache is refreshed by a trigger, as Debian's policy has it (our own
# maintainer scripts keep CPack from adding ldconfig calls of its own). The service's options file
# is a conffile: an upgrade keeps the administrator's changes. The maintainer scripts never enable
# or start the service, which is meant to be configured first; they restart a running one on
# upgrade, stop it on removal and remove its enabling links on purge.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers
                                               ${PROJECT_BINARY_DIR}/generated/shlibs)
if(TARGET udplog-recv)
  list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
       ${PROJECT_BINARY_DIR}/generated/conffiles ${PROJECT_SOURCE_DIR}/packaging/postinst
       ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"logging plug-in for an in-process message bus, its host and tools
A logging plug-in that runs as one component on a host's message bus: clients
push log lines into a shared pipe from any thread, and one worker stores them
in an in-memory ring, in rotated log files or as UDP datagrams. The package
holds the plug-in, the host library, the loghost program that runs it on
its input, and udplog-recv, which collects the datagrams of many hosts.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME tarvo-logger-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "tarvo-logger (= ${PROJECT_VERSION}), libboost-dev (>= 1.74), libboost-thread-dev (>= 1.74)")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"logging plug-in for an in-process message bus - development files
Headers, CMake package (find_package(TarvoLogger)) and pkg-config file
(tarvo-logger) for writing client components of the logger plug-in and
hosts that load it.")

include(CPack)
