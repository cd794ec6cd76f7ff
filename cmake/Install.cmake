# What `cmake --install` puts where, the CMake package and the pkg-config file for clients, and the
# Debian packages made from them. Two components:
#   runtime  the programs, the logger plug-in (in a folder of its own) and the host library
#   dev      the headers, the library's link name, the CMake package and the pkg-config file

set(LOGGER_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/tarvo-logger)
set(LOGGER_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TarvoLogger)

# An installed loghost finds the plug-in from its own folder, so that any prefix works.
file(RELATIVE_PATH LOGGER_PLUGIN_DIR_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${LOGGER_PLUGIN_INSTALL_DIR})
target_compile_definitions(loghost PRIVATE
  LOGHOST_PLUGIN_DIR_FROM_BIN="${LOGGER_PLUGIN_DIR_FROM_BIN}")
# So does the host library, for the embedded logger: from lib/ on POSIX systems, from bin/ (where
# the DLL goes) on Windows.
if(WIN32)
  set(LOGGER_PLUGIN_DIR_FROM_HOSTLIB ${LOGGER_PLUGIN_DIR_FROM_BIN})
else()
  file(RELATIVE_PATH LOGGER_PLUGIN_DIR_FROM_HOSTLIB ${CMAKE_INSTALL_FULL_LIBDIR}
       ${CMAKE_INSTALL_PREFIX}/${LOGGER_PLUGIN_INSTALL_DIR})
endif()
target_compile_definitions(hostframework PRIVATE
  LOGGER_PLUGIN_DIR_FROM_HOSTLIB="${LOGGER_PLUGIN_DIR_FROM_HOSTLIB}")

