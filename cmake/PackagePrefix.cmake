# Read by cpack before it makes each package (CPACK_PROJECT_CONFIG_FILE). A Debian package takes
# the tree's files as installed for its prefix: configured for another prefix than /usr, the
# programs would still land under usr/ but the options and rotation files under usr/local/etc,
# which no Debian system reads. cpack stops instead, naming the configure command that fits.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_LOGGER_INSTALL_PREFIX STREQUAL "/usr")
  # The leading blank keeps CMake from wrapping the line.
  message(FATAL_ERROR " this tree is configured for the prefix ${CPACK_LOGGER_INSTALL_PREFIX}; "
          "Debian packages need /usr: cmake -S . -B build-deb -G Ninja "
          "-DCMAKE_INSTALL_PREFIX=/usr -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_BENCH=OFF, "
          "then cpack -G DEB in build-deb")
endif()
