// Where a host finds the logger plug-in: in a given folder (a build tree puts everything in one),
// else in the installed plug-in folder relative to it. loghost starts from its own folder, the
// embedded logger from the host library's. Any thread.
#pragma once

#include <string>

#include "logger/host/HostApi.h"

class HOST_API LoggerPluginFile final {
 public:
  LoggerPluginFile() = delete;

  // "lib000udploggerplugin.so", or "000udploggerplugin.dll" where libraries take no prefix.
  static std::string name();
  // folder + name() when that exists, else folder + installedDir + "/" + name() when that does.
  // Otherwise throws std::runtime_error naming both places and ending in fix ("give one with
  // --plugin PATH").
  static std::string find(const std::string& folder, const std::string& installedDir,
                          const std::string& fix);
  // find() from the folder that holds the host library itself, whatever prefix it was installed
  // under, with the installation's plug-in folder relative to the library's.
  static std::string besideHostLibrary(const std::string& fix);
};