# The programs find the host library from their own folder too, unless it is a system folder.
# The system folders are the platform's and the compiler's own (/usr/lib/x86_64-linux-gnu is only
# the compiler's on Debian).
list(FIND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} LOGGER_SYSTEM_LIBDIR)
if(LOGGER_SYSTEM_LIBDIR EQUAL -1)
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} LOGGER_SYSTEM_LIBDIR)
endif()
if(LOGGER_SYSTEM_LIBDIR EQUAL -1)
  file(RELATIVE_PATH LOGGER_LIBDIR_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(loghost PROPERTIES INSTALL_RPATH "$ORIGIN/${LOGGER_LIBDIR_FROM_BIN}")
  if(TARGET udplog-recv)
    set_target_properties(udplog-recv PROPERTIES INSTALL_RPATH "$ORIGIN/${LOGGER_LIBDIR_FROM_BIN}")
  endif()
endif()

install(TARGETS loghost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
if(TARGET udplog-recv)
  install(TARGETS udplog-recv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
# On Windows a DLL is a runtime file: the plug-in goes to its folder, the host library beside the
# programs (where Windows looks for it), its import library to lib/.
install(TARGETS 000udploggerplugin
        LIBRARY DESTINATION ${LOGGER_PLUGIN_INSTALL_DIR} COMPONENT runtime
        RUNTIME DESTINATION ${LOGGER_PLUGIN_INSTALL_DIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev EXCLUDE_FROM_ALL)
install(TARGETS hostframework EXPORT TarvoLoggerTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)

# The headers a client component or a host is written against, at the paths the sources use.
install(FILES
  logger/host/CommonMessageProperties.h logger/host/ConfigurationManager.h logger/host/HostApi.h
  logger/host/IComponent.h logger/host/IMessageSink.h logger/host/ISerializable.h
  logger/host/LocalMessage.h logger/host/MessageDispatcher.h logger/host/PluginFramework.h
  logger/host/UUId.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/logger/host COMPONENT dev)
install(FILES logger/core/safe_pipe.h logger/core/ThreadAnnotations.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/logger/core COMPONENT dev)
install(FILES logger/plugin/TarvoLoggerPayloads.h logger/plugin/TarvoLog.h logger/plugin/TarvoLogGate.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/logger/plugin COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/generated/logger/Version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/logger COMPONENT dev)
install(FILES host/BusDispatcher.h host/LoggerClient.h host/PluginLoader.h host/EmbeddedLogger.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/host COMPONENT dev)

# find_package(TarvoLogger CONFIG REQUIRED) gives TarvoLogger::hostframework.
include(CMakePackageConfigHelpers)
install(EXPORT TarvoLoggerTargets NAMESPACE TarvoLogger:: DESTINATION ${LOGGER_CMAKE_INSTALL_DIR}
        COMPONENT dev)
configure_package_config_file(cmake/TarvoLoggerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/generated/TarvoLoggerConfig.cmake
  INSTALL_DESTINATION ${LOGGER_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/generated/TarvoLoggerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/generated/TarvoLoggerConfig.cmake
              ${PROJECT_BINARY_DIR}/generated/TarvoLoggerConfigVersion.cmake
        DESTINATION ${LOGGER_CMAKE_INSTALL_DIR} COMPONENT dev)

# pkg-config --cflags --libs tarvo-logger. Installed in a system folder (/usr), it names plain paths,
# which pkg-config leaves out of the flags. Anywhere else it finds the prefix from its own place, so
# the tree may be moved, and its Libs: give programs the run-time path of the host library.
if(LOGGER_SYSTEM_LIBDIR EQUAL -1)
  file(RELATIVE_PATH LOGGER_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
       ${CMAKE_INSTALL_PREFIX})
  set(LOGGER_PC_PREFIX "\${pcfiledir}/${LOGGER_PC_TO_PREFIX}")
  set(LOGGER_PC_RPATH " -Wl,-rpath,\${libdir}")
else()
  set(LOGGER_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(LOGGER_PC_RPATH "")
endif()
configure_file(cmake/tarvo-logger.pc.in ${PROJECT_BINARY_DIR}/generated/tarvo-logger.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/generated/tarvo-logger.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The README, the guides in docs/ and the sample input and settings keep under DOCDIR the paths
# they have in the sources, so that the links between them work in both places (the Docs test
# checks every link against this list).
file(GLOB LOGGER_DOC_PAGES RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/docs/*.md)
set(LOGGER_DOC_FILES README.md ${LOGGER_DOC_PAGES} examples/circular.ini examples/file.ini
                     examples/udp.ini examples/host.ini examples/sample.log
                     examples/rsyslog-relay.conf)
foreach(doc IN LISTS LOGGER_DOC_FILES)
  get_filename_component(doc_folder ${doc} DIRECTORY)
  install(FILES ${doc} DESTINATION ${CMAKE_INSTALL_DOCDIR}/${doc_folder} COMPONENT runtime)
endforeach()

# The Debian copyright file is made from LICENSE, so the two cannot disagree: its holder line and
# its permission text, indented as the machine-readable format wants (" ." for an empty line).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE LOGGER_LICENSE)
if(NOT LOGGER_LICENSE MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n")
  message(FATAL_ERROR "LICENSE has no line 'Copyright (c) YEAR HOLDER' followed by an empty line")
endif()
set(LOGGER_COPYRIGHT ${CMAKE_MATCH_1})
string(REGEX REPLACE "^.*\nCopyright \\(c\\) [^\n]+\n\n" "" LOGGER_LICENSE_TEXT
       "${LOGGER_LICENSE}")
string(STRIP "${LOGGER_LICENSE_TEXT}" LOGGER_LICENSE_TEXT)
string(REPLACE "\n\n" "\n.\n" LOGGER_LICENSE_TEXT "${LOGGER_LICENSE_TEXT}")
string(REPLACE "\n" "\n " LOGGER_LICENSE_TEXT " ${LOGGER_LICENSE_TEXT}")
configure_file(packaging/copyright.in ${PROJECT_BINARY_DIR}/generated/copyright @ONLY)

# Each package's folder under share/doc carries the copyright and the changelog (gzipped).
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/generated/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/generated/copyright ${PROJECT_BINARY_DIR}/generated/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/generated/copyright ${PROJECT_BINARY_DIR}/generated/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvo-logger-dev COMPONENT dev)
# The client examples' sources, for writing a component of one's own: the minimal client, built
# apart with find_package or pkg-config, and the example client component.
install(FILES examples/minimal-client/CMakeLists.txt examples/minimal-client/MinimalClient.cpp
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvo-logger-dev/examples/minimal-client
        COMPONENT dev)
install(FILES examples/ExampleClient.h examples/ExampleClient.cpp
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvo-logger-dev/examples COMPONENT dev)
install(FILES examples/embedded/CMakeLists.txt examples/embedded/EmbeddedExample.cpp
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvo-logger-dev/examples/embedded
        COMPONENT dev)

# udplog-recv as a system service: the unit under the prefix's lib/systemd/system (for /usr the
# folder Debian's systemd reads), its options in SYSCONFDIR/default, a conffile of the package.
# SYSCONFDIR may lie outside the prefix (/etc for /usr): an absolute destination then.
if(TARGET udplog-recv)
  set(LOGGER_BIN_FULL_DIR ${CMAKE_INSTALL_FULL_BINDIR})
  set(LOGGER_SYSCONF_FULL_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
  configure_file(packaging/systemd/udplog-recv.service.in
                 ${PROJECT_BINARY_DIR}/generated/udplog-recv.service @ONLY)
  configure_file(packaging/conffiles.in ${PROJECT_BINARY_DIR}/generated/conffiles @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/generated/udplog-recv.service
          DESTINATION lib/systemd/system COMPONENT runtime)
  string(FIND "${CMAKE_INSTALL_FULL_SYSCONFDIR}/" "${CMAKE_INSTALL_PREFIX}/" LOGGER_SYSCONF_AT)
  if(LOGGER_SYSCONF_AT EQUAL 0)
    set(LOGGER_SYSCONF_INSTALL_DIR ${CMAKE_INSTALL_SYSCONFDIR})
  else()
    set(LOGGER_SYSCONF_INSTALL_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
  endif()
  install(FILES packaging/systemd/udplog-recv.default
          DESTINATION ${LOGGER_SYSCONF_INSTALL_DIR}/default RENAME udplog-recv COMPONENT runtime)
  # Its output's rotation, a conffile too: the collector reopens its output on a reload.
  install(FILES packaging/logrotate/udplog-recv DESTINATION ${LOGGER_SYSCONF_INSTALL_DIR}/logrotate.d
          COMPONENT runtime)
endif()

include(cmake/Packaging.cmake)
